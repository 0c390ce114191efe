// The strip of document tabs.
#include "editor/QVTabBarView.h"

#include "editor/QVOverflowPopUpButton.h"
#include "editor/QVTab.h"
#include "editor/QVTabBarDelegate.h"
#include "platform/QVRange.h"
#include "shell/Defaults.h"

#include <QLabel>
#include <QPainter>
#include <QResizeEvent>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace {

constexpr qint64 NotFound = QVRange::NotFound;
constexpr int LeftMargin = 4;
constexpr int RightMargin = 6;

}  // namespace

QVTabBarView::QVTabBarView(QWidget* parent)
    : QWidget(parent),
      _overflowStartIndex(NotFound),
      _selectedTabIndex(NotFound),
      _originalDragIndex(NotFound),
      _currentDragIndex(NotFound) {
    setObjectName(QStringLiteral("tabBar"));
    resize(width(), DefaultHeight);
    _backgroundTab = new QVTab(this);
    _backgroundTab->setObjectName(QStringLiteral("backgroundTab"));
    _backgroundTab->setIsBackground(true);
    _backgroundTab->setDefaultColor(QColor::fromRgbF(0.92f, 0.92f, 0.92f));
    _backgroundTab->setEnabled(false);
    _backgroundTab->setGeometry(rect());
    overflowPopupButton();
    _delayTimer = new QTimer(this);
    _delayTimer->setSingleShot(true);
    _delayTimer->setInterval(RefitDelayMilliseconds);
    connect(_delayTimer, &QTimer::timeout, this, &QVTabBarView::adjustTabsToFit);
}

QVTabBarView::~QVTabBarView() {
    _delayTimer->stop();
    _delegate = nullptr;
}

QVOverflowPopUpButton* QVTabBarView::overflowPopupButton() {
    if (!_overflowPopupButton) {
        _overflowPopupButton = new QVOverflowPopUpButton(this);
        const QString path = Defaults::pathForResource(QStringLiteral("tab_chevron"), QStringLiteral("png"), QStringLiteral("Images"));
        QPixmap chevron = path.isEmpty() ? QPixmap() : QPixmap(path);
        if (chevron.isNull()) {
            chevron = QPixmap(12, 10);
            chevron.fill(Qt::transparent);
        }
        _overflowPopupButton->setChevron(chevron);
        _overflowPopupButton->resize(chevron.deviceIndependentSize().toSize());
        _overflowPopupButton->hide();
        connect(_overflowPopupButton, &QVOverflowPopUpButton::overflowChosen, this, &QVTabBarView::selectOverflow);
        placeOverflowButton();
    }
    return _overflowPopupButton;
}

void QVTabBarView::placeOverflowButton() {
    const QSize size = _overflowPopupButton->size();
    _overflowPopupButton->move(width() - size.width() - 4, int(std::ceil((height() - size.height()) * 0.5)));
    _overflowPopupButton->raise();
}

QVTab* QVTabBarView::addTab() {
    auto* tab = new QVTab(this);
    tab->setTabBar(this);
    tab->setGeometry(int(_tabs.size() * _tabWidth), 0, int(_tabWidth), DefaultHeight);
    if (!_tabs.isEmpty()) tab->stackUnder(_tabs.last());
    _tabs.append(tab);
    tab->show();
    if (_dragImage) _dragImage->raise();
    selectTabViewItemAtIndex(_tabs.size() - 1);
    adjustTabsToFit();
    return tab;
}

QVTab* QVTabBarView::tabAtIndex(qint64 index) const {
    return index >= 0 && index < _tabs.size() ? _tabs[index] : nullptr;
}

qint64 QVTabBarView::indexOfTab(const QVTab* tab) const {
    const qsizetype index = _tabs.indexOf(const_cast<QVTab*>(tab));
    return index < 0 ? NotFound : index;
}

void QVTabBarView::selectTabViewItemAtIndex(qint64 index) {
    if (index != NotFound && (index < 0 || index >= _tabs.size())) return;
    if (index == _selectedTabIndex) return;
    if (QVTab* old = tabAtIndex(_selectedTabIndex)) old->setIsSelected(false);
    QVTab* tab = tabAtIndex(index);
    if (tab) tab->setIsSelected(true);
    _selectedTabIndex = index;
    updateOverflowSelection();
    if (_delegate) _delegate->tabBarDidSelectTab(this, tab, index);
}

