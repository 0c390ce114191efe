// One tab of a tab bar.
#include "editor/QVTab.h"

#include "editor/QVTabBarView.h"
#include "platform/AppBundle.h"
#include "shell/Defaults.h"

#include <QAction>
#include <QApplication>
#include <QEnterEvent>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QToolButton>

#include <algorithm>
#include <cmath>

namespace {

QPixmap imageResource(const QString& name) {
    const QString path = Defaults::pathForResource(name, QStringLiteral("png"), QStringLiteral("Images"));
    return path.isEmpty() ? QPixmap() : QPixmap(path);
}

// A title shows on one line: line and paragraph breaks become blanks.
QString oneLine(QString text) {
    for (QChar& c : text)
        if (c == u'\n' || c == u'\r' || c == u'\t' || c == QChar::LineSeparator || c == QChar::ParagraphSeparator) c = u' ';
    return text;
}

// The colour darkened by level towards black (0: unchanged, 1: black).
QColor shadowWithLevel(const QColor& color, double level) {
    return QColor::fromRgbF(float(color.redF() * (1 - level)), float(color.greenF() * (1 - level)),
                            float(color.blueF() * (1 - level)), color.alphaF());
}

}  // namespace

bool QVTab::overStrip(const QPoint& inBar) const {
    // Past either end of the strip still counts: the tab lands in that end's slot.
    return _tabBar && inBar.y() >= 0 && inBar.y() < _tabBar->height();
}

QVTab::QVTab(QWidget* parent)
    : QWidget(parent),
      _backgroundImage(imageResource(QStringLiteral("tab_bg"))),
      _defaultColor(QColor::fromRgbF(0.85f, 0.85f, 0.85f)),
      _selectionColor(QColor::fromRgbF(62 / 255.f, 129 / 255.f, 241 / 255.f)),
      _dragColor(QColor::fromRgbF(0.65f, 0.65f, 0.65f)) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    closeButton();
    titleField();
}

QVTab::~QVTab() = default;

QToolButton* QVTab::closeButton() {
    if (!_closeButton) {
        _closeButton = new QToolButton(this);
        _closeButton->setObjectName(QStringLiteral("closeButton"));
        const QPixmap image = imageResource(QStringLiteral("tab_close"));
        const QSize size = image.isNull() ? QSize(13, 13) : image.deviceIndependentSize().toSize();
        _closeButton->setIcon(QIcon(image));
        _closeButton->setIconSize(size);
        _closeButton->setAutoRaise(true);
        _closeButton->setFocusPolicy(Qt::NoFocus);
        _closeButton->setStyleSheet(QStringLiteral("QToolButton { border: none; padding: 0; background: transparent; }"));
        _closeButton->setToolTip(QVLocalized(QStringLiteral("Close Tab")));
        _closeButton->setGeometry(6, int(std::ceil((height() - size.height()) * 0.5)), size.width(), size.height());
        connect(_closeButton, &QToolButton::clicked, this, &QVTab::close);
        _closeButton->setVisible(!_isBackground && !_isDragging);
    }
    return _closeButton;
}

QLabel* QVTab::titleField() {
    if (!_titleField) {
        _titleField = new QLabel(this);
        _titleField->setObjectName(QStringLiteral("titleField"));
        _titleField->setTextFormat(Qt::PlainText);
        _titleField->setTextInteractionFlags(Qt::NoTextInteraction);
        _titleField->setAttribute(Qt::WA_TransparentForMouseEvents);
        QFont font = QApplication::font();
        font.setPixelSize(11);
        _titleField->setFont(font);
        QPalette palette = _titleField->palette();
        palette.setColor(QPalette::WindowText, _isSelected ? Qt::white : Qt::black);
        _titleField->setPalette(palette);
        _titleField->setVisible(!_isDragging);
        updateShownTitle();
    }
    return _titleField;
}

void QVTab::setTitle(const QString& title) {
    if (title == _title) return;
    _title = title;
    updateShownTitle();
}

void QVTab::setIsChanged(bool changed) {
    if (changed == _isChanged) return;
    _isChanged = changed;
    updateShownTitle();
}

QString QVTab::displayedTitle() const {
    return _isChanged ? QStringLiteral("%1 %2").arg(QChar(ChangedMark), _title) : _title;
}

void QVTab::updateShownTitle() {
    if (!_titleField) return;
    layoutSubviews();
}

void QVTab::setIsSelected(bool selected) {
    if (selected == _isSelected) return;
    _isSelected = selected;
    if (_titleField) {
        QPalette palette = _titleField->palette();
        palette.setColor(QPalette::WindowText, selected ? Qt::white : Qt::black);
        _titleField->setPalette(palette);
    }
    update();
}

void QVTab::setHighlighted(bool highlighted) {
    if (highlighted == _highlighted) return;
    _highlighted = highlighted;
    update();
}

