// File documents and their file on disk: changes and deletions behind their back, their own
// saves, the overwrite question, Save As off a tree node, and what an external editor hears.
#include "editor/QVFileDocument.h"

#include "completion/QVCodeIndex.h"

#include "editor/HTMLView.h"
#include "editor/QVFileDocumentDelegate.h"
#include "editor/QVProjectSCMController.h"
#include "files/QVRootFile.h"
#include "shell/Defaults.h"
#include "shell/FileEncodings.h"
#include "platform/MainQueue.h"
#include "tests/files/FilesTestSupport.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <chrono>

#include <fcntl.h>
#include <sys/stat.h>

using namespace std::chrono_literals;

namespace {

void type(HTMLView& view, const QString& text) {
    view.setSelectedRange(QVRange(view.length(), 0));
    view.undoableInsertText(text, QStringLiteral("Typing"));
    view.undoManager().closeEventGroup();
}

// Writes bytes as another program does: in place, or a new file renamed over the old (sed -i).
void writeOutside(const QString& path, const QByteArray& bytes, bool renameOver) {
    const QString target = renameOver ? path + QStringLiteral(".new") : path;
    QFile file(target);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
    file.close();
    if (renameOver) {
        ASSERT_EQ(::rename(QFile::encodeName(target).constData(), QFile::encodeName(path).constData()), 0);
    }
}

class RecordingWindow : public QVFileDocumentDelegate {
public:
    QList<QVError> alerts;
    QStringList events;
    QString panelAnswer;  // empty: the panel is cancelled
    std::shared_ptr<QVFile> tree;
    std::shared_ptr<QVFile> oldNode;
    QVProjectSCMController* scm = nullptr;

