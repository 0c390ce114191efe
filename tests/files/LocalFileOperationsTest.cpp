#include "files/LocalFileOperations.h"
#include "files/QVLocalFileRepresentation.h"
#include "platform/FileName.h"
#include "tests/files/FilesTestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <functional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

QString runCommand(const QString& command) {
    QProcess process;
    process.start(QStringLiteral("sh"), {QStringLiteral("-c"), command});
    process.waitForFinished(30000);
    EXPECT_EQ(process.exitCode(), 0) << command.toStdString() << ": " << process.readAllStandardError().toStdString();
    return QString::fromLocal8Bit(process.readAllStandardOutput());
}

QString writeFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    return path;
}

namespace {

// A folder on another file system than the sandbox (tmpfs), removed with the object.
struct OtherVolume {
    QTemporaryDir dir{QStringLiteral("/dev/shm/qorvel-files-XXXXXX")};
    QString path() const { return dir.path(); }
};

QStringList hiddenTemporaries(const QString& folder) {
    return QDir(folder).entryList({QStringLiteral(".tmp_Qorvel*")}, QDir::AllEntries | QDir::Hidden | QDir::System);
}

}  // namespace

TEST(LocalFileOperations, NeverReplacesAnOccupiedNameAndMovesAcrossVolumes) {
    OtherVolume other;
    struct Case {
        const char* name;
        QString from, to;  // relative to the sandbox folder, or absolute
        bool folderAtTarget;
        bool ok;
    };
    TestDir dir;
    const QString shm = other.path();
    const std::vector<Case> cases = {
        {"file onto file", "a.txt", "b.txt", false, false},
        {"folder onto empty folder", "src", "empty", true, false},
        {"file onto folder", "a.txt", "empty", true, false},
        {"across volumes onto a file", "a.txt", shm + "/taken", false, false},
        {"free name with blanks and quotes", "a.txt", "it's \"a\" b\\c.txt", false, true},
        {"leading dash and star", "-x", "*", false, true},
        {"line break in the name", "src", "line\nbreak", false, true},
        {"folder across volumes", "line\nbreak", shm + "/moved", false, true},
    };
    dir.write("a.txt", "A");
    dir.write("b.txt", "B");
    dir.write("-x", "dash");
    dir.write("src/inner/deep.txt", "deep");
    QFile::link(QStringLiteral("inner/deep.txt"), dir.file("src/link"));
    QDir().mkpath(dir.file("empty"));
    writeFile(shm + "/taken", "T");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QString from = c.from.startsWith('/') ? c.from : dir.file(c.from);
        const QString to = c.to.startsWith('/') ? c.to : dir.file(c.to);
        const QByteArray before = QFileInfo(from).isDir() ? QByteArray() : readAll(from);
        const QByteArray occupant = QFileInfo(to).isFile() ? readAll(to) : QByteArray();
        QVError error;
        EXPECT_EQ(LocalFileOperations::moveItem(from, to, &error), c.ok);
        EXPECT_EQ(error.isNull(), c.ok) << error.localizedRecoverySuggestion().toStdString();
        if (!c.ok) {
            EXPECT_EQ(error.code(), 9);
            EXPECT_TRUE(QFileInfo::exists(from));
            if (!occupant.isEmpty()) {
                EXPECT_EQ(readAll(to), occupant);
            }
            EXPECT_EQ(QFileInfo(to).isDir(), c.folderAtTarget);
        } else {
            EXPECT_FALSE(QFileInfo::exists(from));
            if (!before.isEmpty()) {
                EXPECT_EQ(readAll(to), before);
            }
        }
    }
    // The folder that crossed volumes arrived whole, its link still a link, nothing left behind.
    EXPECT_EQ(readAll(shm + "/moved/inner/deep.txt"), "deep");
    EXPECT_EQ(QFileInfo(shm + "/moved/link").symLinkTarget(), shm + "/moved/inner/deep.txt");
    EXPECT_TRUE(hiddenTemporaries(shm).isEmpty());
    EXPECT_FALSE(QFileInfo::exists(dir.file("line\nbreak")));
}

