#include "tools/QVAddSnippetPanelController.h"

#include "editor/QVSnippetRepository.h"
#include "platform/AppBundle.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

namespace {

QVAddSnippetPanelController::ReplaceQuestion& replaceQuestion() {
    static QVAddSnippetPanelController::ReplaceQuestion question;
    return question;
}

void addFolders(QComboBox* popUp, const std::vector<std::shared_ptr<QVSnippet>>& snippets, int level) {
    for (const auto& snippet : snippets) {
        if (!snippet->isDirectory()) continue;
        popUp->addItem(QString(level * 4, u' ') + snippet->title(), snippet->path());
        addFolders(popUp, snippet->children(), level + 1);
    }
}

}  // namespace

void QVAddSnippetPanelController::install() {
    QVSnippetRepository::setAddSheet([](QVSnippetRepository& store, const QString& text, QWidget* sender) {
        auto* sheet = new QVAddSnippetPanelController(store, text, sender ? sender->window() : nullptr);
        sheet->open();
    });
}

void QVAddSnippetPanelController::setReplaceQuestion(ReplaceQuestion question) { replaceQuestion() = std::move(question); }

QString QVAddSnippetPanelController::refusalForTitle(const QString& title) {
    if (title.trimmed().isEmpty()) return QVLocalized(QStringLiteral("Type a title for the snippet."));
    if (title.contains(u'/')) return QVLocalized(QStringLiteral("A title cannot contain \u201c/\u201d."));
    if (title.startsWith(u'.')) return QVLocalized(QStringLiteral("A title cannot begin with \u201c.\u201d."));
    for (const QChar c : title)
        if (c.category() == QChar::Other_Control || c == QChar::LineSeparator || c == QChar::ParagraphSeparator)
            return QVLocalized(QStringLiteral("A title cannot contain line breaks or control characters."));
    if (title != title.trimmed()) return QVLocalized(QStringLiteral("A title cannot begin or end with a blank."));
    if (title.endsWith(QStringLiteral("qvproj"))) return QVLocalized(QStringLiteral("A title cannot end with \u201cqvproj\u201d."));
    if (title.toUtf8().size() > 255) return QVLocalized(QStringLiteral("The title is too long."));
    return {};
}

QVAddSnippetPanelController::QVAddSnippetPanelController(QVSnippetRepository& store, QString text, QWidget* window)
    : QDialog(window), _store(store), _text(std::move(text)) {
    setObjectName(QStringLiteral("AddSnippetPanel"));
    setWindowTitle(QVLocalized(QStringLiteral("Add Snippet")));
    setWindowModality(Qt::WindowModal);
    setAttribute(Qt::WA_DeleteOnClose);
    auto* form = new QFormLayout(this);
    _titleField = new QLineEdit(this);
    _titleField->setMinimumWidth(260);
    form->addRow(QVLocalized(QStringLiteral("Title:")), _titleField);
    _directoryPopUpButton = new QComboBox(this);
    // The blank first item is the snippets folder itself.
    _directoryPopUpButton->addItem(QString(), QString());
    addFolders(_directoryPopUpButton, store.snippets(), 0);
    form->addRow(QVLocalized(QStringLiteral("Folder:")), _directoryPopUpButton);
    _errorField = new QLabel(this);
    _errorField->setWordWrap(true);
    form->addRow(_errorField);
    _buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    _buttons->button(QDialogButtonBox::Ok)->setText(QVLocalized(QStringLiteral("Add")));
    form->addRow(_buttons);
    connect(_buttons, &QDialogButtonBox::accepted, this, &QVAddSnippetPanelController::accept);
    connect(_buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(_titleField, &QLineEdit::textChanged, this, &QVAddSnippetPanelController::validate);
    validate();
}

QString QVAddSnippetPanelController::title() const { return _titleField->text(); }
void QVAddSnippetPanelController::setTitle(const QString& title) { _titleField->setText(title); }
QString QVAddSnippetPanelController::directory() const { return _directoryPopUpButton->currentData().toString(); }

void QVAddSnippetPanelController::validate() {
    const QString refusal = refusalForTitle(title());
    // An empty field needs no scolding; the Add button simply waits.
    _errorField->setText(title().isEmpty() ? QString() : refusal);
    _buttons->button(QDialogButtonBox::Ok)->setEnabled(refusal.isEmpty());
}

void QVAddSnippetPanelController::accept() {
    if (!refusalForTitle(title()).isEmpty()) return;
    const QString folder = directory().isEmpty() ? _store.snippetsFolder() : directory();
    const QString path = QDir(folder).filePath(title());
    if (!QFileInfo::exists(path) && !QFileInfo(path).isSymLink()) {
        write(false);
        return;
    }
    if (QFileInfo(path).isDir()) {
        _errorField->setText(QVLocalized(QStringLiteral("A folder named \u201c%1\u201d is already there.")).arg(title()));
        return;
    }
    QPointer<QVAddSnippetPanelController> self(this);
    const auto answer = [self](bool replace) {
        if (self && replace) self->write(true);
    };
    if (replaceQuestion()) {
        replaceQuestion()(this, title(), answer);
        return;
    }
    auto* box = new QMessageBox(QMessageBox::Warning, QVLocalized(QStringLiteral("Replace Snippet")),
                                QVLocalized(QStringLiteral("A snippet named \u201c%1\u201d already exists. Do you want to replace it?")).arg(title()),
                                QMessageBox::NoButton, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    QPushButton* replaceButton = box->addButton(QVLocalized(QStringLiteral("Replace")), QMessageBox::DestructiveRole);
    box->addButton(QMessageBox::Cancel);
    connect(box, &QMessageBox::finished, this, [box, replaceButton, answer] { answer(box->clickedButton() == replaceButton); });
    box->open();
}

void QVAddSnippetPanelController::write(bool replace) {
    QVError error;
    const bool written = _store.snippetAddDidFinish(1, directory(), title(), _text, [replace](const QString&) { return replace; }, &error);
    if (!written) {
        _errorField->setText(error ? error.localizedDescription() : QVLocalized(QStringLiteral("The snippet could not be written.")));
        return;
    }
    QDialog::accept();
}
