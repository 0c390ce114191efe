// The recovery folder: which texts a run keeps and drops, and what a later launch finds of runs
// that ended without quitting.
#include "editor/QVRecoveryFolder.h"

#include "editor/HTMLView.h"
#include "editor/QVFileDocument.h"
#include "files/QVRootFile.h"
#include "platform/FileName.h"
#include "platform/RunFolder.h"
#include "platform/TextEncoding.h"
#include "shell/FileEncodings.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QSysInfo>

#include <gtest/gtest.h>

#include <unistd.h>

#include <functional>
#include <string_view>
#include <iterator>

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
    // Typing on grows the same undo step, whose token stays: the next interval keeps it all.
    edited.textView()->insertText(QStringLiteral("t"));
    const quint64 step = edited.currentChangeToken();
    folder.keepEditedDocuments();
    edited.textView()->insertText(QStringLiteral("yped"));
    ASSERT_EQ(edited.currentChangeToken(), step);
    folder.keepEditedDocuments();
    EXPECT_EQ(kept(run).join(u'\n').toStdString(), (name + u'|' + page + QStringLiteral("|<p>\nonetwotyped")).toStdString());
    edited.textView()->undoManager().closeEventGroup();
    edited.undoManager()->undo();
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

    // Kept with the file's size and modification time as the document last read or wrote it,
    // and, for a file of a site project's window, that project's folder; found so.
    TestDir site;
    const QString sitePage = site.write(QStringLiteral("a.html"), "a\n");
    auto root = QVRootFile::create(site.path(), false);
    QVFileDocument inSite(sitePage);
    ASSERT_TRUE(inSite.load());
    inSite.setFileNode(root->childWithPath({QStringLiteral("a.html")}, true));
    folder.setSiteProjectFinder([&](const QString& path) { return path == sitePage || path == page ? site.path() : QString(); });
    type(*inSite.textView(), QStringLiteral("b"));
    folder.keepEditedDocuments();
    folder.setSiteProjectFinder({});
    QString keptFile;
    for (const QFileInfo& file : QDir(run).entryInfoList({QStringLiteral("*.json")}, QDir::Files)) {
        const QJsonObject entry = QJsonDocument::fromJson(readAll(file.filePath())).object();
        const bool ofSite = entry.value(QStringLiteral("name")).toString() == QStringLiteral("a.html");
        if (!ofSite) keptFile = file.filePath();
        const QVDiskStamp stamp = (ofSite ? inSite : edited).diskStamp();
        EXPECT_EQ(entry.value(QStringLiteral("size")).toString(), QString::number(stamp.size));
        EXPECT_EQ(entry.value(QStringLiteral("modified")).toString(), QString::number(stamp.modified));
        // Shown without a tree, the same file is no site document.
        EXPECT_EQ(entry.value(QStringLiteral("siteProject")).toString(), ofSite ? site.path() : QString());
    }
    ASSERT_FALSE(keptFile.isEmpty());
    inSite.close();

    // A text the recovery folder cannot take (a folder stands where its file goes) goes to the
    // cache folder, and then to the runtime folder; while it does, and while it cannot be kept
    // anywhere, every window keeps saying so and why, until the folder takes it again.
    const QString name0 = QFileInfo(keptFile).fileName();
    const auto inFallback = [&](int place) {
        QStringList found;
        const QString root = QVRecoveryFolder::fallbackLocations().value(place);
        for (const QString& run : QDir(root).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            if (QFileInfo(root + u'/' + run + u'/' + name0).isFile()) found << root + u'/' + run + u'/' + name0;
        return found;
    };
    ASSERT_EQ(QVRecoveryFolder::fallbackLocations().size(), 2) << "XDG_RUNTIME_DIR is not set";
    const QString runtime = QVRecoveryFolder::fallbackLocations()[1];
    QString cached;
    const struct {
        const char* step;
        std::function<bool()> keep;
        bool kept;
        const char* said;  // in the notice, empty: none
        int cachedCopies;
    } steps[] = {
        {"interval",
         [&] {
             EXPECT_TRUE(QFile::remove(keptFile) && QDir().mkpath(keptFile));
             return folder.keepEditedDocuments();
         },
         true, "Unsaved changes are kept in", 1},
        {"next interval", [&] { return folder.keepEditedDocuments(); }, true, "Unsaved changes are kept in", 1},
        {"writable again",
         [&] {
             cached = inFallback(0).value(0);
             QDir(keptFile).removeRecursively();
             return folder.keepEditedDocuments();
         },
         true, "", 0},
        {"nowhere",
         [&] {
             QFile::remove(keptFile);
             QDir().mkpath(keptFile);
             QDir().mkpath(cached);
             writeBytes(QFile::encodeName(runtime), "a file where the folder goes");
             return folder.keepEditedDocuments();
         },
         false, "Unsaved changes cannot be kept", 0},
        {"session ends", [&] { return folder.keepForNextLaunch(); }, false, "Unsaved changes cannot be kept", 0},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.step);
        type(*edited.textView(), QStringLiteral("!"));
        EXPECT_EQ(step.keep(), step.kept);
        EXPECT_EQ(inFallback(0).size(), step.cachedCopies);
        const QString said = edited.standingNotice();
        if (*step.said) {
            // Where the text is kept (or that it is kept nowhere) comes first, so a cut notice
            // still reads true.
            EXPECT_TRUE(said.startsWith(QLatin1String(step.said)) && said.contains(QStringLiteral("Is a directory")))
                << said.toStdString();
        } else {
            EXPECT_EQ(said, QString());
        }
    }
    QFile::remove(runtime);
    QDir(cached).removeRecursively();
    ASSERT_TRUE(QDir(keptFile).removeRecursively());
    for (std::size_t typed = 0; typed < std::size(steps); ++typed) edited.undoManager()->undo();

    // The session ends the run: every edited text stays, through the windows' teardown too.
    ASSERT_TRUE(folder.keepForNextLaunch());
    edited.close();
    folder.finish();
    EXPECT_EQ(kept(run), QStringList{name + u'|' + page + QStringLiteral("|<p>\nonethree")});
    EXPECT_TRUE(folder.runFolder().isEmpty());
    // Left for a next launch, which this process does not make.
    QDir(run).removeRecursively();

    // Texts left where another account could have put them are never offered: a fallback folder
    // open to everyone, a run's folder or a text of someone else's. A text kept in two places (a
    // run ended between writing one and removing the other) is offered once.
    const auto leave = [](const QString& place, const QString& name, const QByteArray& text) {
        const QString at = place + QLatin1Char('/') + name;
        QDir().mkpath(at);
        writeBytes(QFile::encodeName(at + QStringLiteral("/run.lock")), "999999\nqorvel\n" + QSysInfo::machineHostName().toUtf8() + "\n");
        writeBytes(QFile::encodeName(at + QStringLiteral("/0001.json")), R"({"path":"/site/p.html","name":"p.html","changed":"5","text":")" + text + "\"}");
        return at;
    };
    const QString cache = QVRecoveryFolder::fallbackLocations()[0];
    const struct {
        const char* name;
        std::function<void()> plant;
        QStringList offered;
    } planted[] = {
        {"runtime folder open to all", [&] { leave(runtime, QStringLiteral("1-x"), "planted"); QFile::setPermissions(runtime, QFileDevice::Permissions(0x7777)); }, {}},
        {"run folder of another account",
         [&] { ASSERT_EQ(::chown(QFile::encodeName(leave(cache, QStringLiteral("1-y"), "planted")).constData(), 65534, 65534), 0); }, {}},
        {"text of another account",
         [&] { ASSERT_EQ(::chown(QFile::encodeName(leave(cache, QStringLiteral("1-z"), "planted") + QStringLiteral("/0001.json")).constData(), 65534, 65534), 0); }, {}},
        {"kept in two places", [&] { leave(QVRecoveryFolder::location(), QStringLiteral("1-a"), "twice"), leave(cache, QStringLiteral("1-b"), "twice"); },
         {QStringLiteral("twice")}},
    };
    for (const auto& row : planted) {
        SCOPED_TRACE(row.name);
        if (::geteuid() != 0 && std::string_view(row.name).find("another") != std::string_view::npos) continue;  // chown needs root
        row.plant();
        QStringList offered;
        for (const QVRecoveryFolder::Text& text : folder.leftBehind().texts) offered << text.text;
        EXPECT_EQ(offered, row.offered);
        for (const QString& place : QStringList{QVRecoveryFolder::location(), cache, runtime}) {
            QFile::setPermissions(place, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
            for (const QString& left : RunFolder::ended(place)) QDir(left).removeRecursively();
        }
    }
}

