// Small file-system services: errors of file operations, icons, names, modes, copies, temporaries.
#include "shell/FileManagerUtilities.h"

#include "platform/FileName.h"
#include "platform/AppBundle.h"
#include "platform/Paths.h"
#include "shell/WorkspaceUtilities.h"

#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QIODevice>
#include <QMutex>

#include <cerrno>
#include <climits>
#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <vector>

namespace {

bool existsNoFollow(const QString& path) {
    struct stat st;
    return ::lstat(FileName::encode(path).constData(), &st) == 0;
}

// The extension as a path extension: the part after the last "." of the name, unless that dot
// starts the name (".profile" has none).
QString pathExtension(const QString& name) {
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot > 0 ? name.mid(dot + 1) : QString();
}

QString lastComponent(const QString& path) {
    QString p = path;
    while (p.size() > 1 && p.endsWith(QLatin1Char('/'))) p.chop(1);
    return p.mid(p.lastIndexOf(QLatin1Char('/')) + 1);
}

struct IconCache {
    QMutex lock;
    QHash<QString, QIcon> icons;
};

IconCache& iconCache() {
    static IconCache cache;
    return cache;
}

constexpr quint32 kAliasMagic = 0x51564131;  // "QVA1"

}  // namespace

QVError FileManagerUtilities::errorFromDictionary(const QVariantMap& info) {
    const QString suggestion = QStringLiteral("%1: %2").arg(info.value(QStringLiteral("Path")).toString(),
                                                          info.value(QStringLiteral("Error")).toString());
    QVariantMap userInfo;
    if (info.contains(QStringLiteral("Path")))
        userInfo.insert(QVFilePathErrorKey, info.value(QStringLiteral("Path")));
    return QVError::app(FileOperationErrorCode, QVLocalized(QStringLiteral("File Operation Error")),
                        suggestion, {}, userInfo);
}

QImage FileManagerUtilities::iconForFile(const QString& path, const QSize& size, bool useCache) {
    const QString extension = pathExtension(lastComponent(path));
    const bool cached = useCache && !extension.isEmpty();
    QIcon icon;
    if (cached) {
        IconCache& cache = iconCache();
        QMutexLocker locker(&cache.lock);
        icon = cache.icons.value(extension);
    }
    if (icon.isNull()) {
        icon = WorkspaceUtilities::workspaceIconForFile(path);
        if (icon.isNull()) return {};
        if (cached) {
            IconCache& cache = iconCache();
            QMutexLocker locker(&cache.lock);
            // Another thread may have stored one meanwhile; keep the first so all share it.
            icon = *cache.icons.insert(extension, cache.icons.value(extension, icon));
        }
    }
    return WorkspaceUtilities::imageFromIcon(icon, size);
}

