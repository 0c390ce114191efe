#include "files/QVRootFile.h"
#include "platform/NotificationCenter.h"
#include "tests/projects/ProjectsTestSupport.h"

#include <QCoreApplication>
#include <QFile>

#include <chrono>

using namespace std::chrono_literals;

namespace {

class RecordingDelegate : public QVProjectDelegate {
public:
    explicit RecordingDelegate(unsigned answers) : _answers(answers) {}
    unsigned respondsTo() const override { return _answers; }
    void projectSetStatusString(QVProject*, const QString& status) override { heard << "status:" + status; }
    void projectShowProgress(QVProject*, bool show) override { heard << QString("progress:%1").arg(show); }
    void projectDidConnectToRemoteSite(QVProject*, bool connected) override { heard << QString("connected:%1").arg(connected); }
    void presentErrorAlert(const QVError& error) override { heard << "error:" + error.localizedDescription(); }
    std::optional<QVariantList> openFileInformationForProject(QVProject*) override { return QVariantList{QVariantMap{{"path", "a.html"}}}; }
    QStringList heard;

private:
    unsigned _answers;
};

}  // namespace

TEST_F(ProjectsTest, NewProjectSettingsAndCoalescedSaves) {
    TestDir root;
    auto project = QVProject::createWithRootDirectory(root.file("site.example"));
    EXPECT_EQ(project->displayName(), "site");
    project->setRootDirectory(root.file("other"));
    EXPECT_EQ(project->displayName(), "site");  // a named project keeps its name
    EXPECT_EQ(project->allConfigurationValues(),
              (QVariantMap{{"QVOpenFiles", QVariantList()}, {"QVConnectAutomaticallyKey", true}, {"QVUploadAutomaticallyKey", true}}));
    EXPECT_FALSE(project->hasPendingCommit());

    project->setConfigurationValue(QVariantList{1}, QVProject::OpenFilesKey);
    EXPECT_FALSE(project->hasPendingCommit()) << "the open-files list never schedules a save";

    // A burst ends in one write, after the last change: nothing is on disk before it.
    const QString file = sharedCopy(*project);
    project->setConfigurationValue("http://x/", QVProject::RemotePreviewURLKey);
    project->setConfigurationValue(QVariant(), QVProject::RemotePreviewURLKey);  // keeps the value
    project->setConfigurationValue(1252, "QVFileEncoding", "css/a.css");
    project->setConfigurationValue(QVariantMap{{"QVFileBundle", "PHP"}}, QString(), "b.php");
    project->setConfigurationValue(QVariant(), "QVFileEncoding", "missing.txt");
    EXPECT_TRUE(project->hasPendingCommit());
    EXPECT_FALSE(QFileInfo::exists(file));
    ASSERT_TRUE(MainQueue::runUntil([&] { return QFileInfo::exists(file); }, 30s));
    const QVariantMap saved = readPlist(file);
    EXPECT_EQ(saved.value("configuration").toMap().value("QVRemotePreviewURL"), "http://x/");
    EXPECT_EQ(saved.value("file-configuration").toMap(),
              (QVariantMap{{"css/a.css", QVariantMap{{"QVFileEncoding", 1252}}}, {"b.php", QVariantMap{{"QVFileBundle", "PHP"}}}}));
    EXPECT_FALSE(filesIn(project->rootDirectory()).contains("site.qvproj")) << "shared location on: root copy only when present";

    // Closing or quitting inside the delay writes what is pending.
    project->setConfigurationValue("x", "QVPreviewBrowser");
    project->close();
    EXPECT_FALSE(project->hasPendingCommit());
    EXPECT_EQ(readPlist(file).value("configuration").toMap().value("QVPreviewBrowser"), "x");
    project->setConfigurationValue("y", "QVPreviewBrowser");
    ASSERT_TRUE(QMetaObject::invokeMethod(QCoreApplication::instance(), "aboutToQuit"));
    EXPECT_EQ(readPlist(file).value("configuration").toMap().value("QVPreviewBrowser"), "y");

    // The open-files list comes from the delegate each time the file is built.
    auto delegate = std::make_shared<RecordingDelegate>(QVProjectDelegate::OpenFileInformation);
    project->setDelegate(delegate);
    EXPECT_EQ(project->plistRepresentation().value("configuration").toMap().value("QVOpenFiles"),
              (QVariantList{QVariantMap{{"path", "a.html"}}}));

    // A file's whole entry moves with the last two rows of the table.
    const QVariant entry = project->configurationValueForKey(QString(), "css/a.css");
    project->setConfigurationValue(QVariant(), QString(), "css/a.css");
    project->setConfigurationValue(entry, QString(), "css/b.css");
    EXPECT_FALSE(project->configurationValueForKey(QString(), "css/a.css").isValid());
    EXPECT_EQ(project->configurationValueForKey("QVFileEncoding", "css/b.css"), 1252);
}

