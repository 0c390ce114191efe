// File names that are not UTF-8 on real files: the QString form gives back the same bytes, and
// reading, atomic saving, listing and watching reach the file they name, never a look-alike.
#include "platform/FileName.h"

#include "platform/AtomicFile.h"
#include "platform/Process.h"
#include "platform/QVKQueue.h"
#include "platform/RegularFile.h"
#include "tests/support/TestSupport.h"

#include <QUuid>

#include <gtest/gtest.h>

#include <algorithm>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

class Watched : public QVWatchedFile {
public:
    explicit Watched(QString path) : _path(std::move(path)) {}
    QString path() const override { return _path; }
    QString uuid() const override { return _uuid; }
    void watcherNoticedChange(quint64 events) override {
        std::lock_guard<std::mutex> locker(_mutex);
        _events |= events;
        _changed.notify_all();
    }
    bool waitFor(quint64 bits) {
        std::unique_lock<std::mutex> locker(_mutex);
        return _changed.wait_for(locker, 5s, [&] { return (_events & bits) != 0; });
    }

private:
    const QString _path;
    const QString _uuid = QUuid::createUuid().toString();
    std::mutex _mutex;
    std::condition_variable _changed;
    quint64 _events = 0;
};

struct NameCase {
    const char* label;
    QByteArray bytes;
    bool escaped;  // holds bytes that are not UTF-8
};

const NameCase nameCases[] = {
    {"a lone 0x80", QByteArray("a\x80.html"), true},
    {"0xFF", QByteArray("\xff" "b.txt"), true},
    {"a UTF-8 sequence cut by the dot", QByteArray("caf\xc3.html"), true},
    {"a sequence cut at the end", QByteArray("euro\xe2\x82"), true},
    {"a Latin-1 e acute", QByteArray("caf\xe9.css"), true},
    {"an overlong slash", QByteArray("x\xc0\xaf" "y"), true},
    {"a surrogate written as UTF-8", QByteArray("s\xed\xa0\x80"), true},
    {"beyond U+10FFFF", QByteArray("big\xf4\x90\x80\x80"), true},
    {"a real U+FFFD", QByteArray("\xef\xbf\xbd" "fffd"), false},
    {"valid UTF-8 with controls", QByteArray("tab\tline\nesc\x1b\x7f.txt"), false},
    {"a final CR", QByteArray("crend.html\r"), false},
    {"valid UTF-8 e acute and an emoji", QByteArray("caf\xc3\xa9 \xf0\x9f\x98\x80.html"), false},
};

