// The tab bar and the tab view driven offscreen with real mouse events.
#include "editor/QVOverflowPopUpButton.h"
#include "editor/QVTab.h"
#include "editor/QVTabBarDelegate.h"
#include "editor/QVTabBarView.h"
#include "editor/QVTabView.h"
#include "editor/QVTabViewDelegate.h"
#include "platform/QVRange.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"

#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

constexpr qint64 NotFound = QVRange::NotFound;

struct Recorder : QVTabBarDelegate {
    std::vector<QString> calls;
    bool allowClose = true;
    // Selects this index (when set) while hearing of a close, as a window does.
    qint64 selectOnClose = -1;
    void tabBarDidSelectTab(QVTabBarView*, QVTab*, qint64 index) override {
        calls.push_back(QStringLiteral("select %1").arg(index == NotFound ? -1 : index));
    }
    bool tabBarShouldCloseTab(QVTabBarView*, QVTab*, qint64 index) override {
        calls.push_back(QStringLiteral("should %1").arg(index));
        return allowClose;
    }
    void tabBarDidCloseTab(QVTabBarView* bar, QVTab*, qint64 index, void*) override {
        calls.push_back(QStringLiteral("closed %1").arg(index));
        if (selectOnClose >= 0) bar->selectTabViewItemAtIndex(selectOnClose);
    }
    void tabBarDraggedTab(QVTabBarView*, QVTab*, qint64 from, qint64 to) override {
        calls.push_back(QStringLiteral("dragged %1 %2").arg(from).arg(to));
    }
};

// A bar of the width with n tabs titled by their first index, the chevron 20 pixels wide.
std::unique_ptr<QVTabBarView> makeBar(int width, int n, Recorder* recorder = nullptr) {
    auto bar = std::make_unique<QVTabBarView>();
    bar->overflowPopupButton()->resize(20, 10);
    bar->resize(width, QVTabBarView::DefaultHeight);
    for (int i = 0; i < n; ++i) bar->addTab()->setTitle(QString::number(i));
    bar->setDelegate(recorder);
    bar->adjustTabsToFit();
    return bar;
}

QStringList order(const QVTabBarView& bar) {
    QStringList titles;
    for (QVTab* tab : bar.tabs()) titles << tab->title();
    return titles;
}

void send(QWidget* widget, QEvent::Type type, QPoint position, Qt::MouseButtons buttons) {
    QMouseEvent event(type, QPointF(position), widget->mapToGlobal(QPointF(position)), Qt::LeftButton, buttons, Qt::NoModifier);
    QApplication::sendEvent(widget, &event);
}

// Drags the tab from its middle to a point of the bar (and through the points before it).
void drag(QVTab* tab, QVTabBarView& bar, const std::vector<QPoint>& path) {
    const QPoint start(tab->width() / 2, tab->height() / 2);
    send(tab, QEvent::MouseButtonPress, start, Qt::LeftButton);
    for (const QPoint& p : path) send(tab, QEvent::MouseMove, tab->mapFrom(&bar, p), Qt::LeftButton);
    send(tab, QEvent::MouseButtonRelease, tab->mapFrom(&bar, path.back()), Qt::NoButton);
}

}  // namespace

