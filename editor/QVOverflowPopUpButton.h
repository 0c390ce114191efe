// The chevron at the right end of a tab bar: a button drawing only its image, whose menu lists
// the tabs that do not fit, the selected one marked.
#pragma once

#include <QList>
#include <QPixmap>
#include <QPointer>
#include <QToolButton>

class QMenu;
class QVTab;

class QVOverflowPopUpButton : public QToolButton {
    Q_OBJECT
public:
    explicit QVOverflowPopUpButton(QWidget* parent = nullptr);
    ~QVOverflowPopUpButton() override;

    void setChevron(const QPixmap& image);
    QPixmap chevron() const { return _chevron; }
    const QList<QPointer<QVTab>>& overflowTabs() const { return _overflowTabs; }
    void setOverflowTabs(const QList<QVTab*>& tabs);
    // The marked item: an index into the overflow list, QVRange::NotFound for none.
    qint64 currentItem() const { return _currentItem; }
    void setCurrentItem(qint64 index);
    // The menu of the overflow tabs, made afresh so it shows the titles and marks as they are.
    QMenu* tabMenu();

Q_SIGNALS:
    // The n-th entry of the overflow list was chosen.
    void overflowChosen(qint64 index);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    QList<QPointer<QVTab>> _overflowTabs;
    QMenu* _tabMenu = nullptr;
    QPixmap _chevron;
    qint64 _currentItem;
};
