// The project window's split view.
#include "projects/windows/QVSplitView.h"

#include "platform/PropertyList.h"
#include "platform/UserDefaults.h"

#include <QMouseEvent>
#include <QPainter>
#include <QSplitterHandle>

#include <cmath>

namespace {

// Right pane's least width: a collapsed right side would hide the tabs without a way back.
constexpr int RightPaneMinimum = 100;

class DividerHandle : public QSplitterHandle {
public:
    DividerHandle(Qt::Orientation orientation, QVSplitView* split) : QSplitterHandle(orientation, split), _split(split) {
        setCursor(Qt::SplitHCursor);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.fillRect(rect(), QColor::fromRgbF(0.5f, 0.5f, 0.5f));
    }
    void mouseDoubleClickEvent(QMouseEvent* event) override {
        if (event->button() == Qt::LeftButton) _split->toggleLeftPane();
    }
    void mouseReleaseEvent(QMouseEvent* event) override {
        QSplitterHandle::mouseReleaseEvent(event);
        // Dragged into the collapsed range: the pane keeps its minimum.
        const int width = _split->leftPaneWidth();
        if (width > 0 && width < QVSplitView::MinimumPaneWidth) _split->setLeftPaneWidth(QVSplitView::MinimumPaneWidth);
        else _split->setLeftPaneWidth(width);
    }

private:
    QVSplitView* _split;
};

}  // namespace

QVSplitView::QVSplitView(QWidget* parent) : QSplitter(Qt::Horizontal, parent) {
    setHandleWidth(1);
    setChildrenCollapsible(false);
    setOpaqueResize(true);
}

QSplitterHandle* QVSplitView::createHandle() { return new DividerHandle(orientation(), this); }

void QVSplitView::setPanes(QWidget* left, QWidget* right) {
    addWidget(left);
    addWidget(right);
    left->setMinimumWidth(MinimumPaneWidth);
    right->setMinimumWidth(RightPaneMinimum);
    setStretchFactor(0, 0);
    setStretchFactor(1, 1);
    connect(this, &QSplitter::splitterMoved, this, [this](int, int) {
        // The collapse keeps the pane's minimum at 0; the first move out of it restores it.
        if (QWidget* pane = widget(0); pane && leftPaneWidth() > 0 && pane->minimumWidth() == 0) {
            if (leftPaneWidth() < MinimumPaneWidth) setLeftPaneWidth(MinimumPaneWidth);
            pane->setMinimumWidth(MinimumPaneWidth);
        }
        storeWidth();
    });
}

int QVSplitView::leftPaneWidth() const {
    const QList<int> widths = sizes();
    return widths.isEmpty() ? 0 : widths.first();
}

bool QVSplitView::isLeftPaneCollapsed() const { return count() < 1 || leftPaneWidth() == 0; }

int QVSplitView::clampWidth(int width) const {
    if (width <= 0) return 0;
    const int available = this->width() - handleWidth() - RightPaneMinimum;
    return std::max(MinimumPaneWidth, std::min(width, std::max(available, MinimumPaneWidth)));
}

void QVSplitView::setLeftPaneWidth(int width) {
    if (count() < 2) return;
    width = clampWidth(width);
    widget(0)->setMinimumWidth(width == 0 ? 0 : MinimumPaneWidth);
    // Only a collapsed pane may be narrower than its contents want.
    setCollapsible(0, width == 0);
    const int total = std::max(0, this->width() - handleWidth());
    setSizes({width, std::max(0, total - width)});
    storeWidth();
}

void QVSplitView::toggleLeftPane() {
    if (count() < 2) return;
    const int width = leftPaneWidth();
    if (width > 0) {
        _originalWidth = width;
        setLeftPaneWidth(0);
    } else {
        setLeftPaneWidth(std::max<int>(MinimumPaneWidth, int(_originalWidth)));
    }
    update();
}

void QVSplitView::storeWidth() {
    if (count() < 2 || !_storedWidthApplied) return;
    UserDefaults::standard().setInteger(leftPaneWidth(), WidthKey);
}

std::optional<int> QVSplitView::storedWidth(int available) {
    const QVariant value = UserDefaults::standard().objectForKey(WidthKey);
    if (!PropertyList::isNumber(value)) return std::nullopt;
    const double width = value.toDouble();
    if (!std::isfinite(width) || width < 0) return std::nullopt;
    const int limit = std::max(MinimumPaneWidth, available - RightPaneMinimum);
    if (width == 0) return 0;
    return std::clamp(int(std::floor(width)), MinimumPaneWidth, limit);
}

void QVSplitView::applyStoredWidth() {
    if (_storedWidthApplied || count() < 2 || width() <= 0) return;
    const std::optional<int> stored = storedWidth(width() - handleWidth());
    _storedWidthApplied = true;
    if (stored) {
        if (*stored == 0) _originalWidth = 0;
        setLeftPaneWidth(*stored);
    } else {
        setLeftPaneWidth(DefaultPaneWidth);
    }
}

void QVSplitView::resizeEvent(QResizeEvent* event) {
    QSplitter::resizeEvent(event);
    applyStoredWidth();
}

void QVSplitView::setSplitterHandle(QWidget* handle) {
    if (_splitterHandle) _splitterHandle->removeEventFilter(this);
    _splitterHandle = handle;
    if (handle) {
        handle->installEventFilter(this);
        handle->setCursor(Qt::SplitHCursor);
    }
}

bool QVSplitView::eventFilter(QObject* watched, QEvent* event) {
    if (watched != _splitterHandle) return QSplitter::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::MouseButtonPress:
        if (static_cast<QMouseEvent*>(event)->button() != Qt::LeftButton) break;
        _dragging = true;
        return true;
    case QEvent::MouseButtonDblClick:
        if (static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) toggleLeftPane();
        return true;
    case QEvent::MouseMove:
        if (!_dragging) break;
        {
            const QPoint at = mapFromGlobal(static_cast<QMouseEvent*>(event)->globalPosition().toPoint());
            const int width = std::max(at.x(), MinimumPaneWidth);
            widget(0)->setMinimumWidth(MinimumPaneWidth);
            const int total = std::max(0, this->width() - handleWidth());
            setSizes({clampWidth(width), std::max(0, total - clampWidth(width))});
        }
        return true;
    case QEvent::MouseButtonRelease:
        if (!_dragging) break;
        _dragging = false;
        storeWidth();
        return true;
    default:
        break;
    }
    return QSplitter::eventFilter(watched, event);
}