TEST(FileNameTest, NamesKeepTheirBytesThroughQStringAndTheFileSystem) {
    const std::shared_ptr<QVKQueue> watcher = QVKQueue::create();
    QByteArray reused = "a longer name written before, whose bytes must all go";
    for (const NameCase& c : nameCases) {
        SCOPED_TRACE(c.label);
        const QString name = FileName::decode(c.bytes);
        EXPECT_EQ(FileName::encode(name), c.bytes);
        FileName::encode(name, reused);  // into a buffer used again, as a walk writes its paths
        EXPECT_EQ(reused, c.bytes);
        EXPECT_EQ(FileName::hasEscapes(name), c.escaped);
        // What Qt would make of the name: the same for UTF-8, another name (or none) otherwise.
        EXPECT_EQ(name == QString::fromUtf8(c.bytes), !c.escaped);
        EXPECT_EQ(FileName::displayed(name).contains(QChar::ReplacementCharacter), c.escaped || c.bytes.startsWith("\xef\xbf\xbd"));
        EXPECT_FALSE(FileName::hasEscapes(FileName::displayed(name)));
        // Shown readably: each byte that is not UTF-8 as its Latin-1 character, the name marked.
        const QString readable = FileName::readable(name);
        EXPECT_FALSE(FileName::hasEscapes(readable));
        EXPECT_EQ(readable.endsWith(" (not UTF-8)"), c.escaped);
        if (c.escaped) EXPECT_EQ(readable, QString::fromLatin1(c.bytes) + " (not UTF-8)");
        else EXPECT_EQ(readable, name);
        // Listed: a control character shows as its picture, the name marked, never as a name
        // without it.
        const QString shown = FileName::shown(name);
        const bool controls = std::any_of(c.bytes.begin(), c.bytes.end(), [](char b) { return quint8(b) < 0x20 || b == 0x7f; });
        EXPECT_EQ(shown.endsWith(" (control character)"), controls);
        EXPECT_FALSE(std::any_of(shown.begin(), shown.end(), [](QChar q) { return q.unicode() < 0x20 || q.unicode() == 0x7f; }));
        if (!controls) {
            EXPECT_EQ(shown, readable);
        }

        // A real file in a folder whose own name is not UTF-8 either.
        TestDir dir;
        const QByteArray folderBytes = FileName::encode(dir.path()) + "/d\xfe";
        ASSERT_EQ(::mkdir(folderBytes.constData(), 0755), 0);
        const QByteArray fileBytes = folderBytes + '/' + c.bytes;
        ASSERT_TRUE(writeBytes(fileBytes, "old\n"));
        const QString folder = FileName::decode(folderBytes);
        const QString path = folder + u'/' + name;

        EXPECT_TRUE(FileName::isFolder(folder));
        EXPECT_TRUE(FileName::isRegularFile(path));
        EXPECT_FALSE(FileName::isFolder(path));
        EXPECT_EQ(FileName::size(path), 4);
        // A name holding a NUL names nothing: cut at the NUL it would name the folder.
        for (const QString& cut : {folder + u'/' + QChar(0) + name, folder + QChar(0), path + QChar(0) + QStringLiteral("x")}) {
            EXPECT_FALSE(FileName::exists(cut));
            EXPECT_FALSE(FileName::isFolder(cut));
            EXPECT_EQ(FileName::size(cut), -1);
        }
        EXPECT_EQ(FileName::entries(folder), QStringList{name});
        char* real = ::realpath(fileBytes.constData(), nullptr);
        ASSERT_TRUE(real);
        EXPECT_EQ(FileName::encode(FileName::canonical(folder + QStringLiteral("/../d") + FileName::decode("\xfe") + u'/' + name)),
                  QByteArray(real));
        std::free(real);
        // Made absolute on the string: QFileInfo would pass "." and ".." through Qt's encoding.
        EXPECT_EQ(FileName::encode(FileName::absolute(folder + QStringLiteral("/./x/../") + name)), fileBytes);
        EXPECT_EQ(RegularFile::read(path).value_or("<failed>"), "old\n");

        // A child process gets the name as an argument, in its environment and as its folder.
        ProcessOptions options;
        options.workingDirectory = folder;
        options.extraEnvironment = {QStringLiteral("QV_NAME=") + name};
        const ProcessResult child = Process::run(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("printf '%s|%s|' \"$1\" \"$QV_NAME\"; pwd -P"),
                                                                            QStringLiteral("sh"), name}, options);
        EXPECT_EQ(child.standardOutput, c.bytes + '|' + c.bytes + '|' + FileName::encode(FileName::canonical(folder)) + '\n');

        // The watcher hears a change made by someone else to that very file.
        auto watched = std::make_shared<Watched>(path);
        ASSERT_TRUE(watcher->watchFile(watched, QVFileWatcherTypeAll));
        ASSERT_TRUE(writeBytes(fileBytes, "outside\n"));
        EXPECT_TRUE(watched->waitFor(QVFileWatcherEventWrite));
        watcher->stopWatchingFile(watched.get());

        // An atomic save replaces the file under its own name: no second file, no leftover.
        QVError error;
        ASSERT_TRUE(AtomicFile::write(path, "saved\n", &error)) << error.localizedDescription().toStdString();
        EXPECT_EQ(entryBytes(folderBytes), QList<QByteArray>{c.bytes});
        EXPECT_EQ(readBytes(fileBytes), "saved\n");
        // Through a link whose name is not UTF-8, to the file it points at.
        const QByteArray linkBytes = folderBytes + "/link\xff";
        ASSERT_EQ(::symlink(c.bytes.constData(), linkBytes.constData()), 0);
        ASSERT_TRUE(AtomicFile::write(FileName::decode(linkBytes), "linked\n", &error)) << error.localizedDescription().toStdString();
        EXPECT_EQ(readBytes(fileBytes), "linked\n");
        EXPECT_TRUE(FileName::isSymbolicLink(FileName::decode(linkBytes)));
        EXPECT_EQ(entryBytes(folderBytes).size(), 2);
        // An error names the file in the form a user can read.
        EXPECT_FALSE(RegularFile::read(path + QStringLiteral(".missing"), &error));
        EXPECT_FALSE(FileName::hasEscapes(error.localizedDescription()));
    }
}

}  // namespace

