#include "platform/FileName.h"
#include "platform/NotificationCenter.h"
#include "platform/Process.h"
#include "shell/StringHashing.h"
#include "tests/projects/ProjectsTestSupport.h"

#include <QFile>

#include <functional>

#include <sys/stat.h>
#include <unistd.h>

namespace {

QStringList names(QVProjectRepository& list) {
    QStringList all;
    for (qsizetype row = 0; row < list.countOfProjects(); ++row) {
        list.projectAtIndex(row)->loadIfNecessary();  // as the manager does before drawing a row
        all << list.projectAtIndex(row)->displayName();
    }
    return all;
}

std::shared_ptr<QVProject> named(const QString& name, const QString& root = {}) {
    auto project = QVProject::createWithRootDirectory(root);
    project->setDisplayName(name);
    if (!root.isEmpty()) project->commit(true);
    return project;
}

}  // namespace

TEST_F(ProjectsTest, LookupHandsOutOneProjectPerFolder) {
    QVProjectRepository& list = QVProjectRepository::sharedInstance();
    TestDir site;
    int created = 0;
    const auto token = NotificationCenter::defaultCenter().addObserver(QVProjectRepository::ProjectCreatedNotification, nullptr,
                                                                       [&](const Notification&) { ++created; });
    EXPECT_EQ(list.copyProjectWithPath(site.path(), false), nullptr);
    EXPECT_TRUE(filesIn(Defaults::appSupportPathForFile("Projects")).isEmpty()) << "a look-up writes nothing";

    auto project = list.copyProjectWithPath(site.path());
    ASSERT_NE(project, nullptr);
    EXPECT_EQ(created, 1);
    EXPECT_TRUE(QFileInfo::exists(sharedCopy(*project))) << "a new project is written at once";
    EXPECT_EQ(list.countOfProjects(), 0) << "the list changes only when the manager adds it";
    // Before and after listing, however the folder is named, the same object.
    EXPECT_EQ(list.copyProjectWithPath(site.path() + "/"), project);
    EXPECT_EQ(list.copyProjectWithPath(site.path(), false), project);
    EXPECT_EQ(list.addProject(project), 0);
    EXPECT_EQ(list.copyProjectWithPath(site.file("site.qvproj")), project);
    EXPECT_EQ(created, 1);

    // A second project on the same folder answers the listed row; the list grows once.
    EXPECT_EQ(list.addProject(named("second", site.path())), 0);
    EXPECT_EQ(list.countOfProjects(), 1);

    // A new root folder re-keys the listed project.
    TestDir moved;
    project->setRootDirectory(moved.path());
    EXPECT_EQ(list.copyProjectWithPath(moved.path(), false), project);
    EXPECT_EQ(list.copyProjectWithPath(site.path(), false), nullptr);

    // A root copy that exists but cannot be read is moved aside, never written over.
    TestDir broken;
    const QByteArray garbage("\x01not a project", 14);
    broken.write("broken.qvproj", garbage);
    UserDefaults::standard().setBool(false, "QVUseSharedProjectLocation");
    auto fresh = list.copyProjectWithPath(broken.file("broken.qvproj"));
    EXPECT_EQ(fresh->rootDirectory(), broken.path());
    EXPECT_FALSE(fresh->readError().isNull());
    const QStringList files = filesIn(broken.path());
    ASSERT_EQ(files.size(), 2) << files.join(",").toStdString();
    EXPECT_EQ(readAll(broken.file(files.filter("unreadable").value(0))), garbage);
    EXPECT_EQ(created, 2);
    EXPECT_FALSE(fresh->isReadOnly());

    // One that cannot be moved aside either (its folder refuses; the superuser is refused only by
    // an immutable folder) is never written: the project opens read-only from defaults.
    TestDir shutDir;
    const QString shut = shutDir.file("shut");
    shutDir.write("shut/shut.qvproj", garbage);
    const bool root = ::geteuid() == 0;
    const auto close = [&](bool closed) {
        return root ? Process::run("chattr", {closed ? "+i" : "-i", shut}).succeeded()
                    : ::chmod(QFile::encodeName(shut).constData(), closed ? 0555 : 0755) == 0;
    };
    ASSERT_TRUE(close(true)) << "chattr (package e2fsprogs) failed";
    auto kept = list.copyProjectWithPath(shut + "/shut.qvproj");
    const QByteArray left = readAll(shut + "/shut.qvproj");
    const QStringList inShut = filesIn(shut);
    kept->setDisplayName("Renamed");
    const bool committed = kept->commit(true);
    const QByteArray leftAfterCommit = readAll(shut + "/shut.qvproj");
    ASSERT_TRUE(close(false));
    EXPECT_EQ(left, garbage);
    EXPECT_EQ(inShut, QStringList{"shut.qvproj"});
    EXPECT_TRUE(kept->isReadOnly());
    EXPECT_TRUE(kept->foundUnreadableCopy());
    EXPECT_TRUE(kept->readError().localizedRecoverySuggestion().contains("read-only"))
        << kept->readError().localizedRecoverySuggestion().toStdString();
    EXPECT_FALSE(committed);
    EXPECT_EQ(leftAfterCommit, garbage);
    EXPECT_EQ(created, 2);
    NotificationCenter::defaultCenter().removeObserver(token);
}

