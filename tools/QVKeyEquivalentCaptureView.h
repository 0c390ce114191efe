// A field that records a key combination: clicked, it takes the next key before any shortcut
// does, writes it in the snippet files' form ("^" Meta, "~" Alt, "$" Shift, "@" Ctrl, then the
// key, a modifier character as key behind "\") and refuses a combination that a menu of its
// window already uses.
#pragma once

#include <QKeySequence>
#include <QPointer>
#include <QWidget>

#include <functional>

#include <QLabel>
class QLineEdit;
class QMenu;

class QVKeyEquivalentCaptureView : public QWidget {
    Q_OBJECT
public:
    explicit QVKeyEquivalentCaptureView(QWidget* parent = nullptr);

    // Shows a combination text.
    void setStringValue(const QString& text);
    QString stringValue() const;
    // Where the verdict goes ("Success!!" or why the combination was refused).
    void setErrorField(QLabel* field) { _errorField = field; }
    // Hears a combination that was taken: its text and the sequence.
    using Delegate = std::function<void(const QString& text, const QKeySequence& sequence)>;
    void setDelegate(Delegate delegate) { _delegate = std::move(delegate); }
    // The menus searched for a clash; default: the menu bars of the view's window.
    void setMenusToSearch(std::function<QList<QMenu*>()> menus) { _menus = std::move(menus); }

    // The text of a key with modifiers; empty for a modifier key alone.
    static QString stringRepresentation(int key, Qt::KeyboardModifiers modifiers);
    // Whether a menu (or any of its submenus) holds an item with that shortcut.
    static bool menuHasKeyEquivalent(const QMenu* menu, const QKeySequence& sequence);
    // Takes a key as if typed while the view has the focus; answers whether it was taken.
    bool capture(int key, Qt::KeyboardModifiers modifiers);

protected:
    bool event(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    QList<QMenu*> menusToSearch() const;
    void showVerdict(const QString& text);

    QLineEdit* _textField = nullptr;
    QPointer<QLabel> _errorField;
    Delegate _delegate;
    std::function<QList<QMenu*>()> _menus;
};