TEST(QVTabBarViewTest, FitsTheTabsToTheStripAndHidesTheRestBehindTheChevron) {
    struct Case {
        int width, tabs;
        qint64 tabWidth, overflowStart;
    };
    // Available = width - 4 - 6 - 20.
    const Case cases[] = {
        {800, 5, 130, NotFound}, {800, 9, 85, NotFound}, {800, 10, 85, 9}, {800, 0, 130, NotFound},
        {109, 3, 130, 0},  // 79 available: no tab fits, all behind the chevron
        {110, 3, 80, 1},   // exactly one fits
        {20, 2, 130, 0},   // narrower than its margins: nothing shown, nothing wraps
        {0, 4, 130, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(QStringLiteral("%1 wide, %2 tabs").arg(c.width).arg(c.tabs).toStdString());
        auto bar = makeBar(c.width, c.tabs);
        EXPECT_EQ(bar->tabWidth(), c.tabWidth);
        EXPECT_EQ(bar->overflowStartIndex(), c.overflowStart);
        QVOverflowPopUpButton* chevron = bar->overflowPopupButton();
        EXPECT_EQ(chevron->isVisibleTo(bar.get()), c.overflowStart != NotFound);
        const qint64 shown = c.overflowStart == NotFound ? c.tabs : c.overflowStart;
        EXPECT_EQ(chevron->overflowTabs().size(), c.tabs - shown);
        for (qint64 i = 0; i < c.tabs; ++i) {
            QVTab* tab = bar->tabAtIndex(i);
            EXPECT_EQ(tab->isVisibleTo(bar.get()), i < shown) << i;
            if (i < shown) {
                EXPECT_EQ(tab->geometry(), QRect(int(i * c.tabWidth), 0, int(c.tabWidth), 24));
                EXPECT_LE(tab->geometry().right(), chevron->x());
            }
        }
        // The chevron's menu lists the hidden tabs in order, the selected (last added) marked.
        if (c.overflowStart != NotFound) {
            const QList<QAction*> items = chevron->tabMenu()->actions();
            ASSERT_EQ(items.size(), c.tabs - shown);
            EXPECT_EQ(items.first()->text(), QString::number(shown));
            EXPECT_TRUE(items.last()->isChecked());
            items.first()->trigger();
            EXPECT_EQ(bar->selectedTabIndex(), shown);
            EXPECT_TRUE(chevron->tabMenu()->actions().first()->isChecked());
        }
    }
}

TEST(QVTabBarViewTest, ResizingRefitsAfterAPause) {
    auto bar = makeBar(800, 9);
    bar->show();
    bar->resize(400, 24);
    // At once the tabs that no longer fit go behind the chevron; the widths follow after a pause.
    EXPECT_TRUE(bar->refitPending());
    EXPECT_EQ(bar->tabWidth(), 85);
    EXPECT_EQ(bar->overflowStartIndex(), 4);
    bar->resize(420, 24);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !bar->refitPending(); }));
    EXPECT_EQ(bar->tabWidth(), 97);  // 420 - 30 = 390 available: 4 tabs of 97
    EXPECT_EQ(bar->overflowStartIndex(), 4);
}

