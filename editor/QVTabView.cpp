// The tabbed area of a multi-file window.
#include "editor/QVTabView.h"

#include "editor/QVTab.h"
#include "editor/QVTabBarView.h"
#include "editor/QVTabViewDelegate.h"
#include "platform/MainQueue.h"
#include "platform/QVRange.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"

#include <QResizeEvent>

QVTabView::QVTabView(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("tabView"));
    _tabBar = new QVTabBarView(this);
    _tabBar->setDelegate(this);
    _contentBox = new QWidget(this);
    _contentBox->setObjectName(QStringLiteral("contentBox"));
    layoutChildren();
    _defaults = &UserDefaults::standard();
    setShowTabBar(_defaults->boolForKey(QString::fromLatin1(QVUseTabs)));
    // The bar follows the setting while the view lives; a change from another thread arrives
    // through the main queue.
    QPointer<QVTabView> self(this);
    _useTabsObserver = _defaults->addObserver(
        QString::fromLatin1(QVUseTabs), [self](const QString&, const QVariant&, const QVariant& value) {
            const bool on = value.toBool();
            const auto apply = [self, on] { if (self) self->setShowTabBar(on); };
            if (MainQueue::isMainThread()) apply();
            else MainQueue::post(apply);
        });
}

QVTabView::~QVTabView() {
    _defaults->removeObserver(_useTabsObserver);
    _tabBar->setDelegate(nullptr);
}

QRect QVTabView::contentFrame() const { return QRect(QPoint(0, 0), _contentBox->size()); }

void QVTabView::setShowTabBar(bool show) {
    if (show == _showTabBar) return;
    _showTabBar = show;
    _tabBar->setVisible(show, false);
    layoutChildren();
}

void QVTabView::layoutChildren() {
    const int barHeight = QVTabBarView::DefaultHeight;
    _tabBar->setGeometry(0, _showTabBar ? 0 : -barHeight, width(), barHeight);
    // The box's top meets the bar's bottom: it grows by the bar's height while the bar is away.
    const int top = _tabBar->geometry().bottom() + 1;
    _contentBox->setGeometry(0, top, width(), std::max(0, height() - top));
    if (_contentView) _contentView->setGeometry(contentFrame());
}

void QVTabView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    layoutChildren();
}

void QVTabView::setContentView(QWidget* view) {
    if (view == _contentView) {
        if (view) view->setGeometry(contentFrame());
        return;
    }
    // Views once shown stay in the box, hidden, so switching back costs no re-parenting.
    if (_contentView) _contentView->hide();
    _contentView = view;
    if (!view) return;
    if (view->parentWidget() != _contentBox) view->setParent(_contentBox);
    view->setGeometry(contentFrame());
    view->show();
}

void QVTabView::removeContentView(QWidget* view) {
    if (!view) return;
    if (view == _contentView) _contentView = nullptr;
    if (view->parentWidget() == _contentBox) {
        view->hide();
        view->setParent(nullptr);
    }
}

QVTab* QVTabView::addTabWithIdentifier(const QString& identifier) {
    QVTab* tab = _tabBar->addTab();
    tab->setTabIdentifier(identifier);
    _tabsByIdentifier.insert(identifier, tab);
    return tab;
}

qint64 QVTabView::countOfTabs() const { return _tabBar->countOfTabs(); }
qint64 QVTabView::selectedTabIndex() const { return _tabBar->selectedTabIndex(); }
void QVTabView::selectTabViewItemAtIndex(qint64 index) { _tabBar->selectTabViewItemAtIndex(index); }

void QVTabView::selectTabViewItem(QVTab* tab) {
    _tabBar->selectTabViewItem(tab);
    if (!tab) setContentView(nullptr);
}

void QVTabView::tabIdentifierChangedTo(const QString& oldIdentifier, const QString& newIdentifier) {
    QVTab* tab = _tabsByIdentifier.value(oldIdentifier);
    if (!tab || oldIdentifier == newIdentifier) return;
    tab->setTabIdentifier(newIdentifier);
    _tabsByIdentifier.remove(oldIdentifier);
    _tabsByIdentifier.insert(newIdentifier, tab);
}

void QVTabView::closeTabViewItem(QVTab* tab, bool force, void* context) { _tabBar->closeTab(tab, force, context); }

void QVTabView::closeAllTabs(bool force, void* context) {
    QList<QPointer<QVTab>> tabs;
    QPointer<QVTab> selected = _tabBar->selectedTab();
    for (QVTab* tab : _tabBar->tabs())
        if (tab != selected && _tabsByIdentifier.contains(tab->tabIdentifier())) tabs.append(tab);
    if (selected && _tabsByIdentifier.contains(selected->tabIdentifier())) tabs.append(selected);
    for (const QPointer<QVTab>& tab : tabs)
        if (tab) _tabBar->closeTab(tab, force, context);
}

void QVTabView::tabBarDidSelectTab(QVTabBarView*, QVTab*, qint64 index) {
    if (index == QVRange::NotFound) setContentView(nullptr);
    else setContentView(_delegate ? _delegate->viewForTabView(this, index) : nullptr);
    if (_delegate) _delegate->tabViewDidSelectTabAtIndex(this, index);
}

bool QVTabView::tabBarShouldCloseTab(QVTabBarView*, QVTab* tab, qint64 index) {
    return !_delegate || _delegate->tabViewShouldCloseTab(this, tab->tabIdentifier(), index);
}

void QVTabView::tabBarDidCloseTab(QVTabBarView*, QVTab* tab, qint64 index, void* context) {
    const QString identifier = tab->tabIdentifier();
    if (_tabsByIdentifier.value(identifier) == tab) _tabsByIdentifier.remove(identifier);
    if (_delegate) _delegate->tabViewDidCloseTab(this, identifier, index, context);
}

void QVTabView::tabBarDraggedTab(QVTabBarView*, QVTab*, qint64 from, qint64 to) {
    if (_delegate) _delegate->tabViewDraggedTabFromIndex(this, from, to);
}
