// The project outline: Return or space opens the selected file or toggles the selected folder,
// a right click selects the row under the mouse before its menu, Alt-click renames in place,
// and drags leave with the node's own type and its path.
#pragma once

#include <QPointer>
#include <QTreeView>

#include <QMenu>

class QVProjectView : public QTreeView {
    Q_OBJECT
public:
    explicit QVProjectView(QWidget* parent = nullptr);

    void setModel(QAbstractItemModel* model) override;
    void setContextMenu(QMenu* menu) { _contextMenu = menu; }
    // The row under a point of the viewport becomes the only selected row.
    void selectRowAt(const QPoint& viewportPoint);
    // Edits the selected row's name, its whole text selected.
    void editSelectedName();

Q_SIGNALS:
    // Return on a selected row, space on a selected folder, and double clicks.
    void doubleAction(const QModelIndex& index);
    // Space on a selected file, and single clicks.
    void singleAction(const QModelIndex& index);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    QPointer<QMenu> _contextMenu;
};
