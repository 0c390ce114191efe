// The shared find panel.
#include "tools/QVSingleFileSearchController.h"

#include "editor/HTMLView.h"
#include "editor/HTMLViewFind.h"
#include "editor/QVBeep.h"
#include "editor/QVFileView.h"
#include "platform/AppBundle.h"
#include "tools/QVFindPasteboard.h"
#include "tools/QVSearchNotifications.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

std::function<void(const QVSearch&)>& findAllHandler() {
    static std::function<void(const QVSearch&)> handler;
    return handler;
}

}  // namespace

QVSingleFileSearchController& QVSingleFileSearchController::sharedFind() {
    static QVSingleFileSearchController* panel = new QVSingleFileSearchController;  // for the process's life
    return *panel;
}

void QVSingleFileSearchController::install() {
    HTMLViewFind::setPanel([](HTMLView& view, HTMLViewFind::Action action) {
        QVSingleFileSearchController& panel = sharedFind();
        panel.setTextView(&view);
        switch (action) {
        case HTMLViewFind::Action::FindUsingSelection: panel.findUsingSelection(); break;
        case HTMLViewFind::Action::SingleFileFind: panel.showWindow(); break;
        case HTMLViewFind::Action::FindNext: panel.next(); break;
        case HTMLViewFind::Action::FindPrevious: panel.previous(); break;
        case HTMLViewFind::Action::ReplaceAndFind: panel.replaceAndFind(); break;
        default: break;
        }
    });
}

void QVSingleFileSearchController::setFindAllHandler(std::function<void(const QVSearch&)> handler) {
    findAllHandler() = std::move(handler);
}

QVSingleFileSearchController::QVSingleFileSearchController() {
    connect(this, &QVSearchController::stateChanged, this, &QVSingleFileSearchController::refreshControls);
    validate();
}

QVSingleFileSearchController::~QVSingleFileSearchController() {
    NotificationCenter::defaultCenter().removeObserver(_closingToken);
    delete _window.data();
}

void QVSingleFileSearchController::setTextView(HTMLView* view) {
    if (view != _textView) {
        NotificationCenter::defaultCenter().removeObserver(_closingToken);
        _closingToken = 0;
        _textView = view;
        if (view) {
            _closingToken = NotificationCenter::defaultCenter().addObserver(
                QString::fromLatin1(QVTextViewIsClosing), view, [this](const Notification& n) { textViewClosed(n.object); });
        }
    }
    validate();
}

void QVSingleFileSearchController::textViewClosed(const void* view) {
    if (view != _textView.data()) return;
    HTMLView* front = _frontTextView ? _frontTextView() : nullptr;
    setTextView(front == view ? nullptr : front);
}

void QVSingleFileSearchController::setScope(int scope) {
    if (scope == _scope) return;
    _scope = scope;
    Q_EMIT stateChanged();
}

void QVSingleFileSearchController::validate() {
    QVSearchController::validate();
    if (!_textView) setValid(false);
}

void QVSingleFileSearchController::next() {
    rememberSearch();
    find(false);
}

void QVSingleFileSearchController::previous() {
    rememberSearch();
    find(true);
}

void QVSingleFileSearchController::find(bool backwards) {
    if (!_textView) return;
    const QVSearch search = this->search();
    const QVRange found = backwards ? HTMLViewFind::previousRangeForSearch(*_textView, search)
                                    : HTMLViewFind::nextRangeForSearch(*_textView, search);
    if (found.location == QVRange::NotFound) {
        QVBeep::beep();
        setStatus(tr("Not found"));
        return;
    }
    HTMLViewFind::showFullRange(*_textView, found);
    setStatus(QString());
}

void QVSingleFileSearchController::replaceAndFind() {
    rememberSearch();
    if (!_textView) return;
    const QVSearch search = this->search();
    // Only a selection that is exactly one match is replaced: a selection that merely holds a
    // match somewhere keeps the text around it.
    if (HTMLViewFind::selectionIsMatch(*_textView, search)) {
        const QVRange selection = _textView->selectedRange();
        const QString selected = _textView->foldingStorage().fullStringInRange(selection);
        _textView->undoableInsertText(search.replacementForString(selected), tr("Replace"));
    }
    find(false);
}

void QVSingleFileSearchController::replaceAll() {
    rememberSearch();
    if (!_textView) return;
    const QVSearch search = this->search();
    qsizetype count = 0;
    if (_scope != 0) {
        // The selection's full text: collapsed regions inside it are replaced in too, never
        // copied as a bare marker.
        const QVRange selection = _textView->selectedRange();
        QString text = _textView->foldingStorage().fullStringInRange(selection);
        count = search.replaceAllInString(text);
        if (count != 0) {
            _textView->undoableInsertText(text, tr("Replace All in Selection"));
            _textView->setSelectedRange(QVRange(selection.location, text.size()));
            _textView->viewport()->update();
        }
    } else {
        count = HTMLViewFind::replaceAll(*_textView, search);
    }
    setStatus(tr("Replaced %1").arg(count));
}

void QVSingleFileSearchController::findUsingSelection() {
    if (!_textView) return;
    const QString selected = _textView->foldingStorage().fullStringInRange(_textView->selectedRange());
    NotificationCenter::defaultCenter().post(QVSetSearchString, nullptr, {{QVSearchStringKey, selected}});
    QVFindPasteboard::general().setString(selected);
}

void QVSingleFileSearchController::findAll() {
    rememberSearch();
    if (findAllHandler()) findAllHandler()(search());
}

