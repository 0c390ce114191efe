#include "editor/windows/QVMultiFileWindowController.h"
#include "projects/windows/QVProjectDocument.h"
#include "projects/windows/QVProjectManager.h"
#include "tests/projects/ProjectsTestSupport.h"

#include "platform/NotificationCenter.h"

#include <QHeaderView>
#include <QPushButton>
#include <QMimeData>
#include <QTableView>
#include <QPointer>
#include <QTest>
#include <QUrl>

namespace {

struct SettingsCall {
    std::shared_ptr<QVProject> project;
    QString name, folder;
};

class ManagerTest : public ProjectsTest {
protected:
    void SetUp() override {
        ProjectsTest::SetUp();
        QVProjectManager::install();
        QVProjectManager::setSettingsOpener([this](const std::shared_ptr<QVProject>& project, const QString& name, const QString& folder) {
            calls.append({project, name, folder});
            auto* window = new QWidget;
            window->setAttribute(Qt::WA_DeleteOnClose);
            windows << window;
            return window;
        });
        QVProjectDocument::setIndexer([this](const QString& folder) { indexed << folder; });
    }
    void TearDown() override {
        // What the test left posted runs now, and the windows the manager had opened (an add
        // panel nobody closed among them) go with the test, not at the program's exit.
        QCoreApplication::sendPostedEvents();
        qDeleteAll(windows);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        delete QVProjectManager::sharedInstance();
        for (QVProjectDocument* document : QVProjectDocument::openDocuments()) delete document->windowController();
        QVProjectManager::setSettingsOpener({});
        ProjectsTest::TearDown();
    }
    static QStringList rows(QVProjectManager* manager) {
        QStringList all;
        for (int row = 0; row < manager->model()->rowCount(); ++row) all << manager->model()->index(row).data().toString();
        return all;
    }
    static std::shared_ptr<QVProject> project(const QString& name, const QString& root) {
        auto p = QVProject::createWithRootDirectory(root);
        p->setDisplayName(name);
        p->commit(true);
        return p;
    }
    static QMimeData* folders(const QStringList& paths) {
        auto* data = new QMimeData;
        QList<QUrl> urls;
        for (const QString& path : paths) urls << QUrl::fromLocalFile(path);
        data->setUrls(urls);
        return data;
    }
    QList<SettingsCall> calls;
    QList<QPointer<QWidget>> windows;
    QStringList indexed;
};

}  // namespace

TEST_F(ManagerTest, RowsShowWhereEachProjectLives) {
    QVProjectManager* manager = QVProjectManager::sharedInstance();
    TestDir local;
    struct Case {
        const char* name;
        qint32 type;
        QString host, folder, subtitle;
        bool badge;
    };
    const QString home = Paths::home();
    const std::vector<Case> cases = {
        {"remote www", QVProject::RemoteOnly, "example.org", "www", "sftp: example.org/www", true},
        {"remote top", QVProject::RemoteOnly, "example.org", "", "sftp: example.org", true},
        {"local with host", QVProject::Local, "example.org", "", "", false},
        {"both", QVProject::LocalAndRemote, "example.org", "", "", true},
    };
    for (const Case& c : cases) {
        QDir().mkpath(home + "/p/" + c.name);
        auto p = project(c.name, home + "/p/" + c.name);
        p->setType(c.type);
        p->remoteConfig().setHost(c.host);
        p->remoteConfig().setProtocol(QVProjectRemoteConfiguration::SFTP);
        p->remoteConfig().setInitialDirectory(c.folder);
        QVProjectRepository::sharedInstance().addProject(p);
        manager->model()->reload();
        const QModelIndex row = manager->model()->index(0);
        EXPECT_EQ(row.data().toString(), c.name);
        EXPECT_EQ(row.data(QVProjectManagerModel::SubtitleRole).toString(),
                  QString(c.subtitle).isEmpty() ? QString("~/p/") + c.name : c.subtitle) << c.name;
        EXPECT_EQ(row.data(QVProjectManagerModel::RemoteBadgeRole).toBool(), c.badge) << c.name;
    }
    // The window draws its rows (looked at under Xvfb; here it must only paint without fault).
    manager->show();
    EXPECT_FALSE(manager->grab().isNull());
}

