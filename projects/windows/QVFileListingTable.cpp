// The transfer tab's list table.
#include "projects/windows/QVFileListingTable.h"

#include "shell/WorkspaceUtilities.h"

#include <QContextMenuEvent>
#include <QDrag>
#include <QFont>
#include <QHeaderView>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QTimer>

#include <cmath>

QVFileListingTable::QVFileListingTable(QWidget* parent) : QTableView(parent) {
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setDragEnabled(true);
    setAcceptDrops(true);
    setDropIndicatorShown(false);
    setDragDropMode(QAbstractItemView::DragDrop);
    setDefaultDropAction(Qt::CopyAction);
    setShowGrid(false);
    setWordWrap(false);
    setAlternatingRowColors(true);
    setSortingEnabled(false);
    verticalHeader()->hide();
    verticalHeader()->setDefaultSectionSize(18);
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setStretchLastSection(true);
    setIconSize(QSize(16, 16));
}

QString QVFileListingTable::badgeNameForCount(qint64 count) {
    if (count <= 99) return QStringLiteral("dragBadge1-2");
    if (count <= 999) return QStringLiteral("dragBadge3");
    if (count <= 9999) return QStringLiteral("dragBadge4");
    return QStringLiteral("dragBadge5");
}

QImage QVFileListingTable::badgeImage(const QString& name) {
    // A red capsule as wide as the digits it is made for.
    const int width = name == QLatin1String("dragBadge1-2") ? 24
                      : name == QLatin1String("dragBadge3") ? 30
                      : name == QLatin1String("dragBadge4") ? 37
                                                             : 44;
    QImage badge(width, 20, QImage::Format_ARGB32_Premultiplied);
    badge.fill(Qt::transparent);
    QPainter painter(&badge);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath capsule;
    capsule.addRoundedRect(QRectF(1, 1, width - 2, 18), 9, 9);
    painter.fillPath(capsule, QColor(204, 30, 30));
    painter.setPen(QPen(Qt::white, 1.5));
    painter.drawPath(capsule);
    return badge;
}

QImage QVFileListingTable::badgedIcon(const QImage& icon, qint64 number, QPointF* offset) {
    const QImage scaled = icon.isNull() ? QImage() : icon.scaled(32, 32, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    const QImage badge = badgeImage(badgeNameForCount(number));
    QImage image(32 + std::max(0, badge.width() - 8), 40, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    if (!scaled.isNull()) painter.drawImage(QRect(0, 8, 32, 32), scaled);
    painter.drawImage(QPoint(18, 0), badge);
    QFont font;
    font.setPixelSize(12);
    font.setBold(true);
    painter.setFont(font);
    painter.setPen(Qt::white);
    const QString text = QString::number(number);
    const QSize textSize = painter.fontMetrics().size(Qt::TextSingleLine, text);
    const int x = 18 + int(std::floor((badge.width() - textSize.width()) / 2.0));
    const int y = int(std::ceil((badge.height() - textSize.height()) / 2.0));
    painter.drawText(QRect(QPoint(x, y), textSize), Qt::AlignCenter, text);
    if (offset) *offset = QPointF(16.0, offset->y() - 8.0);
    return image;
}

void QVFileListingTable::startDrag(Qt::DropActions supportedActions) {
    QModelIndexList rows = selectionModel() ? selectionModel()->selectedRows(0) : QModelIndexList();
    if (rows.isEmpty() || !model()) return;
    QMimeData* data = model()->mimeData(rows);
    if (!data) return;
    auto* drag = new QDrag(this);
    drag->setMimeData(data);
    // One generic page icon whatever is dragged: the badge says how many.
    static const QImage pageIcon = WorkspaceUtilities::iconForFile(QStringLiteral("/index.html"), QSize(32, 32));
    QPointF offset(0, 16);
    drag->setPixmap(QPixmap::fromImage(badgedIcon(pageIcon, rows.size(), &offset)));
    drag->setHotSpot(offset.toPoint());
    drag->exec(supportedActions, Qt::CopyAction);
}

void QVFileListingTable::announceFocus() {
    QTimer::singleShot(0, this, [self = QPointer<QVFileListingTable>(this)] {
        if (self) Q_EMIT self->firstResponderChanged(self);
    });
}

void QVFileListingTable::focusInEvent(QFocusEvent* event) {
    QTableView::focusInEvent(event);
    announceFocus();
}

void QVFileListingTable::focusOutEvent(QFocusEvent* event) {
    QTableView::focusOutEvent(event);
    announceFocus();
}

void QVFileListingTable::selectRowAt(const QPoint& viewportPoint) {
    const QModelIndex index = indexAt(viewportPoint);
    if (!index.isValid()) return;
    selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void QVFileListingTable::contextMenuEvent(QContextMenuEvent* event) {
    selectRowAt(viewport()->mapFrom(this, event->pos()));
    setFocus(Qt::MouseFocusReason);
    if (_contextMenu) _contextMenu->popup(event->globalPos());
}

void QVFileListingTable::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && (event->modifiers() & Qt::AltModifier)) {
        const QModelIndex index = indexAt(event->position().toPoint());
        if (index.isValid()) {
            selectRowAt(event->position().toPoint());
            edit(index.siblingAtColumn(0));
            return;
        }
    }
    QTableView::mousePressEvent(event);
}