// A text read from a UTF-8 file with a stray byte, kept and found again by a later launch, holds
// that byte as it was, so a save after the recovery writes it back as the byte.
TEST(QVRecoveryFolder, AKeptByteOfAUTF8FileComesBackAsTheByte) {
    QVRecoveryFolder& folder = QVRecoveryFolder::shared();
    TestDir dir;
    const QByteArray bytes = "caf\xC3\xA9 \xFF" + QByteArray(" caf\xC3\xA9\n").repeated(16);
    const QString path = dir.write(QStringLiteral("stray.log"), bytes);
    QVFileDocument document(path);
    ASSERT_TRUE(document.load());
    type(*document.textView(), QStringLiteral("na\u00efve"));
    const QString text = document.textView()->fullString();
    ASSERT_TRUE(text.contains(QChar(char16_t(FileEncodings::KeptByte + 0xFF))));
    folder.keepEditedDocuments();
    const QStringList entries = QDir(folder.runFolder()).entryList({QStringLiteral("*.json")}, QDir::Files);
    ASSERT_FALSE(entries.isEmpty());
    const QString ended = QVRecoveryFolder::location() + QStringLiteral("/1-ended");
    QDir().mkpath(ended);
    writeBytes(QFile::encodeName(ended + QStringLiteral("/run.lock")), "999999\nqorvel\n" + QSysInfo::machineHostName().toUtf8() + "\n");
    for (const QString& entry : entries) QFile::copy(folder.runFolder() + u'/' + entry, ended + u'/' + entry);
    const QVRecoveryFolder::LeftBehind found = folder.leftBehind();
    ASSERT_EQ(found.texts.size(), 1);
    EXPECT_TRUE(found.texts[0].text == text);
    QVStringEncoding encoding = TextEncoding::UTF8;
    EXPECT_EQ(FileEncodings::dataUsingEncoding(found.texts[0].text, &encoding), bytes + "na\xC3\xAFve");
    QVRecoveryFolder::remove(found);
    document.close();
}
