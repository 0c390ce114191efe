// The project window's split: the project pane (the file outline) on the left, the tab area on
// the right, parted by a one-pixel grey divider. The left pane is at least 145 pixels wide unless
// it is collapsed (to 0); its width is kept in the user default "ProjectViewWidth", shared by all
// project windows. A double click on the divider collapses or restores the pane, and a grip
// placed anywhere in the window (setSplitterHandle) drags the divider too.
#pragma once

#include <QPointer>
#include <QSplitter>

class QVSplitView : public QSplitter {
    Q_OBJECT
public:
    static constexpr int MinimumPaneWidth = 145;
    // The width before any was stored.
    static constexpr int DefaultPaneWidth = 220;
    static inline const QString WidthKey = QStringLiteral("ProjectViewWidth");

    explicit QVSplitView(QWidget* parent = nullptr);

    // The two panes; the split owns them.
    void setPanes(QWidget* left, QWidget* right);
    int leftPaneWidth() const;
    bool isLeftPaneCollapsed() const;
    // Collapses a visible pane (remembering its width) or restores a collapsed one to that width,
    // at least the minimum. The width reached is stored.
    void toggleLeftPane();
    // Sets the left pane's width: at least the minimum (0 collapses), at most what leaves the
    // right pane its minimum. Stores it.
    void setLeftPaneWidth(int width);

    // A small view (a grip) that drags the divider as well; the split does not own it.
    void setSplitterHandle(QWidget* handle);
    QWidget* splitterHandle() const { return _splitterHandle; }

    // The stored width as this window would take it: a number that is neither negative nor
    // above the available width (less the right pane's minimum); nothing when absent or not a
    // number.
    static std::optional<int> storedWidth(int available);

protected:
    QSplitterHandle* createHandle() override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void applyStoredWidth();
    void storeWidth();
    int clampWidth(int width) const;

    QPointer<QWidget> _splitterHandle;
    double _originalWidth = 0;
    bool _storedWidthApplied = false;
    bool _dragging = false;
};
