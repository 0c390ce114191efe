// The application as qorvel sets it up, and the moves of a user in its windows.
#include "tests/scenarios/Scenario.h"

#include "app/QVApplicationSetup.h"
#include "app/QVDocumentController.h"
#include "editor/QVFileDocument.h"
#include "editor/windows/QVMultiFileWindowController.h"
#include "editor/windows/QVSingleFileWindowController.h"
#include "platform/MainQueue.h"
#include "projects/windows/QVProjectView.h"
#include "projects/windows/QVProjectWindowController.h"
#include "shell/Defaults.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QMainWindow>
#include <QMessageBox>
#include <QTest>

#include <gtest/gtest.h>

namespace scenario {

QVDocumentController& application() {
    static QVDocumentController* made = [] {
        QVApplicationSetup::installSubsystems();
        auto* controller = new QVDocumentController;
        QVDocumentController::setConsentQuestion([] { return false; });
        controller->applicationWillFinishLaunching();
        return controller;
    }();
    return *made;
}

void closeEverything() {
    for (QMessageBox* box : visibleBoxes()) box->done(0);
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* window = qobject_cast<QMainWindow*>(widget);
        if (!window || !window->isVisible()) continue;
        if (auto* multi = qobject_cast<QVMultiFileWindowController*>(window))
            for (QVFileDocument* document : multi->openDocuments()) document->updateChangeCount(QVDocument::ChangeType::Cleared);
        if (auto* single = qobject_cast<QVSingleFileWindowController*>(window))
            single->document()->updateChangeCount(QVDocument::ChangeType::Cleared);
        window->close();
    }
    for (QMessageBox* box : visibleBoxes()) box->done(0);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

namespace {

// Every test starts as a session does, whatever order the tests run in and wherever the one
// before stopped: no window of it left open, and every setting it removed at its factory value
// again (a removed key reads as false, not as its factory value).
class EachTestStartsAfresh : public ::testing::EmptyTestEventListener {
    void OnTestEnd(const ::testing::TestInfo&) override {
        closeEverything();
        Defaults::resetDefaults();
    }
};
const bool registered = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new EachTestStartsAfresh);
    return true;
}();

}  // namespace

void bringForward(QWidget* window) {
    window->show();
    window->raise();
    window->activateWindow();
    QApplication::setActiveWindow(window);
    (void)QTest::qWaitForWindowActive(window, 2000);
}

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    return MainQueue::runUntil(done, timeout);
}

QVProjectView* outline(QVProjectWindowController* window) { return window ? window->findChild<QVProjectView*>(QStringLiteral("ProjectView")) : nullptr; }

QModelIndex row(QVProjectView* view, const QString& name, const QModelIndex& parent) {
    QAbstractItemModel* model = view->model();
    if (model->canFetchMore(parent)) model->fetchMore(parent);
    for (int r = 0; r < model->rowCount(parent); ++r) {
        const QModelIndex index = model->index(r, 0, parent);
        if (index.data().toString() == name) return index;
    }
    return {};
}

void click(QVProjectView* view, const QModelIndex& row) {
    view->scrollTo(row);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(row).center());
}

void doubleClick(QVProjectView* view, const QModelIndex& row) {
    view->scrollTo(row);
    const QPoint at = view->visualRect(row).center();
    // A double click arrives as a press, a release and a second press that doubles.
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, at);
}

void key(int key, int modifiers) {
    QWidget* focus = QApplication::focusWidget();
    if (!focus) return;
    QTest::keyClick(focus, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
}

void type(const QString& text) {
    for (const QChar c : text) {
        QWidget* focus = QApplication::focusWidget();
        if (!focus) return;
        if (c == u'\n') QTest::keyClick(focus, Qt::Key_Return);
        else QTest::keyClicks(focus, QString(c));
    }
}

QList<QMessageBox*> visibleBoxes() {
    QList<QMessageBox*> boxes;
    for (QWidget* widget : QApplication::allWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible()) boxes << box;
    return boxes;
}

}  // namespace scenario