TEST(LocalFileOperations, FullDiskOrKillLeavesTheOriginalAndNoPartialFinalName) {
    OtherVolume other;
    TestDir dir;
    const QByteArray big(1 << 20, 'x');
    const QString source = dir.write("big.bin", big);
    dir.write("tree/big.bin", big);
    const std::vector<std::pair<const char*, std::function<bool(QVError*)>>> operations = {
        {"copy", [&](QVError* e) { return LocalFileOperations::copyItem(source, dir.file("copy.bin"), e); }},
        {"duplicate", [&](QVError* e) { return !LocalFileOperations::duplicateItem(source, e).isEmpty(); }},
        {"duplicate folder", [&](QVError* e) { return !LocalFileOperations::duplicateItem(dir.file("tree"), e).isEmpty(); }},
        {"move across volumes", [&](QVError* e) { return LocalFileOperations::moveItem(source, other.path() + "/big.bin", e); }},
    };
    const QStringList finals = {dir.file("copy.bin"), dir.file("big copy.bin"), dir.file("tree copy"), other.path() + "/big.bin"};
    auto intact = [&] {
        EXPECT_EQ(readAll(source), big);
        EXPECT_EQ(readAll(dir.file("tree/big.bin")), big);
    };
    // A file-size limit stands in for a full disk.
    struct rlimit old;
    ::getrlimit(RLIMIT_FSIZE, &old);
    auto* previous = std::signal(SIGXFSZ, SIG_IGN);
    for (const auto& [name, operation] : operations) {
        SCOPED_TRACE(name);
        struct rlimit small = old;
        small.rlim_cur = 64 * 1024;
        ::setrlimit(RLIMIT_FSIZE, &small);
        QVError error;
        const bool ok = operation(&error);
        ::setrlimit(RLIMIT_FSIZE, &old);
        EXPECT_FALSE(ok);
        EXPECT_EQ(error.code(), 9);
        intact();
        for (const QString& f : finals) EXPECT_FALSE(QFileInfo::exists(f)) << f.toStdString();
        EXPECT_TRUE(hiddenTemporaries(dir.path()).isEmpty());
        EXPECT_TRUE(hiddenTemporaries(other.path()).isEmpty());
    }
    std::signal(SIGXFSZ, previous);
    // Killed at some moment: whatever stands under a final name is complete.
    for (int delayUs : {0, 300, 1500, 6000}) {
        for (size_t i = 0; i < operations.size(); ++i) {
            SCOPED_TRACE(operations[i].first);
            const pid_t child = ::fork();
            if (child == 0) {
                QVError error;
                operations[i].second(&error);
                ::_exit(0);
            }
            ::usleep(useconds_t(delayUs));
            ::kill(child, SIGKILL);
            ::waitpid(child, nullptr, 0);
            if (QFileInfo::exists(source)) intact();
            else EXPECT_EQ(readAll(other.path() + "/big.bin"), big);  // moved whole, source gone after
            if (QFileInfo(finals[i]).isFile()) {
                EXPECT_EQ(readAll(finals[i]), big);
            }
            if (QFileInfo(finals[i]).isDir()) {
                EXPECT_EQ(readAll(finals[i] + "/big.bin"), big);
            }
            for (const QString& f : finals) LocalFileOperations::removeItem(f, nullptr);
            if (!QFileInfo::exists(source)) dir.write("big.bin", big);
        }
    }
}

TEST(LocalFileOperations, RemovalNeverFollowsLinksAndGoesOnPastWhatItCannotRemove) {
    TestDir outside;
    outside.write("keep/precious.txt", "precious");
    TestDir dir;
    dir.write("tree/a/b.txt", "b");
    QFile::link(outside.file("keep"), dir.file("tree/folder-link"));
    QFile::link(outside.file("keep/precious.txt"), dir.file("tree/a/file-link"));
    QFile::link(outside.file("keep"), dir.file("top-link"));
    dir.write("locked/sealed/x.txt", "x");
    dir.write("locked/free.txt", "free");
    // Root may enter any folder: an immutable file stands in for an unreadable folder there.
    const bool root = ::geteuid() == 0;
    if (root) runCommand("chattr +i '" + dir.file("locked/sealed/x.txt") + "'");
    else ::chmod(QFile::encodeName(dir.file("locked/sealed")).constData(), 0);

    QVError error;
    EXPECT_TRUE(LocalFileOperations::removeItem(dir.file("top-link"), &error));
    EXPECT_TRUE(LocalFileOperations::removeItem(dir.file("tree"), &error));
    EXPECT_TRUE(error.isNull());
    EXPECT_FALSE(QFileInfo::exists(dir.file("tree")));
    EXPECT_EQ(readAll(outside.file("keep/precious.txt")), "precious");

    EXPECT_FALSE(LocalFileOperations::removeItem(dir.file("locked"), &error));
    EXPECT_EQ(error.code(), 9);
    EXPECT_FALSE(QFileInfo::exists(dir.file("locked/free.txt")));
    if (root) runCommand("chattr -i '" + dir.file("locked/sealed/x.txt") + "'");
    else ::chmod(QFile::encodeName(dir.file("locked/sealed")).constData(), 0700);
    EXPECT_FALSE(LocalFileOperations::removeItem(dir.file("missing"), &error));
}