void QVTabBarView::selectTabViewItem(QVTab* tab) {
    selectTabViewItemAtIndex(tab ? indexOfTab(tab) : NotFound);
}

void QVTabBarView::selectOverflow(qint64 overflowIndex) {
    if (_overflowStartIndex == NotFound || overflowIndex < 0) return;
    const qint64 index = _overflowStartIndex + overflowIndex;
    if (index < _tabs.size()) selectTabViewItemAtIndex(index);
}

void QVTabBarView::closeTab(QVTab* tab, bool force, void* context) {
    qint64 index = indexOfTab(tab);
    if (index == NotFound) return;
    if (!force && _delegate && !_delegate->tabBarShouldCloseTab(this, tab, index)) return;
    // The delegate may have closed it meanwhile, or moved it.
    index = indexOfTab(tab);
    if (index == NotFound) return;
    _tabs.removeAt(index);
    tab->hide();
    tab->setIsSelected(false);
    // The selection is told apart from the removal at once, so the delegate can choose a tab by
    // index while it hears of the close: a closed selected tab leaves none selected, a closed
    // tab left of the selection shifts it down (neither is told to the delegate).
    if (index == _selectedTabIndex) _selectedTabIndex = NotFound;
    else if (_selectedTabIndex != NotFound && index < _selectedTabIndex) --_selectedTabIndex;
    if (_originalDragIndex == index) _originalDragIndex = _currentDragIndex = NotFound;
    adjustTabsToFit();
    if (_delegate) _delegate->tabBarDidCloseTab(this, tab, index, context);
    tab->setTabBar(nullptr);
    tab->deleteLater();
}

bool QVTabBarView::setTabWidth(qint64 width, bool) {
    if (width == _tabWidth) return false;
    _tabWidth = width;
    layoutTabs();
    return true;
}

void QVTabBarView::setVisible(bool visible, bool) {
    QRect frame = geometry();
    if (visible && _invisible) frame.translate(0, frame.height());
    else if (!visible && !_invisible) frame.translate(0, -frame.height());
    setGeometry(frame);
    _invisible = !visible;
}

double QVTabBarView::availableWidth() const {
    const int chevronWidth = _overflowPopupButton ? _overflowPopupButton->width() : 0;
    return double(float(width() - LeftMargin - RightMargin - chevronWidth));
}

void QVTabBarView::adjustTabsToFit() {
    _delayTimer->stop();
    const double available = availableWidth();
    const double fit = std::floor(float(available / MinimumTabWidth));
    // A strip narrower than its margins fits no tab (never a negative count).
    const qint64 shown = std::max<qint64>(0, std::min<qint64>(_tabs.size(), qint64(fit)));
    qint64 width = MaximumTabWidth;
    if (shown > 0)
        width = std::clamp<qint64>(qint64(std::floor(float(available / double(shown)))), MinimumTabWidth, MaximumTabWidth);
    if (!setTabWidth(width)) layoutTabs();
}

bool QVTabBarView::refitPending() const { return _delayTimer->isActive(); }

void QVTabBarView::layoutTabs() {
    _backgroundTab->setGeometry(rect());
    placeOverflowButton();
    const double available = availableWidth();
    _overflowStartIndex = NotFound;
    QList<QVTab*> overflow;
    for (qsizetype i = 0; i < _tabs.size(); ++i) {
        QVTab* tab = _tabs[i];
        const qint64 x = i * _tabWidth;
        if (double(x + _tabWidth) > available) {
            tab->hide();
            tab->setGeometry(width(), tab->y(), int(_tabWidth), DefaultHeight);
            overflow.append(tab);
            if (_overflowStartIndex == NotFound) _overflowStartIndex = i;
        } else {
            tab->setGeometry(int(x), tab->y(), int(_tabWidth), DefaultHeight);
            tab->show();
        }
    }
    overflowPopupButton()->setOverflowTabs(overflow);
    _overflowPopupButton->setVisible(!overflow.isEmpty());
    updateOverflowSelection();
    update();
}

void QVTabBarView::layoutTabsForDrag(qint64 from, qint64 to) {
    for (qsizetype i = 0; i < _tabs.size(); ++i) {
        if (_overflowStartIndex != NotFound && i >= _overflowStartIndex) break;
        qint64 slot = i;
        if (i == from) slot = to;
        else if (from < i && i <= to) slot = i - 1;
        else if (to <= i && i < from) slot = i + 1;
        _tabs[i]->move(int(slot * _tabWidth), _tabs[i]->y());
    }
    update();
}