// A control that reorders the text around it shows as its code wherever a name is read, so a
// name cannot pose as another ("x", U+202E, "lmth.php" reads as "xphp.html" when drawn). The
// name itself keeps it: only what is shown changes.
TEST(FileNameTest, ControlsThatReorderTextShowAsTheirCodes) {
    const struct {
        const char* label;
        QString name;
        QString readable;
        QString shown;
    } rows[] = {
        {"a right-to-left override posing as an HTML file", QString::fromUtf8("x\u202Elmth.php"), "x<U+202E>lmth.php",
         "x<U+202E>lmth.php"},
        {"each embedding, override, isolate and mark", QString::fromUtf8("\u202A\u202B\u202C\u202D\u2066\u2067\u2068\u2069\u200E\u200F\u061C.css"),
         "<U+202A><U+202B><U+202C><U+202D><U+2066><U+2067><U+2068><U+2069><U+200E><U+200F><U+061C>.css",
         "<U+202A><U+202B><U+202C><U+202D><U+2066><U+2067><U+2068><U+2069><U+200E><U+200F><U+061C>.css"},
        {"with a carriage return", QString::fromUtf8("a\u202E\r.js"), QString::fromUtf8("a<U+202E>\r.js"),
         QString::fromUtf8("a<U+202E>\u240D.js (control character)")},
        {"with a byte that is not UTF-8", FileName::decode(QByteArray("\xe2\x80\xae\xfe.txt")), QString::fromLatin1("<U+202E>\xfe.txt (not UTF-8)"),
         QString::fromLatin1("<U+202E>\xfe.txt (not UTF-8)")},
        {"Hebrew letters, which are no control", QString::fromUtf8("\u05E9\u05DC\u05D5\u05DD.html"), QString::fromUtf8("\u05E9\u05DC\u05D5\u05DD.html"),
         QString::fromUtf8("\u05E9\u05DC\u05D5\u05DD.html")},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        EXPECT_EQ(FileName::readable(row.name), row.readable);
        EXPECT_EQ(FileName::shown(row.name), row.shown);
        // The name is the file's: it reaches the same bytes.
        EXPECT_EQ(FileName::decode(FileName::encode(row.name)), row.name);
        // An inline rename editor shows the codes and gives back the name itself when left as it is.
        const QString editable = FileName::editable(row.name);
        EXPECT_FALSE(std::any_of(editable.begin(), editable.end(), [](QChar c) {
            return c == u'\u202E' || c == u'\u2066' || c == u'\u200F' || c == u'\u061C';
        }));
        EXPECT_EQ(FileName::fromEditable(editable), row.name);
    }
    // A code typed for a character that is no control stays text.
    EXPECT_EQ(FileName::fromEditable("<U+0041>.txt"), "<U+0041>.txt");
}
