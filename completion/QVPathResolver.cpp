// Include-path resolution against search folders and the including file, and the search-folder scripts.
#include "completion/QVPathResolver.h"

#include "completion/QVPerlPathResolver.h"
#include "completion/QVRubyPathResolver.h"
#include "platform/FileName.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "platform/SystemLog.h"
#include "shell/FileManagerUtilities.h"
#include "shell/StringPaths.h"

#include <QFile>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kErrorDomain = QStringLiteral("QVPathResolver");

// Removes the temporary script on every way out.
class RemoveOnExit {
public:
    explicit RemoveOnExit(QString path) : _path(std::move(path)) {}
    ~RemoveOnExit() {
        if (!_path.isEmpty()) ::unlink(FileName::encode(_path).constData());
    }
    RemoveOnExit(const RemoveOnExit&) = delete;
    RemoveOnExit& operator=(const RemoveOnExit&) = delete;

private:
    QString _path;
};

bool writeAll(int fd, const QByteArray& bytes) {
    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + written, size_t(bytes.size() - written));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        written += n;
    }
    return true;
}

// Writes the script into the file that was just created for it, refusing to follow a link that
// might have replaced it, and makes it executable.
QVError writeScript(const QString& path, const QByteArray& script) {
    const QByteArray name = FileName::encode(path);
    const int fd = ::open(name.constData(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return QVError::posix(errno, QStringLiteral("write the script"), path);
    QVError error;
    if (!writeAll(fd, script)) error = QVError::posix(errno ? errno : EIO, QStringLiteral("write the script"), path);
    else if (::fchmod(fd, 0755) != 0) error = QVError::posix(errno, QStringLiteral("make the script executable"), path);
    if (::close(fd) != 0 && !error) error = QVError::posix(errno, QStringLiteral("write the script"), path);
    return error;
}

// The interpreter that a first line "#!/usr/bin/env NAME" names, or empty.
QString envInterpreter(const QString& script) {
    static const QString prefix = QStringLiteral("#!/usr/bin/env ");
    if (!script.startsWith(prefix)) return {};
    const QString name = script.mid(prefix.size()).section(QLatin1Char('\n'), 0, 0).trimmed();
    return name.contains(QLatin1Char(' ')) ? QString() : name;
}

QStringList foldersFromOutput(const QByteArray& output) {
    QStringList folders;
    // Folder names are file-system bytes, which are UTF-8 here.
    for (const QByteArray& line : output.split('\n')) {
        if (line.isEmpty() || line == ".") continue;
        QString folder = FileName::decode(line);
        while (folder.endsWith(QLatin1Char('/'))) folder.chop(1);
        folders << folder + QLatin1Char('/');
    }
    return folders;
}

}  // namespace

const QVPathResolver& QVPathResolver::sharedResolver() {
    static const QVPathResolver resolver;
    return resolver;
}

const QVPathResolver* QVPathResolver::resolverNamed(const QString& className) {
    if (className == QLatin1String("QVPathResolver")) return &sharedResolver();
    if (className == QLatin1String("QVRubyPathResolver")) return &QVRubyPathResolver::sharedResolver();
    if (className == QLatin1String("QVPerlPathResolver")) return &QVPerlPathResolver::sharedResolver();
    return nullptr;
}

QString QVPathResolver::pathForString(const QString& string, const QString& base, bool* isTag) const {
    if (isTag) *isTag = false;
    if (string.startsWith(QLatin1Char('/'))) return string;
    return pathForRelativeString(string, base, isTag);
}

QString QVPathResolver::pathForRelativeString(const QString& string, const QString& base, bool*) const {
    // An empty path would name the search folder itself, which no include means.
    if (string.isEmpty()) return {};
    QStringList folders = searchPaths();
    if (!base.isEmpty()) folders << base;
    for (const QString& folder : std::as_const(folders)) {
        // A folder ending in "/" is itself the place; the including file stands for its folder.
        const QString candidate = StringPaths::absolutePathFromFile(string, folder);
        struct stat st;
        if (::stat(FileName::encode(candidate).constData(), &st) == 0) return candidate;
    }
    return {};
}

QStringList QVPathResolver::searchPaths() const { return {}; }

QStringList QVPathResolver::pathsFromRunningScript(const QString& script, QVError* error, int timeoutMilliseconds) {
    QVError createError;
    const QString path =
        FileManagerUtilities::createTemporaryFile(Paths::temporary() + QStringLiteral("/Qorvel.tmp.XXXXXX"), &createError);
    if (path.isEmpty()) {
        qvSetError(error, createError);
        return {};
    }
    const RemoveOnExit removal(path);
    if (const QVError writeError = writeScript(path, script.toUtf8())) {
        qvSetError(error, writeError);
        return {};
    }

    // The interpreter is started through /usr/bin/env with the script as its argument rather
    // than by executing the file, which a temporary folder mounted noexec would refuse.
    const QString interpreter = envInterpreter(script);
    ProcessOptions options;
    options.timeoutMs = timeoutMilliseconds;
    const QString program = interpreter.isEmpty() ? path : QStringLiteral("/usr/bin/env");
    const QStringList arguments = interpreter.isEmpty() ? QStringList() : QStringList{interpreter, path};
    const QString shown = interpreter.isEmpty() ? path : QStringLiteral("/usr/bin/env ") + interpreter;
    const ProcessResult result = Process::run(program, arguments, options);

    if (!result.started || result.timedOut || !result.exited) {
        qvSetError(error, QVError::make(kErrorDomain, -1,
                                        QStringLiteral("The search-folder script run by \"%1\" failed: %2")
                                            .arg(shown, result.errorString)));
        return {};
    }
    if (result.exitStatus != 0) {
        const QString errorOutput = QString::fromUtf8(result.standardError).trimmed();
        qvSetError(error, QVError::make(kErrorDomain, result.exitStatus,
                                        QStringLiteral("The search-folder script run by \"%1\" ended with status %2%3")
                                            .arg(shown)
                                            .arg(result.exitStatus)
                                            .arg(errorOutput.isEmpty() ? QStringLiteral(".")
                                                                       : QStringLiteral(": ") + errorOutput)));
        return {};
    }
    qvSetError(error, QVError());
    return foldersFromOutput(result.standardOutput);
}

QStringList QVPathResolver::searchPathsFromScript(const QString& language, const QString& script) {
    QVError error;
    const QStringList folders = pathsFromRunningScript(script, &error);
    if (error)
        SystemLog::warning(QStringLiteral("No %1 search folders: %2").arg(language, error.localizedDescription()));
    return folders;
}