TEST_F(ProjectsTest, ProjectFileRoundTripAndBothCopies) {
    TestDir root;
    auto project = QVProject::create();
    project->setDisplayName("My / Site");
    project->setRootDirectory(root.path());
    project->setDisplayName("Renamed");
    project->setType(QVProject::LocalAndRemote);
    project->remoteConfig().setHost("example.org");
    project->remoteConfig().setUser("me");
    project->remoteConfig().setUseKeychain(false);
    project->remoteConfig().setProtocol(QVProjectRemoteConfiguration::SFTP);
    project->remoteConfig().setOptions(QVariantMap{{"oIdentityFile", "~/.ssh/k"}});
    project->setConfigurationValue("Q", "QVOtherPartsKey");
    project->setConfigurationValue(10, "QVFileEncoding", "index.html");

    // Shared location off: the root copy is written under the first name, made one file name;
    // the shared copy only once it exists.
    UserDefaults::standard().setBool(false, "QVUseSharedProjectLocation");
    ASSERT_TRUE(project->commit(true));
    EXPECT_EQ(filesIn(root.path()), QStringList{"My - Site.qvproj"});
    EXPECT_FALSE(QFileInfo::exists(sharedCopy(*project)));
    UserDefaults::standard().removeObject("QVUseSharedProjectLocation");
    ASSERT_TRUE(project->commit(true));
    ASSERT_TRUE(QFileInfo::exists(sharedCopy(*project)));

    // Both readers, and the folder holding a root copy wins over the root it names.
    for (const QString& file : {sharedCopy(*project), root.file("My - Site.qvproj")}) {
        auto read = QVProject::createWithProjectFile(file);
        EXPECT_TRUE(read->readError().isNull()) << file.toStdString();
        EXPECT_EQ(read->uuid(), project->uuid());
        EXPECT_EQ(read->displayName(), "Renamed");
        EXPECT_EQ(read->originalDisplayName(), "My / Site");
        EXPECT_EQ(read->rootDirectory(), root.path());
        EXPECT_EQ(read->type(), QVProject::LocalAndRemote);
        EXPECT_TRUE(read->remoteConfig().isEqual(project->remoteConfig()));
        EXPECT_EQ(read->allConfigurationValues(), project->allConfigurationValues());
        EXPECT_EQ(read->configurationValueForKey("QVFileEncoding", "index.html"), 10);
        EXPECT_FALSE(read->hasPendingCommit()) << "reading schedules no save";
    }
    TestDir moved;
    QVariantMap stale = readPlist(root.file("My - Site.qvproj"));
    stale["local-metadata"] = QVariantMap{{"root-directory", "/nowhere/old"}, {"display-name", "Moved"}};
    ASSERT_TRUE(PropertyList::writeFile(stale, moved.file("b.qvproj"), PlistFormat::XML));
    ASSERT_TRUE(PropertyList::writeFile(stale, moved.file("a.qvproj"), PlistFormat::XML));
    auto movedProject = QVProject::createWithProjectFile(moved.file("b.qvproj"));
    EXPECT_EQ(movedProject->rootDirectory(), moved.path());
    // Of two project files in a folder the first by name is the root copy.
    UserDefaults::standard().setBool(false, "QVUseSharedProjectLocation");
    EXPECT_EQ(movedProject->projectFileSearchPaths().first(), moved.file("a.qvproj"));
}

