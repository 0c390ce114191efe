// The strip of document tabs at the top of a tabbed window: it fits the tabs' width to the
// strip, hides those that do not fit behind a chevron menu, keeps the selection, closes tabs
// with its delegate's consent and reorders them when one is dragged along the strip.
#pragma once

class QVTab;

#include <QList>
#include <QPointer>
#include <QWidget>

class QLabel;
class QTimer;
class QVOverflowPopUpButton;
class QVTabBarDelegate;

// Indexes are positions in the strip, left to right; QVRange::NotFound means none.
//
// Fitting: the tabs share the strip less its margins and the chevron, each between 80 and 130
// pixels wide; those that do not fit are the last ones, listed in the chevron's menu. A strip
// too narrow for one tab shows none (every tab behind the chevron).
//
// Reordering uses the tab's own mouse events (no drag and drop leaves the strip): while the
// pointer is over the strip the dragged tab is shown in the slot under it and the others make
// room; releasing it there moves it, releasing it outside puts it back.
class QVTabBarView : public QWidget {
    Q_OBJECT
public:
    static constexpr int DefaultHeight = 24;
    static constexpr int MinimumTabWidth = 80;
    static constexpr int MaximumTabWidth = 130;
    // How long a resize waits for the next one before the tabs are fitted again.
    static constexpr int RefitDelayMilliseconds = 100;

    explicit QVTabBarView(QWidget* parent = nullptr);
    ~QVTabBarView() override;

    static int defaultHeight() { return DefaultHeight; }

    QVTabBarDelegate* delegate() const { return _delegate; }
    void setDelegate(QVTabBarDelegate* delegate) { _delegate = delegate; }

    // A new tab at the end, selected (the delegate hears of it before this returns).
    QVTab* addTab();
    qint64 countOfTabs() const { return _tabs.size(); }
    QVTab* tabAtIndex(qint64 index) const;
    qint64 indexOfTab(const QVTab* tab) const;
    const QList<QVTab*>& tabs() const { return _tabs; }
    qint64 selectedTabIndex() const { return _selectedTabIndex; }
    QVTab* selectedTab() const { return tabAtIndex(_selectedTabIndex); }
    // Selects the tab at index (NotFound: none) and tells the delegate; the selected one again
    // changes nothing.
    void selectTabViewItemAtIndex(qint64 index);
    void selectTabViewItem(QVTab* tab);
    // The chevron menu's choice: the n-th tab behind the chevron.
    void selectOverflow(qint64 overflowIndex);
    // Closes the tab: unless forced, the delegate may refuse. The selection of a closed selected
    // tab is the delegate's to choose; when it chooses nothing it falls on the neighbour.
    void closeTab(QVTab* tab, bool force, void* context = nullptr);

    qint64 tabWidth() const { return _tabWidth; }
    // Answers whether the width changed (the tabs are laid out again then).
    bool setTabWidth(qint64 width, bool animate = false);
    // Moves the strip up out of sight (or back down) by its height.
    void setVisible(bool visible, bool animate);
    using QWidget::setVisible;
    bool isInvisible() const { return _invisible; }

    // Where the tabs and the chevron go, and which tabs fit: runs on every add, close and, after
    // a short pause, resize.
    void adjustTabsToFit();
    // Whether a re-fit waits for the resizing to pause.
    bool refitPending() const;
    qint64 overflowStartIndex() const { return _overflowStartIndex; }
    QVOverflowPopUpButton* overflowPopupButton();
    QVTab* backgroundTab() const { return _backgroundTab; }

    // The dragging of one of this strip's tabs, in the strip's coordinates; the tabs call these.
    void beginDragForTab(QVTab* tab, const QPoint& grabOffset);
    void draggingUpdated(const QPoint& location);
    void draggingExited();
    void concludeDragOperation(const QPoint& location);
    void endDragForTab(QVTab* tab);
    // The slot under an x position of the strip: the first before the strip, the last past it.
    qint64 indexForPoint(const QPoint& location) const;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    double availableWidth() const;
    void layoutTabs();
    void layoutTabsForDrag(qint64 from, qint64 to);
    void updateOverflowSelection();
    void placeOverflowButton();

    QVTabBarDelegate* _delegate = nullptr;
    QVTab* _backgroundTab = nullptr;
    QList<QVTab*> _tabs;
    qint64 _tabWidth = MaximumTabWidth;
    bool _invisible = false;
    QVOverflowPopUpButton* _overflowPopupButton = nullptr;
    QTimer* _delayTimer = nullptr;
    qint64 _overflowStartIndex;
    qint64 _selectedTabIndex;
    qint64 _originalDragIndex;
    qint64 _currentDragIndex;
    // The dragged tab's picture, following the pointer along the strip.
    QLabel* _dragImage = nullptr;
    QPoint _grabOffset;
};