    void presentErrorAlert(const QVError& error) override { alerts << error; }
    void activateDocument(QVFileDocument*) override { events << QStringLiteral("activate"); }
    void documentShouldForceClose(QVFileDocument*) override { events << QStringLiteral("close"); }
    void runSavePanel(QVFileDocument*, const QString& suggested, std::function<void(const QString&)> chosen) override {
        events << QStringLiteral("panel ") + QFileInfo(suggested).fileName();
        chosen(panelAnswer);
    }
    std::shared_ptr<QVFile> backingFileForPath(QVFileDocument*, const QString& path) override {
        // The old node has let go of the document before the new one is asked for.
        events << QStringLiteral("node held %1").arg(oldNode && oldNode->document() != nullptr);
        return tree ? tree->addFileAtPath(path) : nullptr;
    }
    QVProjectSCMController* scmControllerForDocument(QVFileDocument*) override { return scm; }
    QList<qint64> codes() const {
        QList<qint64> list;
        for (const QVError& e : alerts) list << e.code();
        return list;
    }
};

TEST(QVFileDocumentDisk, ChangesReloadOrAskOnceAndDeletionsAsk) {
    enum Outside { Write, RenameOver, Delete, Own };
    struct Case {
        const char* name;
        bool edited;
        Outside outside;
        int option;         // the question's answer (-1: none)
        QString saved;      // the file "Save File" writes (none: its folder went too)
        QList<qint64> asked;
        QString text;       // afterwards
        bool editedAfter;
        QStringList events;
    };
    const Case cases[] = {
        {"write, unedited", false, Write, -1, {}, {}, "new\ntext\n", false, {}},
        {"renamed over, unedited", false, RenameOver, -1, {}, {}, "new\ntext\n", false, {}},
        {"own save, typed since", true, Own, -1, {}, {}, "old\ntext\n!?", true, {}},
        {"write, edited, keep", true, Write, 0, {}, {5}, "old\ntext\n!", true, {"activate"}},
        {"renamed over, edited, revert", true, RenameOver, 1, {}, {5}, "new\ntext\n", false, {"activate"}},
        {"deleted, don't save", false, Delete, 1, {}, {6}, "old\ntext\n", true, {"activate", "close"}},
        {"deleted, saved where it was", true, Delete, 0, "page.html", {6}, "old\ntext\n!", false, {"activate", "node held 0"}},
        {"deleted with its folder, save fails", true, Delete, 0, {}, {6, 17}, "old\ntext\n!", true, {"activate"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestDir dir;
        const QString path = dir.write(QStringLiteral("w/page.html"), "old\ntext\n");
        auto window = std::make_shared<RecordingWindow>();
        QVFileDocument doc(path);
        doc.setDelegate(window);
        ASSERT_TRUE(doc.load());
        doc.setWatchesFile(true);
        doc.textView()->setSelectedRange(QVRange(4, 2));
        if (c.edited) {
            type(*doc.textView(), QStringLiteral("!"));
            doc.textView()->setSelectedRange(QVRange(4, 2));
        }
        const auto settled = [&] { return !window->alerts.isEmpty() || doc.textView()->fullString().startsWith(u"new"); };
        switch (c.outside) {
        case Write:
        case RenameOver:
            writeOutside(path, "new\ntext\n", c.outside == RenameOver);
            writeOutside(path, "new\ntext\n", c.outside == RenameOver);  // a second notice folds in
            ASSERT_TRUE(MainQueue::runUntil(settled, 10s));
            break;
        case Delete:
            ASSERT_TRUE(c.saved.isEmpty() ? QDir(dir.file(QStringLiteral("w"))).removeRecursively() : QFile::remove(path));
            ASSERT_TRUE(MainQueue::runUntil(settled, 10s));
            break;
        case Own:
            ASSERT_TRUE(doc.save());
            type(*doc.textView(), QStringLiteral("?"));
            doc.textView()->setSelectedRange(QVRange(4, 2));
            // Its own events, however late, are no change: the file is what it wrote.
            doc.fileContentsChangedExternally();
            writeOutside(dir.file(QStringLiteral("other.html")), "x", false);
            break;
        }
        MainQueue::drain();
        EXPECT_EQ(window->codes(), c.asked.mid(0, 1));
        if (c.option >= 0 && !window->alerts.isEmpty()) {
            std::optional<bool> recovered;
            window->alerts.first().attemptRecovery(c.option, [&](bool ok) { recovered = ok; });
            EXPECT_EQ(recovered, true);
            // "Save File" saves on the next pass, not inside the alert's handling.
            if (c.outside == Delete) {
                EXPECT_FALSE(QFileInfo::exists(path));
            }
            MainQueue::drain();
        }
        EXPECT_EQ(doc.textView()->fullString(), c.text);
        EXPECT_EQ(doc.isDocumentEdited(), c.editedAfter);
        EXPECT_EQ(window->events, c.events);
        if (c.outside != Delete) {
            EXPECT_EQ(doc.textView()->selectedRange(), QVRange(4, 2));  // the caret stays put
            // Kept changes overwrite the disk version without a further question.
            QVError error;
            EXPECT_TRUE(doc.save(&error)) << error.localizedDescription().toStdString();
            EXPECT_EQ(readAll(path), c.text.toUtf8());
        }
        // Written where it was, and the window kept the document: no close, no panel.
        if (!c.saved.isEmpty()) {
            EXPECT_EQ(readAll(path), QByteArray("old\ntext\n!"));
        }
        // Then only what the answer had to tell (the save's failure).
        EXPECT_EQ(window->codes(), c.asked);
    }
}

TEST(QVFileDocumentDisk, AFileChangedSinceReadIsOverwrittenOnlyWhenTheUserSays) {
    TestDir dir;
    const QString path = dir.write(QStringLiteral("notes.txt"), "mine\n");
    auto window = std::make_shared<RecordingWindow>();
    QVFileDocument doc(path);
    doc.setDelegate(window);
    ASSERT_TRUE(doc.load());
    type(*doc.textView(), QStringLiteral("more"));
    writeOutside(path, "theirs\n", true);

    QList<bool> closes;
    QVError error;
    EXPECT_FALSE(doc.saveForClose([&](bool saved) { closes << saved; }, &error));
    ASSERT_EQ(error.code(), QVFileDocument::OverwriteChangedFileQuestion);
    EXPECT_EQ(error.localizedRecoveryOptions().size(), 2);
    error.attemptRecovery(1);  // Cancel
    EXPECT_EQ(readAll(path), QByteArray("theirs\n"));
    EXPECT_TRUE(doc.isDocumentEdited());
    EXPECT_TRUE(closes.isEmpty());

    ASSERT_FALSE(doc.saveForClose([&](bool saved) { closes << saved; }, &error));
    std::optional<bool> recovered;
    error.attemptRecovery(0, [&](bool ok) { recovered = ok; });  // Save Anyway, and close
    EXPECT_EQ(recovered, true);
    EXPECT_EQ(readAll(path), QByteArray("mine\nmore"));
    EXPECT_FALSE(doc.isDocumentEdited());
    EXPECT_EQ(closes, QList<bool>{true});
    // What it wrote is what it knows: the next save asks nothing.
    type(*doc.textView(), QStringLiteral("!"));
    EXPECT_TRUE(doc.save(&error));

    // An alert that outlives its document recovers nothing.
    writeOutside(path, "later\n", false);
    ASSERT_FALSE(doc.save(&error));
    auto gone = std::make_unique<QVFileDocument>(path);
    QVError orphan = error;
    orphan.setRecoveryAttempter(std::weak_ptr<QVErrorRecoveryAttempter>());
    std::optional<bool> none;
    orphan.attemptRecovery(0, [&](bool ok) { none = ok; });
    EXPECT_EQ(none, false);
    EXPECT_EQ(readAll(path), QByteArray("later\n"));
}

// A page's name replaced by a link to another file (a neighbour's doing, in a folder others may
// write): both questions say where the name leads now, nothing is reloaded or written unasked,
// a text without unsaved changes is not said to have some, and a name that led through a link
// from the start is no news.
TEST(QVFileDocumentDisk, ANameThatNowLeadsToAnotherFileIsNamedInBothQuestions) {
    enum How { Watched, Saved };
    const struct {
        const char* what;
        const char* linkTo;  // what page.html becomes, relative to its folder
        bool edited;
        How how;
        qint64 asked;
        bool named;
    } rows[] = {
        {"an edited page", "../neighbour/notes.txt", true, Watched, QVFileDocument::FileChangedExternallyQuestion, true},
        {"an unedited page", "../neighbour/notes.txt", false, Watched, QVFileDocument::FileChangedExternallyQuestion, true},
        {"a save", "../neighbour/notes.txt", true, Saved, QVFileDocument::OverwriteChangedFileQuestion, true},
        {"a save through a link to nothing yet", "../neighbour/new.txt", true, Saved, QVFileDocument::OverwriteChangedFileQuestion, true},
        {"a page that was a link from the start", nullptr, true, Saved, QVFileDocument::OverwriteChangedFileQuestion, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        TestDir dir;
        const QString folder = QFileInfo(dir.path()).canonicalFilePath();
        const QString notes = dir.write(QStringLiteral("neighbour/notes.txt"), "private\n");
        const QString path = dir.file(QStringLiteral("w/page.html"));
        if (row.linkTo) {
            dir.write(QStringLiteral("w/page.html"), "old\n");
        } else {
            ASSERT_TRUE(QDir().mkpath(dir.file(QStringLiteral("w"))));
            ASSERT_TRUE(QFile::link(QStringLiteral("../neighbour/notes.txt"), path));
        }
        auto window = std::make_shared<RecordingWindow>();
        QVFileDocument doc(path);
        doc.setDelegate(window);
        ASSERT_TRUE(doc.load());
        const QString text = doc.textView()->fullString();
        if (row.how == Watched) doc.setWatchesFile(true);
        if (row.edited) type(*doc.textView(), QStringLiteral("!"));
        if (row.linkTo) {
            ASSERT_TRUE(QFile::remove(path));
            ASSERT_TRUE(QFile::link(QString::fromLatin1(row.linkTo), path));
        } else {
            writeOutside(notes, "changed\n", true);
        }
        QVError asked;
        if (row.how == Watched) {
            ASSERT_TRUE(MainQueue::runUntil([&] { return !window->alerts.isEmpty() || doc.textView()->fullString() != text + (row.edited ? "!" : ""); }, 10s));
            MainQueue::drain();
            EXPECT_EQ(window->alerts.size(), 1);
            if (!window->alerts.isEmpty()) asked = window->alerts.first();
        } else {
            EXPECT_FALSE(doc.save(&asked));
        }
        EXPECT_EQ(asked.code(), row.asked);
        const QString elsewhere = folder + QStringLiteral("/neighbour/") + QFileInfo(QString::fromLatin1(row.linkTo ? row.linkTo : "x")).fileName();
        EXPECT_EQ(asked.localizedRecoverySuggestion().contains(u'\u201c' + elsewhere + u'\u201d'), row.named)
            << asked.localizedRecoverySuggestion().toStdString();
        // Unsaved changes are spoken of only where there are some.
        if (row.how == Watched) {
            EXPECT_EQ(asked.localizedRecoverySuggestion().contains(QStringLiteral("unsaved changes")), row.edited)
                << asked.localizedRecoverySuggestion().toStdString();
            EXPECT_EQ(asked.localizedRecoveryOptions().value(0), row.edited ? "Keep Qorvel Changes" : "Keep Qorvel Text");
        }
        EXPECT_EQ(doc.textView()->fullString(), text + (row.edited ? "!" : ""));
        EXPECT_EQ(readAll(notes), row.linkTo ? QByteArray("private\n") : QByteArray("changed\n"));
        EXPECT_FALSE(QFileInfo::exists(dir.file(QStringLiteral("neighbour/new.txt"))));
    }
}

TEST(QVFileDocumentDisk, SaveAsMovesTheDocumentToTheNewNodeAndTellsTheExternalEditorOnce) {
    TestDir dir;
    const QString path = dir.write(QStringLiteral("site/a.html"), "a\n");
    auto root = QVRootFile::create(dir.file(QStringLiteral("site")), false);
    auto tree = std::make_shared<RecordingTreeDelegate>();
    root->setDelegate(tree);
    auto node = root->childWithPath({QStringLiteral("a.html")}, true);
    ASSERT_TRUE(node);
    auto window = std::make_shared<RecordingWindow>();
    window->tree = root;
    window->oldNode = node;
    QList<QVExternalEditorEvent> sent;
    auto doc = std::make_unique<QVFileDocument>(path);
    doc->setDelegate(window);
    ASSERT_TRUE(doc->load());
    doc->setFileNode(node);
    doc->setExternalEditorEventSink([&](const QVExternalEditorEvent& e) { sent << e; });
    doc->setAppleEventReceiver("Tst1");
    doc->setAppleEventToken(QByteArray("\x00\x01tok", 5));
    const QString uuid = doc->uuid();
    EXPECT_EQ(uuid, node->uuid());
    EXPECT_EQ(doc->titleForLists(), QStringLiteral("a.html \u2014 ") + dir.file(QStringLiteral("site")));

    type(*doc->textView(), QStringLiteral("b"));
    ASSERT_TRUE(doc->save());
    // A Save As into a folder that is not there fails and leaves the document where it was.
    QVError error;
    EXPECT_FALSE(doc->saveAs(dir.file(QStringLiteral("site/none/b.html")), &error));
    EXPECT_EQ(error.code(), QVFileDocument::SaveFailedError);
    EXPECT_EQ(doc->fileNode(), node);
    EXPECT_EQ(node->document() != nullptr, true);
    EXPECT_EQ(doc->fileName(), path);

    const QString moved = dir.file(QStringLiteral("site/sub/b.css"));
    const auto htmlBundle = doc->textView()->bundle();
    QDir().mkpath(QFileInfo(moved).path());
    ASSERT_TRUE(doc->saveAs(moved, &error)) << error.localizedDescription().toStdString();
    EXPECT_EQ(window->events, QStringList{QStringLiteral("node held 0")});
    EXPECT_EQ(node->document(), nullptr);
    ASSERT_TRUE(doc->fileNode());
    EXPECT_EQ(doc->fileNode()->path(), moved);
    EXPECT_NE(doc->uuid(), uuid);
    EXPECT_NE(doc->textView()->bundle(), htmlBundle);  // the language follows the extension
    EXPECT_EQ(readAll(moved), QByteArray("a\nb"));
    EXPECT_EQ(readAll(path), QByteArray("a\nb"));
    type(*doc->textView(), QStringLiteral("c"));
    ASSERT_TRUE(doc->save());
    doc->close();
    const QByteArray token("\x00\x01tok", 5);
    const QList<QVExternalEditorEvent> expected{
        QVExternalEditorEvent::saved("Tst1", token, path),
        QVExternalEditorEvent::saved("Tst1", token, path, moved),  // then nothing more
    };
    EXPECT_EQ(sent, expected);
    EXPECT_EQ(sent[1].eventClass, QByteArray("R*ch"));
    EXPECT_EQ(sent[1].eventID, QByteArray("FMod"));

    // Without a Save As the client hears every save and the close.
    sent.clear();
    QVFileDocument other(path);
    other.setExternalEditorEventSink([&](const QVExternalEditorEvent& e) { sent << e; });
    other.setAppleEventReceiver("Tst2");
    ASSERT_TRUE(other.load());
    ASSERT_TRUE(other.save());
    other.close();
    EXPECT_EQ(sent, (QList<QVExternalEditorEvent>{QVExternalEditorEvent::saved("Tst2", {}, path),
                                                  QVExternalEditorEvent::closed("Tst2", {}, path)}));
}

class Status : public QVSCMStatusEntry {
public:
    explicit Status(qint32 status) : _status(status) {}
    QString path() const override { return {}; }
    qint32 workingCopyStatus() const override { return _status; }
    QString workingCopyStatusLetter() const override { return {}; }

private:
    qint32 _status;
};

class RecordingSCM : public QVProjectSCMController {
public:
    QStringList calls;
    void getStatusForPath(const QString& p, bool d, bool r) override { calls << QStringLiteral("status %1 %2 %3").arg(p).arg(d).arg(r); }
    void addFilesToRepository(const QStringList& p) override { calls << QStringLiteral("add ") + p.join(u','); }
    void commitFiles(const QStringList& p, QWidget*) override { calls << QStringLiteral("commit ") + p.join(u','); }
    void revertPath(const QString& p) override { calls << QStringLiteral("revert ") + p; }
    void diffPath(const QString& p, const QString& r) override { calls << QStringLiteral("diff %1 %2").arg(p, r); }
    void comparePath(const QString& p, const QString& r) override { calls << QStringLiteral("compare %1 %2").arg(p, r); }
    void annotatePath(const QString& p, const QString& r) override { calls << QStringLiteral("annotate %1 %2").arg(p, r); }
    void updatePath(const QString& p, const QString& r) override { calls << QStringLiteral("update %1 [%2]").arg(p, r); }
    void getLogForPath(const QString& p, const QString&, LogTag tag, QWidget*) override { calls << QStringLiteral("log %1 %2").arg(p).arg(int(tag)); }
    QString username() override { return {}; }
    void setCredentials(const QString&, const QString&, bool) override {}
    void credentialsCancelled() override {}
};

TEST(QVFileDocumentDisk, SubversionCommandsReachTheControllerWithTheirRevisionsOrLogTags) {
    TestDir dir;
    dir.write(QStringLiteral("w/d/f.php"), "x");
    auto root = QVRootFile::create(dir.file(QStringLiteral("w")), false);
    auto node = root->childWithPath({QStringLiteral("d"), QStringLiteral("f.php")}, true);
    ASSERT_TRUE(node);
    auto window = std::make_shared<RecordingWindow>();
    RecordingSCM scm;
    QVFileDocument doc(node->path());
    doc.setDelegate(window);
    doc.setFileNode(node);
    using C = QVFileDocument::SCMCommand;
    EXPECT_FALSE(doc.validateSCMCommand(C::Add));  // no controller, nothing offered
    window->scm = &scm;
    const struct {
        qint32 status;
        bool add, diff, commit;
    } offers[] = {
        {QVSCMStatusEntry::UnversionedStatus, true, false, false},
        {QVSCMStatusEntry::ModifiedStatus, false, true, true},
        {0, false, true, false},
    };
    for (const auto& o : offers) {
        node->setSCMStatus(std::make_shared<Status>(o.status));
        EXPECT_EQ(doc.validateSCMCommand(C::Add), o.add);
        EXPECT_EQ(doc.validateSCMCommand(C::Diff), o.diff);
        EXPECT_EQ(doc.validateSCMCommand(C::Commit), o.commit);
        EXPECT_EQ(doc.validateSCMCommand(C::DiscardChanges), o.commit);
    }
    const struct {
        C command;
        int tag;
        const char* call;
    } cases[] = {
        {C::Diff, 0, "diff d/f.php HEAD"},     {C::Diff, 1, "diff d/f.php BASE"},
        {C::Diff, 2, "log d/f.php 6"},         {C::CompareWith, 1, "compare d/f.php BASE"},
        {C::CompareWith, 5, "log d/f.php 4"},  {C::Annotate, 0, "annotate d/f.php HEAD"},
        {C::Annotate, 3, "log d/f.php 2"},     {C::Update, 0, "update d/f.php []"},
        {C::Update, 1, "log d/f.php 12"},      {C::ViewLog, 0, "log d/f.php 7"},
        {C::Add, 0, "add d/f.php"},            {C::Commit, 0, "commit d/f.php"},
    };
    for (const auto& c : cases) {
        scm.calls.clear();
        doc.performSCMCommand(c.command, c.tag);
        EXPECT_EQ(scm.calls, QStringList{QString::fromLatin1(c.call)});
    }
    // Discard Changes asks first, naming the file; only its first option reverts.
    for (const int option : {1, 0}) {
        scm.calls.clear();
        window->alerts.clear();
        doc.performSCMCommand(C::DiscardChanges);
        EXPECT_TRUE(scm.calls.isEmpty());
        ASSERT_EQ(window->codes(), QList<qint64>{QVFileDocument::DiscardChangesQuestion});
        EXPECT_TRUE(window->alerts[0].localizedDescription().contains(QStringLiteral("f.php")));
        window->alerts[0].attemptRecovery(option);
        EXPECT_EQ(scm.calls, option == 0 ? QStringList{QStringLiteral("revert d/f.php")} : QStringList{});
    }
    // It says what becomes of the file in its state: an added one stays, unversioned.
    const struct {
        qint32 status;
        const char* told;
    } outcomes[] = {
        {QVSCMStatusEntry::AddedStatus, "d/f.php is no longer to be added: the file stays as it is, unversioned."},
        {QVSCMStatusEntry::DeletedStatus, "d/f.php is no longer to be deleted: it comes back as the last version from the repository."},
        {QVSCMStatusEntry::ReplacedStatus, "the file that replaced it is lost"},
        {QVSCMStatusEntry::ModifiedStatus, "d/f.php goes back to the last version from the repository. The changes cannot be undone."},
    };
    for (const auto& o : outcomes) {
        node->setSCMStatus(std::make_shared<Status>(o.status));
        window->alerts.clear();
        doc.performSCMCommand(C::DiscardChanges);
        ASSERT_EQ(window->alerts.size(), 1);
        EXPECT_TRUE(window->alerts[0].localizedRecoverySuggestion().contains(QString::fromUtf8(o.told)))
            << window->alerts[0].localizedRecoverySuggestion().toStdString();
    }
    scm.calls.clear();
    ASSERT_TRUE(doc.load());
    const qsizetype queued = QVCodeIndex::sharedIndex().queueCount();
    ASSERT_TRUE(doc.save());
    EXPECT_EQ(scm.calls, QStringList{QStringLiteral("status d/f.php 0 0")});
    EXPECT_EQ(QVCodeIndex::sharedIndex().queueCount(), queued + 1);  // the saved file is indexed again
}

}  // namespace

namespace {

TEST(QVFileDocumentDisk, ATreeNodeTellsAFileRenamedOverAsAChangeAndARemovalAsOne) {
    TestDir dir;
    const QString path = dir.write(QStringLiteral("w/page.html"), "one\n");
    auto root = QVRootFile::create(dir.file(QStringLiteral("w")), true);
    auto node = root->childWithPath({QStringLiteral("page.html")}, true);
    ASSERT_TRUE(node);
    auto window = std::make_shared<RecordingWindow>();
    QVFileDocument doc(path);
    doc.setDelegate(window);
    ASSERT_TRUE(doc.load());
    doc.setFileNode(node);
    const QString uuid = doc.uuid();
    for (const char* text : {"two\n", "three\n"}) {
        writeOutside(path, text, true);
        ASSERT_TRUE(MainQueue::runUntil([&] { return doc.textView()->fullString() == QLatin1String(text); }, 10s));
    }
    // The document's own save is no change, however its events fall.
    type(*doc.textView(), QStringLiteral("x"));
    ASSERT_TRUE(doc.save());
    writeOutside(path, "four\n", false);
    ASSERT_TRUE(MainQueue::runUntil([&] { return doc.textView()->fullString() == QLatin1String("four\n"); }, 10s));
    EXPECT_TRUE(window->alerts.isEmpty());

    ASSERT_TRUE(QFile::remove(path));
    ASSERT_TRUE(MainQueue::runUntil([&] { return !window->alerts.isEmpty(); }, 10s));
    MainQueue::drain();
    EXPECT_EQ(window->codes(), QList<qint64>{QVFileDocument::LocalFileRemovedQuestion});
    EXPECT_EQ(doc.fileNode(), nullptr);
    EXPECT_EQ(doc.uuid(), uuid);  // the tab keeps its identity
    EXPECT_TRUE(doc.isDocumentEdited());
}

}  // namespace

namespace {

TEST(QVFileDocumentDisk, SnippetFilesAreAlwaysUTF16WhateverIsStored) {
    TestDir dir;
    const QString snippets = Defaults::appSupportPathForFile(QStringLiteral("snippets"));
    const QString text = QStringLiteral("caf\u00e9");
    struct Case {
        QString path;
        QVStringEncoding read;  // what the document requests with UTF-8 stored
    } cases[] = {
        {snippets + QStringLiteral("/Group/one.txt"), TextEncoding::UTF16},
        {snippets + QStringLiteral("-other/one.txt"), TextEncoding::UTF8},
        {dir.file(QStringLiteral("one.txt")), TextEncoding::UTF8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.toStdString());
        QVStringEncoding utf16 = TextEncoding::UTF16;
        QDir().mkpath(QFileInfo(c.path).path());
        QFile file(c.path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(*FileEncodings::dataUsingEncoding(text, &utf16));
        file.close();
        QVFileDocument doc(c.path);
        doc.setConfigurationValue(qulonglong(TextEncoding::UTF8), HTMLView::FileEncodingKey);
        EXPECT_EQ(doc.fileConfigurationValueForKey(HTMLView::FileEncodingKey).toULongLong(), c.read);
        // Outside the folder the UTF-8 stored does not read the file: it gives way to the
        // byte-order mark, and the notice says so.
        QVError notice;
        ASSERT_TRUE(doc.load(nullptr, &notice));
        EXPECT_EQ(doc.textView()->fullString(), text);
        EXPECT_EQ(notice.code() == FileEncodings::ReadNotice, c.read != TextEncoding::UTF16);
    }
}

}  // namespace

// A text an earlier run kept, taken over its file: when the file's size or modification time is
// not what they were when the text was kept, the document asks as for another program's change,
// and a save overwrites the file only after "Keep Qorvel Changes".
TEST(QVFileDocumentDisk, ARecoveredTextOverAFileChangedSinceAsksBeforeItIsSaved) {
    enum Since { Same, Written, Touched };
    const struct {
        const char* name;
        Since since;
        int option;  // the question's answer, when asked
        QList<qint64> asked;
        QByteArray onDisk;  // after a save, or as left by the revert
        bool edited;
        QByteArray file = "mine\n";
        QString keptText = QStringLiteral("kept");
    } cases[] = {
        {"file as it was kept", Same, -1, {}, "kept", false},
        // A run before the mark was the file's kept it as the text's first character: one mark.
        {"marked file, text kept with its mark", Same, -1, {}, "\xEF\xBB\xBFkept", false, "\xEF\xBB\xBFmine\n",
         QString(QChar(0xFEFF)) + "kept"},
        {"marked file, text kept without", Same, -1, {}, "\xEF\xBB\xBFkept", false, "\xEF\xBB\xBFmine\n"},
        {"written since, keep", Written, 0, {5}, "kept", false},
        {"written since, revert", Written, 1, {5}, "theirs, longer\n", false},
        {"same size, touched since, keep", Touched, 0, {5}, "kept", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestDir dir;
        const QString path = dir.write(QStringLiteral("a.html"), c.file);
        const QVDiskStamp kept = QVDiskStamp::of(path);
        if (c.since == Written) writeOutside(path, "theirs, longer\n", false);
        if (c.since == Touched) {
            const struct timespec times[2] = {{0, UTIME_OMIT}, {kept.modified / 1000000000 + 5, 0}};
            ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
        }
        auto window = std::make_shared<RecordingWindow>();
        QVFileDocument doc(path);
        doc.setDelegate(window);
        ASSERT_TRUE(doc.load());
        doc.takeRecoveredText(c.keptText, kept.size, kept.modified);
        EXPECT_EQ(window->codes(), c.asked);
        EXPECT_TRUE(doc.isDocumentEdited());
        if (!window->alerts.isEmpty()) window->alerts.first().attemptRecovery(c.option);
        if (doc.isDocumentEdited()) {
            QVError error;
            EXPECT_TRUE(doc.save(&error)) << error.localizedDescription().toStdString();
        }
        EXPECT_EQ(readAll(path), c.onDisk);
        EXPECT_EQ(doc.isDocumentEdited(), c.edited);
    }
}
