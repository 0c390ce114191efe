// The preview pane: the list of browsers documents are previewed in ("data/browsers.plist"),
// added from desktop entries through a panel or by dropping them, reordered by dragging rows,
// revealed and removed; written when the window closes, and only when it changed.
#pragma once

#include "preferences/QVPrefPane.h"

#include <QIcon>
#include <QTableWidget>
#include <QVariantMap>

class QLabel;
class QPushButton;

// The browsers table: rows dragged inside it move, desktop entries dropped on it are added.
class QVBrowsersTable : public QTableWidget {
    Q_OBJECT
public:
    static constexpr const char* MimeType = "application/x-qorvel-browsers";
    explicit QVBrowsersTable(QWidget* parent = nullptr);

Q_SIGNALS:
    void rowsMoved(const QList<int>& rows, int to);
    void filesDropped(const QStringList& paths, int row);

protected:
    QMimeData* mimeData(const QList<QTableWidgetItem*>& items) const override;
    QStringList mimeTypes() const override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    Qt::DropActions supportedDropActions() const override { return Qt::MoveAction | Qt::CopyAction; }
};

class QVPreviewPrefPane : public QVPrefPane {
    Q_OBJECT
public:
    struct Entry {
        QVariantMap plist;  // "name", "path" and "version" when the list had it
        QIcon icon;         // shown only, never written
    };

    using QVPrefPane::QVPrefPane;

    void endSession() override;

    // The list, loaded on first use.
    const QList<Entry>& browsers();
    // Adds the desktop entry at path at row (the end for -1): refused, with the reason shown,
    // for anything but an application's desktop entry, and a no-op for one already listed.
    bool addBrowserAtPath(const QString& path, int row = -1);
    void addBrowser();
    // Removes the selected row unless it is the built-in preview or "All".
    void removeBrowser();
    bool canRemove(int row);
    void revealInFinder();
    // Moves the entries at rows to before the entry at to, in their order; selects them.
    void moveRows(const QList<int>& rows, int to);
    // Writes the list when it changed and never over a file that could not be read (that file
    // is kept beside it as "browsers.plist.bad"); then the Preview menus reload. False with the
    // failure shown.
    bool commit();

    // The row the moved block starts at, and the new order of indexes, for a move of rows to to.
    static QList<int> movedOrder(int count, const QList<int>& rows, int to, int* firstSelected);

    QVBrowsersTable* previewTable() const { return _table; }
    bool didChangeList() const { return _changed; }
    QString refusal() const;

protected:
    QString iconName() const override { return QStringLiteral("preview"); }
    QWidget* loadView() override;

private:
    void loadData();
    void reloadTable();
    void updateButtons();
    void refuse(const QString& reason);

    QList<Entry> _browsers;
    bool _loaded = false;
    bool _loadFailed = false;
    bool _changed = false;
    QVBrowsersTable* _table = nullptr;
    QPushButton* _removeButton = nullptr;
    QLabel* _refusal = nullptr;
};
