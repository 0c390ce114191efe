// The table of both lists of a transfer tab: drags leave with a badged icon counting the rows,
// the owner hears when the table gains or loses the focus (on a later turn), a right click
// selects the row under the mouse before the context menu, and Alt-click renames in place.
#pragma once

#include <QImage>
#include <QPointF>
#include <QPointer>
#include <QTableView>

#include <QMenu>

class QVFileListingTable : public QTableView {
    Q_OBJECT
public:
    explicit QVFileListingTable(QWidget* parent = nullptr);

    // The menu a right click shows (not owned).
    void setContextMenu(QMenu* menu) { _contextMenu = menu; }

    // The badge that counts dragged rows: "dragBadge1-2" up to 99, "dragBadge3" up to 999,
    // "dragBadge4" up to 9999, "dragBadge5" beyond.
    static QString badgeNameForCount(qint64 count);
    static QImage badgeImage(const QString& name);
    // The icon at 32 by 32 over a badge holding the number, 40 high and as much wider as the
    // badge is beyond 8; the offset becomes (16, y - 8).
    static QImage badgedIcon(const QImage& icon, qint64 number, QPointF* offset);

    // The row under a point of the viewport becomes the only selected row (none: nothing).
    void selectRowAt(const QPoint& viewportPoint);

Q_SIGNALS:
    // The table became or stopped being the focused list.
    void firstResponderChanged(QVFileListingTable* table);

protected:
    void startDrag(Qt::DropActions supportedActions) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    void announceFocus();
    QPointer<QMenu> _contextMenu;
};