// --- The window ---------------------------------------------------------------------------------

QDialog* QVSingleFileSearchController::showExtendedInput(QVSearchController& controller, QWidget* window, int tag) {
    auto* sheet = new QDialog(window);
    sheet->setObjectName(QStringLiteral("ExtendedSearchInput"));
    sheet->setWindowModality(Qt::WindowModal);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    auto* edit = new QPlainTextEdit(tag == SearchFieldTag ? controller.searchString() : controller.replaceString());
    edit->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    auto* layout = new QVBoxLayout(sheet);
    layout->addWidget(edit);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, sheet, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, sheet, &QDialog::reject);
    QPointer<QWidget> front(window);
    connect(sheet, &QDialog::finished, &controller, [&controller, edit, tag, front](int result) {
        controller.extendedInputFinished(edit->toPlainText(), tag, result == QDialog::Accepted ? 1 : 0);
        if (front) {
            front->raise();
            front->activateWindow();
        }
    });
    sheet->open();
    return sheet;
}

QWidget* QVSingleFileSearchController::window() {
    if (_window) return _window;
    auto* window = new QWidget(nullptr, Qt::Tool);
    _window = window;
    window->setObjectName(QStringLiteral("SingleFileFind"));
    window->setWindowTitle(tr("Find"));
    auto* grid = new QGridLayout;
    auto field = [&](int row, const char* label, QComboBox*& box, const char* key, int tag) {
        grid->addWidget(new QLabel(tr(label)), row, 0, Qt::AlignRight);
        box = new QComboBox;
        box->setEditable(true);
        box->setInsertPolicy(QComboBox::NoInsert);
        box->setMinimumWidth(320);
        grid->addWidget(box, row, 1);
        connect(box, &QComboBox::editTextChanged, this, [this, key](const QString& text) {
            if (!_refreshing) setValue(text, QString::fromLatin1(key));
        });
        auto* more = new QToolButton;
        more->setText(QStringLiteral("\u2026"));
        more->setToolTip(tr("Edit in a larger field"));
        grid->addWidget(more, row, 2);
        connect(more, &QToolButton::clicked, this, [this, tag] { showExtendedInput(*this, _window, tag); });
    };
    field(0, "Find:", _searchField, "searchString", SearchFieldTag);
    field(1, "Replace:", _replaceField, "replaceString", SearchFieldTag + 1);

    auto* options = new QHBoxLayout;
    _regexBox = new QCheckBox(tr("Regular expression"));
    _caseBox = new QCheckBox(tr("Match case"));
    _wholeText = new QRadioButton(tr("Whole text"));
    _selection = new QRadioButton(tr("Selection"));
    for (QWidget* w : std::initializer_list<QWidget*>{_regexBox, _caseBox, _wholeText, _selection}) options->addWidget(w);
    options->addStretch();
    grid->addLayout(options, 2, 1);
    connect(_regexBox, &QCheckBox::toggled, this, [this](bool on) { if (!_refreshing) setValue(on, QStringLiteral("regularExpression")); });
    connect(_caseBox, &QCheckBox::toggled, this, [this](bool on) { if (!_refreshing) setValue(on, QStringLiteral("matchCase")); });
    connect(_selection, &QRadioButton::toggled, this, [this](bool on) { if (!_refreshing) setScope(on ? 1 : 0); });

    auto* buttons = new QHBoxLayout;
    _statusLabel = new QLabel;
    buttons->addWidget(_statusLabel, 1);
    auto button = [&](const char* title, void (QVSingleFileSearchController::*action)()) {
        auto* b = new QPushButton(tr(title));
        b->setAutoDefault(false);
        connect(b, &QPushButton::clicked, this, action);
        buttons->addWidget(b);
        _actionButtons << b;
        return b;
    };
    button("Replace All", &QVSingleFileSearchController::replaceAll);
    button("Replace", &QVSingleFileSearchController::replaceAndFind);
    button("Find All", &QVSingleFileSearchController::findAll);
    button("Previous", &QVSingleFileSearchController::previous);
    button("Next", &QVSingleFileSearchController::next)->setDefault(true);
    connect(_searchField->lineEdit(), &QLineEdit::returnPressed, this, &QVSingleFileSearchController::next);

    auto* layout = new QVBoxLayout(window);
    layout->addLayout(grid);
    layout->addLayout(buttons);
    refreshControls();
    return window;
}

void QVSingleFileSearchController::showWindow() {
    QWidget* w = window();
    refreshControls();
    w->show();
    w->raise();
    w->activateWindow();
    _searchField->setFocus();
}

void QVSingleFileSearchController::refreshControls() {
    if (!_window || _refreshing) return;
    _refreshing = true;
    auto fill = [](QComboBox* box, const QStringList& history, const QString& text) {
        if (box->lineEdit()->text() != text || box->count() != history.size()) {
            box->clear();
            box->addItems(history);
            box->setEditText(text);
        }
    };
    fill(_searchField, history(QStringLiteral("QVSearchHistory")), searchString());
    fill(_replaceField, history(QStringLiteral("QVReplaceHistory")), replaceString());
    _regexBox->setChecked(regularExpression());
    _caseBox->setChecked(matchCase());
    (_scope ? _selection : _wholeText)->setChecked(true);
    _statusLabel->setText(status());
    for (QPushButton* b : _actionButtons) b->setEnabled(valid());
    _refreshing = false;
}
