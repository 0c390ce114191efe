#include "tools/QVKeyEquivalentCaptureView.h"

#include "editor/QVBeep.h"
#include "platform/AppBundle.h"

#include <QAction>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QVBoxLayout>

QVKeyEquivalentCaptureView::QVKeyEquivalentCaptureView(QWidget* parent) : QWidget(parent) {
    setFocusPolicy(Qt::ClickFocus);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    _textField = new QLineEdit(this);
    _textField->setReadOnly(true);
    _textField->setAlignment(Qt::AlignCenter);
    _textField->setFocusPolicy(Qt::NoFocus);
    // Clicks go to the view, which then takes the keys.
    _textField->setAttribute(Qt::WA_TransparentForMouseEvents);
    _textField->setPlaceholderText(QVLocalized(QStringLiteral("Click, then type keys")));
    layout->addWidget(_textField);
}

void QVKeyEquivalentCaptureView::setStringValue(const QString& text) { _textField->setText(text); }
QString QVKeyEquivalentCaptureView::stringValue() const { return _textField->text(); }

QString QVKeyEquivalentCaptureView::stringRepresentation(int key, Qt::KeyboardModifiers modifiers) {
    if (key == 0 || key == Qt::Key_unknown || key == Qt::Key_Shift || key == Qt::Key_Control || key == Qt::Key_Meta ||
        key == Qt::Key_Alt || key == Qt::Key_AltGr || key == Qt::Key_Super_L || key == Qt::Key_Super_R)
        return {};
    QString text;
    if (modifiers & Qt::MetaModifier) text += u'^';
    if (modifiers & Qt::AltModifier) text += u'~';
    if (modifiers & Qt::ShiftModifier) text += u'$';
    if (modifiers & Qt::ControlModifier) text += u'@';
    QString name = key >= 0x20 && key <= 0x7e ? QString(QChar(key)) : QKeySequence(key).toString(QKeySequence::PortableText);
    if (name.isEmpty()) return {};
    if (name.size() == 1 && QStringLiteral("~^@$\\").contains(name)) text += u'\\';
    return text + name.toUpper();
}

bool QVKeyEquivalentCaptureView::menuHasKeyEquivalent(const QMenu* menu, const QKeySequence& sequence) {
    if (!menu) return false;
    for (const QAction* item : menu->actions()) {
        if (item->menu()) {
            if (menuHasKeyEquivalent(item->menu(), sequence)) return true;
            continue;
        }
        for (const QKeySequence& shortcut : item->shortcuts())
            if (shortcut == sequence) return true;
    }
    return false;
}

QList<QMenu*> QVKeyEquivalentCaptureView::menusToSearch() const {
    if (_menus) return _menus();
    QList<QMenu*> menus;
    if (QWidget* top = window())
        for (const QMenuBar* bar : top->findChildren<QMenuBar*>())
            for (const QAction* item : bar->actions())
                if (item->menu()) menus << item->menu();
    return menus;
}

void QVKeyEquivalentCaptureView::showVerdict(const QString& text) {
    if (_errorField) _errorField->setText(text);
}

bool QVKeyEquivalentCaptureView::capture(int key, Qt::KeyboardModifiers modifiers) {
    const Qt::KeyboardModifiers kept = modifiers & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
    const QString text = stringRepresentation(key, kept);
    if (text.isEmpty()) return false;
    const QKeySequence sequence(QKeyCombination(kept, Qt::Key(key)));
    for (const QMenu* menu : menusToSearch()) {
        if (!menuHasKeyEquivalent(menu, sequence)) continue;
        QVBeep::beep();
        showVerdict(QVLocalized(QStringLiteral("Key equivalent (%@) already exists. Please choose another.")).replace(QStringLiteral("%@"), text));
        return true;
    }
    showVerdict(QVLocalized(QStringLiteral("Success!!")));
    setStringValue(text);
    if (_delegate) _delegate(text, sequence);
    clearFocus();
    return true;
}

bool QVKeyEquivalentCaptureView::event(QEvent* event) {
    // While focused, every key is ours before any shortcut sees it.
    if (event->type() == QEvent::ShortcutOverride && hasFocus()) {
        event->accept();
        return true;
    }
    return QWidget::event(event);
}

void QVKeyEquivalentCaptureView::keyPressEvent(QKeyEvent* event) {
    if (!capture(event->key(), event->modifiers())) QWidget::keyPressEvent(event);
}

void QVKeyEquivalentCaptureView::mousePressEvent(QMouseEvent* event) {
    setFocus(Qt::MouseFocusReason);
    QWidget::mousePressEvent(event);
}

void QVKeyEquivalentCaptureView::focusInEvent(QFocusEvent* event) {
    _textField->setStyleSheet(QStringLiteral("QLineEdit { border: 2px solid palette(highlight); }"));
    QWidget::focusInEvent(event);
}

void QVKeyEquivalentCaptureView::focusOutEvent(QFocusEvent* event) {
    _textField->setStyleSheet(QString());
    QWidget::focusOutEvent(event);
}