void QVTab::setIsDragging(bool dragging) {
    if (dragging == _isDragging) return;
    _isDragging = dragging;
    if (_titleField) _titleField->setVisible(!dragging);
    if (_closeButton) _closeButton->setVisible(!dragging && !_isBackground);
    update();
}

void QVTab::setIsBackground(bool background) {
    if (background == _isBackground) return;
    _isBackground = background;
    if (_closeButton) _closeButton->setVisible(!background && !_isDragging);
    if (background) _highlighted = false;
    layoutSubviews();
}

void QVTab::setDefaultColor(const QColor& color) {
    _defaultColor = color;
    if (!_isSelected) update();
}

void QVTab::setSelectionColor(const QColor& color) {
    _selectionColor = color;
    if (_isSelected) update();
}

QColor QVTab::fillColor() const {
    if (_isDragging) return _dragColor;
    const QColor base = _isSelected ? _selectionColor : _defaultColor;
    return _highlighted ? shadowWithLevel(base, 0.1) : base;
}

void QVTab::close() {
    if (_isBackground || !_tabBar) return;
    _tabBar->closeTab(this, false, nullptr);
}

QAction* QVTab::menuItemRepresentation(QMenu* menu) {
    auto* item = new QAction(displayedTitle(), menu);
    item->setData(QVariant::fromValue(static_cast<QObject*>(this)));
    return item;
}

void QVTab::layoutSubviews() {
    if (!_titleField) return;
    const int tabWidth = width();
    const QFontMetricsF metrics(_titleField->font());
    const QString shown = oneLine(displayedTitle());
    const int fieldHeight = int(std::ceil(metrics.height()));
    const int natural = int(std::ceil(metrics.horizontalAdvance(shown))) + 2;
    int w = std::min(natural, tabWidth - 6);
    int x = int(std::ceil((tabWidth - w) * 0.5));
    const int y = int(std::ceil((height() - fieldHeight) * 0.5));
    // The title never runs under the close button, however long it is.
    const bool hasButton = _closeButton && !_isBackground;
    const int c = (hasButton ? _closeButton->width() : 0) + 9;
    x = std::max(x, c);
    w = std::max(0, std::min(w, tabWidth - c - 3));
    _titleField->setText(w >= natural ? shown : metrics.elidedText(shown, Qt::ElideRight, std::max(0, w - 2)));
    _titleField->setGeometry(x, y, w, fieldHeight);
    if (_closeButton)
        _closeButton->move(6, int(std::ceil((height() - _closeButton->height()) * 0.5)));
    update();
}

void QVTab::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    layoutSubviews();
}

void QVTab::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    const QRect dirty = event->rect();
    painter.fillRect(dirty, fillColor());
    if (!_backgroundImage.isNull())
        painter.drawPixmap(QRect(dirty.x(), 0, dirty.width(), height()), _backgroundImage,
                           QRect(0, 0, 1, _backgroundImage.height()));
    if (!_isBackground) {
        painter.setPen(Qt::black);
        painter.drawLine(width() - 1, 0, width() - 1, height());
    }
}

void QVTab::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
    _pressed = true;
    _dragStarted = false;
    _pressPosition = event->position().toPoint();
}

void QVTab::mouseMoveEvent(QMouseEvent* event) {
    if (!_pressed || _isBackground || !isEnabled() || !_tabBar) return;
    const QPoint position = event->position().toPoint();
    if (!_dragStarted) {
        if ((position - _pressPosition).manhattanLength() < QApplication::startDragDistance()) return;
        _dragStarted = true;
        _tabBar->beginDragForTab(this, _pressPosition);
    }
    const QPoint inBar = mapTo(_tabBar, position);
    if (overStrip(inBar)) _tabBar->draggingUpdated(inBar);
    else _tabBar->draggingExited();
}

void QVTab::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !_pressed) return QWidget::mouseReleaseEvent(event);
    _pressed = false;
    const QPoint position = event->position().toPoint();
    if (_dragStarted) {
        _dragStarted = false;
        if (!_tabBar) return;
        const QPoint inBar = mapTo(_tabBar, position);
        if (overStrip(inBar)) _tabBar->concludeDragOperation(inBar);
        else _tabBar->draggingExited();
        setHighlighted(false);
        _tabBar->endDragForTab(this);
        return;
    }
    if (!rect().contains(position)) return;
    setHighlighted(false);
    if (_tabBar) _tabBar->selectTabViewItem(this);
}

void QVTab::enterEvent(QEnterEvent* event) {
    QWidget::enterEvent(event);
    if (!_isSelected && !_isBackground && isEnabled()) setHighlighted(true);
}

void QVTab::leaveEvent(QEvent* event) {
    QWidget::leaveEvent(event);
    setHighlighted(false);
}

void QVTab::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::EnabledChange && !isEnabled()) setHighlighted(false);
}
