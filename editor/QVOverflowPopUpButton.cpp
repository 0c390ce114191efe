// The chevron of a tab bar.
#include "editor/QVOverflowPopUpButton.h"

#include "editor/QVTab.h"
#include "platform/QVRange.h"

#include <QMenu>
#include <QMouseEvent>
#include <QPainter>

QVOverflowPopUpButton::QVOverflowPopUpButton(QWidget* parent)
    : QToolButton(parent), _currentItem(QVRange::NotFound) {
    setObjectName(QStringLiteral("overflowButton"));
    setFocusPolicy(Qt::NoFocus);
    setAutoRaise(true);
    setPopupMode(QToolButton::InstantPopup);
    setToolTip(QStringLiteral("\u2026"));
}

QVOverflowPopUpButton::~QVOverflowPopUpButton() = default;

void QVOverflowPopUpButton::setChevron(const QPixmap& image) {
    _chevron = image;
    update();
}

void QVOverflowPopUpButton::setOverflowTabs(const QList<QVTab*>& tabs) {
    QList<QPointer<QVTab>> guarded(tabs.begin(), tabs.end());
    if (guarded == _overflowTabs) return;
    _overflowTabs = std::move(guarded);
    if (_tabMenu && !_tabMenu->isVisible()) {
        setMenu(nullptr);
        _tabMenu->deleteLater();
        _tabMenu = nullptr;
    }
}

void QVOverflowPopUpButton::setCurrentItem(qint64 index) {
    _currentItem = index;
    if (!_tabMenu) return;
    const QList<QAction*> items = _tabMenu->actions();
    for (qsizetype i = 0; i < items.size(); ++i) items[i]->setChecked(i == index);
}

QMenu* QVOverflowPopUpButton::tabMenu() {
    // Made afresh each time: a tab's title or edited mark may have changed since the last one.
    if (_tabMenu && !_tabMenu->isVisible()) {
        setMenu(nullptr);
        _tabMenu->deleteLater();
        _tabMenu = nullptr;
    }
    if (_tabMenu) return _tabMenu;
    _tabMenu = new QMenu(this);
    for (qsizetype i = 0; i < _overflowTabs.size(); ++i) {
        QVTab* tab = _overflowTabs[i];
        QAction* item = tab ? tab->menuItemRepresentation(_tabMenu) : new QAction(_tabMenu);
        item->setEnabled(tab != nullptr);
        item->setCheckable(true);
        item->setChecked(i == _currentItem);
        connect(item, &QAction::triggered, this, [this, i] { Q_EMIT overflowChosen(i); });
        _tabMenu->addAction(item);
    }
    setMenu(_tabMenu);
    return _tabMenu;
}

void QVOverflowPopUpButton::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) tabMenu();
    QToolButton::mousePressEvent(event);
}

void QVOverflowPopUpButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    if (!_chevron.isNull()) painter.drawPixmap(0, 0, _chevron);
}
