// A FIFO (or another special file) dropped into a support folder: every reader of those folders
// goes on without it instead of waiting for a writer that never comes.
#include "editor/QVSnippet.h"
#include "editor/QVSnippetRepository.h"
#include "platform/MainQueue.h"
#include "platform/PropertyList.h"
#include "tests/support/TestSupport.h"
#include "tools/QVDesktopEntry.h"
#include "tools/QVTidyOperation.h"
#include "tools/QVUserScript.h"

#include <QDir>
#include <QFile>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

// Runs read on a thread; when it has not returned within a few seconds it is stuck on the FIFO:
// writers come and go until it ends, and the case fails.
bool finishesWithoutWaiting(const QString& fifo, const std::function<void()>& read) {
    std::atomic<bool> done{false};
    std::thread reader([&] {
        read();
        done = true;
    });
    // The main queue keeps turning: some readers fill menus there, waiting.
    const bool inTime = MainQueue::runUntil([&] { return done.load(); }, std::chrono::seconds(5));
    while (!done) {
        const int fd = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) ::close(fd);
        MainQueue::runUntil([&] { return done.load(); }, std::chrono::milliseconds(10));
    }
    reader.join();
    return inTime;
}

}  // namespace

TEST(SupportFoldersTest, AFifoInASupportFolderNeverBlocksItsReader) {
    TestDir dir;
    struct Case {
        const char* what;
        const char* fifo;  // inside the test folder
        const char* neighbour;  // a sound file beside it, still read
        std::function<bool(const QString& folder)> read;  // true when the neighbour was read
    };
    const Case cases[] = {
        {"Tidy operations", "tidy/Blocked.tidy", "tidy/Good.tidy",
         [](const QString& folder) {
             QVTidyOperationRepository repository(folder);
             repository.reload(true);
             QStringList titles;
             for (const MenuItemRep& rep : repository.menuItemRepresentations()) titles << rep.title();
             return titles.contains("Good");
         }},
        {"user scripts", "scripts/Blocked.sh", "scripts/Good.sh",
         [](const QString& folder) {
             QVUserScriptRepository repository(folder);
             repository.reloadScripts();
             QStringList titles;
             for (const MenuItemRep& rep : repository.menuItemRepresentations()) titles << rep.title();
             return titles.join(",").contains("Good");
         }},
        {"snippets", "snippets/Blocked", "snippets/Good",
         [](const QString& folder) {
             QVSnippetRepository repository(folder);
             repository.reloadSnippets();
             bool good = false;
             for (const auto& snippet : repository.snippets()) good = good || snippet->title() == "Good";
             return good && !QVSnippet::readFile(folder + "/Blocked");
         }},
        {"property lists (bundles, themes, lists)", "lists/Blocked.plist", "lists/Good.plist",
         [](const QString& folder) {
             QVError error;
             return !PropertyList::readFile(folder + "/Blocked.plist", &error).isValid() && !error.localizedDescription().isEmpty() &&
                    PropertyList::readFile(folder + "/Good.plist").toMap().value("Good").toBool();
         }},
        {"desktop entries", "applications/blocked.desktop", "applications/good.desktop",
         [](const QString& folder) {
             return !QVDesktopEntry::read(folder + "/blocked.desktop") && QVDesktopEntry::read(folder + "/good.desktop");
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const QString fifo = dir.file(c.fifo);
        QDir().mkpath(QFileInfo(fifo).path());
        ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0644), 0);
        dir.write(c.neighbour, QString(c.neighbour).endsWith(".tidy")      ? "// %%%{QVTidyName=Good}%%%\nclean: yes\n"
                               : QString(c.neighbour).endsWith(".sh")      ? "#!/bin/sh\n# %%%{PBXName=Good}%%%\ncat\n"
                               : QString(c.neighbour).endsWith(".plist")   ? "<plist version=\"1.0\"><dict><key>Good</key><true/></dict></plist>"
                               : QString(c.neighbour).endsWith(".desktop") ? "[Desktop Entry]\nType=Application\nName=Good\nExec=good %u\n"
                                                                           : "snippet body");
        bool neighbourRead = false;
        EXPECT_TRUE(finishesWithoutWaiting(fifo, [&] { neighbourRead = c.read(QFileInfo(fifo).path()); }));
        EXPECT_TRUE(neighbourRead);
    }
}
