// The status bar offscreen: the layouts of the four modes with and without animation, what its
// fields show, the mode pop-up and its delegate, and messages over the bar leaving through the
// main queue.
#include "editor/QVStatusBar.h"
#include "languages/QVBundle.h"
#include "languages/QVBundleRepository.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include <gtest/gtest.h>

namespace {

struct ModeRecorder : QVStatusBarDelegate {
    QList<std::shared_ptr<QVBundle>> chosen;
    void statusBarSetMode(QVStatusBar*, const std::shared_ptr<QVBundle>& bundle) override { chosen.append(bundle); }
};

// The bar at the bottom of a window, with a button where messages show over it.
struct Window {
    QWidget window;
    QPushButton* button = new QPushButton(QStringLiteral("under"), &window);
    QVStatusBar* bar;
    explicit Window(QVBundleRepository* repository = nullptr) {
        bar = new QVStatusBar(&window, repository);
        window.resize(600, 200);
        button->setGeometry(0, 0, 600, 178);
        bar->setGeometry(0, 178, 600, QVStatusBar::BarHeight);
        window.show();
    }
    void resize(int width) {
        window.resize(width, 200);
        bar->setGeometry(0, 178, width, QVStatusBar::BarHeight);
    }
    // Element names left to right; separators as "|".
    QStringList layout() const {
        QStringList names;
        for (QWidget* element : bar->placedElements()) {
            if (bar->separators().contains(qobject_cast<QLabel*>(element))) names << "|";
            else if (element == bar->progressIndicator()) names << "progress";
            else names << element->objectName();
        }
        return names;
    }
};

}  // namespace

TEST(QVStatusBar, ModesLayTheElementsOutWithOrWithoutAnimation) {
    struct Case {
        int mode;
        QStringList elements;
    };
    const QStringList local = {"modeSelector", "|", "lineColumnField", "|", "escapeField", "|", "statusField"};
    const QStringList remote = {"modeSelector", "|", "lineColumnField", "|", "escapeField", "|", "progress", "|", "statusField"};
    const Case cases[] = {
        {QVStatusBar::Transfer, {"progress", "|", "statusField"}},
        {QVStatusBar::LocalAndRemote, remote},
        {QVStatusBar::Remote, remote},
        {QVStatusBar::Local, local},
    };
    for (bool animate : {false, true}) {
        Window w;
        EXPECT_EQ(w.layout(), local);
        for (const Case& c : cases) {
            w.bar->setBarMode(c.mode, animate);
            ASSERT_EQ(w.bar->layoutAnimation() != nullptr, animate);
            if (animate) {
                // Separators wait for the elements to arrive.
                EXPECT_TRUE(w.bar->separators().first()->isHidden());
                w.bar->layoutAnimation()->setCurrentTime(QVStatusBar::AnimationDuration);
                EXPECT_EQ(w.bar->layoutAnimation(), nullptr);
            }
            EXPECT_EQ(w.layout(), c.elements) << c.mode << " " << animate;
            for (QWidget* element : w.bar->placedElements()) {
                EXPECT_FALSE(element->isHidden());
                EXPECT_EQ(element->geometry().bottom() < QVStatusBar::BarHeight, true);
            }
            EXPECT_EQ(w.bar->representationSelector()->isHidden(), true);
            EXPECT_EQ(w.bar->statusField()->geometry().right(), w.bar->width() - 11);
            EXPECT_EQ(w.bar->lineColumnField()->isHidden(), c.mode == QVStatusBar::Transfer);
        }
        // The same mode again changes nothing and starts no animation.
        const QList<QLabel*> separators = w.bar->separators();
        w.bar->setBarMode(QVStatusBar::Local, true);
        EXPECT_EQ(w.bar->layoutAnimation(), nullptr);
        EXPECT_EQ(w.bar->separators(), separators);
        // The status text stretches with the bar.
        w.resize(800);
        EXPECT_EQ(w.bar->statusField()->geometry().right(), w.bar->width() - 11);
    }
}

