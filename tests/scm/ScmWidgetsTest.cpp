// Subversion in the project window against svnserve: status in the outline, the commit sheet, the
// "SCM Login" sheet and the keyring; the revision and message sheets; compare and result texts.
#include "files/QVCredentialsController.h"
#include "files/QVRootFile.h"
#include "platform/Keychain.h"
#include "platform/MainQueue.h"
#include "projects/QVProject.h"
#include "projects/windows/QVProjectOutlineModel.h"
#include "projects/windows/QVProjectWindowController.h"
#include "shell/QVAlertManager.h"
#include "scm/QVProjectSubversionController.h"
#include "scm/QVSCMPanels.h"
#include "tests/scm/SubversionPeers.h"

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdlib>

using namespace scmtest;

namespace {

bool waitFor(const std::function<bool()>& done, int ms = 30000) {
    return MainQueue::runUntil([&] {
        QApplication::processEvents();
        return done();
    }, std::chrono::milliseconds(ms));
}

template <typename Sheet>
Sheet* sheetOn(QWidget* window) {
    for (Sheet* sheet : window->findChildren<Sheet*>())
        if (sheet->isVisible()) return sheet;
    return nullptr;
}

QString keyringPassword(const QString& service, const QString& account) {
    qint32 status = 0;
    char* stored = GetPasswordFromKeychain(service.toUtf8().constData(), account.toUtf8().constData(), &status);
    const QString password = stored ? QString::fromUtf8(stored) : QString();
    std::free(stored);
    return password;
}

}  // namespace

