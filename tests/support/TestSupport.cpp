#include "tests/support/TestSupport.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void removeTree(const QByteArray& path) {
    struct stat st {};
    if (::lstat(path.constData(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        for (const QByteArray& entry : entryBytes(path)) removeTree(path + '/' + entry);
        ::rmdir(path.constData());
    } else {
        ::unlink(path.constData());
    }
}

}  // namespace

TestDir::TestDir() : _dir(testSandbox() + QStringLiteral("/t-XXXXXX")) {}

// QTemporaryDir cannot name what is not UTF-8: the tree goes by its bytes first.
TestDir::~TestDir() {
    if (_dir.isValid()) removeTree(QFile::encodeName(_dir.path()));
}

bool writeBytes(const QByteArray& path, const QByteArray& data) {
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool written = ::write(fd, data.constData(), size_t(data.size())) == data.size();
    return ::close(fd) == 0 && written;
}

QByteArray readBytes(const QByteArray& path) {
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "<missing>";
    QByteArray data;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) data.append(buffer, n);
    ::close(fd);
    return data;
}

QList<QByteArray> entryBytes(const QByteArray& folder) {
    QList<QByteArray> names;
    if (DIR* dir = ::opendir(folder.constData())) {
        while (const dirent* entry = ::readdir(dir))
            if (std::strcmp(entry->d_name, ".") && std::strcmp(entry->d_name, "..")) names << QByteArray(entry->d_name);
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

QString TestDir::write(const QString& name, const QByteArray& bytes) const {
    const QString path = file(name);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (f.open(QIODevice::WriteOnly)) f.write(bytes);
    return path;
}

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void PrintTo(const QString& value, std::ostream* os) { *os << '"' << value.toStdString() << '"'; }

void PrintTo(const QByteArray& value, std::ostream* os) {
    *os << '"' << value.left(200).toStdString() << (value.size() > 200 ? "\"..." : "\"");
}

void PrintTo(const QVariant& value, std::ostream* os) {
    QString text;
    QDebug(&text) << value;
    *os << text.toStdString();
}

TestAccount testAccount(const char* name) {
    // Copied at once: getpwnam answers in storage its next call writes over.
    const struct passwd* entry = ::geteuid() == 0 ? ::getpwnam(name) : nullptr;
    return entry ? TestAccount{entry->pw_uid, entry->pw_gid} : TestAccount{};
}

bool makeListedButNotEntered(const QString& own, const QString& others) {
    const TestAccount nobody = testAccount("nobody"), daemon = testAccount("daemon");
    if (::geteuid() == 0 && !(nobody && daemon)) return false;
    const auto give = [](const QString& path, const TestAccount& to) {
        return ::chown(QFile::encodeName(path).constData(), to.uid, to.gid) == 0;
    };
    if (nobody) {
        if (!give(own, nobody)) return false;
        for (const QString& name : QDir(own).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden))
            if (!give(own + u'/' + name, nobody)) return false;
    }
    if (daemon) {
        if (!give(others, daemon) || ::chmod(QFile::encodeName(others).constData(), 0744) != 0) return false;
    } else if (!QDir(others).removeRecursively()) {
        return false;
    }
    return ::chmod(QFile::encodeName(own).constData(), 0644) == 0;
}
