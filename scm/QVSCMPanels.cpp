#include "scm/QVSCMPanels.h"

#include "platform/AppBundle.h"
#include "platform/UserDefaults.h"
#include "scm/QVSCMAction.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

QString frameKey(const char* name) { return QStringLiteral("QVWindowFrame ") + QLatin1String(name); }

void restoreFrame(QDialog* sheet, const char* name) {
    const QByteArray frame = UserDefaults::standard().objectForKey(frameKey(name)).toByteArray();
    if (!frame.isEmpty()) sheet->restoreGeometry(frame);
}

void saveFrame(QDialog* sheet, const char* name) { UserDefaults::standard().setObject(sheet->saveGeometry(), frameKey(name)); }

}  // namespace

QVSCMRevisionPanel::QVSCMRevisionPanel(const QString& path, int tag, QWidget* window)
    : QDialog(window), _path(path), _tag(tag) {
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowModality(Qt::WindowModal);
    setWindowTitle(command());
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("%1: %2").arg(command(), path), this));
    _table = new QTableWidget(0, 4, this);
    _table->setHorizontalHeaderLabels({QVLocalized(QStringLiteral("Revision")), QVLocalized(QStringLiteral("Author")),
                                       QVLocalized(QStringLiteral("Date")), QVLocalized(QStringLiteral("Message"))});
    _table->setSelectionBehavior(QAbstractItemView::SelectRows);
    _table->setSelectionMode(QAbstractItemView::SingleSelection);
    _table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    _table->horizontalHeader()->setStretchLastSection(true);
    _table->verticalHeader()->hide();
    layout->addWidget(_table);
    auto* buttons = new QDialogButtonBox(this);
    _secondaryButton = buttons->addButton(QVLocalized(QStringLiteral("Cancel")), QDialogButtonBox::RejectRole);
    _mainButton = buttons->addButton(command(), QDialogButtonBox::AcceptRole);
    layout->addWidget(buttons);
    connect(_mainButton, &QPushButton::clicked, this, [this] { close(_tag == ViewLogTag ? 0 : ChooseTag); });
    connect(_secondaryButton, &QPushButton::clicked, this, [this] { close(0); });
    connect(_table, &QTableWidget::cellDoubleClicked, this, [this] { _mainButton->click(); });
    resize(560, 320);
    restoreFrame(this, "SCMRevisionPanel");
}

QVSCMRevisionPanel::~QVSCMRevisionPanel() = default;

QString QVSCMRevisionPanel::command() const { return QVSCMAction::humanReadableStringForActionType(_tag); }

void QVSCMRevisionPanel::displayEntries(const QList<QVSCMLogEntry>& entries, Ended ended) {
    _entries = entries;
    _ended = std::move(ended);
    _table->setRowCount(int(entries.size()));
    for (int row = 0; row < entries.size(); ++row) {
        const QVSCMLogEntry& entry = entries.at(row);
        const QString cells[] = {entry.revision, entry.author, entry.dateString, entry.message.simplified()};
        for (int column = 0; column < 4; ++column) _table->setItem(row, column, new QTableWidgetItem(cells[column]));
    }
    // Revision, author and date show whole; the message takes the rest.
    for (int column = 0; column < 3; ++column) _table->resizeColumnToContents(column);
    if (!entries.isEmpty()) _table->selectRow(0);
    if (_tag == ViewLogTag) {
        // Only for reading: one button that closes.
        _mainButton->setText(QVLocalized(QStringLiteral("Close")));
        _mainButton->setDefault(false);
        _secondaryButton->hide();
    } else {
        _mainButton->setDefault(true);
    }
    open();
}

void QVSCMRevisionPanel::close(int buttonTag) {
    if (!_ended) return;
    std::optional<QString> revision;
    if (buttonTag == ChooseTag) {
        const int row = _table->currentRow();
        if (row >= 0 && row < _entries.size()) revision = _entries.at(row).revision;
    }
    saveFrame(this, "SCMRevisionPanel");
    const Ended ended = std::exchange(_ended, nullptr);
    QDialog::done(buttonTag);
    ended(this, revision, _tag);
}

void QVSCMRevisionPanel::reject() { close(0); }

QVSCMMessagePanel::QVSCMMessagePanel(int tag, QWidget* window) : QDialog(window), _tag(tag) {
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowModality(Qt::WindowModal);
    setWindowTitle(command());
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QVLocalized(QStringLiteral("Message:")), this));
    _editor = new QPlainTextEdit(this);
    _editor->setTabChangesFocus(true);
    layout->addWidget(_editor);
    auto* buttons = new QDialogButtonBox(this);
    _cancelButton = buttons->addButton(QVLocalized(QStringLiteral("Cancel")), QDialogButtonBox::RejectRole);
    _commitButton = buttons->addButton(command(), QDialogButtonBox::AcceptRole);
    _commitButton->setDefault(true);
    layout->addWidget(buttons);
    connect(_commitButton, &QPushButton::clicked, this, [this] { close(CommitTag); });
    connect(_cancelButton, &QPushButton::clicked, this, [this] { close(0); });
    resize(480, 220);
    restoreFrame(this, "SCMMessagePanel");
}

QVSCMMessagePanel::~QVSCMMessagePanel() = default;

QString QVSCMMessagePanel::command() const { return QVSCMAction::humanReadableStringForActionType(_tag); }
QString QVSCMMessagePanel::message() const { return _editor->toPlainText(); }
void QVSCMMessagePanel::setMessage(const QString& message) { _editor->setPlainText(message); }

void QVSCMMessagePanel::display(Ended ended) {
    _ended = std::move(ended);
    _editor->setFocus();
    open();
}

void QVSCMMessagePanel::close(int buttonTag) {
    if (!_ended) return;
    const std::optional<QString> typed = buttonTag == CommitTag ? std::optional<QString>(message()) : std::nullopt;
    saveFrame(this, "SCMMessagePanel");
    const Ended ended = std::exchange(_ended, nullptr);
    QDialog::done(buttonTag);
    ended(this, typed, _tag);
}

void QVSCMMessagePanel::reject() { close(0); }