TEST(QVStatusBar, FieldsModePopUpAndDelegate) {
    QVBundleRepository repository;
    const std::shared_ptr<QVBundle> zeta = repository.addBundleWithTitle("zeta", "test.zeta");
    const std::shared_ptr<QVBundle> alpha = repository.addBundleWithTitle("Alpha", "test.alpha");
    ASSERT_TRUE(zeta && alpha);
    Window w(&repository);
    QComboBox* modes = w.bar->modeSelector();
    EXPECT_EQ(modes->itemText(0), "Unknown");
    QStringList titles;
    for (int i = 2; i < modes->count(); ++i) titles << modes->itemText(i);
    QStringList sorted = titles;
    std::sort(sorted.begin(), sorted.end(), [](const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive) < 0; });
    EXPECT_EQ(titles, sorted);
    EXPECT_TRUE(titles.contains("Alpha") && titles.contains("zeta"));

    // Without a delegate the pop-ups are off and the fields empty.
    w.bar->setLineNumber(12, 5);
    EXPECT_EQ(w.bar->lineColumnField()->text(), "12::5");
    w.bar->setLineNumber(0, 5);
    EXPECT_EQ(w.bar->lineColumnField()->text(), "");
    EXPECT_FALSE(modes->isEnabled());

    auto recorder = std::make_shared<ModeRecorder>();
    w.bar->setDelegate(recorder);
    EXPECT_TRUE(modes->isEnabled() && w.bar->representationSelector()->isEnabled());
    w.bar->setMode(zeta);
    EXPECT_EQ(w.bar->selectedMode(), zeta);
    w.bar->setMode(nullptr);
    EXPECT_EQ(modes->currentIndex(), 0);
    Q_EMIT modes->activated(modes->findText("Alpha"));
    Q_EMIT modes->activated(0);
    EXPECT_EQ(recorder->chosen, (QList<std::shared_ptr<QVBundle>>{alpha, nullptr}));

    w.bar->setEscaped(true);
    w.bar->setLineNumber(3, 1);
    w.bar->setMode(alpha);
    EXPECT_EQ(w.bar->escapeField()->text(), "ESC");
    // An image document: pop-ups off, "Unknown", no escape flag, no position.
    w.bar->setIsText(false);
    EXPECT_FALSE(modes->isEnabled());
    EXPECT_EQ(modes->currentIndex(), 0);
    EXPECT_EQ(w.bar->escapeField()->text(), "");
    EXPECT_EQ(w.bar->lineColumnField()->text(), "");

    w.bar->showProgress(true);
    EXPECT_EQ(w.bar->progressIndicator()->maximum(), 0);
    w.bar->showProgress(false);
    EXPECT_EQ(w.bar->progressIndicator()->maximum(), 1);
}

TEST(QVStatusBar, MessagesShowOverTheBarAndLeaveThroughTheMainQueue) {
    using namespace std::chrono_literals;
    const auto restore = QVStatusBarOverlayView::messageDuration();
    Window w;
    QVStatusBarOverlayView* overlay = w.bar->overlayView();
    // The overlay stands over the bar's bottom and above it, and clicks pass through it.
    const QRect over = w.bar->overlay()->geometry();
    EXPECT_EQ(over.bottom(), w.bar->geometry().bottom());
    EXPECT_EQ(over.height(), QVStatusBarOverlayView::DefaultHeight);
    EXPECT_EQ(w.window.childAt(over.center() - QPoint(0, 20)), w.button);

    // A second message replaces the first at once, and the first one's leave is cancelled.
    QVStatusBarOverlayView::setMessageDuration(0ms);
    overlay->showStatusMessage("first");
    QVStatusBarOverlayView::setMessageDuration(1h);
    overlay->showStatusMessage("second", QVStatusBarOverlayView::Fade);
    QCoreApplication::processEvents();
    ASSERT_NE(overlay->messageView(), nullptr);
    EXPECT_EQ(overlay->messageView()->message(), "second");
    EXPECT_EQ(overlay->findChildren<QVStatusMessageView*>().size(), 1);
    // Labels sit centred at the overlay's top.
    EXPECT_EQ(overlay->messageView()->y(), 0);
    EXPECT_LE(std::abs(overlay->messageView()->geometry().center().x() - overlay->width() / 2), 1);

    // A warning fades: a copy leaves while a new message may already show.
    QVStatusBarOverlayView::setMessageDuration(0ms);
    w.bar->showWarning("careful");
    EXPECT_TRUE(MainQueue::runUntil([&] { return overlay->animatingView() != nullptr; }, 30s));
    EXPECT_EQ(overlay->messageView(), nullptr);
    EXPECT_EQ(overlay->animatingView()->message(), "careful");
    overlay->currentAnimation()->setCurrentTime(overlay->currentAnimation()->totalDuration());
    EXPECT_EQ(overlay->animatingView(), nullptr);

    // The representation is announced only in the remote layout, sliding onto its pop-up.
    w.bar->setRepresentationType(1);
    EXPECT_EQ(overlay->messageView(), nullptr);
    w.bar->setBarMode(QVStatusBar::Remote, false);
    QVStatusBarOverlayView::setMessageDuration(1h);
    w.bar->setRepresentationType(1);
    ASSERT_NE(overlay->messageView(), nullptr);
    EXPECT_EQ(overlay->messageView()->message(), "Editing remote file version");
    EXPECT_EQ(w.bar->representationSelector()->currentIndex(), 1);
    // Without a document the message goes at once.
    w.bar->setDelegate({});
    EXPECT_EQ(overlay->messageView(), nullptr);
    QVStatusBarOverlayView::setMessageDuration(restore);

    // Slide targets: a narrower label is centred in the target, a wider one takes its width.
    struct Slide {
        QRect label, end, target;
    };
    const Slide slides[] = {
        {QRect(0, 0, 40, 32), QRect(100, 10, 100, 20), QRect(130, 4, 40, 32)},
        {QRect(0, 0, 140, 32), QRect(100, 10, 100, 20), QRect(100, 4, 100, 32)},
        {QRect(0, 0, 41, 32), QRect(0, 0, 100, 31), QRect(30, -1, 41, 32)},
    };
    for (const Slide& s : slides) EXPECT_EQ(QVStatusBarOverlayView::slideTarget(s.label, s.end), s.target);
}