TEST(SubversionProjectWindow, StatusCommitLoginAndTheKeyring) {
    Svnserve server;
    const QStringList login = {QStringLiteral("--username"), QStringLiteral("alice"), QStringLiteral("--password"), QStringLiteral("secret")};
    Repository repository(server.url, login);
    repository.commitArguments = login;
    repository.commit({{QStringLiteral("site/a.txt"), "a\n"}, {QStringLiteral("site/b.txt"), "b\n"}});
    repository.dir.write(QStringLiteral("wc/site/a.txt"), "changed\n");
    QVProject::setSCMControllerFactory(&QVProjectSubversionController::create);

    // A project in a folder below the working copy's top.
    const QString root = repository.wc + QStringLiteral("/site");
    auto project = QVProject::createWithRootDirectory(root, QStringLiteral("Site"));
    project->setIsOpen(true);
    auto window = std::make_unique<QVProjectWindowController>(project);
    window->show();
    auto* scm = dynamic_cast<QVProjectSubversionController*>(project->scmController());
    ASSERT_NE(scm, nullptr);
    const auto letter = [&](const QString& name) {
        const auto node = project->rootFile()->childWithPath({name}, true);
        return window->outlineModel()
            ->data(window->outlineModel()->indexForNode(node.get(), QVProjectOutlineModel::SCMColumn), Qt::DisplayRole)
            .toString();
    };
    ASSERT_TRUE(waitFor([&] { return letter(QStringLiteral("a.txt")) == QStringLiteral("M"); })) << letter("a.txt").toStdString();
    EXPECT_EQ(letter(QStringLiteral("b.txt")), QString());

    // Commit: the message sheet, then the login sheet (nothing stored yet), then the commit.
    scm->commitFiles({QStringLiteral("a.txt")}, window.get());
    QVSCMMessagePanel* message = nullptr;
    ASSERT_TRUE(waitFor([&] { return (message = sheetOn<QVSCMMessagePanel>(window.get())) != nullptr; }));
    message->editor()->setPlainText(QStringLiteral("a.txt"));
    QTest::mouseClick(message->commitButton(), Qt::LeftButton);
    ASSERT_TRUE(waitFor([&] { return window->credentialsSheet() && window->credentialsSheet()->isVisible(); }));
    QVCredentialsController* sheet = window->credentialsSheet();
    EXPECT_EQ(sheet->title(), QStringLiteral("SCM Login"));
    EXPECT_TRUE(sheet->message().isEmpty());
    // A wrong password: the sheet comes back saying the login failed.
    sheet->usernameField()->setText(QStringLiteral("alice"));
    sheet->passwordField()->setText(QStringLiteral("wrong"));
    QTest::mouseClick(sheet->okButton(), Qt::LeftButton);
    ASSERT_TRUE(waitFor([&] { return sheet->isVisible() && !sheet->message().isEmpty(); }));
    EXPECT_TRUE(sheet->message().contains(QStringLiteral("login failed"))) << sheet->message().toStdString();
    sheet->usernameField()->setText(QStringLiteral("alice"));
    sheet->passwordField()->setText(QStringLiteral("secret"));
    sheet->setUseKeychain(true);
    QTest::mouseClick(sheet->okButton(), Qt::LeftButton);
    ASSERT_TRUE(waitFor([&] { return letter(QStringLiteral("a.txt")).isEmpty(); })) << letter("a.txt").toStdString();
    EXPECT_EQ(keyringPassword(root, QStringLiteral("alice")), QStringLiteral("secret"));
    EXPECT_EQ(project->configurationValueForKey(QStringLiteral("QVSCMUsernameKey")).toString(), QStringLiteral("alice"));

    // A server that accepts the connection and never answers: the project's Cancel ends the
    // command, quietly, and the queue goes on.
    QTcpServer silent;
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost, 0));
    scm->interface().getLogForFile(QStringLiteral("svn://127.0.0.1:%1/repo").arg(silent.serverPort()), {}, 7);
    scm->interface().getStatusForFile(QStringLiteral("b.txt"), false, false, false);
    ASSERT_TRUE(waitFor([&] { return silent.hasPendingConnections() || silent.waitForNewConnection(10); }));
    waitFor([] { return false; }, 300);
    EXPECT_EQ(scm->runningCommand(), QStringLiteral("Log"));
    QAction* cancel = nullptr;
    for (QAction* action : window->findChildren<QAction*>())
        if (action->text() == QLatin1String("Cancel Remote Operation")) cancel = action;
    ASSERT_TRUE(cancel);
    window->validateCommands();
    EXPECT_TRUE(cancel->isEnabled());
    cancel->trigger();
    ASSERT_TRUE(waitFor([&] { return scm->interface().queuedCount() == 0; }, 10000));
    EXPECT_EQ(window->questions()->currentSheet(), nullptr);
    window.reset();
    project->close();

    // Another opening offers the stored name and keyring password first: no sheet this time.
    repository.dir.write(QStringLiteral("wc/site/b.txt"), "changed\n");
    auto again = QVProject::createWithRootDirectory(root, QStringLiteral("Site"));
    again->setBoolConfigurationValue(true, QStringLiteral("QVSCMUseKeychainKey"));
    again->setConfigurationValue(QStringLiteral("alice"), QStringLiteral("QVSCMUsernameKey"));
    auto* stored = dynamic_cast<QVProjectSubversionController*>(again->scmController());
    ASSERT_NE(stored, nullptr);
    stored->interface().commitFiles({QStringLiteral("b.txt")}, QStringLiteral("b"));
    ASSERT_TRUE(waitFor([&] { return stored->interface().queuedCount() == 0; }));
    EXPECT_TRUE(client(QStringList{QStringLiteral("log"), QStringLiteral("-r"), QStringLiteral("HEAD")} + login, repository.wc).contains("\nb\n"));
    again->close();
    QVProject::setSCMControllerFactory({});
}

