// The tabbed area of a multi-file window: the tab bar along the top and below it a content box
// showing the selected tab's view. Tabs are named by identifier strings (a document's uuid);
// the bar shows while the QVUseTabs setting is on, following its changes.
#pragma once

#include "editor/QVTabBarDelegate.h"

#include <QHash>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>

class QVTab;
class QVTabBarView;
class QVTabViewDelegate;
class UserDefaults;

class QVTabView : public QWidget, private QVTabBarDelegate {
    Q_OBJECT
public:
    explicit QVTabView(QWidget* parent = nullptr);
    ~QVTabView() override;

    QVTabViewDelegate* delegate() const { return _delegate; }
    void setDelegate(QVTabViewDelegate* delegate) { _delegate = delegate; }
    QVTabBarView* tabBar() const { return _tabBar; }

    // The size a tab's view should take: the content box's, at the origin.
    QRect contentFrame() const;
    QWidget* contentBox() const { return _contentBox; }
    // The view shown now; none when no tab is selected.
    QWidget* contentView() const { return _contentView; }
    // Lets a view go from the content box (its owner takes it back).
    void removeContentView(QWidget* view);

    bool showTabBar() const { return _showTabBar; }
    // Moves the bar out of sight (or back) and gives its height to the content (or takes it).
    void setShowTabBar(bool show);

    // A new tab under the identifier, selected at once: the delegate is asked for its view by
    // index before the identifier is stored.
    QVTab* addTabWithIdentifier(const QString& identifier);
    qint64 countOfTabs() const;
    qint64 selectedTabIndex() const;
    void selectTabViewItemAtIndex(qint64 index);
    // No tab (nullptr) also empties the content area.
    void selectTabViewItem(QVTab* tab);
    QVTab* tabForIdentifier(const QString& identifier) const { return _tabsByIdentifier.value(identifier); }
    // Re-keys a tab; its place and selection stay.
    void tabIdentifierChangedTo(const QString& oldIdentifier, const QString& newIdentifier);
    void closeTabViewItem(QVTab* tab, bool force, void* context = nullptr);
    // Closes every tab (the selected one last, so no other tab is brought forward on the way).
    void closeAllTabs(bool force, void* context = nullptr);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void tabBarDidSelectTab(QVTabBarView* bar, QVTab* tab, qint64 index) override;
    bool tabBarShouldCloseTab(QVTabBarView* bar, QVTab* tab, qint64 index) override;
    void tabBarDidCloseTab(QVTabBarView* bar, QVTab* tab, qint64 index, void* context) override;
    void tabBarDraggedTab(QVTabBarView* bar, QVTab* tab, qint64 from, qint64 to) override;
    void setContentView(QWidget* view);
    void layoutChildren();

    QVTabViewDelegate* _delegate = nullptr;
    bool _showTabBar = true;
    QVTabBarView* _tabBar = nullptr;
    QWidget* _contentBox = nullptr;
    QPointer<QWidget> _contentView;
    QHash<QString, QVTab*> _tabsByIdentifier;
    UserDefaults* _defaults = nullptr;  // the store observed (tests may replace the standard one)
    quint64 _useTabsObserver = 0;
};
