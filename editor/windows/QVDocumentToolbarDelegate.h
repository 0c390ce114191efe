// The document window's toolbar: quick search, go to line, the code navigator and preferences
// pop-ups, preview and colours; which items show is the user's choice (the toolbar's context
// menu), kept per toolbar identifier in the user defaults.
#pragma once

#include "editor/windows/QVDocumentWindowController.h"
#include "editor/windows/QVToolbarItem.h"

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QToolBar>

class QLineEdit;
class QMenu;
class QToolButton;
class QVSearchField;

class QVDocumentToolbarDelegate : public QObject, public QVToolbarItemValidator {
    Q_OBJECT
public:
    // Identifiers of the spacing items.
    static inline const QString FlexibleSpaceItem = QStringLiteral("flexible-space");
    static inline const QString SpaceItem = QStringLiteral("space");
    static inline const QString SeparatorItem = QStringLiteral("separator");

    // The preference keys of the preferences pop-up, by item tag, and what each posts after a
    // toggle.
    struct Preference {
        const char* key;
        const char* notification;
        const char* title;
    };
    static const QList<Preference>& preferences();
    // The tag of QVUseTabs, whose item is on while tabs are off.
    static constexpr int UseTabsTag = 5;

    explicit QVDocumentToolbarDelegate(QVDocumentWindowController* windowController);
    ~QVDocumentToolbarDelegate() override;

    // The toolbar, made on the first call with the items last chosen for its identifier.
    QToolBar* toolbar();
    virtual QString toolbarIdentifier() const { return QStringLiteral("SingleFileToolbar"); }
    virtual QStringList toolbarAllowedItemIdentifiers() const;
    virtual QStringList toolbarDefaultItemIdentifiers() const;
    // The item shown for an identifier, made on first request and kept.
    QVToolbarItem* itemForIdentifier(const QString& identifier);
    // The identifiers now on the toolbar, in order.
    QStringList itemIdentifiers() const { return _shown; }
    // Shows these items, in order, and keeps the choice in the defaults.
    void setItemIdentifiers(const QStringList& identifiers);

    bool validateToolbarItem(const QVToolbarItem* item) const override;
    // Validates every item (the document in front changed).
    void validateItems();

    void focusOnQuickSearch();
    bool isQuickSearchFocused() const;

    QVSearchField* quickSearchField() const { return _quickSearchField; }
    QLineEdit* gotoLineField() const { return _gotoLineField; }
    QToolButton* codeNavPopUp() const { return _codeNavPopUp; }
    QToolButton* prefsPopUp() const { return _prefsPopUp; }
    QToolButton* openFilesPopUp() const { return _openFilesPopUp; }

    // The commands.
    void quickSearch();
    void controlTextDidChange(const QString& text);
    void gotoLine();
    void selectCodeNavItem(QAction* item);
    void selectPreference(QAction* item);
    void preview();
    void color();
    // Fill the pop-ups' menus as they open.
    void populatePrefs(QMenu* menu);
    void populateCodeNav(QMenu* menu);

protected:
    // Gives the item its label and view; false for an identifier this class does not know.
    // Subclasses handle their own identifiers first and hand the rest on.
    virtual bool configureItem(QVToolbarItem* item, const QString& identifier);
    QVDocumentWindowController* windowController() const { return _windowController; }

private:
    void rebuild();
    void showCustomizeMenu(const QPoint& position);
    QString defaultsKey() const;

    QPointer<QVDocumentWindowController> _windowController;
    QLineEdit* _gotoLineField = nullptr;
    QVSearchField* _quickSearchField = nullptr;
    QToolButton* _codeNavPopUp = nullptr;
    QToolButton* _prefsPopUp = nullptr;
    QToolButton* _openFilesPopUp = nullptr;
    QPointer<QToolBar> _toolbar;
    QHash<QString, QVToolbarItem*> _cachedItems;
    QStringList _shown;
};
