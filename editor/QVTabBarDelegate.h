// What a tab bar tells the object that pairs its tabs with content (the tab view).
#pragma once

#include <QtGlobal>

class QVTab;
class QVTabBarView;

class QVTabBarDelegate {
public:
    virtual ~QVTabBarDelegate() = default;
    // The selection changed; no tab (nullptr) and QVRange::NotFound for none.
    virtual void tabBarDidSelectTab(QVTabBarView* bar, QVTab* tab, qint64 index) = 0;
    // Whether the tab may close now; false keeps it (the delegate may close it later, forced).
    virtual bool tabBarShouldCloseTab(QVTabBarView* bar, QVTab* tab, qint64 index) = 0;
    // The tab left the strip (it is deleted once this returns); index is where it was.
    virtual void tabBarDidCloseTab(QVTabBarView* bar, QVTab* tab, qint64 index, void* context) = 0;
    // The user moved the tab from one slot to another.
    virtual void tabBarDraggedTab(QVTabBarView* bar, QVTab* tab, qint64 from, qint64 to) = 0;
};
