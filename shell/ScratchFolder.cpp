// The scratch folder, refused when another user could own or redirect it.
#include "shell/ScratchFolder.h"

#include "platform/Paths.h"
#include "platform/SystemLog.h"
#include "shell/FileManagerUtilities.h"

#include <QFile>
#include <QMutex>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Why the folder at path cannot serve as a scratch folder; empty when it can.
QString unsafeReason(const QString& path) {
    struct stat st;
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    if (S_ISLNK(st.st_mode)) return QStringLiteral("it is a symbolic link");
    if (!S_ISDIR(st.st_mode)) return QStringLiteral("it is not a folder");
    if (st.st_uid != ::geteuid())
        return QStringLiteral("it belongs to user %1").arg(FileManagerUtilities::nameForUid(st.st_uid));
    if (st.st_mode & S_IWOTH) return QStringLiteral("other users can write into it");
    return {};
}

QString makePreferred(const QString& path) {
    // No intermediate folders: the temporary folder itself must already be there. A folder made
    // here gets group write whatever the umask; one found is left as it is.
    const QByteArray name = QFile::encodeName(path);
    if (::mkdir(name.constData(), 0775) == 0) {
        ::chmod(name.constData(), 0775);
    } else if (errno != EEXIST) {
        return QString::fromLocal8Bit(std::strerror(errno));
    }
    return unsafeReason(path);
}

QString makePrivate(const QString& path) {
    if (!FileManagerUtilities::ensureDirectoryExists(path)) return {};
    if (!unsafeReason(path).isEmpty()) return {};
    ::chmod(QFile::encodeName(path).constData(), 0700);
    return path;
}

}  // namespace

QString ScratchFolder::defaultPath() { return Paths::temporary() + QStringLiteral("/Qorvel"); }

QString ScratchFolder::fallbackPath() { return Paths::caches() + QStringLiteral("/scratch"); }

QString ScratchFolder::prepare(const QString& preferred, const QString& fallback,
                               QString* refusal) {
    const QString reason = makePreferred(preferred);
    if (refusal) *refusal = reason;
    if (reason.isEmpty()) return preferred;
    QString path = makePrivate(fallback);
    if (path.isEmpty()) {
        // Last resort: a fresh private folder of our own in the temporary folder.
        QByteArray templ = QFile::encodeName(Paths::temporary() + QStringLiteral("/Qorvel-XXXXXX"));
        if (::mkdtemp(templ.data())) path = QFile::decodeName(templ);
    }
    return path;
}

QString ScratchFolder::path() {
    QString refusal;
    const QString preferred = defaultPath();
    const QString path = prepare(preferred, fallbackPath(), &refusal);
    if (!refusal.isEmpty()) {
        // Once per distinct refusal, not at every temporary file.
        static QMutex lock;
        static QString lastLogged;
        QMutexLocker locker(&lock);
        const QString line = QStringLiteral("Refusing scratch folder %1: %2; using %3 instead")
                                 .arg(preferred, refusal,
                                      path.isEmpty() ? QStringLiteral("nothing") : path);
        if (line != lastLogged) {
            lastLogged = line;
            SystemLog::warning(line);
        }
    }
    return path;
}

QString ScratchFolder::privatePath() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    struct stat st;
    if (!runtime.isEmpty() && ::lstat(QFile::encodeName(runtime).constData(), &st) == 0 && S_ISDIR(st.st_mode) &&
        st.st_uid == ::geteuid() && (st.st_mode & 0077) == 0)
        return runtime;
    return path();
}