TEST_F(ManagerTest, SortRemoveAndReorder) {
    QVProjectManager* manager = QVProjectManager::sharedInstance();
    QVProjectRepository& list = QVProjectRepository::sharedInstance();
    TestDir a, b, c, d;
    for (const auto& [name, dir] : {std::pair{"b", &a}, {"C", &b}, {"a", &c}}) list.addProject(project(name, dir->path()));
    manager->model()->reload();
    EXPECT_FALSE(manager->removeButton()->isEnabled());
    QHeaderView* header = manager->tableView()->horizontalHeader();
    for (const auto& [direction, order] : {std::pair{1, QStringList{"a", "b", "C"}}, {-1, {"C", "b", "a"}}, {1, {"a", "b", "C"}}}) {
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(header->sectionViewportPosition(0) + 10, header->height() / 2));
        EXPECT_EQ(manager->sortDirection(), direction);
        EXPECT_EQ(rows(manager), order);
        EXPECT_TRUE(header->isSortIndicatorShown());
    }
    // A project created while sorted goes in its place, selected.
    NotificationCenter::defaultCenter().post(QVProjectRepository::ProjectCreatedNotification, project("B2", d.path()).get());
    EXPECT_EQ(rows(manager), (QStringList{"a", "b", "B2", "C"}));
    EXPECT_TRUE(manager->removeButton()->isEnabled());
    EXPECT_EQ(manager->tableView()->selectionModel()->selectedRows().value(0).row(), 2);

    // A row dragged within the list moves it and unsorts the list; a drag from elsewhere is refused.
    QVProjectManagerModel* model = manager->model();
    std::unique_ptr<QMimeData> drag(model->mimeData({model->index(0)}));
    ASSERT_TRUE(model->canDropMimeData(drag.get(), Qt::MoveAction, 3, 0, {}));
    model->dropMimeData(drag.get(), Qt::MoveAction, 3, 0, {});
    EXPECT_EQ(rows(manager), (QStringList{"b", "B2", "a", "C"}));
    EXPECT_EQ(manager->sortDirection(), 0);
    EXPECT_FALSE(header->isSortIndicatorShown());
    QVProjectManagerModel other(list);
    std::unique_ptr<QMimeData> foreign(other.mimeData({other.index(0)}));
    EXPECT_FALSE(model->canDropMimeData(foreign.get(), Qt::MoveAction, 0, 0, {}));
    auto forged = std::make_unique<QMimeData>();
    forged->setData(QVProjectManagerModel::DragType, "1 2 99999");
    EXPECT_FALSE(model->canDropMimeData(forged.get(), Qt::MoveAction, 0, 0, {}));

    // Unsorted again: a new project goes to the top. Remove takes the row, never the files.
    TestDir e;
    NotificationCenter::defaultCenter().post(QVProjectRepository::ProjectCreatedNotification, project("new", e.path()).get());
    EXPECT_EQ(rows(manager).first(), "new");
    manager->remove();
    EXPECT_EQ(rows(manager), (QStringList{"b", "B2", "a", "C"}));
    EXPECT_FALSE(filesIn(QVProject::sharedProjectsFolder()).isEmpty());
}