TEST_F(ProjectsTest, ReadersTakeEveryFormAndRefuseWhatIsUnsafe) {
    TestDir dir;
    struct Case {
        const char* name;
        QVariantMap plist;
        qint32 type;
        QVariant connect, upload;
        QString host;
        bool problem;
    };
    const QVariantMap remote{{"host", "example.org"}, {"protocol", 1}, {"user", "me"}};
    const std::vector<Case> cases = {
        {"newer format", {{"format-version", 7}, {"type", 1}, {"configuration", QVariantMap{{"QVConnectAutomaticallyKey", true}, {"Later", 1}}}, {"remote-metadata", remote}},
         1, true, QVariant(), "example.org", false},
        {"no configuration", {{"format-version", 1}, {"type", 0}}, 0, QVariant(), QVariant(), "", false},
        {"beta with host", {{"remote-metadata", QVariantMap{{"host", "h"}, {"auto-connect", false}}}, {"configuration", QVariantMap{{"QVUploadAutomaticallyKey", false}}}},
         2, false, false, "h", false},
        {"beta without host", {{"configuration", QVariantMap{}}}, 0, QVariant(), QVariant(), "", false},
        {"wrong types", {{"format-version", "x"}, {"type", "2"}, {"uuid", 5}, {"local-metadata", "no"}, {"configuration", QVariantList{}}, {"file-configuration", QVariantMap{{"a", 1}}}},
         0, QVariant(), QVariant(), "", false},
        {"type out of range", {{"format-version", 1}, {"type", 99}}, 0, QVariant(), QVariant(), "", false},
        {"uuid as a path", {{"format-version", 1}, {"uuid", "../../../.bashrc"}}, 0, QVariant(), QVariant(), "", true},
        {"relative root", {{"format-version", 1}, {"local-metadata", QVariantMap{{"root-directory", "rel/dir"}}}}, 0, QVariant(), QVariant(), "", true},
        {"host as an option", {{"format-version", 1}, {"remote-metadata", QVariantMap{{"host", "-oProxyCommand=sh"}, {"user", "me\n!sh"}}}}, 0, QVariant(), QVariant(), "", true},
    };
    for (const Case& c : cases) {
        const QString path = QVProject::sharedProjectsFolder() + QString("/%1.qvproj").arg(c.name);
        QDir().mkpath(QFileInfo(path).absolutePath());
        ASSERT_TRUE(PropertyList::writeFile(c.plist, path, PlistFormat::XML));
        auto project = QVProject::createWithProjectFile(path);
        EXPECT_EQ(project->type(), c.type) << c.name;
        EXPECT_EQ(project->configurationValueForKey("QVConnectAutomaticallyKey"), c.connect) << c.name;
        EXPECT_EQ(project->configurationValueForKey("QVUploadAutomaticallyKey"), c.upload) << c.name;
        EXPECT_EQ(project->remoteConfig().host(), c.host) << c.name;
        EXPECT_EQ(!project->readError().isNull(), c.problem) << c.name;
        EXPECT_TRUE(QVProject::isUUIDString(project->uuid())) << c.name;
        EXPECT_FALSE(project->hasPendingCommit()) << c.name;
        EXPECT_TRUE(project->fileConfigurationValues().isEmpty()) << c.name;
    }
    EXPECT_EQ(QVProject::createWithProjectFile(QVProject::sharedProjectsFolder() + "/newer format.qvproj")->configurationValueForKey("Later"), 1);

    // Files that are no project file: an error, a project with nothing in it.
    for (const QByteArray& bytes : {QByteArray("<?xml version=\"1.0\"?><plist><dict><key>a</key>"), QByteArray("\x00\xff\x13garbage", 10),
                                    QByteArray("<plist version=\"1.0\"><array><string>x</string></array></plist>"), QByteArray()}) {
        auto project = QVProject::createWithProjectFile(dir.write("shared/bad.qvproj", bytes));
        EXPECT_FALSE(project->readError().isNull());
        EXPECT_EQ(project->rootDirectory(), dir.file("shared")) << "a root copy's folder is its root";
    }

    // Options that make a client run a program are refused and named; the rest is kept.
    struct Options {
        qint32 protocol;
        QVariantMap options, kept;
    };
    const std::vector<Options> options = {
        {1, {{"other", "-v -oProxyCommand=nc%h -C"}, {"oIdentityFile", "~/.ssh/k"}}, {{"other", "-v -C"}, {"oIdentityFile", "~/.ssh/k"}}},
        // Nothing that writes host lines where, or under what name, the project chooses.
        {1, {{"oUserKnownHostsFile", "/tmp/victim"}, {"oHostKeyAlias", "$(id)"}, {"oIdentityFile", "/tmp/k"}, {"i", "/k"}}, {}},
        {1, {{"oLocalCommand", "id"}, {"oPermitLocalCommand", "yes"}, {"oKnownHostsCommand", "x"}, {"F", "/tmp/c"}, {"S", "/bin/sh"}, {"D", "/x"}}, {}},
        {1, {{"other", "-F /tmp/cfg -4"}}, {{"other", "-4"}}},
        // Read as each client's option parser reads them: bundled letters, attached values.
        {1, {{"other", "-vFssh_config -C"}}, {{"other", "-C"}}},
        {1, {{"other", "-CSevil"}, {"oPKCS11Provider", "/tmp/p.so"}, {"oSecurityKeyProvider", "x.so"}}, {}},
        {1, {{"other", "-vDevil -o ProxyCommand=x -q"}}, {{"other", "-q"}}},
        {0, {{"other", "-N netrc -A"}, {"N", "netrc"}, {"A", true}}, {{"other", "-A"}, {"A", true}}},
        {0, {{"S", true}, {"other", "-p"}}, {{"other", "-p"}}},  // tnftp has no -S: not known harmless
        {2, {{"other", "-r rc -t"}, {"t", true}}, {{"other", "-t"}, {"t", true}}},
    };
    for (const Options& o : options) {
        const QVariantMap plist{{"format-version", 1},
                                {"remote-metadata", QVariantMap{{"host", "h"}, {"protocol", o.protocol}, {"options", o.options}}}};
        ASSERT_TRUE(PropertyList::writeFile(plist, dir.file("shared/o.qvproj"), PlistFormat::XML));
        auto project = QVProject::createWithProjectFile(dir.file("shared/o.qvproj"));
        EXPECT_EQ(project->remoteConfig().options().value_or(QVariantMap()), o.kept);
        EXPECT_EQ(project->readError().isNull(), o.kept == o.options);
        // The window says so when the project opens.
        EXPECT_EQ(project->refusedSiteSettings(), o.kept != o.options);
    }
}