TEST_F(ProjectsTest, ListOrderSurvivesARestart) {
    QVProjectRepository& list = QVProjectRepository::sharedInstance();
    TestDir a, b, c, d, e;
    for (const auto& [name, dir] : {std::pair{"gamma", &a}, {"Beta", &b}, {"alpha", &c}}) list.addProject(named(name, dir->path()));
    EXPECT_EQ(names(list), (QStringList{"alpha", "Beta", "gamma"}));
    EXPECT_EQ(list.insertProjectSorted(named("beta", d.path()), true), 1);
    EXPECT_EQ(names(list), (QStringList{"alpha", "beta", "Beta", "gamma"}));
    EXPECT_EQ(list.insertProjectSorted(named("delta", e.path()), false), 0);  // into an ascending list
    EXPECT_EQ(names(list), (QStringList{"delta", "alpha", "beta", "Beta", "gamma"}));

    EXPECT_TRUE(list.moveProjectFromIndex(0, 3));
    EXPECT_EQ(names(list), (QStringList{"alpha", "beta", "delta", "Beta", "gamma"}));
    for (const auto& [from, to] : {std::pair{-1, 0}, {0, 6}, {5, 0}}) EXPECT_FALSE(list.moveProjectFromIndex(from, to));
    EXPECT_FALSE(list.removeProjectAtIndex(5));
    EXPECT_EQ(list.projectAtIndex(5), nullptr);
    list.sortProjects(false);
    EXPECT_EQ(names(list), (QStringList{"gamma", "delta", "beta", "Beta", "alpha"}));
    EXPECT_TRUE(list.removeProjectAtIndex(1));
    EXPECT_EQ(list.indexOfProject(*named("alpha")), 3);
    EXPECT_EQ(list.indexOfProject(*named("nobody")), QVProjectRepository::NotFound);

    const QStringList before = names(list);
    QVProjectRepository::resetSharedInstance();
    QVProjectRepository& again = QVProjectRepository::sharedInstance();
    EXPECT_EQ(names(again), before);
    EXPECT_EQ(again.copyProjectWithPath(e.path(), false), nullptr) << "a removed project does not come back";
}

// A folder whose name is not UTF-8 is found again after a restart, not listed once per launch.
TEST_F(ProjectsTest, AFolderNameThatIsNotUTF8SurvivesARestart) {
    TestDir base;
    const QByteArray bytes = FileName::encode(base.path()) + "/site\xe9";
    ASSERT_EQ(::mkdir(bytes.constData(), 0755), 0);
    const QString root = FileName::decode(bytes);
    QVProjectRepository::sharedInstance().addProject(named("site", root));
    QVProjectRepository::resetSharedInstance();
    QVProjectRepository& again = QVProjectRepository::sharedInstance();
    ASSERT_EQ(again.countOfProjects(), 1);
    EXPECT_EQ(FileName::encode(again.projectAtIndex(0)->rootDirectory()), bytes);
    EXPECT_EQ(again.copyProjectWithPath(root, false), again.projectAtIndex(0));
}

