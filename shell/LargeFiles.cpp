// The size from which opening a file asks first.
#include "shell/LargeFiles.h"

#include "platform/AppBundle.h"
#include "platform/FileName.h"
#include "platform/UserDefaults.h"
#include "shell/FileEncodings.h"

#include <QFileInfo>
#include <QLocale>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace LargeFiles {

qint64 confirmationSize() {
    const QVariant set = UserDefaults::standard().objectForKey(QString::fromLatin1(SizeKey));
    if (set.isValid()) {
        bool ok = false;
        const qint64 megabytes = set.toLongLong(&ok);
        if (ok && megabytes >= 0) return megabytes * 1024 * 1024;
    }
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || pageSize <= 0) return qint64(1) << 30;
    return qint64(pages) * pageSize / 16;
}

bool needsConfirmation(qint64 fileSize) {
    const qint64 limit = confirmationSize();
    return limit > 0 && fileSize >= limit;
}

qint64 memoryEstimate(qint64 fileSize) { return fileSize * 4; }

namespace {
QString sized(const QString& text, const QString& path, qint64 fileSize, qint64 memory) {
    const QLocale locale;
    return text.arg(QFileInfo(path).fileName(), locale.formattedDataSize(fileSize), locale.formattedDataSize(memory));
}
}  // namespace

QString question(const QString& path, qint64 fileSize) {
    return sized(QVLocalized(QStringLiteral("\u201c%1\u201d is %2. Opening it takes about %3 of memory and may take a while.")),
                 path, fileSize, memoryEstimate(fileSize));
}

qint64 replaceMemoryEstimate(const QString& path, qint64 fileSize) {
    // UTF-8 and single-byte files are held as two bytes a character beside their new bytes; the
    // others go the general way, their bytes and text each held twice over (measured: 5.6 times
    // a Shift_JIS page).
    // Asked on the main thread before the question shows: the name, then the file's first
    // megabyte only (a mark, a rule, declarations where pages put them), never a scan that reads
    // a file of one long line to its end.
    QVStringEncoding encoding = FileEncodings::encodingFromFileName(path);
    if (!encoding) {
        QByteArray head;
        const int fd = ::open(FileName::encode(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        struct stat info {};
        if (fd >= 0 && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
            head.resize(1 << 20);
            qsizetype got = 0;
            while (got < head.size()) {
                const ssize_t n = ::read(fd, head.data() + got, size_t(head.size() - got));
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;
                got += qsizetype(n);
            }
            head.truncate(got);
        }
        if (fd >= 0) ::close(fd);
        encoding = FileEncodings::encodingFromContents(head);
    }
    if (!encoding) encoding = FileEncodings::defaultEncoding();
    const bool heldAsUtf8 = encoding == TextEncoding::UTF8 || FileEncodings::singleByteTable(encoding);
    return fileSize * (heldAsUtf8 ? 3 : 6);
}

QString replaceQuestion(const QString& path, qint64 fileSize) {
    return sized(QVLocalized(QStringLiteral("\u201c%1\u201d is %2. Replacing in it takes about %3 of memory and may take a while.")),
                 path, fileSize, replaceMemoryEstimate(path, fileSize));
}

}  // namespace LargeFiles