TEST(QVTabBarViewTest, SelectionAndClosing) {
    struct Case {
        const char* name;
        int selected, close;
        bool allow, force;
        qint64 selectOnClose;
        qint64 selectedAfter;
        QStringList titlesAfter;
        std::vector<QString> calls;
    };
    const Case cases[] = {
        {"selected tab, delegate picks nothing", 1, 1, true, false, -1, NotFound, {"0", "2", "3"},
         {"should 1", "closed 1"}},
        {"left of the selection shifts it down silently", 2, 0, true, false, -1, 1, {"1", "2", "3"},
         {"should 0", "closed 0"}},
        {"right of the selection keeps it", 1, 3, true, false, -1, 1, {"0", "1", "2"}, {"should 3", "closed 3"}},
        {"the delegate picks the tab now at the index", 2, 2, true, false, 2, 2, {"0", "1", "3"},
         {"should 2", "closed 2", "select 2"}},
        {"refused", 1, 2, false, false, -1, 1, {"0", "1", "2", "3"}, {"should 2"}},
        {"forced asks nobody", 3, 3, false, true, -1, NotFound, {"0", "1", "2"}, {"closed 3"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Recorder recorder;
        recorder.allowClose = c.allow;
        recorder.selectOnClose = c.selectOnClose;
        auto bar = makeBar(800, 4, &recorder);
        bar->selectTabViewItemAtIndex(c.selected);
        bar->selectTabViewItemAtIndex(c.selected);  // the selected one again: nothing
        recorder.calls.clear();
        QVTab* tab = bar->tabAtIndex(c.close);
        if (c.force) bar->closeTab(tab, true);
        else tab->closeButton()->click();
        EXPECT_EQ(bar->selectedTabIndex(), c.selectedAfter);
        EXPECT_EQ(order(*bar), c.titlesAfter);
        EXPECT_EQ(recorder.calls, c.calls);
        for (qint64 i = 0; i < bar->countOfTabs(); ++i) EXPECT_EQ(bar->tabAtIndex(i)->isSelected(), i == c.selectedAfter);
    }
    // A tab no longer in the strip changes nothing; neither does a click on the background.
    Recorder recorder;
    auto bar = makeBar(800, 2, &recorder);
    QVTab stray;
    bar->closeTab(&stray, false);
    bar->backgroundTab()->close();
    EXPECT_EQ(bar->countOfTabs(), 2);
    EXPECT_TRUE(recorder.calls.empty());
    // A click selects.
    send(bar->tabAtIndex(0), QEvent::MouseButtonPress, QPoint(60, 10), Qt::LeftButton);
    send(bar->tabAtIndex(0), QEvent::MouseButtonRelease, QPoint(60, 10), Qt::NoButton);
    EXPECT_EQ(bar->selectedTabIndex(), 0);
    EXPECT_EQ(recorder.calls, std::vector<QString>{QStringLiteral("select 0")});
}

TEST(QVTabBarViewTest, DraggingReordersWithinTheStrip) {
    struct Case {
        const char* name;
        int from;
        std::vector<QPoint> path;  // in the bar's coordinates
        int selected;
        QStringList order;
        qint64 selectedAfter;
        std::vector<QString> calls;
    };
    const Case cases[] = {
        {"tab 0 to slot 2", 0, {QPoint(150, 12), QPoint(300, 12)}, 2, {"1", "2", "0", "3"}, 1, {"dragged 0 2"}},
        {"dragged tab stays selected", 3, {QPoint(20, 12)}, 3, {"3", "0", "1", "2"}, 0, {"dragged 3 0"}},
        {"left of the strip lands in the first slot", 2, {QPoint(-5000, 12), QPoint(-1, 12)}, 0, {"2", "0", "1", "3"}, 1,
         {"dragged 2 0"}},
        {"right of the tabs lands in the last slot", 0, {QPoint(790, 12)}, 3, {"1", "2", "3", "0"}, 2, {"dragged 0 3"}},
        {"released outside the strip goes back", 0, {QPoint(300, 12), QPoint(300, 200)}, 1, {"0", "1", "2", "3"}, 1, {}},
        {"dropped on its own slot", 1, {QPoint(140, 12)}, 1, {"0", "1", "2", "3"}, 1, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Recorder recorder;
        auto bar = makeBar(800, 4, &recorder);
        bar->selectTabViewItemAtIndex(c.selected);
        recorder.calls.clear();
        QVTab* tab = bar->tabAtIndex(c.from);
        drag(tab, *bar, c.path);
        EXPECT_EQ(order(*bar), c.order);
        EXPECT_EQ(bar->selectedTabIndex(), c.selectedAfter);
        EXPECT_EQ(recorder.calls, c.calls);
        EXPECT_FALSE(tab->isDragging());
        for (qint64 i = 0; i < 4; ++i) EXPECT_EQ(bar->tabAtIndex(i)->x(), i * 130) << i;
    }
    // While dragging, the others make room and the dragged tab shows only its drag colour.
    auto bar = makeBar(800, 4);
    QVTab* tab = bar->tabAtIndex(0);
    send(tab, QEvent::MouseButtonPress, QPoint(60, 12), Qt::LeftButton);
    send(tab, QEvent::MouseMove, QPoint(320, 12), Qt::LeftButton);
    EXPECT_TRUE(tab->isDragging());
    EXPECT_EQ(tab->x(), 260);
    EXPECT_EQ(bar->tabAtIndex(1)->x(), 0);
    EXPECT_EQ(bar->tabAtIndex(2)->x(), 130);
    EXPECT_FALSE(tab->titleField()->isVisibleTo(tab));
    EXPECT_FALSE(tab->closeButton()->isVisibleTo(tab));
    // The tab now sits in slot 2: the release comes in its own coordinates.
    send(tab, QEvent::MouseButtonRelease, tab->mapFrom(bar.get(), QPoint(320, 12)), Qt::NoButton);
    EXPECT_TRUE(tab->titleField()->isVisibleTo(tab));
    // The background never starts a drag.
    QVTab* background = bar->backgroundTab();
    send(background, QEvent::MouseButtonPress, QPoint(700, 12), Qt::LeftButton);
    send(background, QEvent::MouseMove, QPoint(100, 12), Qt::LeftButton);
    send(background, QEvent::MouseButtonRelease, QPoint(100, 12), Qt::NoButton);
    EXPECT_FALSE(background->closeButton()->isVisibleTo(background));
    EXPECT_EQ(order(*bar), (QStringList{"1", "2", "0", "3"}));
}

TEST(QVTabBarViewTest, TitlesShowTheEditedMarkAndKeepClearOfTheCloseButton) {
    auto bar = makeBar(400, 1);
    QVTab* tab = bar->tabAtIndex(0);
    const QString titles[] = {QStringLiteral("a.html"),
                              QStringLiteral("a very long title that will never fit into one tab of the strip.html"),
                              QStringLiteral("two\nlines\r\nand a paragraph\u2029break")};
    for (const QString& title : titles) {
        for (bool changed : {false, true}) {
            tab->setTitle(title);
            tab->setIsChanged(changed);
            const QString shown = tab->titleField()->text();
            EXPECT_EQ(tab->displayedTitle().startsWith(QChar(QVTab::ChangedMark)), changed);
            if (changed) {
                EXPECT_TRUE(shown.startsWith(QStringLiteral("\u25EC "))) << shown.toStdString();
            }
            EXPECT_FALSE(shown.contains(u'\n') || shown.contains(u'\r') || shown.contains(QChar::ParagraphSeparator));
            const QRect field = tab->titleField()->geometry();
            EXPECT_GT(field.left(), tab->closeButton()->geometry().right());
            EXPECT_LE(field.right(), tab->width() - 3);
            EXPECT_LE(tab->titleField()->fontMetrics().horizontalAdvance(shown), field.width());
        }
    }
    // The chevron's item shows the same text.
    auto crowded = makeBar(200, 3);
    crowded->tabAtIndex(2)->setIsChanged(true);
    EXPECT_EQ(crowded->overflowPopupButton()->tabMenu()->actions().last()->text(), QStringLiteral("\u25EC 2"));
}

namespace {

struct ViewRecorder : QVTabViewDelegate {
    std::vector<std::unique_ptr<QWidget>> views;  // one per index asked for, kept by the test
    std::vector<QString> calls;
    QWidget* viewForTabView(QVTabView*, qint64 index) override {
        while (qint64(views.size()) <= index) views.push_back(std::make_unique<QWidget>());
        return views[index].get();
    }
    void tabViewDidSelectTabAtIndex(QVTabView*, qint64 index) override {
        calls.push_back(QStringLiteral("select %1").arg(index == NotFound ? -1 : index));
    }
    bool tabViewShouldCloseTab(QVTabView*, const QString& identifier, qint64) override {
        calls.push_back(QStringLiteral("should ") + identifier);
        return true;
    }
    void tabViewDidCloseTab(QVTabView*, const QString& identifier, qint64, void*) override {
        calls.push_back(QStringLiteral("closed ") + identifier);
    }
    void tabViewDraggedTabFromIndex(QVTabView*, qint64, qint64) override {}
};

}  // namespace

TEST(QVTabViewTest, IdentifiersContentAndTheBarFollowingTheSetting) {
    UserDefaults::standard().setBool(true, QString::fromLatin1(QVUseTabs));
    ViewRecorder recorder;
    auto view = std::make_unique<QVTabView>();
    view->setDelegate(&recorder);
    view->resize(600, 400);
    view->show();
    EXPECT_EQ(view->contentFrame(), QRect(0, 0, 600, 376));
    QVTab* a = view->addTabWithIdentifier(QStringLiteral("a"));
    QVTab* b = view->addTabWithIdentifier(QStringLiteral("b"));
    view->addTabWithIdentifier(QStringLiteral("c"));
    EXPECT_EQ(recorder.calls, (std::vector<QString>{"select 0", "select 1", "select 2"}));
    EXPECT_EQ(view->contentView(), recorder.views[2].get());
    EXPECT_EQ(view->contentView()->geometry(), view->contentFrame());

    // The setting hides the bar at once and the content takes its height; back again.
    UserDefaults::standard().setBool(false, QString::fromLatin1(QVUseTabs));
    EXPECT_FALSE(view->showTabBar());
    EXPECT_EQ(view->contentFrame().height(), 400);
    EXPECT_LE(view->tabBar()->geometry().bottom(), 0);
    EXPECT_EQ(view->contentView()->height(), 400);
    UserDefaults::standard().setBool(true, QString::fromLatin1(QVUseTabs));
    EXPECT_EQ(view->contentFrame().height(), 376);
    EXPECT_EQ(view->tabBar()->y(), 0);

    // No selection empties the content; a tab shows its view.
    view->selectTabViewItem(nullptr);
    EXPECT_EQ(view->contentView(), nullptr);
    EXPECT_FALSE(recorder.views[2]->isVisible() && recorder.views[2]->isVisibleTo(view->contentBox()));
    view->selectTabViewItem(a);
    EXPECT_EQ(view->contentView(), recorder.views[0].get());

    // Re-keying keeps the place and the selection.
    view->tabIdentifierChangedTo(QStringLiteral("a"), QStringLiteral("z"));
    EXPECT_EQ(view->tabForIdentifier(QStringLiteral("a")), nullptr);
    EXPECT_EQ(view->tabForIdentifier(QStringLiteral("z")), a);
    EXPECT_EQ(a->tabIdentifier(), QStringLiteral("z"));
    EXPECT_EQ(view->selectedTabIndex(), 0);
    EXPECT_EQ(view->tabBar()->indexOfTab(a), 0);

    // Asking the delegate through the close button, then closing the rest by force.
    recorder.calls.clear();
    b->closeButton()->click();
    EXPECT_EQ(recorder.calls, (std::vector<QString>{"should b", "closed b"}));
    recorder.calls.clear();
    view->closeAllTabs(true);
    EXPECT_EQ(recorder.calls, (std::vector<QString>{"closed c", "closed z"}));
    EXPECT_EQ(view->countOfTabs(), 0);
    EXPECT_EQ(view->tabForIdentifier(QStringLiteral("c")), nullptr);
    EXPECT_EQ(view->tabForIdentifier(QStringLiteral("z")), nullptr);
    // The views stay with their owner (the test) when they leave the box.
    for (auto& shown : recorder.views) view->removeContentView(shown.get());
    view.reset();
}