TEST_F(ProjectsTest, OlderAndBrokenListsAreReadAndKeptAside) {
    const QString path = QVProjectRepository::projectsPlistPath();
    const QString data = QFileInfo(path).absolutePath();
    TestDir a, b;
    struct Case {
        const char* name;
        QVariant plist;       // projects.plist (invalid: none)
        QByteArray raw;       // or these bytes
        QVariant siteList;    // site_list.plist
        QStringList projects;
        bool setAside;
    };
    const QVariantList versionOne{QVariantMap{{"DisplayName", "One"}, {"RootDirectory", a.path()}, {"HasRemoteEquivalent", true}},
                                  QVariantMap{{"DisplayName", 3}}, QVariant("junk")};
    const std::vector<Case> cases = {
        {"1.0", QVariantMap{{"FormatVersion", "1.0"}, {"Projects", versionOne}}, {}, {}, {"One"}, true},
        {"2.0", QVariantMap{{"FormatVersion", "2.0"}, {"Projects", QVariantList{QByteArray("alias")}}}, {}, {}, {}, true},
        {"site list", {}, {}, QVariantList{QVariantMap{{"Path", b.path()}, {"DisplayName", "Site"}}, QVariantMap{{"Path", "relative"}}}, {"Site"}, false},
        // Entries that cannot be used would be gone at the next write: the old list is kept.
        {"current, odd entries", QVariantMap{{"FormatVersion", "9"}, {"Projects", QVariantList{QVariantMap{{"path", a.path()}, {"uuid", "../x"}}, QVariantMap{{"path", a.path()}}, QVariantMap{{"alias", QByteArray("a")}}, 5}}},
         {}, {}, {QFileInfo(a.path()).completeBaseName()}, true},
        {"current, relative path", QVariantMap{{"FormatVersion", "3.0"}, {"Projects", QVariantList{QVariantMap{{"path", "rel/b"}}, QVariantMap{{"path", b.path()}}}}},
         {}, {}, {QFileInfo(b.path()).completeBaseName()}, true},
        {"current, path of another type", QVariantMap{{"FormatVersion", "3.0"}, {"Projects", QVariantList{QVariantMap{{"path", 7}}, QVariantMap{{"path", b.path()}}}}},
         {}, {}, {QFileInfo(b.path()).completeBaseName()}, true},
        {"current, all usable", QVariantMap{{"FormatVersion", "3.0"}, {"Projects", QVariantList{QVariantMap{{"path", b.path()}}}}},
         {}, {}, {QFileInfo(b.path()).completeBaseName()}, false},
        {"not a dictionary", QVariantList{1}, {}, {}, {}, true},
        {"Projects not a list", QVariantMap{{"Projects", "x"}}, {}, {}, {}, true},
        {"truncated", {}, QByteArray("bplist00\xd1\x01"), {}, {}, true},
    };
    for (const Case& c : cases) {
        clean();
        QDir().mkpath(data);
        if (c.plist.isValid()) {
            ASSERT_TRUE(PropertyList::writeFile(c.plist, path, PlistFormat::XML));
        }
        if (!c.raw.isEmpty()) {
            QFile file(path);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(c.raw);
        }
        if (c.siteList.isValid()) {
            ASSERT_TRUE(PropertyList::writeFile(c.siteList, data + "/site_list.plist", PlistFormat::XML));
        }
        const QByteArray original = readAll(path);
        QVProjectRepository& list = QVProjectRepository::sharedInstance();
        EXPECT_EQ(names(list), c.projects) << c.name;
        EXPECT_EQ(!list.readNotice().isNull(), c.setAside) << c.name;
        if (c.setAside) {
            const QStringList aside = filesIn(data).filter("projects.plist.");
            ASSERT_EQ(aside.size(), 1) << c.name;
            EXPECT_EQ(readAll(data + "/" + aside.first()), original) << c.name;
        }
        // Whatever was read, the list on disk is now the current form and says the same.
        list.commit();
        const QVariantMap written = readPlist(path);
        EXPECT_EQ(written.value("FormatVersion"), "3.0") << c.name;
        EXPECT_EQ(written.value("Projects").toList().size(), c.projects.size()) << c.name;
        if (std::string(c.name) == "1.0") {
            EXPECT_TRUE(list.projectAtIndex(0)->hasRemoteEquivalent());
        }
        QVProjectRepository::resetSharedInstance();
    }

    // Writing before the list was read keeps what the file holds.
    clean();
    QVProjectRepository::sharedInstance().addProject(named("kept", a.path()));
    QVProjectRepository::resetSharedInstance();
    EXPECT_TRUE(QVProjectRepository::sharedInstance().commit());
    QVProjectRepository::resetSharedInstance();
    EXPECT_EQ(names(QVProjectRepository::sharedInstance()), QStringList{"kept"});
}

