#include "tools/QVSnippetEditorBar.h"

#include "editor/HTMLView.h"
#include "editor/QVSnippetFileView.h"
#include "editor/QVSnippetRepository.h"
#include "platform/AppBundle.h"
#include "platform/QVRegex.h"
#include "tools/QVKeyEquivalentCaptureView.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>

#include <optional>

namespace {

const QString KeyEquivalentKey = QStringLiteral("QVKeyEquivalent");
const QString KeywordCompleteKey = QStringLiteral("QVKeywordComplete");

// The first match of pattern in text: its whole range and capture 1.
std::optional<std::pair<QVRange, QString>> firstMatch(const std::shared_ptr<const QVRegex>& pattern, const QString& text) {
    if (!pattern) return std::nullopt;
    const std::optional<QVRegexMatch> match = pattern->copyMatchForString(text);
    if (!match) return std::nullopt;
    const QVRange whole = match->rangeForCapture(0);
    const QVRange value = match->rangeForCapture(1);
    return std::pair{whole, text.mid(value.location, value.length)};
}

}  // namespace

void QVSnippetEditorBar::install() {
    QVSnippetFileView::setSettingsBarFactory([](QVSnippetFileView& view) -> QWidget* { return new QVSnippetEditorBar(view.textView()); });
}

QVSnippetEditorBar::QVSnippetEditorBar(HTMLView* view, QWidget* parent) : QWidget(parent), _view(view) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(8, 4, 8, 4);
    layout->addWidget(new QLabel(QVLocalized(QStringLiteral("Key:")), this));
    _keyCaptureView = new QVKeyEquivalentCaptureView(this);
    _keyCaptureView->setMinimumWidth(110);
    layout->addWidget(_keyCaptureView);
    layout->addWidget(new QLabel(QVLocalized(QStringLiteral("Trigger:")), this));
    _triggerField = new QLineEdit(this);
    _triggerField->setMaximumWidth(140);
    layout->addWidget(_triggerField);
    const QStringList variables = {QVLocalized(QStringLiteral("Cursor")), QVLocalized(QStringLiteral("Selection")),
                                   QVLocalized(QStringLiteral("Line Block"))};
    for (int tag = 0; tag < variables.size(); ++tag) {
        auto* button = new QPushButton(variables[tag], this);
        button->setFocusPolicy(Qt::NoFocus);
        connect(button, &QPushButton::clicked, this, [this, tag] { insertVariable(tag); });
        layout->addWidget(button);
    }
    _errorField = new QLabel(this);
    layout->addWidget(_errorField, 1);
    _keyCaptureView->setErrorField(_errorField);
    _keyCaptureView->setDelegate([this](const QString& text, const QKeySequence&) {
        setKeyCombo(text);
        setValueForSnippetKey(text, KeyEquivalentKey);
    });
    connect(_triggerField, &QLineEdit::editingFinished, this, [this] {
        if (_triggerField->text() != _keywordTrigger) textFieldAction();
    });
    setAutoFillBackground(true);
    QPalette colours = palette();
    colours.setColor(QPalette::Window, QColor::fromRgbF(0.88f, 0.88f, 0.88f));
    setPalette(colours);
    parseValuesFromTextView();
}

void QVSnippetEditorBar::setKeyCombo(const QString& combo) {
    _keyCombo = combo;
    _keyCaptureView->setStringValue(combo);
}

void QVSnippetEditorBar::setKeywordTrigger(const QString& trigger) {
    _keywordTrigger = trigger;
    _triggerField->setText(trigger);
}

void QVSnippetEditorBar::parseValuesFromTextView() {
    if (!_view) return;
    const QString text = _view->fullString();
    if (const auto trigger = firstMatch(QVSnippetRepository::keywordTriggerPattern(), text)) setKeywordTrigger(trigger->second);
    if (const auto combo = firstMatch(QVSnippetRepository::keyComboPattern(), text)) setKeyCombo(combo->second);
}

void QVSnippetEditorBar::showEvent(QShowEvent* event) {
    parseValuesFromTextView();
    QWidget::showEvent(event);
}

void QVSnippetEditorBar::insertVariable(int tag) {
    static const QStringList variables = {QStringLiteral("[*cur]"), QStringLiteral("[*sel]"), QStringLiteral("[*<line>][*</line>]")};
    if (!_view || tag < 0 || tag >= variables.size()) return;
    _view->undoableInsertText(variables[tag], QVLocalized(QStringLiteral("Insert Snippet Variable")));
    _view->setFocus();
}

void QVSnippetEditorBar::textFieldAction() {
    // A trigger is one word: what the field holds up to its first blank or line break.
    const QString trigger = _triggerField->text().trimmed().section(QRegularExpression(QStringLiteral("\\s")), 0, 0);
    setKeywordTrigger(trigger);
    setValueForSnippetKey(trigger, KeywordCompleteKey);
}

void QVSnippetEditorBar::setValueForSnippetKey(const QString& value, const QString& key) {
    if (!_view) return;
    // "}" would end the value early and a line break would split the line: neither can be kept.
    QString clean = value;
    clean.remove(u'}').remove(u'\r').remove(u'\n');
    const QString line = clean.isEmpty() ? QString() : QStringLiteral("# %%%{%1=%2}%%%").arg(key, clean);
    const auto& pattern = key == KeyEquivalentKey ? QVSnippetRepository::keyComboPattern() : QVSnippetRepository::keywordTriggerPattern();
    const QString actionName = QVLocalized(QStringLiteral("Change Snippet Variable"));
    if (const auto match = firstMatch(pattern, _view->fullString())) {
        _view->showRange(match->first);
        _view->undoableInsertText(line, actionName);
    } else if (!line.isEmpty()) {
        _view->setSelectedRange(QVRange(0, 0));
        _view->undoableInsertText(line + u'\n', actionName);
    }
}
