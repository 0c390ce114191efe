// The base of every pane of the Preferences window: a view built on first selection, an icon, and
// a session that runs from the window's showing until it closes.
#pragma once

#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QSize>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>

class QVPrefPane : public QObject {
    Q_OBJECT
public:
    explicit QVPrefPane(const QString& displayName, QObject* parent = nullptr);
    ~QVPrefPane() override;

    // Panes are made by class name from the pane list, so each class registers a maker.
    using Maker = std::function<std::unique_ptr<QVPrefPane>(const QString& displayName)>;
    static void registerClass(const QString& className, Maker maker);
    // A new pane of that class, or null when no class of the name is registered or the pane has
    // no view to offer.
    static std::unique_ptr<QVPrefPane> create(const QString& className, const QString& displayName);

    // Builds the view on first use; false when it cannot be built (the window stays as it was).
    virtual bool allowSelect();
    virtual bool allowUnselect() { return true; }
    // Gives the keyboard focus to the pane's first control.
    virtual void select();
    // Ends every edit in progress inside the pane, so what was typed last reaches its model.
    virtual void unselect();
    virtual void startSession() { _didChange = false; }
    virtual void endSession() {}

    QString displayName() const { return _displayName; }
    QString identifier() const { return _identifier; }
    void setIdentifier(const QString& identifier) { _identifier = identifier; }
    QWidget* mainView() const { return _mainView; }
    // The image named iconName() (the application's Images folder), loaded once; null when none.
    QIcon icon();
    virtual bool resizable() const { return false; }
    virtual QSize minSize() const;
    virtual QSize maxSize() const;

    bool didChange() const { return _didChange; }
    void setDidChange(bool changed) { _didChange = changed; }

    // Ends any field or table edit in progress under widget: the editor loses the focus, which
    // hands its text to the model.
    static void endEditing(QWidget* widget);

protected:
    virtual QString iconName() const { return {}; }
    // The icon when it is not a named image (folder icons and the like).
    virtual QIcon makeIcon();
    // Whether the class has a view at all (a pane without one is never made).
    virtual bool hasView() const { return true; }
    // The pane's view, made once, at its first selection; null when it cannot be made.
    virtual QWidget* loadView() = 0;
    void setFirstResponder(QWidget* widget) { _firstResponder = widget; }

private:
    QString _displayName;
    QString _identifier;
    QPointer<QWidget> _mainView;
    QPointer<QWidget> _firstResponder;
    QIcon _icon;
    bool _iconLoaded = false;
    bool _didChange = false;
};