TEST_F(ProjectsTest, NamesBecomeOneSafeFileName) {
    const std::vector<std::pair<QString, QString>> names = {
        {"plain", "plain"}, {"a/b", "a-b"}, {"..", ""}, {".", ""}, {" . ", ""}, {"", ""},
        {QString("x\ny") + QChar(0) + "\x7f" + "z", "xyz"}, {"../../etc", "..-..-etc"}, {QString(300, 'a'), QString(255, 'a')},
    };
    for (const auto& [in, out] : names) EXPECT_EQ(QVProject::safeFileName(in), out) << in.toStdString();
    for (const char* bad : {"", "X", "../E0B5B0F4-8B5C-4F8B-9C43-58A3B0B3F6C1", "E0B5B0F4-8B5C-4F8B-9C43-58A3B0B3F6C1/"}) {
        auto project = QVProject::create();
        EXPECT_FALSE(project->setUUID(bad));
    }
}

TEST_F(ProjectsTest, DelegateHearsOnlyWhatItAnswersOfAFailedConnection) {
    // Nothing listens on port 1, whereas a port freed a moment ago may be taken by a peer that
    // another test starts meanwhile.
    const quint16 port = 1;
    auto project = QVProject::create();
    project->remoteConfig().setHost("127.0.0.1");
    project->remoteConfig().setPort(port);
    project->remoteConfig().setUser("me");
    project->remoteConfig().setUseKeychain(false);
    project->remoteConfig().setPassword("pw");
    auto statusOnly = std::make_shared<RecordingDelegate>(QVProjectDelegate::Status);
    project->setDelegate(statusOnly);
    EXPECT_EQ(project->delegateResponse(), unsigned(QVProjectDelegate::Status));
    project->connectToRemoteSite();
    ASSERT_TRUE(MainQueue::runUntil([&] { return statusOnly->heard.contains("status:Failed to connect"); }, 30s))
        << statusOnly->heard.join(" | ").toStdString();
    EXPECT_EQ(statusOnly->heard.first(), "status:Connecting to remote site");
    for (const QString& line : statusOnly->heard) EXPECT_TRUE(line.startsWith("status:")) << line.toStdString();
    EXPECT_FALSE(project->hasRemoteConnection());

    // A delegate let go hears nothing more; clearDelegate spares another one.
    auto other = std::make_shared<RecordingDelegate>(QVProjectDelegate::AllResponses);
    project->setDelegate(other);
    project->clearDelegate(statusOnly.get());
    EXPECT_EQ(project->delegate(), other);
    project->close();
    EXPECT_EQ(project->delegate(), nullptr);
    EXPECT_EQ(project->remoteQueue(), nullptr);
    MainQueue::drain();
    EXPECT_TRUE(other->heard.isEmpty()) << other->heard.join(" | ").toStdString();
}

