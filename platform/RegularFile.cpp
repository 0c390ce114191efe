// Whole-file reads that never block on a special file.
#include "platform/RegularFile.h"

#include "platform/FileName.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::optional<QByteArray> RegularFile::read(const QString& path, QVError* error, qint64 limit) {
    const QByteArray name = FileName::encode(path);
    const int fd = name.isEmpty() ? -1 : ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        qvSetError(error, QVError::posix(name.isEmpty() ? ENOENT : errno, QStringLiteral("Reading"), path));
        return std::nullopt;
    }
    const auto fail = [&](int code) -> std::optional<QByteArray> {
        ::close(fd);
        qvSetError(error, QVError::posix(code, QStringLiteral("Reading"), path));
        return std::nullopt;
    };
    struct stat st {};
    if (::fstat(fd, &st) != 0) return fail(errno);
    if (S_ISDIR(st.st_mode)) return fail(EISDIR);
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        qvSetError(error, QVError::make(QVError::posixDomain(), EINVAL, QStringLiteral("\"%1\" is not a regular file.").arg(path), {}, {},
                                        {{QLatin1String(QVFilePathErrorKey), path}}));
        return std::nullopt;
    }
    if (limit >= 0 && st.st_size > limit) return fail(EFBIG);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    QByteArray data;
    data.resize(qsizetype(st.st_size) + 1);
    qsizetype used = 0;
    for (;;) {
        if (used == data.size()) {
            if (limit >= 0 && used > limit) return fail(EFBIG);  // grew while read
            data.resize(data.size() + std::max<qsizetype>(data.size() / 2, 65536));
        }
        const ssize_t n = ::read(fd, data.data() + used, size_t(data.size() - used));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail(errno);
        if (n == 0) break;
        used += n;
    }
    ::close(fd);
    if (limit >= 0 && used > limit) {
        qvSetError(error, QVError::posix(EFBIG, QStringLiteral("Reading"), path));
        return std::nullopt;
    }
    data.resize(used);
    return data;
}
