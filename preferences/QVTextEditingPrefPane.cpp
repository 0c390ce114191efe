// The text-editing pane.
#include "preferences/QVTextEditingPrefPane.h"

#include "editor/QVEditorNotifications.h"
#include "platform/AppBundle.h"
#include "platform/NotificationCenter.h"
#include "preferences/QVDefaultsBinding.h"
#include "shell/Defaults.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFontDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>

#include <utility>

namespace {

QString localized(const char* text) { return QVLocalized(QString::fromUtf8(text)); }

}  // namespace

QVTextEditingPrefPane::QVTextEditingPrefPane(const QString& displayName) : QVPrefPane(displayName) {
    // Watched from the start, so a change made through any control of the pane counts.
    UserDefaults& store = UserDefaults::standard();
    for (const char* key : {QVLineNums, QVShowInvisibles, QVWrapText, QVTabsAreSpaces, QVTabSizeKey, QVLineBreak, QVCodeFoldingEnabled}) {
        const QString name = QString::fromLatin1(key);
        _observers << store.addObserver(name, [this, name](const QString&, const QVariant&, const QVariant&) {
            if (name == QLatin1String(QVLineNums)) _sendLineNumbersNote = true;
            else if (name == QLatin1String(QVCodeFoldingEnabled)) _sendFoldingNote = true;
            else _sendGeneralNote = true;
            showInEditorsSoon();
        });
    }
}

QVTextEditingPrefPane::~QVTextEditingPrefPane() {
    for (const UserDefaults::Token token : std::as_const(_observers)) UserDefaults::standard().removeObserver(token);
}

QWidget* QVTextEditingPrefPane::loadView() {
    auto* view = new QWidget;
    view->setObjectName(QStringLiteral("TextEditingPrefPane"));
    auto* form = new QFormLayout(view);
    auto check = [&](const char* key, const char* title) {
        auto* box = new QCheckBox(localized(title), view);
        box->setObjectName(QString::fromLatin1(key));
        QVDefaultsBinding::bind(box, QString::fromLatin1(key));
        form->addRow(QString(), box);
        return box;
    };
    QCheckBox* first = check(QVLineNums, "Show line numbers");
    check(QVCodeFoldingEnabled, "Show code folding");
    check(QVShowInvisibles, "Show invisible characters");
    check(QVWrapText, "Wrap long lines");
    check(QVTabsAreSpaces, "Indent with spaces");
    auto* tabSize = new QSpinBox(view);
    tabSize->setObjectName(QString::fromLatin1(QVTabSizeKey));
    tabSize->setRange(1, 16);
    QVDefaultsBinding::bind(tabSize, QString::fromLatin1(QVTabSizeKey));
    form->addRow(localized("Tab size:"), tabSize);
    auto* lineBreak = new QComboBox(view);
    lineBreak->setObjectName(QString::fromLatin1(QVLineBreak));
    lineBreak->addItems({localized("Unix (LF)"), localized("Classic Mac (CR)"), localized("Windows (CR LF)")});
    QVDefaultsBinding::bind(lineBreak, QString::fromLatin1(QVLineBreak));
    form->addRow(localized("Line breaks:"), lineBreak);
    auto* fontRow = new QHBoxLayout;
    _fontField = new QLineEdit(view);
    _fontField->setObjectName(QStringLiteral("fontField"));
    _fontField->setReadOnly(true);
    _fontField->setMinimumWidth(260);
    _fontField->setText(displayNameForFont(Defaults::defaultFont()));
    auto* choose = new QPushButton(localized("Select\u2026"), view);
    choose->setObjectName(QStringLiteral("chooseFont"));
    connect(choose, &QPushButton::clicked, this, &QVTextEditingPrefPane::chooseFont);
    fontRow->addWidget(_fontField, 1);
    fontRow->addWidget(choose);
    form->addRow(localized("Editor font:"), fontRow);
    setFirstResponder(first);
    return view;
}

QString QVTextEditingPrefPane::displayNameForFont(const QFont& font) {
    return QStringLiteral("%1 %2 %3pt").arg(font.family()).arg(QChar(0x2014)).arg(font.pointSizeF(), 0, 'f', 0);
}

void QVTextEditingPrefPane::chooseFont() {
    auto* dialog = new QFontDialog(Defaults::defaultFont(), mainView());
    dialog->setObjectName(QStringLiteral("fontPanel"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QFontDialog::fontSelected, this, &QVTextEditingPrefPane::prefsFontChanged);
    dialog->open();
}

void QVTextEditingPrefPane::prefsFontChanged(const QFont& font) {
    Defaults::setDefaultFont(font);
    if (_fontField) _fontField->setText(displayNameForFont(font));
    _sendGeneralNote = true;
    showInEditorsSoon();
}

void QVTextEditingPrefPane::startSession() {
    QVPrefPane::startSession();
    _sendGeneralNote = _sendLineNumbersNote = _sendFoldingNote = false;
}

void QVTextEditingPrefPane::showInEditorsSoon() {
    // Changes made in one go (a control that sets several keys) are told once, after it.
    if (std::exchange(_showScheduled, true)) return;
    QMetaObject::invokeMethod(this, [this] { showInEditors(); }, Qt::QueuedConnection);
}

void QVTextEditingPrefPane::endSession() { showInEditors(); }

void QVTextEditingPrefPane::showInEditors() {
    _showScheduled = false;
    if (_sendGeneralNote) NotificationCenter::defaultCenter().post(QString::fromLatin1(QorvelEditorPrefsChange));
    if (_sendLineNumbersNote || _sendFoldingNote) NotificationCenter::defaultCenter().post(QString::fromLatin1(QorvelCodeFoldingPrefChanged));
    _sendGeneralNote = _sendLineNumbersNote = _sendFoldingNote = false;
}