TEST(LocalFileOperations, TrashMakesItsFoldersAndRecordsEveryName) {
    TestDir home;
    const QByteArray oldData = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.file("not/yet")));  // nothing exists yet
    TestDir dir;
    const QStringList names = {"plain.txt", "with blank", "it's \"quoted\"", "back\\slash", "-dash", "*",
                               "line\nbreak", "folder", "plain.txt"};
    for (const QString& name : names) {
        if (name == "folder") dir.write(name + "/inside.txt", "in");
        else dir.write(name, name.toUtf8());
        SCOPED_TRACE(name.toStdString());
        QString trashed;
        QVError error;
        ASSERT_TRUE(LocalFileOperations::moveToTrash(dir.file(name), &error, &trashed)) << error.localizedRecoverySuggestion().toStdString();
        EXPECT_FALSE(QFileInfo::exists(dir.file(name)));
        EXPECT_TRUE(trashed.startsWith(home.file("not/yet/Trash/files/")));
        const QString info = trashed.replace("/files/", "/info/") + ".trashinfo";
        EXPECT_TRUE(readAll(info).startsWith("[Trash Info]\nPath=/"));
    }
    // The second plain.txt got a name of its own in the Trash; the listing tools see both.
    EXPECT_EQ(readAll(home.file("not/yet/Trash/files/plain.txt.2")), "plain.txt");
    const QString listed = runCommand("trash-list");
    for (const char* name : {"plain.txt", "with blank", "it's \"quoted\"", "back\\slash", "-dash", "folder"})
        EXPECT_TRUE(listed.contains(dir.file(name))) << name << " in " << listed.toStdString();
    EXPECT_EQ(listed.count(dir.file("plain.txt")), 2);

    // Another volume gets its own ".Trash-<uid>" holding a path relative to its top.
    OtherVolume other;
    const QString onOther = writeFile(other.path() + "/far file", "far");
    QString trashed;
    QVError error;
    ASSERT_TRUE(LocalFileOperations::moveToTrash(onOther, &error, &trashed));
    const QString top = QStringLiteral("/dev/shm/.Trash-%1").arg(::geteuid());
    EXPECT_TRUE(trashed.startsWith(top + "/files/"));
    EXPECT_TRUE(readAll(trashed.replace("/files/", "/info/") + ".trashinfo").contains("Path=" + QFile::encodeName(other.path().mid(9)).replace(' ', "%20")));
    QDir(top).removeRecursively();

    EXPECT_FALSE(LocalFileOperations::moveToTrash(dir.file("missing"), &error));
    qputenv("XDG_DATA_HOME", oldData);
}

TEST(QVLocalFileRepresentation, ReportsEveryOutcomeToItsDelegateBeforeReturning) {
    const std::vector<std::pair<quint16, QVFileType>> modes = {
        {0xA1FF, QVFileTypeSymbolicLink}, {0x6000, QVFileTypeBlockDevice}, {0xC000, QVFileTypeSocket},
        {0, QVFileTypeFile}, {0x41ED, QVFileTypeFolder}, {0x1000, QVFileTypeNamedPipe}, {0x2000, QVFileTypeCharacterDevice}};
    for (const auto& [mode, type] : modes) EXPECT_EQ(QVFileRepresentation::fileTypeForMode(mode), type) << mode;

    TestDir dir;
    dir.write("f/.hidden", "h");
    dir.write("f/b.txt", "bb");
    dir.write("taken.txt", "t");
    ::close(::open((QFile::encodeName(dir.path()) + "/f/bad\xff").constData(), O_CREAT | O_WRONLY, 0600));

    auto delegate = std::make_shared<RecordingRepresentationDelegate>();
    delegate->path = dir.file("f");
    auto folder = std::make_shared<QVLocalFileRepresentation>(delegate->path);
    EXPECT_TRUE(folder->owner().isEmpty());  // nothing read without a delegate
    folder->setDelegate(delegate);
    EXPECT_EQ(folder->fileType(), QVFileTypeFolder);
    folder->loadChildren();
    folder->loadChildren();
    folder->reloadChildren();
    EXPECT_EQ(delegate->events, QStringList({"load 3", "reload 3"}));  // the non-UTF-8 name among them
    QList<QByteArray> names;
    for (const auto& child : QVLocalFileRepresentation::listFolder(delegate->path)) names << FileName::encode(child->name());
    EXPECT_TRUE(names.contains("bad\xff")) << "listed with its own bytes";

    delegate->events.clear();
    delegate->path = dir.file("f/b.txt");
    auto file = std::make_shared<QVLocalFileRepresentation>(delegate->path);
    file->setDelegate(delegate);
    EXPECT_EQ(file->size(), 2);
    file->rename("../escape", nullptr);
    file->moveToPath(dir.file("taken.txt"), nullptr);
    EXPECT_EQ(file->name(), "b.txt");
    file->duplicate();
    file->moveToPath(dir.file("moved.txt"), nullptr);
    EXPECT_EQ(file->name(), "moved.txt");
    delegate->path = dir.file("moved.txt");
    file->deleteFile(true);
    delegate->path = dir.file("f/b copy.txt");
    file->deleteFile();
    file->deleteFile();
    EXPECT_EQ(delegate->events, QStringList({"error 9", "rename 0", "error 9", "move 0", "duplicate b copy.txt", "move 1",
                                             "delete 1", "delete 1", "error 9", "delete 0"}));
    EXPECT_EQ(readAll(dir.file("taken.txt")), "t");
    ::unlink((QFile::encodeName(dir.path()) + "/f/bad\xff").constData());
}
