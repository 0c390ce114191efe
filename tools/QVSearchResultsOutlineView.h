// The results outline of the multi-file find: a tall grey header row per file (icon, name and a
// white count badge) with a short row per match under it, drawn over a row geometry of its own.
#pragma once

#include "shell/QVSearchResult.h"
#include "tools/QVMultiFileSearchNode.h"
#include "tools/QVVariableHeightRowGeometry.h"

#include <QAbstractScrollArea>

#include <memory>
#include <vector>

// Files come and go one at a time as the runner reports them: each change touches only the rows
// of its file (and the layout below them), never the whole outline. Only match rows can be
// selected. Main thread only.
class QVSearchResultsOutlineView : public QAbstractScrollArea {
    Q_OBJECT
public:
    static constexpr float FileRowHeight = 25;
    static constexpr float MatchRowHeight = 16;
    static constexpr int IndentationPerLevel = 16;

    explicit QVSearchResultsOutlineView(QWidget* parent = nullptr);

    // The files, in the order given; a file's match rows follow it while it is expanded.
    int fileCount() const { return int(_files.size()); }
    std::shared_ptr<QVMultiFileSearchNode> file(int index) const { return _files[size_t(index)].node; }
    void insertFile(int index, const std::shared_ptr<QVMultiFileSearchNode>& node, bool expanded = true);
    // The file's results changed: its rows are made again (expanded as it was).
    void reloadFile(int index);
    void removeFile(int index);
    void clear();
    bool isExpanded(int index) const { return _files[size_t(index)].expanded; }
    void setExpanded(int index, bool expanded);
    void setAllExpanded(bool expanded);

    int rowCount() const { return _geometry.count(); }
    const QVVariableHeightRowGeometry& geometry() const { return _geometry; }
    // The file row and, for a match row, the index of its result (-1 on a file row).
    std::pair<int, int> itemAtRow(int row) const;

    // The selected matches in row order; an empty list when nothing is selected.
    QList<QVSearchResult> selectedResults() const;
    int selectedCount() const { return _selectedCount; }
    // Selects the match row alone (extend: adds it); a file row is never selected.
    void selectRow(int row, bool extend = false);
    void deselectAll();

Q_SIGNALS:
    void selectionChanged();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    struct File {
        std::shared_ptr<QVMultiFileSearchNode> node;
        bool expanded = true;
    };
    struct Row {
        QVMultiFileSearchNode* node = nullptr;
        int result = -1;  // -1: the file row
        bool selected = false;
    };
    int firstRowOfFile(int index) const;
    int rowsOfFile(int index) const;
    void insertRowsOfFile(int index);
    void removeRowsOfFile(int index);
    void changed();
    void drawFileRow(QPainter& painter, const QRectF& rect, const QVMultiFileSearchNode& node, bool expanded) const;
    void drawMatchRow(QPainter& painter, const QRectF& rect, const QVSearchResult& result, bool selected) const;

    std::vector<File> _files;
    std::vector<Row> _rows;
    QVVariableHeightRowGeometry _geometry;
    int _selectedCount = 0;
    int _anchor = -1;
};
