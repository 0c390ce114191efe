// What a tab view asks of and tells the window that pairs its tabs with documents.
#pragma once

#include <QString>
#include <QtGlobal>

class QVTabView;
class QWidget;

class QVTabViewDelegate {
public:
    virtual ~QVTabViewDelegate() = default;
    // The view to show for the tab at index (the tab view's content box takes it as a child).
    virtual QWidget* viewForTabView(QVTabView* tabView, qint64 index) = 0;
    // The selection changed; QVRange::NotFound for none.
    virtual void tabViewDidSelectTabAtIndex(QVTabView* tabView, qint64 index) = 0;
    // Whether the tab may close at once.
    virtual bool tabViewShouldCloseTab(QVTabView* tabView, const QString& identifier, qint64 index) = 0;
    // The tab has gone; index is where it was.
    virtual void tabViewDidCloseTab(QVTabView* tabView, const QString& identifier, qint64 index, void* context) = 0;
    // The user moved a tab.
    virtual void tabViewDraggedTabFromIndex(QVTabView* tabView, qint64 from, qint64 to) = 0;
};
