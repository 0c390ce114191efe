// One tab of a tab bar: a painted control with a centred title, a close button at its left, a
// fill for each of its states and a mark before the title while its document has unsaved
// changes. Also the base of labels that only want the strip's looks (background mode).
#pragma once

#include "editor/QVTabBarView.h"

#include <QColor>
#include <QPixmap>
#include <QPoint>
#include <QPointer>
#include <QString>
#include <QWidget>

class QLabel;
class QMenu;
class QToolButton;
class QVTabBarView;

class QVTab : public QWidget {
    Q_OBJECT
public:
    // The mark shown before the title of a tab whose document is edited.
    static constexpr char16_t ChangedMark = u'\u25EC';

    explicit QVTab(QWidget* parent = nullptr);
    ~QVTab() override;

    QVTabBarView* tabBar() const { return _tabBar; }
    void setTabBar(QVTabBarView* tabBar) { _tabBar = tabBar; }
    QString tabIdentifier() const { return _tabIdentifier; }
    void setTabIdentifier(const QString& identifier) { _tabIdentifier = identifier; }

    QString title() const { return _title; }
    void setTitle(const QString& title);
    // The title as shown, the edited mark included (what the overflow menu lists).
    QString displayedTitle() const;
    bool isChanged() const { return _isChanged; }
    void setIsChanged(bool changed);
    bool isSelected() const { return _isSelected; }
    void setIsSelected(bool selected);
    bool isHighlighted() const { return _highlighted; }
    void setHighlighted(bool highlighted);
    bool isDragging() const { return _isDragging; }
    void setIsDragging(bool dragging);
    bool isBackground() const { return _isBackground; }
    // A background tab only paints the strip: no close button, no separator, no hover, no drag.
    void setIsBackground(bool background);
    QColor defaultColor() const { return _defaultColor; }
    void setDefaultColor(const QColor& color);
    QColor selectionColor() const { return _selectionColor; }
    void setSelectionColor(const QColor& color);

    // The fill the tab paints now, from its state.
    QColor fillColor() const;
    // Made on first request.
    QToolButton* closeButton();
    QLabel* titleField();
    // Asks the bar to close this tab (its delegate may refuse); a background tab does nothing.
    void close();
    // An item for the overflow menu: the shown title, the tab as data.
    QAction* menuItemRepresentation(QMenu* menu);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    bool overStrip(const QPoint& inBar) const;
    void updateShownTitle();
    void layoutSubviews();

    QPointer<QVTabBarView> _tabBar;
    QToolButton* _closeButton = nullptr;
    QLabel* _titleField = nullptr;
    QString _title;
    QPixmap _backgroundImage;
    QColor _defaultColor;
    QColor _selectionColor;
    QColor _dragColor;
    bool _highlighted = false;
    bool _isBackground = false;
    bool _isSelected = false;
    bool _isDragging = false;
    bool _isChanged = false;
    QString _tabIdentifier;
    // A press that may become a drag inside the strip (no drag leaves the window).
    bool _pressed = false;
    bool _dragStarted = false;
    QPoint _pressPosition;
};