void QVTabBarView::updateOverflowSelection() {
    if (!_overflowPopupButton) return;
    const bool behindChevron = _overflowStartIndex != NotFound && _selectedTabIndex != NotFound &&
                               _selectedTabIndex >= _overflowStartIndex;
    _overflowPopupButton->setCurrentItem(behindChevron ? _selectedTabIndex - _overflowStartIndex : NotFound);
}

qint64 QVTabBarView::indexForPoint(const QPoint& location) const {
    if (_tabs.isEmpty()) return NotFound;
    // The last slot a dragged tab can be shown in: the last tab that fits.
    const qint64 last = (_overflowStartIndex == NotFound ? _tabs.size() : std::max<qint64>(1, _overflowStartIndex)) - 1;
    if (location.x() < 0 || _tabWidth <= 0) return 0;
    return std::min<qint64>(location.x() / _tabWidth, last);
}

void QVTabBarView::beginDragForTab(QVTab* tab, const QPoint& grabOffset) {
    const qint64 index = indexOfTab(tab);
    if (index == NotFound) return;
    _originalDragIndex = _currentDragIndex = index;
    _grabOffset = grabOffset;
    // The tab's picture follows the pointer at 70% opacity while its slot shows the drag colour.
    const QPixmap picture = tab->grab();
    QPixmap faded(picture.size());
    faded.setDevicePixelRatio(picture.devicePixelRatio());
    faded.fill(Qt::transparent);
    {
        QPainter painter(&faded);
        painter.setOpacity(0.7);
        painter.drawPixmap(0, 0, picture);
    }
    if (!_dragImage) {
        _dragImage = new QLabel(this);
        _dragImage->setObjectName(QStringLiteral("dragImage"));
        _dragImage->setAttribute(Qt::WA_TransparentForMouseEvents);
    }
    _dragImage->setPixmap(faded);
    _dragImage->setGeometry(tab->geometry());
    _dragImage->show();
    _dragImage->raise();
    tab->setIsDragging(true);
}

void QVTabBarView::draggingUpdated(const QPoint& location) {
    if (_originalDragIndex == NotFound) return;
    if (_dragImage) {
        const int x = std::clamp(location.x() - _grabOffset.x(), 0, std::max(0, width() - _dragImage->width()));
        _dragImage->move(x, 0);
        _dragImage->show();
    }
    const qint64 index = indexForPoint(location);
    if (index != _currentDragIndex) {
        layoutTabsForDrag(_originalDragIndex, index);
        _currentDragIndex = index;
    }
}

void QVTabBarView::draggingExited() {
    if (_originalDragIndex == NotFound) return;
    if (_dragImage) _dragImage->hide();
    layoutTabsForDrag(_originalDragIndex, _originalDragIndex);
    _currentDragIndex = _originalDragIndex;
}

void QVTabBarView::concludeDragOperation(const QPoint& location) {
    const qint64 from = _originalDragIndex;
    const qint64 to = indexForPoint(location);
    if (from == NotFound || to == NotFound || to == from) return;
    QVTab* tab = _tabs[from];
    _tabs.move(from, to);
    if (_selectedTabIndex == from) _selectedTabIndex = to;
    else if (_selectedTabIndex != NotFound && from < _selectedTabIndex && _selectedTabIndex <= to) --_selectedTabIndex;
    else if (_selectedTabIndex != NotFound && to <= _selectedTabIndex && _selectedTabIndex < from) ++_selectedTabIndex;
    _originalDragIndex = _currentDragIndex = to;
    layoutTabs();
    if (_delegate) _delegate->tabBarDraggedTab(this, tab, from, to);
}

void QVTabBarView::endDragForTab(QVTab* tab) {
    if (_dragImage) _dragImage->hide();
    tab->setIsDragging(false);
    _originalDragIndex = _currentDragIndex = NotFound;
    layoutTabs();
}

void QVTabBarView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    _backgroundTab->setGeometry(rect());
    placeOverflowButton();
    // While the window is being resized the widths wait for a pause; the tabs that no longer
    // fit go behind the chevron at once.
    if (isVisible() && event->oldSize().isValid() && event->oldSize().width() > 0) {
        layoutTabs();
        _delayTimer->start();
    } else {
        adjustTabsToFit();
    }
}