TEST_F(ProjectsTest, RootFileOnlyWhileOpenAndFollowsType) {
    TestDir root;
    auto project = QVProject::createWithRootDirectory(root.path());
    EXPECT_EQ(project->rootFile(), nullptr);
    project->setIsOpen(true);
    auto node = project->rootFile();
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(project->rootFile(), node);
    project->setType(QVProject::RemoteOnly);
    EXPECT_TRUE(node->remoteOnly());
    TestDir other;
    project->setRootDirectory(other.path());
    EXPECT_NE(project->rootFile(), node);
    project->close();
    EXPECT_EQ(project->rootFile(), nullptr);
}

TEST_F(ProjectsTest, FailedFirstWriteIsReported) {
    TestDir root;
    auto project = QVProject::createWithRootDirectory(root.path());
    auto delegate = std::make_shared<RecordingDelegate>(QVProjectDelegate::PresentError);
    project->setDelegate(delegate);
    // The shared folder's place is taken by a file: nothing can be written there.
    QDir().mkpath(Defaults::appSupportPathForFile());
    QFile blocker(QVProject::sharedProjectsFolder());
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    EXPECT_FALSE(project->commit(true));
    EXPECT_FALSE(project->lastCommitError().isNull());
    ASSERT_EQ(delegate->heard.size(), 1);
    EXPECT_TRUE(delegate->heard.first().startsWith("error:"));
}

TEST(QVProjectIdentifier, OnlyTheEightFourFourFourTwelveHexFormIsAnIdentifier) {
    const std::pair<const char*, bool> rows[] = {
        {"0123ABCD-0123-4567-89AB-0123456789AB", true},  {"0123abcd-0123-4567-89ab-0123456789ab", true},
        {"0123ABCD-0123-4567-89AB-0123456789A", false},  {"0123ABCD-0123-4567-89AB-0123456789ABC", false},
        {"0123ABCD0-123-4567-89AB-0123456789AB", false}, {"0123ABCG-0123-4567-89AB-0123456789AB", false},
        {"{123ABCD-0123-4567-89AB-0123456789AB}", false}, {"0123ABCD-0123-4567-89AB-0123456789A\u00e9", false},
        {"", false},
    };
    for (const auto& [text, valid] : rows) EXPECT_EQ(QVProject::isUUIDString(QString::fromUtf8(text)), valid) << text;
}