namespace {

// The name of a user or group entry by its number, or the number itself when there is none;
// the reentrant lookup gets a larger buffer for as long as the entry does not fit.
template <class Entry, class Id>
QString entryName(Id id, int sizeHint, int (*lookup)(Id, Entry*, char*, size_t, Entry**), char* Entry::*name) {
    long bufferSize = ::sysconf(sizeHint);
    if (bufferSize <= 0) bufferSize = 16384;
    std::vector<char> buffer(static_cast<size_t>(bufferSize));
    Entry entry;
    Entry* result = nullptr;
    while (lookup(id, &entry, buffer.data(), buffer.size(), &result) == ERANGE && buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    if (result && result->*name) return QString::fromLocal8Bit(result->*name);
    return QString::number(id);
}

}  // namespace

QString FileManagerUtilities::nameForUid(quint32 uid) {
    return entryName<passwd, uid_t>(uid, _SC_GETPW_R_SIZE_MAX, ::getpwuid_r, &passwd::pw_name);
}

QString FileManagerUtilities::nameForGid(quint32 gid) {
    return entryName<group, gid_t>(gid, _SC_GETGR_R_SIZE_MAX, ::getgrgid_r, &group::gr_name);
}

QString FileManagerUtilities::formattedStringForSize(qint64 bytes) {
    const double b = static_cast<double>(bytes);
    if (b < 1024.0) return QString::asprintf("%.0f B", b);
    double value = b / 1024.0;
    if (value / 1024.0 < 1.0) return QString::asprintf("%.0f KB", value);
    static const char* const units[] = {"%.1f MB", "%.1f GB", "%.1f TB", "%.1f PB"};
    for (const char* unit : units) {
        value /= 1024.0;
        if (value / 1024.0 < 1.0) return QString::asprintf(unit, value);
    }
    return {};
}

QString FileManagerUtilities::modeStringForMode(quint16 mode) {
    QString s;
    s.reserve(11);
    switch (mode & 0xF000) {
    case 0x4000: s += QLatin1Char('d'); break;
    case 0x2000: s += QLatin1Char('c'); break;
    case 0x6000: s += QLatin1Char('b'); break;
    case 0x8000: s += QLatin1Char('-'); break;
    case 0xA000: s += QLatin1Char('l'); break;
    case 0xC000: s += QLatin1Char('s'); break;
    case 0x1000: s += QLatin1Char('p'); break;
    case 0xE000: s += QLatin1Char('w'); break;
    default: s += QLatin1Char('?'); break;
    }
    auto triad = [&](int read, int write, int exec, int special, char setMark, char unsetMark) {
        s += QLatin1Char((mode & read) ? 'r' : '-');
        s += QLatin1Char((mode & write) ? 'w' : '-');
        if (mode & special)
            s += QLatin1Char((mode & exec) ? setMark : unsetMark);
        else
            s += QLatin1Char((mode & exec) ? 'x' : '-');
    };
    triad(0400, 0200, 0100, 04000, 's', 'S');
    triad(0040, 0020, 0010, 02000, 's', 'S');
    triad(0004, 0002, 0001, 01000, 't', 'T');
    s += QLatin1Char(' ');
    return s;
}

QString FileManagerUtilities::numericModeStringForMode(quint16 mode) {
    static const struct { int bit; int value; } digits[] = {
        {04000, 4000}, {02000, 2000}, {01000, 1000}, {0400, 400}, {0200, 200}, {0100, 100},
        {040, 40}, {020, 20}, {010, 10}, {04, 4}, {02, 2}, {01, 1},
    };
    int sum = 0;
    for (const auto& d : digits)
        if (mode & d.bit) sum += d.value;
    return QString::number(sum);
}

quint16 FileManagerUtilities::modeFromString(const QString& string) {
    if (string.size() < 10) return 0;
    quint16 mode;
    switch (string.at(0).unicode()) {
    case 'b': mode = 0x6000; break;
    case 'c': mode = 0x2000; break;
    case 'd': mode = 0x4000; break;
    case 'l': mode = 0xA000; break;
    case 'p': mode = 0x1000; break;
    case 's': mode = 0xC000; break;
    case 'w': mode = 0xE000; break;
    default: mode = 0x8000; break;
    }
    auto is = [&](int i, char c) { return string.at(i) == QLatin1Char(c); };
    if (is(1, 'r')) mode |= 0x100;
    if (is(2, 'w')) mode |= 0x80;
    if (is(3, 'x') || is(3, 's')) mode |= 0x40;
    if (is(4, 'r')) mode |= 0x20;
    if (is(5, 'w')) mode |= 0x10;
    if (is(6, 'x') || is(6, 's')) mode |= 0x8;
    if (is(7, 'r')) mode |= 0x4;
    if (is(8, 'w')) mode |= 0x2;
    if (is(9, 'x') || is(9, 't')) mode |= 0x1;
    if (is(3, 's') || is(3, 'S')) mode |= 0x800;
    if (is(6, 's') || is(6, 'S')) mode |= 0x400;
    if (is(9, 't') || is(9, 'T')) mode |= 0x200;
    return mode;
}

QString FileManagerUtilities::pathForCopyOfFile(const QString& path, const QString& initialSuffix,
                                                bool asDirectory) {
    QString trimmed = path;
    while (trimmed.size() > 1 && trimmed.endsWith(QLatin1Char('/'))) trimmed.chop(1);
    const qsizetype slash = trimmed.lastIndexOf(QLatin1Char('/'));
    const QString folder = slash < 0 ? QString() : trimmed.left(slash + 1);
    QString name = trimmed.mid(slash + 1);
    QString extension;
    if (!asDirectory) {
        extension = pathExtension(name);
        if (!extension.isEmpty()) {
            name.chop(extension.size() + 1);
            extension.prepend(QLatin1Char('.'));
        }
    }
    QString candidate = folder + name + initialSuffix + extension;
    // Stops at the first free number; existing names are finite, so this ends.
    for (qint64 n = 1; existsNoFollow(candidate); ++n)
        candidate = folder + QStringLiteral("%1%2 %3").arg(name, initialSuffix).arg(n) + extension;
    return candidate;
}

QString FileManagerUtilities::pathForCopyOfFile(const QString& path, const QString& initialSuffix) {
    return pathForCopyOfFile(path, initialSuffix, false);
}

QString FileManagerUtilities::pathForCopyOfFile(const QString& path) {
    return pathForCopyOfFile(path, QVLocalized(QStringLiteral(" copy")), false);
}

bool FileManagerUtilities::ensureDirectoryExists(const QString& path) {
    const QStringList components = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QString current = path.startsWith(QLatin1Char('/')) ? QStringLiteral("/") : QString();
    for (const QString& component : components) {
        if (!current.isEmpty() && !current.endsWith(QLatin1Char('/'))) current += QLatin1Char('/');
        current += component;
        if (existsNoFollow(current)) continue;
        if (::mkdir(FileName::encode(current).constData(), 0777) != 0 && errno != EEXIST)
            return false;
    }
    // Something that exists but is not a folder must not count as success.
    return components.isEmpty() || QFileInfo(path).isDir();
}

QString FileManagerUtilities::resolvedPath(const QString& path) {
    const QByteArray encoded = FileName::encode(path);
    struct stat st;
    if (::lstat(encoded.constData(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    std::vector<char> buffer(static_cast<size_t>(st.st_size > 0 ? st.st_size + 1 : PATH_MAX));
    const ssize_t length = ::readlink(encoded.constData(), buffer.data(), buffer.size());
    if (length < 0 || static_cast<size_t>(length) >= buffer.size()) return path;
    return FileName::decode(QByteArray(buffer.data(), length));
}

QString FileManagerUtilities::pathForTemporaryFile() {
    return createTemporaryFile(Paths::temporary() + QStringLiteral("/Qorvel.tmp.XXXXXX"));
}

QString FileManagerUtilities::createTemporaryFile(const QString& pathTemplate, QVError* error) {
    if (!pathTemplate.endsWith(QLatin1String("XXXXXX"))) {
        qvSetError(error, QVError::posix(EINVAL, QStringLiteral("create a temporary file"),
                                         pathTemplate));
        return {};
    }
    QByteArray name = FileName::encode(pathTemplate);
    const int fd = ::mkstemp(name.data());
    if (fd < 0) {
        qvSetError(error, QVError::posix(errno, QStringLiteral("create a temporary file"),
                                         pathTemplate));
        return {};
    }
    ::close(fd);
    return FileName::decode(name);
}

QByteArray FileManagerUtilities::createAliasDataForPath(const QString& path) {
    if (path.isEmpty()) return {};
    const QString absolute = QDir::cleanPath(QDir(path).absolutePath());
    struct stat st;
    if (::stat(FileName::encode(absolute).constData(), &st) != 0) return {};
    QByteArray data;
    QDataStream out(&data, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_6_0);
    out << kAliasMagic << absolute << quint64(st.st_dev) << quint64(st.st_ino);
    return data;
}

QString FileManagerUtilities::createPathFromAliasData(const QByteArray& data) {
    QDataStream in(data);
    in.setVersion(QDataStream::Qt_6_0);
    quint32 magic = 0;
    QString path;
    quint64 device = 0, inode = 0;
    in >> magic >> path >> device >> inode;
    if (in.status() != QDataStream::Ok || magic != kAliasMagic || !path.startsWith(QLatin1Char('/')))
        return {};

    struct stat st;
    if (::stat(FileName::encode(path).constData(), &st) == 0) return path;

    // Gone from its path: look for the same file under a new name in the same folder.
    const QString folder = path.left(path.lastIndexOf(QLatin1Char('/')));
    const QString folderPath = folder.isEmpty() ? QStringLiteral("/") : folder;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(FileName::encode(folderPath).constData()),
                                            ::closedir);
    if (!dir) return {};
    while (const dirent* entry = ::readdir(dir.get())) {
        if (quint64(entry->d_ino) != inode) continue;
        const QString name = FileName::decode(entry->d_name);
        if (name == QLatin1String(".") || name == QLatin1String("..")) continue;
        const QString candidate = folder + QLatin1Char('/') + name;
        if (::stat(FileName::encode(candidate).constData(), &st) == 0 &&
            quint64(st.st_dev) == device && quint64(st.st_ino) == inode)
            return candidate;
    }
    return {};
}
