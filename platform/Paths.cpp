// The XDG and home folders Qorvel keeps its files in.
#include "platform/Paths.h"

#include "platform/AppBundle.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
QString envPath(const char* name) {
    const QByteArray value = qgetenv(name);
    // The XDG rules ignore relative values.
    if (value.isEmpty() || value.at(0) != '/') return {};
    return QDir::cleanPath(QString::fromLocal8Bit(value));
}
}  // namespace

QString Paths::home() {
    QString h = envPath("HOME");
    if (!h.isEmpty()) return h;
    // The same rule as for the variable: an empty or relative entry is no home.
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir && pw->pw_dir[0] == '/')
        return QDir::cleanPath(QString::fromLocal8Bit(pw->pw_dir));
    return QStringLiteral("/");
}

QString Paths::dataHome() {
    const QString p = envPath("XDG_DATA_HOME");
    return p.isEmpty() ? home() + QStringLiteral("/.local/share") : p;
}

QString Paths::configHome() {
    const QString p = envPath("XDG_CONFIG_HOME");
    return p.isEmpty() ? home() + QStringLiteral("/.config") : p;
}

QString Paths::cacheHome() {
    const QString p = envPath("XDG_CACHE_HOME");
    return p.isEmpty() ? home() + QStringLiteral("/.cache") : p;
}

QString Paths::temporary() {
    const QString p = envPath("TMPDIR");
    return p.isEmpty() ? QStringLiteral("/tmp") : p;
}

QString Paths::applicationSupport() { return dataHome() + QStringLiteral("/Glimbo"); }

QString Paths::configuration() { return configHome() + QStringLiteral("/Glimbo"); }

QString Paths::caches() { return cacheHome() + QLatin1Char('/') + AppBundle::main().bundleIdentifier(); }

QString Paths::prepareSessionEnvironment() {
    QString runtime = envPath("XDG_RUNTIME_DIR");
    if (runtime.isEmpty()) {
        // Ours alone: a folder we made or own, never a link, closed to everyone else.
        const QString folder = temporary() + QStringLiteral("/runtime-") + QString::number(geteuid());
        const QByteArray name = QFile::encodeName(folder);
        struct stat st {};
        if ((::mkdir(name.constData(), 0700) == 0 || errno == EEXIST) && ::lstat(name.constData(), &st) == 0 &&
            S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
            ((st.st_mode & 0077) == 0 || ::chmod(name.constData(), 0700) == 0)) {
            runtime = folder;
            qputenv("XDG_RUNTIME_DIR", name);
        }
    }
    if (qgetenv("DBUS_SESSION_BUS_ADDRESS").isEmpty() && !runtime.isEmpty())
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + QFile::encodeName(runtime) + "/bus");
    return runtime;
}

QString Paths::expandTilde(const QString& path) {
    if (path == QLatin1String("~")) return home();
    if (path.startsWith(QLatin1String("~/"))) {
        // A home of "/" must not give "//x".
        const QString h = home();
        return (h == QLatin1String("/") ? QString() : h) + path.mid(1);
    }
    return path;
}

QString Paths::abbreviateWithTilde(const QString& path) {
    const QString h = home();
    if (h == QLatin1String("/")) return path;
    if (path == h) return QStringLiteral("~");
    if (path.startsWith(h + QLatin1Char('/'))) return QLatin1Char('~') + path.mid(h.size());
    return path;
}
