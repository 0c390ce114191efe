// The recovery folder: which texts a run keeps and drops, and what a later launch finds of runs
// that ended without quitting.
#include "editor/QVRecoveryFolder.h"

#include "editor/HTMLView.h"
#include "editor/QVFileDocument.h"
#include "platform/FileName.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QSysInfo>

#include <gtest/gtest.h>

namespace {

void type(HTMLView& view, const QString& text) {
    view.setSelectedRange(QVRange(view.length(), 0));
    view.undoableInsertText(text, QStringLiteral("Typing"));
    view.undoManager().closeEventGroup();
}

// The run's kept texts as "name|path|text", sorted.
QStringList kept(const QString& run) {
    QStringList texts;
    for (const QFileInfo& file : QDir(run).entryInfoList({QStringLiteral("*.json")}, QDir::Files)) {
        const QJsonObject entry = QJsonDocument::fromJson(readAll(file.filePath())).object();
        texts << QStringList{entry.value(QStringLiteral("name")).toString(),
                             FileName::decode(QByteArray::fromPercentEncoding(entry.value(QStringLiteral("path")).toString().toLatin1())),
                             entry.value(QStringLiteral("text")).toString()}
                     .join(u'|');
    }
    texts.sort();
    return texts;
}

}  // namespace

TEST(QVRecoveryFolder, KeepsEditedTextsDropsThemOnSaveAndCloseAndFindsWhatEndedRunsLeft) {
    QVRecoveryFolder& folder = QVRecoveryFolder::shared();
    TestDir dir;
    // A name that is not UTF-8 finds its file again.
    const QString page = FileName::decode(QFile::encodeName(dir.path()) + "/caf\xe9.html");
    ASSERT_TRUE(writeBytes(FileName::encode(page), "<p>\n"));
    const QString other = dir.write(QStringLiteral("other.css"), "p {}\n");
    QVFileDocument edited(page), untitled, clean(other);
    ASSERT_TRUE(edited.load() && clean.load());
    type(*edited.textView(), QStringLiteral("one"));
    type(*untitled.textView(), QStringLiteral("draft"));
    folder.keepEditedDocuments();
    const QString run = folder.runFolder();
    ASSERT_FALSE(run.isEmpty());
    EXPECT_TRUE(run.startsWith(QVRecoveryFolder::location()));
    EXPECT_FALSE(QFileInfo(QVRecoveryFolder::location()).permissions().testAnyFlags(QFile::ReadOther | QFile::ReadGroup | QFile::ExeOther));
    const QString name = FileName::displayed(QFileInfo(page).fileName());
    EXPECT_EQ(kept(run), (QStringList{QStringLiteral("Untitled||draft"), name + u'|' + page + QStringLiteral("|<p>\none")}));

    // Saved or closed: dropped; undone back to the file's text: dropped at the next keeping.
    ASSERT_TRUE(edited.save());
    untitled.close();
    EXPECT_EQ(kept(run), QStringList());
    type(*edited.textView(), QStringLiteral("two"));
    folder.keepEditedDocuments();
    EXPECT_EQ(kept(run).size(), 1);
    edited.undoManager()->undo();
    folder.keepEditedDocuments();
    EXPECT_EQ(kept(run), QStringList());

    // Runs that ended: one killed with texts, one with none (removed on the way); a running one
    // (its lock held) and this run are not offered.
    const auto fakeRun = [&](const QString& name, bool text) {
        const QString at = QVRecoveryFolder::location() + QLatin1Char('/') + name;
        QDir().mkpath(at);
        // The lock of a process that is gone.
        writeBytes(QFile::encodeName(at + QStringLiteral("/run.lock")), "999999\nqorvel\n" + QSysInfo::machineHostName().toUtf8() + "\n");
        if (text) writeBytes(QFile::encodeName(at + QStringLiteral("/0001.json")), R"({"path":"/site/a%20b.html","name":"a b.html","text":"kept"})");
        return at;
    };
    const QString killed = fakeRun(QStringLiteral("1-killed"), true);
    const QString empty = fakeRun(QStringLiteral("2-empty"), false);
    const QString running = fakeRun(QStringLiteral("3-running"), true);
    QFile::remove(running + QStringLiteral("/run.lock"));
    QLockFile live(running + QStringLiteral("/run.lock"));
    ASSERT_TRUE(live.tryLock(0));
    type(*edited.textView(), QStringLiteral("three"));
    folder.keepEditedDocuments();
    const QVRecoveryFolder::LeftBehind found = folder.leftBehind();
    EXPECT_EQ(found.folders, QStringList{killed});
    ASSERT_EQ(found.texts.size(), 1);
    EXPECT_EQ(found.texts[0].path, QStringLiteral("/site/a b.html"));
    EXPECT_EQ(found.texts[0].name, QStringLiteral("a b.html"));
    EXPECT_EQ(found.texts[0].text, QStringLiteral("kept"));
    EXPECT_FALSE(QFileInfo::exists(empty));
    QVRecoveryFolder::remove(found);
    EXPECT_FALSE(QFileInfo::exists(killed));
    EXPECT_TRUE(QFileInfo::exists(running));
    live.unlock();
    QDir(running).removeRecursively();

    // The session ends the run: every edited text stays, through the windows' teardown too.
    folder.keepForNextLaunch();
    edited.close();
    folder.finish();
    EXPECT_EQ(kept(run), QStringList{name + u'|' + page + QStringLiteral("|<p>\nonethree")});
}