TEST_F(ProjectsTest, OneIdentifierNamesOneFolder) {
    // Two folders with one identifier would share one project file: saving one would rewrite the
    // other's site (and upload on save would go to the wrong server).
    const QString uuid = "0123ABCD-0123-4567-89AB-0123456789AB";
    TestDir a, b, copy;
    struct Case {
        const char* name;
        std::function<std::shared_ptr<QVProject>()> newcomer;  // the second folder's project
    };
    const std::vector<Case> cases = {
        {"a list naming two folders with one identifier",
         [&] {
             const QVariantList entries{QVariantMap{{"path", a.path()}, {"uuid", uuid}}, QVariantMap{{"path", b.path()}, {"uuid", uuid}}};
             PropertyList::writeFile(QVariantMap{{"FormatVersion", "3.0"}, {"Projects", entries}}, QVProjectRepository::projectsPlistPath(),
                                     PlistFormat::XML);
             QVProjectRepository& list = QVProjectRepository::sharedInstance();
             return list.countOfProjects() == 2 ? list.projectAtIndex(1) : nullptr;
         }},
        {"a copied project folder",
         [&] {
             QVProjectRepository& list = QVProjectRepository::sharedInstance();
             auto original = named("site", a.path());
             original->setUUID(uuid);
             original->commit(true);
             list.addProject(original);
             QFile::copy(a.file("site.qvproj"), copy.file("site.qvproj"));
             return list.copyProjectWithPath(copy.path());
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        clean();
        QDir().mkpath(QFileInfo(QVProjectRepository::projectsPlistPath()).absolutePath());
        auto newcomer = c.newcomer();
        ASSERT_NE(newcomer, nullptr);
        QVProjectRepository& list = QVProjectRepository::sharedInstance();
        auto holder = list.copyProjectWithPath(a.path(), false);
        ASSERT_NE(holder, nullptr);
        holder->loadIfNecessary();
        newcomer->loadIfNecessary();
        EXPECT_EQ(holder->uuid(), uuid) << "the folder that held it keeps it";
        EXPECT_NE(newcomer->uuid(), uuid);
        EXPECT_TRUE(QVProject::isUUIDString(newcomer->uuid()));
        // Each saves its own site into its own files.
        holder->remoteConfig().setHost("a.example.org");
        newcomer->remoteConfig().setHost("b.example.org");
        ASSERT_TRUE(holder->commit(true));
        ASSERT_TRUE(newcomer->commit(true));
        EXPECT_EQ(readPlist(sharedCopy(*holder)).value("remote-metadata").toMap().value("host"), "a.example.org");
        EXPECT_EQ(readPlist(sharedCopy(*newcomer)).value("remote-metadata").toMap().value("host"), "b.example.org");
        // And read again after a restart, they still differ.
        const QString newUUID = newcomer->uuid(), newRoot = newcomer->rootDirectory();
        list.commit();
        QVProjectRepository::resetSharedInstance();
        auto again = QVProjectRepository::sharedInstance().copyProjectWithPath(newRoot, false);
        if (again) {
            again->loadIfNecessary();
            EXPECT_EQ(again->uuid(), newUUID);
        }
        QVProjectRepository::resetSharedInstance();
    }
}

TEST_F(ProjectsTest, FolderOfANewRemoteOnlyProject) {
    QVProjectRepository& list = QVProjectRepository::sharedInstance();
    auto project = named("my new site");
    const QString base = Paths::home() + "/Sites/Qorvel";
    const QString first = QVProject::projectDirectoryForProject(project);
    EXPECT_EQ(first, base + "/MyNewSite");
    // The folder now exists and belongs to no project: it is not made one, and not taken.
    auto second = named("my new site");
    second->setType(QVProject::RemoteOnly);
    EXPECT_EQ(QVProject::projectDirectoryForProject(second), base + "/MyNewSite 1");
    EXPECT_TRUE(filesIn(first).isEmpty());
    EXPECT_EQ(list.countOfProjects(), 0);
    EXPECT_EQ(list.copyProjectWithPath(first, false), nullptr);
    // A listed project's own folder is the answer for the project itself, not for its twin.
    QDir().mkpath(base + "/OwnSite");
    auto owner = named("Own Site", base + "/OwnSite");
    list.addProject(owner);
    EXPECT_EQ(QVProject::projectDirectoryForProject(owner), base + "/OwnSite");
    auto twin = named("Own Site");
    twin->setType(QVProject::RemoteOnly);
    EXPECT_EQ(QVProject::projectDirectoryForProject(twin), base + "/OwnSite 1");
    for (const auto& [name, folder] : {std::pair{"..", "Untitled"}, {"a/../b", "a-..-b"}, {"x\ny", "xy"}})
        EXPECT_EQ(QVProject::projectDirectoryForProject(named(name)), base + "/" + folder) << name;
}

TEST_F(ProjectsTest, ReadingTheListChecksIdentifiersInLinearWork) {
    // Each entry read asks whether another folder holds its identifier; asking every listed
    // project made a list of 200,000 take minutes. The work counted must not grow with the list.
    const QString shared = "0123ABCD-0123-4567-89AB-0123456789AB";
    std::vector<qint64> examined;
    for (const int count : {500, 4000}) {
        SCOPED_TRACE(count);
        clean();
        QVariantList entries;
        for (int i = 0; i < count; ++i)
            entries << QVariantMap{{"path", QString("/nowhere/site-%1").arg(i)},
                                   {"uuid", i == count / 2 || i == count - 1 ? shared : StringHashing::uuid()}};
        QDir().mkpath(QFileInfo(QVProjectRepository::projectsPlistPath()).absolutePath());
        ASSERT_TRUE(PropertyList::writeFile(QVariantMap{{"FormatVersion", "3.0"}, {"Projects", entries}},
                                            QVProjectRepository::projectsPlistPath(), PlistFormat::Binary));
        QVProjectRepository& list = QVProjectRepository::sharedInstance();
        ASSERT_EQ(list.countOfProjects(), count);
        EXPECT_EQ(list.projectAtIndex(count / 2)->uuid(), shared) << "the first folder keeps it";
        EXPECT_NE(list.projectAtIndex(count - 1)->uuid(), shared) << "the second folder listed with it gets a new one";
        TestDir folder;
        list.addProject(named("added", folder.path()));
        examined.push_back(list.projectsExaminedForUUIDs());

        // The index follows identifiers assigned to listed projects, and rows moved and taken away.
        const QString fresh = StringHashing::uuid().toUpper();
        ASSERT_TRUE(list.projectAtIndex(2)->setUUID(fresh));
        ASSERT_EQ(list.projectAtIndex(2)->uuid(), fresh);
        ASSERT_TRUE(list.moveProjectFromIndex(2, 6));
        ASSERT_EQ(list.projectAtIndex(5)->uuid(), fresh);
        auto newcomer = QVProject::createWithRootDirectory("/nowhere/newcomer");
        ASSERT_TRUE(newcomer->setUUID(fresh));
        EXPECT_NE(newcomer->uuid(), fresh) << "a listed project holds it";
        ASSERT_TRUE(list.removeProjectAtIndex(5));
        auto after = QVProject::createWithRootDirectory("/nowhere/after-removal");
        ASSERT_TRUE(after->setUUID(fresh));
        EXPECT_EQ(after->uuid(), fresh) << "no listed project holds it any more";
    }
    EXPECT_LE(examined[1], examined[0] + 4) << "work grew with the list: " << examined[0] << " then " << examined[1];
}