TEST_F(ManagerTest, AddEditAndDroppedFolders) {
    QVProjectManager* manager = QVProjectManager::sharedInstance();
    QVProjectRepository& list = QVProjectRepository::sharedInstance();
    TestDir listed, fresh;
    auto known = project("known", listed.path());
    list.addProject(known);
    manager->model()->reload();
    QVProjectManagerModel* model = manager->model();
    const QString file = fresh.write("page.html", "x");
    for (const QStringList& refused : {QStringList{listed.path(), fresh.path()}, QStringList{file}, QStringList{"/nonexistent/dir"}}) {
        std::unique_ptr<QMimeData> data(folders(refused));
        EXPECT_FALSE(model->canDropMimeData(data.get(), Qt::CopyAction, -1, -1, {})) << refused.join(",").toStdString();
    }
    std::unique_ptr<QMimeData> one(folders({fresh.path()}));
    ASSERT_TRUE(model->canDropMimeData(one.get(), Qt::CopyAction, -1, -1, {}));
    model->dropMimeData(one.get(), Qt::CopyAction, -1, -1, {});
    QCoreApplication::processEvents();
    ASSERT_EQ(calls.size(), 1);
    EXPECT_EQ(calls[0].project, nullptr);
    EXPECT_EQ(calls[0].name, QFileInfo(fresh.path()).fileName());
    EXPECT_EQ(calls[0].folder, fresh.path());

    // A dropped folder that is listed edits that project; edit twice shows one window.
    std::unique_ptr<QMimeData> again(folders({listed.path()}));
    model->dropMimeData(again.get(), Qt::CopyAction, -1, -1, {});
    QCoreApplication::processEvents();
    manager->edit();
    ASSERT_EQ(calls.size(), 2);
    EXPECT_EQ(calls[1].project, known);
    QWidget* window = manager->settingsWindowForProject(known.get());
    ASSERT_NE(window, nullptr);
    window->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(manager->settingsWindowForProject(known.get()), nullptr);
    manager->edit();
    EXPECT_EQ(calls.size(), 3);
    manager->add();
    EXPECT_EQ(calls.size(), 4);
    EXPECT_EQ(calls[3].folder, QString());
}

TEST_F(ManagerTest, ProjectDocumentOpensOneWindowPerProject) {
    TestDir site;
    const QString page = site.write("index.html", "<p>");
    QVError error;
    QMainWindow* window = QVProjectDocument::open(site.path(), &error);
    ASSERT_NE(window, nullptr) << error.localizedDescription().toStdString();
    std::shared_ptr<QVProject> project = QVProjectRepository::sharedInstance().copyProjectWithPath(site.path(), false);
    ASSERT_NE(project, nullptr);
    EXPECT_TRUE(project->isOpen());
    EXPECT_EQ(indexed, QStringList{site.path()});
    EXPECT_EQ(rows(QVProjectManager::sharedInstance()).value(0), QFileInfo(site.path()).fileName()) << "a new folder is listed";
    EXPECT_TRUE(QVProjectManager::sharedInstance()->removeButton()->isEnabled()) << "and selected";

    // The folder again, or its project file, is the same window; a file inside opens as a tab.
    EXPECT_EQ(QVProjectDocument::open(sharedCopy(*project)), window);
    EXPECT_EQ(QVProjectDocument::open(site.path() + "/"), window);
    EXPECT_EQ(QVProjectDocument::openInOpenProject(site.write("site.qvproj", "x"), false), window);
    EXPECT_EQ(QVProjectDocument::openInOpenProject(page, false), window);
    auto* tabs = qobject_cast<QVMultiFileWindowController*>(window);
    ASSERT_NE(tabs, nullptr);
    EXPECT_EQ(tabs->openDocuments().size(), 1);
    EXPECT_EQ(QVProjectDocument::openInOpenProject(site.path() + "-sibling/x.html", false), nullptr);
    EXPECT_FALSE(QVProjectDocument::openDocuments().first()->validateMenuItem());

    // Closing the window closes the project.
    project->setConfigurationValue("kept", "QVPreviewBrowser");
    window->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_FALSE(project->isOpen());
    EXPECT_FALSE(project->hasPendingCommit());
    EXPECT_TRUE(QVProjectDocument::openDocuments().isEmpty());

    // A listed project whose folder is gone says why and opens nothing.
    const QString gone = site.path();
    QDir(gone).removeRecursively();
    EXPECT_EQ(QVProjectDocument::open(gone, &error), nullptr);
    EXPECT_EQ(error.localizedDescription(), "Unable to load project");
    EXPECT_EQ(QVProjectRepository::sharedInstance().countOfProjects(), 1);
}