TEST(SubversionSheets, RevisionAndMessageSheetsReportOnceWithTheirTag) {
    QWidget window;
    window.show();
    const QList<QVSCMLogEntry> entries = {{"3", "alice", "c", "2026"}, {"2", "bob", "b", "2025"}};
    const struct {
        int tag;
        std::function<void(QVSCMRevisionPanel*)> act;
        std::optional<QString> revision;
    } cases[] = {
        {6, [](QVSCMRevisionPanel* p) { QTest::mouseClick(p->mainButton(), Qt::LeftButton); }, QStringLiteral("3")},
        {2, [](QVSCMRevisionPanel* p) {
             const QRect row = p->table()->visualItemRect(p->table()->item(1, 0));
             QTest::mouseClick(p->table()->viewport(), Qt::LeftButton, {}, row.center());
             QTest::mouseDClick(p->table()->viewport(), Qt::LeftButton, {}, row.center());
         }, QStringLiteral("2")},
        {12, [](QVSCMRevisionPanel* p) { QTest::mouseClick(p->secondaryButton(), Qt::LeftButton); }, std::nullopt},
        {7, [](QVSCMRevisionPanel* p) {
             EXPECT_FALSE(p->secondaryButton()->isVisible());
             EXPECT_EQ(p->mainButton()->text(), QStringLiteral("Close"));
             QTest::mouseClick(p->mainButton(), Qt::LeftButton);
         }, std::nullopt},
    };
    for (const auto& c : cases) {
        auto* panel = new QVSCMRevisionPanel(QStringLiteral("a.txt"), c.tag, &window);
        int ended = 0;
        std::optional<QString> got;
        panel->displayEntries(entries, [&](QVSCMRevisionPanel*, std::optional<QString> revision, int tag) {
            ++ended;
            got = revision;
            EXPECT_EQ(tag, c.tag);
        });
        ASSERT_TRUE(QTest::qWaitForWindowExposed(panel));
        c.act(panel);
        QApplication::processEvents();
        EXPECT_EQ(ended, 1) << c.tag;
        EXPECT_EQ(got, c.revision) << c.tag;
    }
    EXPECT_EQ(QVSCMRevisionPanel(QStringLiteral("x"), 4, &window).command(), QStringLiteral("Compare"));
    for (const auto& [button, expected] : {std::pair{QVSCMMessagePanel::CommitTag, std::optional<QString>(QString())},
                                           std::pair{0, std::optional<QString>()}}) {
        auto* panel = new QVSCMMessagePanel(3, &window);
        std::optional<QString> got = QStringLiteral("unset");
        panel->display([&](QVSCMMessagePanel*, std::optional<QString> message, int) { got = message; });
        panel->close(button);
        EXPECT_EQ(got, expected);
        EXPECT_EQ(got.has_value() && got->isNull(), false);
    }
}

TEST(SubversionResults, CompareGetsTheRepositorysBytesInAPrivateFolderAndDiffOpensAText) {
    Repository repository;
    const QByteArray crlf = "line one\r\nline two\r\n\xff\xfe binary-ish\n";
    repository.commit({{QStringLiteral("page.html"), crlf}});
    repository.dir.write(QStringLiteral("wc/page.html"), "new\n");
    // A compare tool that keeps what it was given and how its folder was.
    const QString record = repository.dir.file(QStringLiteral("record"));
    const QString tool = repository.dir.write(
        QStringLiteral("tool.sh"),
        QStringLiteral("#!/bin/sh\ncp \"$2\" '%1.bytes'\nstat -c %a \"$(dirname \"$2\")\" > '%1.mode'\necho \"$1\" > '%1.working'\necho \"$2\" > '%1.copy'\n")
            .arg(record)
            .toUtf8());
    QFile::setPermissions(tool, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    UserDefaults::standard().setString(tool, QStringLiteral("QVSCMCompareTool"));
    QStringList opened, titles;
    QVProjectSubversionController::setResultOpener([&](const QString& title, const QString& text) {
        titles << title;
        opened << text;
    });

    auto project = QVProject::createWithRootDirectory(repository.wc, QStringLiteral("Repo"));
    QVProjectSubversionController scm(*project, QVSCMInterface::scmInterfaceForPath(repository.wc));
    scm.comparePath(QStringLiteral("page.html"), QStringLiteral("BASE"));
    scm.diffPath(QStringLiteral("page.html"), QStringLiteral("BASE"));
    ASSERT_TRUE(waitFor([&] { return QFile::exists(record + ".copy") && opened.size() == 1; }));
    EXPECT_EQ(readAll(record + ".bytes"), crlf);
    EXPECT_EQ(readAll(record + ".mode").trimmed(), QByteArray("700"));
    EXPECT_EQ(readAll(record + ".working").trimmed(), (repository.wc + QStringLiteral("/page.html")).toUtf8());
    const QString copy = QString::fromUtf8(readAll(record + ".copy").trimmed());
    EXPECT_TRUE(waitFor([&] { return !QFileInfo::exists(QFileInfo(copy).path()); }, 5000)) << copy.toStdString();
    EXPECT_TRUE(opened[0].contains(QStringLiteral("+new"))) << opened[0].toStdString();
    EXPECT_EQ(titles[0], QStringLiteral("page.html \u2014 Diff with BASE"));
    UserDefaults::standard().setString(QStringLiteral("/nonexistent/tool"), QStringLiteral("QVSCMCompareTool"));
    EXPECT_TRUE(QVProjectSubversionController::compareTool().isEmpty());
    project->close();
}
