#include "kits/tidings/TDGWriteEventOperation.h"

#include "kits/tidings/TDGEvent.h"
#include "kits/tidings/TDGLogger.h"
#include "kits/tidings/TDGMetadata.h"

#include <QFile>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

static std::atomic<TDGWriteEventOperation::WriteFunction> g_write{&::write};

void TDGWriteEventOperation::setWriteFunctionForTests(WriteFunction function) { g_write.store(function ? function : &::write); }

static void logWrite(const QString& text) { TDGLogger::sharedLogger().logWithLabel(QStringLiteral("WriteOperation"), text); }

QString TDGWriteEventOperation::logLineWithTimestamp(double seconds, const QString& eventName, const QByteArray& payloadJson) {
    if (payloadJson.isEmpty()) return {};
    const double ms = std::trunc(seconds * 1000.0);
    const quint64 stamp = ms > 0 && ms < 1.8e19 ? quint64(ms) : 0;
    // Joined, not formatted: a name or payload holding "%1" must stay as it is.
    return QString::number(stamp) + QLatin1Char('\t') + eventName + QLatin1Char('\t') + QString::number(payloadJson.size()) +
           QLatin1Char('\t') + QString::fromUtf8(payloadJson);
}

TDGWriteEventOperation::TDGWriteEventOperation(std::shared_ptr<TDGEvent> event, const TDGMetadataSerializable& metadata,
                                               QString logFilePath)
    : _event(std::move(event)), _logFilePath(std::move(logFilePath)) {
    if (!_event) return;
    const double t = _event->timestamp();
    _formattedEvent = logLineWithTimestamp(t, _event->name(), TDGJson::write(QVariant::fromValue(_event->dictionaryRepresentation())));
    const double whole = std::trunc(t);
    _formattedMetadata = logLineWithTimestamp(t, metadata.eventName(), metadata.jsonWithStartTime(whole > 0 ? quint64(whole) : 0));
}

// Where the last whole line of the file ends: a run killed in the middle of a line (or a write
// that failed half-way) leaves a tail without a line feed, which is cut off before appending.
static off_t endOfLastWholeLine(int fd, off_t size) {
    char buffer[4096];
    off_t end = size;
    while (end > 0) {
        const off_t start = end > off_t(sizeof buffer) ? end - off_t(sizeof buffer) : 0;
        const ssize_t n = ::pread(fd, buffer, size_t(end - start), start);
        if (n <= 0) return -1;
        for (ssize_t i = n - 1; i >= 0; --i)
            if (buffer[i] == '\n') return start + i + 1;
        end = start;
    }
    return 0;
}

void TDGWriteEventOperation::main() {
    _success = false;
    const QByteArray path = QFile::encodeName(_logFilePath);
    struct stat st {};
    if (::lstat(path.constData(), &st) == 0 && !S_ISREG(st.st_mode)) return;  // a folder (or a link) in its place
    // Read and write: the tail is read back to find where the last whole line ends.
    const int fd = ::open(path.constData(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return;
    bool preexisting = false;
    if (::fstat(fd, &st) == 0 && st.st_size > 0) {
        const off_t whole = endOfLastWholeLine(fd, st.st_size);
        if (whole >= 0 && whole < st.st_size && ::ftruncate(fd, whole) != 0) {
            ::close(fd);
            return;
        }
        // An empty file (a run killed before its first line) still needs its metadata line.
        preexisting = whole != 0;
    }
    _success = writeDataToDescriptor(fd, preexisting);
    if (::close(fd) != 0) {
        logWrite(QStringLiteral("Failed to close file, error: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
        _success = false;
    }
}

bool TDGWriteEventOperation::writeDataToDescriptor(int fd, bool preexisting) {
    if (_formattedEvent.isEmpty() || _formattedMetadata.isEmpty()) return false;
    if (!preexisting && !appendLogLine(_formattedMetadata, fd)) return false;
    return appendLogLine(_formattedEvent, fd);
}

bool TDGWriteEventOperation::appendLogLine(const QString& line, int fd) {
    const QByteArray bytes = (line + QLatin1Char('\n')).toUtf8();
    if (bytes.isEmpty()) return false;
    struct stat st {};
    const off_t before = ::fstat(fd, &st) == 0 ? st.st_size : -1;
    const char* data = bytes.constData();
    size_t remaining = size_t(bytes.size());
    int calls = 0;
    bool whole = false;
    while (true) {
        errno = 0;
        const ssize_t n = g_write.load()(fd, data, remaining);
        ++calls;
        if (n < 0) logWrite(QStringLiteral("Failed to write: %1\n").arg(QString::fromLocal8Bit(std::strerror(errno))));
        if (n >= 0 && size_t(n) == remaining) {
            whole = true;
            break;
        }
        if (n < 0 || size_t(n) > remaining) {
            logWrite(QStringLiteral("Error: length doesn't make sense (%1, %2)\n").arg(n).arg(remaining));
            break;
        }
        if (n == 0 || calls >= 3) {
            logWrite(QStringLiteral("Error: exited write loop without success\n"));
            break;
        }
        data += n;
        remaining -= size_t(n);
    }
    // A line that did not go whole is taken back out, so the file still ends on a line feed.
    if (!whole && before >= 0 && ::ftruncate(fd, before) != 0)
        logWrite(QStringLiteral("Failed to cut back a partial line: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
    return whole;
}
