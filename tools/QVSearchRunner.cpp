// The search runner's queues and its two workers.
#include "tools/QVSearchRunner.h"
#include "platform/Threads.h"

#include "shell/QVFileCategories.h"

#include "files/QVFileEnumerator.h"
#include "files/QVRootFile.h"
#include "platform/AtomicFile.h"
#include "platform/FileName.h"
#include "platform/MainQueue.h"
#include "platform/QVError.h"
#include "platform/RegularFile.h"
#include "shell/FileEncodings.h"
#include "shell/QVSearchEnumerator.h"
#include "shell/QVFileCategories.h"
#include "tools/QVMultiFileSearchNode.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QStringEncoder>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <deque>
#include <mutex>
#include <thread>

namespace {

struct SearchEntry {
    QVSearch search;
    quint64 batch = 0;
    QString path;                                // one file, or the folder to walk
    bool walk = false;
    std::weak_ptr<QVSearchDocument> document;    // the open document searched instead of the file
    QVFullTextSource::Handle text;
    bool editor = false;                         // the document has an editor to search
};

// An open document searched in its editor, as the main thread saw it.
struct OpenText {
    std::weak_ptr<QVSearchDocument> document;
    QVFullTextSource::Handle text;
    bool editor = false;
};

struct ReplaceEntry {
    QVSearch search;
    quint64 batch = 0;
    QString path;
    std::weak_ptr<QVSearchDocument> document;
    QList<QVRange> ranges;  // ascending, without overlaps
};

struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done = std::make_shared<std::atomic<bool>>(false);
};

// The file's identity and contents as read: a write goes ahead only while they still hold.
struct DiskStamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    bool operator==(const DiskStamp& o) const {
        return device == o.device && inode == o.inode && size == o.size &&
               modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec;
    }
};

bool stampOf(const QString& path, DiskStamp* stamp, bool* regular) {
    struct stat st;
    if (::stat(FileName::encode(path).constData(), &st) != 0) return false;
    *regular = S_ISREG(st.st_mode);
    *stamp = {st.st_dev, st.st_ino, st.st_size, st.st_mtim};
    return true;
}

// Whether the file at path is still the one of that status holding bytes of that digest. A file
// written in place keeps its identity, and two writes of one size within one tick of the file
// system's clock leave the same status: only its bytes tell whose text it holds.
bool holdsDigest(const QString& path, const DiskStamp& stamp, const QByteArray& digest) {
    const int fd = ::open(FileName::encode(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !(DiskStamp{st.st_dev, st.st_ino, st.st_size, st.st_mtim} == stamp)) {
        ::close(fd);
        return false;
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    return hash.addData(&file) && hash.result() == digest;
}

QByteArray byteOrderMark(const QByteArray& data) {
    for (const char* mark : {"\xEF\xBB\xBF", "\xFF\xFE", "\xFE\xFF"})
        if (data.startsWith(mark)) return QByteArray(mark);
    return {};
}

// The text's bytes in the encoding with the original's byte-order mark; nothing when the text
// does not survive the trip (a character the encoding cannot hold).
std::optional<QByteArray> encodeBack(const QString& text, QVStringEncoding encoding, const QByteArray& mark) {
    QVStringEncoding used = encoding;
    auto bytes = FileEncodings::dataUsingEncoding(text, &used);
    if (!bytes || used != encoding) return std::nullopt;
    const QByteArray ownMark = byteOrderMark(*bytes);
    if (ownMark == "\xFF\xFE" && mark == "\xFE\xFF") {
        // UTF-16 is written little-endian; a file read big-endian goes back big-endian.
        for (qsizetype i = 0; i + 1 < bytes->size(); i += 2) std::swap((*bytes)[i], (*bytes)[i + 1]);
    } else if (ownMark != mark) {
        if (!ownMark.isEmpty()) return std::nullopt;  // a byte order the file did not have
        bytes->prepend(mark);
    }
    QVStringEncoding again = encoding;
    QVError error;
    const auto back = FileEncodings::createWithData(*bytes, QString(), &again, &error);
    if (!back || again != encoding || error.code() == FileEncodings::FallbackEncodingError || *back != text)
        return std::nullopt;
    return bytes;
}

bool isSingleByteOrUTF8(QVStringEncoding encoding) {
    const QString name = FileEncodings::stringFromEncoding(encoding);
    return !name.contains(QLatin1String("16")) && !name.contains(QLatin1String("32")) &&
           encoding != TextEncoding::UTF16;
}

// The file's device and inode through links; nothing for a path that names nothing.
std::optional<QPair<quint64, quint64>> identityOf(const QString& path) {
    struct stat st;
    if (::stat(FileName::encode(path).constData(), &st) != 0) return std::nullopt;
    return QPair<quint64, quint64>(quint64(st.st_dev), quint64(st.st_ino));
}

// Whether canonical (a path with every link resolved) lies in the folder root (resolved too).
bool isInside(const QString& canonical, const QString& root) {
    return !canonical.isEmpty() && !root.isEmpty() &&
           (canonical == root || canonical.startsWith(root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/')));
}

// The chosen ranges that are still exactly a match of the search in the text, replaced; the
// count of those replaced.
qsizetype replaceVerified(const QVSearch& search, const QList<QVRange>& ranges, QString& text) {
    QSet<QPair<qint64, qint64>> matches;
    for (const QVSearchResult& match : search.findAllForString(text, false))
        matches.insert({match.range().location, match.range().length});
    QString out;
    qint64 copied = 0;
    qsizetype count = 0;
    for (const QVRange& range : ranges) {
        if (range.location < copied || !matches.contains({range.location, range.length})) continue;
        out += QStringView(text).mid(copied, range.location - copied);
        out += search.replacementForString(text.mid(range.location, range.length));
        copied = range.location + range.length;
        ++count;
    }
    if (count == 0) return 0;
    out += QStringView(text).mid(copied);
    text = std::move(out);
    return count;
}

bool isAscii(QStringView text) {
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x80; });
}

// Whether a search may match text beyond ASCII, so that how a file was read matters to what it
// finds: text that is not ASCII, or a pattern that reaches it in ASCII ("caf\x{e9}", "\p{L}",
// ".", "[^a]", "\W", and "\w", "\d", "\s", "\b", whose classes are Unicode's).
bool mayMatchBeyondAscii(const QVSearch& search) {
    const QString text = search.searchString();
    if (!isAscii(text)) return true;
    if (!search.isRegularExpression()) return false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == u'.' || (c == u'[' && i + 1 < text.size() && text.at(i + 1) == u'^')) return true;
        if (c == u'\\' && i + 1 < text.size()) {
            if (QStringView(u"xuNpPoWSDHVRXCwdsb0").contains(text.at(i + 1))) return true;
            ++i;
        }
    }
    return false;
}

// Why an open document read in the fallback takes only ASCII: other text would be written as
// the fallback's bytes, which are other characters in the file's own encoding.
QString openFallbackReason() {
    return QStringLiteral("not changed: the open document shows the file in %1, as it is not valid in its encoding; "
                          "only ASCII is written into it")
        .arg(FileEncodings::displayName(TextEncoding::defaultCStringEncoding()));
}

// Why a search for text that is not ASCII read a file other than as UTF-8 (notice: its read's).
QString readOtherwiseReason(const QString& path, QVStringEncoding encoding, bool fallback, QVStringEncoding wanted) {
    if (fallback)
        return QStringLiteral("read in %1, as it is not valid in %2: text that is not ASCII may not be found there")
            .arg(FileEncodings::displayName(TextEncoding::defaultCStringEncoding()),
                 FileEncodings::displayName(wanted ? wanted : TextEncoding::UTF8));
    const bool declared = !path.isEmpty() && FileEncodings::declaredEncoding(path) == encoding;
    return (declared ? QStringLiteral("read in %1, as the file declares") : QStringLiteral("read in %1, the encoding chosen or set as default"))
        .arg(FileEncodings::displayName(encoding));
}

const QString BinaryFile = QStringLiteral("A binary file");
const QString NoMatchInPlace = QStringLiteral("No chosen match is still in place");
const QString NewTextDoesNotFit = QStringLiteral("The new text does not fit the file's encoding");
const QString ChangedByAnother = QStringLiteral("Changed by another writer while it was replaced");
const QString ChangedAfter = QStringLiteral("Changed by another writer after it was replaced");

// What became of a file's replace done on its text held as an open document holds it.
// AsciiOnly: a file read in the fallback, whose new text would be other than ASCII.
enum class Utf8Replace { NotUtf8, Replaced, Binary, NoMatch, DoesNotFit, Changed, AsciiOnly };

// The chosen ranges (ascending) that are still a match in text, walked against the matches in one
// pass: keep(from, to) for each stretch of text kept, which answers false when the file no longer
// holds it, put(replacement) for each new text, which answers false for one the file's encoding
// cannot hold.
template <class Keep, class Put>
Utf8Replace replaceWalk(const QString& text, const QVSearch& search, const QList<QVRange>& ranges, qsizetype* count,
                        Keep&& keep, Put&& put) {
    QVSearchEnumerator matches(search, text);
    matches.setReturnJustRanges(true);
    std::optional<QVSearchResult> match = matches.nextObject();
    qint64 copied = 0;
    *count = 0;
    for (const QVRange& range : ranges) {
        if (range.location < copied) continue;
        while (match && (match->range().location < range.location ||
                         (match->range().location == range.location && match->range().length < range.length)))
            match = matches.nextObject();
        if (!match || match->range().location != range.location || match->range().length != range.length) continue;
        const QString replacement = search.replacementForString(text.mid(range.location, range.length));
        if (!QStringView(replacement).isValidUtf16()) return Utf8Replace::DoesNotFit;
        if (!keep(copied, range.location)) return Utf8Replace::Changed;
        if (!put(replacement)) return Utf8Replace::DoesNotFit;
        copied = range.location + range.length;
        ++*count;
    }
    if (*count == 0) return Utf8Replace::NoMatch;
    return keep(copied, text.size()) ? Utf8Replace::Replaced : Utf8Replace::Changed;
}

// A file read as UTF-8 (its given or detected encoding, its bytes valid UTF-8 but for a few
// kept as they are, so its text writes back to the very same bytes) gets its chosen ranges
// that are still a match replaced, and its new bytes built, from its text held as an open
// document holds it (two bytes a character) and the new bytes alone. NotUtf8 for any other
// file, to be read the general way. keptBytes gets how many bytes were kept apart.
Utf8Replace replaceInUtf8(const QString& path, QVStringEncoding encoding, const QVSearch& search,
                          const QList<QVRange>& ranges, QByteArray* out, qsizetype* count, qint64* keptBytes) {
    qsizetype length = 0;
    std::optional<TextUnits> units = FileEncodings::readUTF8Units(path, &encoding, &length, {}, keptBytes);
    if (!units) return Utf8Replace::NotUtf8;
    // Borrowed, never copied: searched and cut where it lies.
    const QString text = QString::fromRawData(reinterpret_cast<const QChar*>(units->data()), length);
    if (QStringView(text).contains(QChar(u'\0'))) return Utf8Replace::Binary;
    QStringEncoder encoder(QStringEncoder::Utf8);
    out->reserve(length + length / 8 + 4096);
    const auto put = [&](QStringView piece) {
        FileEncodings::appendUTF8(out, piece, encoder);
        return true;
    };
    // The bytes kept apart go back as they were; new text never holds one.
    const auto keep = [&](qint64 from, qint64 to) {
        if (*keptBytes == 0) return put(QStringView(text).mid(from, to - from));
        return FileEncodings::appendUTF8KeepingBytes(out, QStringView(text).mid(from, to - from));
    };
    const Utf8Replace done =
        replaceWalk(text, search, ranges, count, keep, [&](const QString& replacement) { return put(replacement); });
    // A surrogate left alone where a replacement met half a pair: not a text UTF-8 can hold.
    return done == Utf8Replace::Replaced && encoder.hasError() ? Utf8Replace::DoesNotFit : done;
}

// A file read one byte a character: in a single-byte encoding (a Latin-1 page), or in the
// fallback that reads any bytes (a log that is not valid in its encoding), as the find read
// it. Its text is held as UTF-8's is (two bytes a character) beside its new bytes alone: what
// is kept is copied from the file's own bytes, so every byte not replaced stays exactly.
// encoding is the one the find read in; when fallback is set, bytes not valid in it make the
// text the fallback's, as the find's read then was. NotUtf8 when it fits none of this.
// A text read in the fallback (asciiOnly, or fallen back to) takes only ASCII: its bytes are in
// no known encoding, and ASCII alone is the same bytes in each it may be in (a non-ASCII
// character written in the fallback's bytes would be another character in the file's own).
Utf8Replace replaceInSingleBytes(const QString& path, QVStringEncoding encoding, bool fallback, bool asciiOnly,
                                 const QVSearch& search, const QList<QVRange>& ranges, QByteArray* out,
                                 qsizetype* count) {
    std::optional<std::array<char16_t, 256>> table = FileEncodings::singleByteTable(encoding);
    // Any other encoding is read the general way, which reads in the fallback too.
    if (!table) return Utf8Replace::NotUtf8;
    const int fd = ::open(FileName::encode(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return Utf8Replace::NotUtf8;
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return Utf8Replace::NotUtf8;
    const qint64 size = qint64(info.st_size);
    const auto readAt = [fd](char* buffer, qint64 length, qint64 offset) {
        qint64 done = 0;
        while (done < length) {
            const ssize_t n = ::pread(fd, buffer + done, size_t(length - done), off_t(offset + done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            done += n;
        }
        return true;
    };
    constexpr qint64 Block = 1 << 20;
    std::vector<char> block(size_t(std::min<qint64>(size, Block)) + 1);
    std::vector<char16_t> units(static_cast<size_t>(size));
    const auto decodeAll = [&](const std::array<char16_t, 256>& with) -> std::optional<bool> {
        for (qint64 at = 0; at < size; at += Block) {
            const qint64 n = std::min(Block, size - at);
            if (!readAt(block.data(), n, at)) return std::nullopt;
            for (qint64 i = 0; i < n; ++i) {
                const char16_t unit = with[quint8(block[size_t(i)])];
                if (unit == FileEncodings::NotAByte) return false;
                units[size_t(at + i)] = unit;
            }
        }
        return true;
    };
    std::optional<bool> valid = decodeAll(*table);
    if (!valid) return Utf8Replace::NotUtf8;
    if (!*valid) {
        if (!fallback) return Utf8Replace::NotUtf8;
        encoding = TextEncoding::defaultCStringEncoding();
        asciiOnly = true;
        table = FileEncodings::singleByteTable(encoding);
        if (!table || !(valid = decodeAll(*table)) || !*valid) return Utf8Replace::NotUtf8;
    }
    const QString text = QString::fromRawData(reinterpret_cast<const QChar*>(units.data()), qsizetype(size));
    if (QStringView(text).contains(QChar(u'\0'))) return Utf8Replace::Binary;
    out->reserve(qsizetype(size + size / 8 + 4096));
    // The file's own bytes from one place to another, each still the character searched: a
    // file rewritten meanwhile is not written over with a mix of both.
    const auto keep = [&](qint64 from, qint64 to) {
        const qsizetype at = out->size();
        out->resize(at + qsizetype(to - from));
        if (!readAt(out->data() + at, to - from, from)) return false;
        for (qint64 i = 0; i < to - from; ++i)
            if ((*table)[quint8(out->at(at + i))] != units[size_t(from + i)]) return false;
        return true;
    };
    bool notAscii = false;
    const auto put = [&](const QString& replacement) {
        if (asciiOnly && std::any_of(replacement.cbegin(), replacement.cend(), [](QChar c) { return c.unicode() > 0x7F; })) {
            notAscii = true;
            return false;
        }
        const std::optional<QByteArray> bytes = TextEncoding::encode(replacement, encoding, false);
        if (!bytes || bytes->size() != replacement.size()) return false;
        // A replacement must read back as itself, as the file's other characters do.
        for (qsizetype i = 0; i < bytes->size(); ++i)
            if ((*table)[quint8(bytes->at(i))] != replacement.at(i).unicode()) return false;
        out->append(*bytes);
        return true;
    };
    const Utf8Replace done = replaceWalk(text, search, ranges, count, keep, put);
    return done == Utf8Replace::DoesNotFit && notAscii ? Utf8Replace::AsciiOnly : done;
}

}  // namespace

struct QVSearchRunner::State : std::enable_shared_from_this<State> {
    // Main thread only.
    QVSearchRunnerDelegate* delegate = nullptr;
    std::shared_ptr<QVSearchScopes> scopes;

    // Guarded by lock.
    std::mutex lock;
    std::deque<SearchEntry> searchQueue;
    std::deque<ReplaceEntry> replaceQueue;
    bool runningSearch = false;
    bool runningReplace = false;
    quint64 searchBatch = 0, replaceBatch = 0;
    // Entries of batches below these were stopped.
    quint64 searchStoppedBelow = 0, replaceStoppedBelow = 0;
    std::function<void(const QString&)> replaceHook;
    // Where each file searched on disk led when it was searched (its links resolved): a replace
    // writes only while the path still leads there, so a link changed in between cannot steer
    // it out of the searched folders.
    QHash<QString, QString> searchedTargets;
    std::vector<Worker> workers;  // main thread only

    bool searchStopped(quint64 batch) {
        std::lock_guard guard(lock);
        return batch < searchStoppedBelow;
    }

    void startWorker(void (State::*body)()) {
        // Workers that ended are joined here, never one still waiting for the main thread.
        std::erase_if(workers, [](Worker& w) {
            if (!w.done->load()) return false;
            w.thread.join();
            return true;
        });
        Worker worker;
        worker.thread = Threads::start("QVSearch", [self = shared_from_this(), body, done = worker.done] {
            (self.get()->*body)();
            done->store(true);
        });
        workers.push_back(std::move(worker));
    }

    // Queues entries as one batch and starts the queue's worker unless it runs already.
    template <typename Entry>
    void enqueue(std::deque<Entry>& queue, quint64& batches, bool& running, std::vector<Entry>& entries,
                 void (State::*body)()) {
        bool start = false;
        {
            std::lock_guard guard(lock);
            const quint64 batch = ++batches;
            for (Entry& entry : entries) {
                entry.batch = batch;
                queue.push_back(std::move(entry));
            }
            start = !std::exchange(running, true);
        }
        if (start) startWorker(body);
    }

    // Delegate calls: on the main thread, waiting, and never once the runner is gone.
    void onMain(const std::function<void(QVSearchRunnerDelegate&)>& call) {
        MainQueue::postAndWait([this, &call] {
            if (delegate) call(*delegate);
        });
    }

    // Files searched but not yet reported: handed to the delegate together, in walk order, once
    // enough have gathered or a little time has passed (a main-thread turn per file would cost
    // more than most searches).
    struct Found {
        QString path;
        std::weak_ptr<QVSearchDocument> document;
        QList<QVSearchResult> results;
        quint64 batch = 0;
        QString notSearched;  // why the file could not be read
        bool folder = false;  // a folder whose entries could not be read: not searched, no results
        qint64 keptBytes = 0; // bytes not UTF-8 of a file read as UTF-8
        QString readOtherwise;  // why a search for text not ASCII read it other than as UTF-8
        bool fallback = false;  // read in the fallback
    };
    std::vector<Found> found;  // search worker only
    // The files a search batch has read (device and inode): one reached by two links, or both
    // chosen and inside a chosen folder, is searched once.
    QSet<QPair<quint64, quint64>> searchedFiles;  // search worker only
    quint64 searchedFilesBatch = 0;
    bool firstVisit(const QString& path, quint64 batch);
    std::chrono::steady_clock::time_point lastReport;
    void reportFound();

    void searchBody();
    void replaceBody();
    // skipBinary: the file's name does not say it is text, so its first block decides, and a
    // binary file is not reported at all.
    void searchFile(const SearchEntry& entry, const QString& path, const OpenText& open, bool skipBinary = false);
    void walk(const SearchEntry& entry);
    void replaceFile(const ReplaceEntry& entry);
    // Stages a file's new bytes, unless the file changed since it was read (before).
    void stageReplaced(const ReplaceEntry& entry, QVReplaceReport result, const DiskStamp& before,
                       const QByteArray& bytes, qsizetype count, const std::function<void(const QString&)>& hook);
    // Files written beside their old ones, renamed over them together after one flush; those a
    // save would write in place (other owners', hard-linked...) are written in place then. A
    // few at a time: an unnamed staged file holds a descriptor, and a named one is a full copy a
    // killed run would leave in the user's folder.
    // Each flush syncs a whole file system, so unnamed files wait in hundreds: a quarter of the
    // descriptors the process may open, within bounds.
    static constexpr size_t MaxNamedPending = 8;
    const size_t maxUnnamedPending = [] {
        struct rlimit limit {};
        const rlim_t open = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 1024;
        return size_t(std::clamp<rlim_t>(open / 4, 16, 1024));
    }();
    size_t namedPending = 0;  // replace worker only
    bool pendingFull() const { return pending.size() >= maxUnnamedPending || namedPending >= MaxNamedPending; }
    struct Pending {
        AtomicFile::Staged staged;
        DiskStamp before;
        QVReplaceReport report;
        quint64 batch = 0;
    };
    std::vector<Pending> pending;  // replace worker only
    QSet<QPair<quint64, quint64>> replacedFiles;  // replace worker only, per batch
    quint64 replacedFilesBatch = 0;
    void commitPending();
    // Files this run wrote, told as replaced only once the run ends and each is found still
    // holding what the run wrote (its identity, size and modification time): another writer
    // may have put its own file there since.
    struct Written {
        DiskStamp stamp;
        QVReplaceReport report;
        QByteArray digest;  // of the bytes written in place; empty for a file put in place whole
    };
    std::vector<Written> written;  // replace worker only
    void reportWritten();
    void report(QVReplaceReport report) {
        onMain([&](QVSearchRunnerDelegate& d) { d.didReplaceInPath(report); });
    }
};

QVSearchRunner::QVSearchRunner(QVSearchRunnerDelegate* delegate, std::shared_ptr<QVSearchScopes> scopes)
    : _state(std::make_shared<State>()) {
    _state->delegate = delegate;
    _state->scopes = scopes ? std::move(scopes) : std::make_shared<QVSearchScopes>();
}

QVSearchRunner::~QVSearchRunner() {
    cancel();
    _state->delegate = nullptr;
    MainQueue::runUntil(
        [this] {
            return std::all_of(_state->workers.begin(), _state->workers.end(),
                               [](const Worker& w) { return w.done->load(); });
        },
        std::chrono::hours(1));
    for (Worker& worker : _state->workers) worker.thread.join();
    _state->workers.clear();
}

void QVSearchRunner::setScopes(std::shared_ptr<QVSearchScopes> scopes) {
    _state->scopes = scopes ? std::move(scopes) : std::make_shared<QVSearchScopes>();
}

void QVSearchRunner::setReplaceHook(std::function<void(const QString&)> hook) {
    std::lock_guard guard(_state->lock);
    _state->replaceHook = std::move(hook);
}

bool QVSearchRunner::runningSeach() const {
    std::lock_guard guard(_state->lock);
    return _state->runningSearch;
}

bool QVSearchRunner::runningReplace() const {
    std::lock_guard guard(_state->lock);
    return _state->runningReplace;
}

void QVSearchRunner::cancel() {
    std::lock_guard guard(_state->lock);
    _state->searchStoppedBelow = _state->searchBatch + 1;
    _state->replaceStoppedBelow = _state->replaceBatch + 1;
}

void QVSearchRunner::runSearch(const QVSearch& search, int mode) {
    State& s = *_state;
    std::vector<SearchEntry> entries;
    auto documentEntry = [&](const std::shared_ptr<QVSearchDocument>& document) {
        if (!document) return;
        SearchEntry entry;
        entry.search = search;
        entry.path = document->fileName().isEmpty() ? document->displayName() : document->fileName();
        entry.document = document;
        entry.text = document->textSource();
        entry.editor = entry.text.get() != nullptr;
        entries.push_back(std::move(entry));
    };
    auto pathEntry = [&](const QString& path, bool walk) {
        SearchEntry entry;
        entry.search = search;
        entry.path = path;
        entry.walk = walk;
        entries.push_back(std::move(entry));
    };
    switch (mode) {
    case 0: documentEntry(s.scopes->frontDocument()); break;
    case 1:
        if (const QString root = s.scopes->frontProjectRootPath(); !root.isEmpty()) pathEntry(root, true);
        break;
    case 2:
        for (const auto& document : s.scopes->openDocuments()) documentEntry(document);
        break;
    case 3:
        if (s.delegate) {
            for (const QString& path : s.delegate->pathsForSpecificFiles())
                if (!path.isEmpty()) pathEntry(path, FileName::isFolder(path));
        }
        break;
    default: break;
    }
    if (entries.empty()) {
        if (s.delegate) s.delegate->didFinishAllSearches();
        return;
    }
    {
        std::lock_guard guard(s.lock);
        s.searchedTargets.clear();
    }
    s.enqueue(s.searchQueue, s.searchBatch, s.runningSearch, entries, &State::searchBody);
}

void QVSearchRunner::runSearch(const QVSearch& search, const std::shared_ptr<QVSearchDocument>& document) {
    if (!document) return;
    State& s = *_state;
    SearchEntry entry;
    entry.search = search;
    entry.path = document->fileName().isEmpty() ? document->displayName() : document->fileName();
    entry.document = document;
    entry.text = document->textSource();
    entry.editor = entry.text.get() != nullptr;
    std::vector<SearchEntry> entries;
    entries.push_back(std::move(entry));
    s.enqueue(s.searchQueue, s.searchBatch, s.runningSearch, entries, &State::searchBody);
}

void QVSearchRunner::runSearch(const QVSearch& search, const QList<QVSearchResult>& replaces) {
    State& s = *_state;
    // One entry per file, in the order the files first appear; each file's ranges ascending.
    std::vector<ReplaceEntry> entries;
    QHash<QVMultiFileSearchNode*, size_t> entryOfNode;
    for (const QVSearchResult& result : replaces) {
        const auto node = result.parentAs<QVMultiFileSearchNode>();
        if (!node) continue;
        auto it = entryOfNode.find(node.get());
        if (it == entryOfNode.end()) {
            ReplaceEntry entry;
            entry.search = search;
            entry.path = node->path();
            entry.document = node->document();
            entries.push_back(std::move(entry));
            it = entryOfNode.insert(node.get(), entries.size() - 1);
        }
        entries[*it].ranges << result.range();
    }
    for (ReplaceEntry& entry : entries) {
        std::sort(entry.ranges.begin(), entry.ranges.end(),
                  [](const QVRange& a, const QVRange& b) { return a.location < b.location; });
        entry.ranges.erase(std::unique(entry.ranges.begin(), entry.ranges.end(),
                                       [](const QVRange& a, const QVRange& b) {
                                           return a.location == b.location && a.length == b.length;
                                       }),
                           entry.ranges.end());
    }
    if (entries.empty()) {
        if (s.delegate) s.delegate->didFinishAllReplaces();
        return;
    }
    s.enqueue(s.replaceQueue, s.replaceBatch, s.runningReplace, entries, &State::replaceBody);
}

void QVSearchRunner::State::searchBody() {
    // Searching stays in the background of typing: a nicer thread (Linux sets it per thread).
    ::setpriority(PRIO_PROCESS, pid_t(::syscall(SYS_gettid)), 10);
    for (;;) {
        SearchEntry entry;
        {
            std::lock_guard guard(lock);
            // Stopped batches go whole; entries queued after the stop stay.
            while (!searchQueue.empty() && searchQueue.front().batch < searchStoppedBelow) searchQueue.pop_front();
            if (searchQueue.empty()) {
                runningSearch = false;
                break;
            }
            entry = std::move(searchQueue.front());
            searchQueue.pop_front();
        }
        if (entry.walk) walk(entry);
        else searchFile(entry, entry.path, {entry.document, entry.text, entry.editor});
    }
    reportFound();
    onMain([](QVSearchRunnerDelegate& d) { d.didFinishAllSearches(); });
}

void QVSearchRunner::State::searchFile(const SearchEntry& entry, const QString& path, const OpenText& open,
                                       bool skipBinary) {
    QList<QVSearchResult> results;
    QString notSearched;
    qint64 kept = 0;
    // Text that is not ASCII may be missed in a file read in another encoding: such files are named.
    const bool asciiSearch = !mayMatchBeyondAscii(entry.search);
    QString readOtherwise;
    bool fallback = false;
    if (open.editor) {
        QString text;
        QVStringEncoding encoding = 0;
        MainQueue::postAndWait([&] {
            if (QVFullTextSource* source = open.text.get()) source->fillStringWithFullString(text);
            if (const auto document = open.document.lock()) {
                encoding = document->encoding();
                fallback = document->readInFallback();
            }
        });
        results = entry.search.findAllForString(text, true);
        // Bytes of its file that are not UTF-8, kept in the text: its row says so, as the
        // file's closed does.
        if (encoding == TextEncoding::UTF8 && !QStringView(text).isValidUtf16())
            for (qsizetype i = 0; i < text.size(); ++i) {
                const char16_t u = text.at(i).unicode();
                if (QChar::isHighSurrogate(u) && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) ++i;
                else if (u >= FileEncodings::KeptByte + 0x80 && u <= FileEncodings::KeptByte + 0xFF) ++kept;
            }
        if (!asciiSearch && (fallback || (encoding && encoding != TextEncoding::UTF8)))
            readOtherwise = readOtherwiseReason(QString(), encoding, fallback, 0);
    } else {
        if (!firstVisit(path, entry.batch)) return;
        {
            std::lock_guard guard(lock);
            searchedTargets.insert(path, FileName::canonical(path));
        }
        QVStringEncoding encoding = 0;
        bool binary = false;
        QVError error, notice;
        results = entry.search.findAllForPath(path, &encoding, true, &error, skipBinary ? &binary : nullptr, &kept, &notice);
        if (binary) return;
        fallback = notice.domain() == QVError::applicationDomain() && notice.code() == FileEncodings::FallbackEncodingError;
        // encoding is left as it was for a file the search passed over unread.
        if (!asciiSearch && encoding && (fallback || encoding != TextEncoding::UTF8))
            readOtherwise = readOtherwiseReason(path, encoding, fallback,
                                                QVStringEncoding(notice.userInfoValue(FileEncodings::NoticeEncodingKey).toULongLong()));
        if (error.domain() == QVError::posixDomain()) notSearched = QString::fromLocal8Bit(std::strerror(int(error.code())));
    }
    found.push_back({path, open.document, std::move(results), entry.batch, notSearched, false, kept, readOtherwise, fallback});
    if (found.size() >= 64 || std::chrono::steady_clock::now() - lastReport > std::chrono::milliseconds(40)) reportFound();
}

bool QVSearchRunner::State::firstVisit(const QString& path, quint64 batch) {
    if (batch != searchedFilesBatch) {
        searchedFiles.clear();
        searchedFilesBatch = batch;
    }
    const auto identity = identityOf(path);
    if (!identity) return true;  // gone: searched, and reported as what it now is
    if (searchedFiles.contains(*identity)) return false;
    searchedFiles.insert(*identity);
    return true;
}

void QVSearchRunner::State::reportFound() {
    lastReport = std::chrono::steady_clock::now();
    if (found.empty()) return;
    std::vector<Found> batch = std::move(found);
    found.clear();
    MainQueue::postAndWait([this, &batch] {
        for (const Found& f : batch) {
            if (delegate && !f.folder) delegate->willRunSearchForPath(f.path);
            if (delegate && !f.folder) delegate->didRunSearchForPath(f.path, f.document.lock(), f.results);
            if (delegate && !f.notSearched.isEmpty()) delegate->didNotSearchPath(f.path, f.notSearched, f.folder);
            if (delegate && f.keptBytes) delegate->didKeepBytesInPath(f.path, f.keptBytes);
            if (delegate && (f.fallback || !f.readOtherwise.isEmpty()))
                delegate->didReadPathOtherThanUTF8(f.path, f.readOtherwise, f.fallback);
            // A stop asked meanwhile: the file in hand was the last one reported.
            if (searchStopped(f.batch)) break;
        }
    });
}

void QVSearchRunner::State::walk(const SearchEntry& entry) {
    // The open documents once per walk: a file open in an editor is searched in the editor.
    QHash<QString, OpenText> open;
    MainQueue::postAndWait([&] {
        for (const auto& document : scopes->openDocuments()) {
            if (!document || document->fileName().isEmpty()) continue;
            const auto text = document->textSource();
            open.insert(document->fileName(), {document, text, text.get() != nullptr});
        }
    });
    const auto categories = QVFileCategories::sharedCategories();
    const auto root = QVRootFile::create(entry.path, false);
    // Links are followed only where they stay in the tree: a link to a folder or file outside it
    // would search (and let a replace write) what the user never chose.
    const QString tree = FileName::canonical(entry.path);
    QVFileEnumerator enumerator(root);
    // A folder whose entries cannot be read (another account's private folder) hides what it
    // holds: it is named, as a file that cannot be read is, once however many names lead to it
    // (its identity still reads where its entries do not).
    const auto unlisted = [&](const QString& path) {
        if (const int error = enumerator.listingError(); error && firstVisit(path, entry.batch)) {
            found.push_back({path, {}, {}, entry.batch, QString::fromLocal8Bit(std::strerror(error)), true});
        }
    };
    if (enumerator.nextObject()) unlisted(entry.path);  // the folder itself
    while (auto file = enumerator.nextObject()) {
        if (searchStopped(entry.batch)) break;
        const QString path = file->path();
        const QString canonical = FileName::canonical(path);
        // A name listed in a folder that cannot be entered (read but not search permission: a
        // folder after "chmod -R 644", another account's at 0744) leads to nothing this run may
        // read: it is named, as grep and rg name it, rather than passed over.
        if (struct stat st; canonical.isEmpty() && ::lstat(FileName::encode(path).constData(), &st) != 0 && errno != ENOENT) {
            const int error = errno;
            if (file->isFolder()) enumerator.skipDescendants();
            found.push_back({path, {}, {}, entry.batch, QString::fromLocal8Bit(std::strerror(error)), file->isFolder()});
            continue;
        }
        const bool inside = isInside(canonical, tree);
        if (file->isFolder()) {
            if (!inside) enumerator.skipDescendants();
            else unlisted(path);
            continue;
        }
        if (!inside || !file->contentAvailable(false)) continue;
        // A text extension says text; any other file is text unless its first block holds a
        // NUL, which costs one read rather than a file-type probe per file.
        const bool textByName = categories->extension(QVFileCategories::pathExtension(path), QVFileCategoryKindText);
        const auto it = open.constFind(path);
        searchFile(entry, path, it != open.constEnd() ? *it : OpenText(), !textByName);
    }
}

void QVSearchRunner::State::replaceBody() {
    for (;;) {
        ReplaceEntry entry;
        std::vector<QString> stopped;
        bool done = false;
        {
            std::lock_guard guard(lock);
            while (!replaceQueue.empty() && replaceQueue.front().batch < replaceStoppedBelow) {
                stopped.push_back(replaceQueue.front().path);
                replaceQueue.pop_front();
            }
            if (replaceQueue.empty()) {
                runningReplace = false;
                done = true;
            } else {
                entry = std::move(replaceQueue.front());
                replaceQueue.pop_front();
            }
        }
        // A stopped file is listed as left alone, like every other outcome.
        for (const QString& path : stopped) {
            QVReplaceReport left;
            left.path = path;
            left.reason = QStringLiteral("The replace was stopped");
            report(left);
        }
        if (done) {
            commitPending();
            reportWritten();
            break;
        }
        replaceFile(entry);
        if (pendingFull()) commitPending();
    }
    onMain([](QVSearchRunnerDelegate& d) { d.didFinishAllReplaces(); });
}

void QVSearchRunner::State::replaceFile(const ReplaceEntry& entry) {
    QVReplaceReport result;
    result.path = entry.path;
    std::function<void(const QString&)> hook;
    {
        std::lock_guard guard(lock);
        hook = replaceHook;
    }

    // The document open now, which may not be the one the search saw: a file opened since is
    // changed in its editor, never under it on disk.
    std::weak_ptr<QVSearchDocument> document;
    bool inEditor = false;
    QString text;
    quint64 revision = 0;
    QVStringEncoding documentEncoding = 0;
    bool documentInFallback = false;
    MainQueue::postAndWait([&] {
        auto open = entry.document.lock();
        if (!open) open = scopes->documentForPath(entry.path);
        if (!open) return;
        document = open;
        documentEncoding = open->encoding();
        documentInFallback = open->readInFallback();
        if (auto* source = open->textSource().get()) {
            source->fillStringWithFullString(text);
            revision = open->revision();
            inEditor = true;
        }
    });

    if (inEditor) {
        if (hook) hook(entry.path);
        result.inEditor = true;
        // A document read in the fallback takes only ASCII, as the file closed does.
        if (documentInFallback && !std::all_of(entry.ranges.cbegin(), entry.ranges.cend(), [&](const QVRange& range) {
                return isAscii(entry.search.replacementForString(text.mid(range.location, range.length)));
            })) {
            result.reason = openFallbackReason();
            report(result);
            return;
        }
        result.count = replaceVerified(entry.search, entry.ranges, text);
        if (result.count == 0) {
            result.reason = NoMatchInPlace;
            report(result);
            return;
        }
        // The editor's text goes without waiting; the report follows from the main thread, in
        // order before the batch's end.
        MainQueue::post([self = shared_from_this(), document, text = std::move(text), revision, result]() mutable {
            const auto open = document.lock();
            if (open && open->applyReplaceAll(text, revision)) {
                result.outcome = QVReplaceReport::Replaced;
            } else {
                result.reason = QStringLiteral("The text was edited while it was replaced");
                result.count = 0;
            }
            if (self->delegate) self->delegate->didReplaceInPath(result);
        });
        return;
    }

    auto fail = [&](QVReplaceReport::Outcome outcome, const QString& reason) {
        result.outcome = outcome;
        result.reason = reason;
        result.count = 0;
        report(result);
    };
    DiskStamp before;
    bool regular = false;
    if (!stampOf(entry.path, &before, &regular)) return fail(QVReplaceReport::Skipped, QStringLiteral("The file is gone"));
    if (!regular) return fail(QVReplaceReport::Skipped, QStringLiteral("Not a regular file"));
    // The file the search read, and no other: a path whose links now lead elsewhere is left.
    const QString target = FileName::canonical(entry.path);
    std::optional<QString> searched;
    {
        std::lock_guard guard(lock);
        if (const auto it = searchedTargets.constFind(entry.path); it != searchedTargets.constEnd()) searched = *it;
    }
    if (target != searched.value_or(QDir::cleanPath(QFileInfo(entry.path).absoluteFilePath())))
        return fail(QVReplaceReport::Skipped, QStringLiteral("The path leads to another file than the one searched"));
    if (entry.batch != replacedFilesBatch) {
        replacedFiles.clear();
        replacedFilesBatch = entry.batch;
    }
    const QPair<quint64, quint64> identity(quint64(before.device), quint64(before.inode));
    if (replacedFiles.contains(identity)) return fail(QVReplaceReport::Skipped, QStringLiteral("The file was replaced through another path"));
    QByteArray newBytes;
    qsizetype replaced = 0;
    // The encoding the find read the file in: the open document's, else what detection gives.
    const QVStringEncoding detected = documentEncoding ? 0 : FileEncodings::_encodingForPath(entry.path);
    const QVStringEncoding encoding = documentEncoding ? documentEncoding : detected;
    // A detected encoding the bytes are not valid in gave way to the fallback in the find's read.
    const auto held = [&](Utf8Replace done) {
        switch (done) {
        case Utf8Replace::Binary: fail(QVReplaceReport::Skipped, BinaryFile); return true;
        case Utf8Replace::NoMatch: fail(QVReplaceReport::Skipped, NoMatchInPlace); return true;
        case Utf8Replace::DoesNotFit: fail(QVReplaceReport::Skipped, NewTextDoesNotFit); return true;
        case Utf8Replace::Changed: fail(QVReplaceReport::Skipped, ChangedByAnother); return true;
        case Utf8Replace::AsciiOnly:
            fail(QVReplaceReport::Skipped, FileEncodings::declaredEncoding(entry.path)
                                               ? QStringLiteral("not changed: the file is not valid in the encoding it declares")
                                               : QStringLiteral("not changed: the file declares no encoding and is not UTF-8"));
            return true;
        case Utf8Replace::Replaced: stageReplaced(entry, result, before, newBytes, replaced, hook); return true;
        case Utf8Replace::NotUtf8: return false;
        }
        return false;
    };
    if (encoding == TextEncoding::UTF8) {
        if (held(replaceInUtf8(entry.path, encoding, entry.search, entry.ranges, &newBytes, &replaced, &result.keptBytes)))
            return;
        if (detected && held(replaceInSingleBytes(entry.path, TextEncoding::defaultCStringEncoding(), false, true,
                                                  entry.search, entry.ranges, &newBytes, &replaced)))
            return;
    } else if (held(replaceInSingleBytes(entry.path, encoding, detected != 0, false, entry.search, entry.ranges,
                                         &newBytes, &replaced))) {
        return;
    }
    QVError readError;
    std::optional<QByteArray> contents = RegularFile::read(entry.path, &readError);
    if (!contents) return fail(QVReplaceReport::Failed, readError.localizedDescription());
    const QByteArray& data = *contents;
    QVStringEncoding readIn = documentEncoding;
    QVError readNotice;
    auto read = FileEncodings::createWithData(data, entry.path, &readIn, &readNotice);
    if (read && readNotice.code() == FileEncodings::FallbackEncodingError) {
        // Read in the fallback, as the find read it: replaced there, every other byte kept.
        read.reset();
        contents.reset();
        if (held(replaceInSingleBytes(entry.path, TextEncoding::defaultCStringEncoding(), false, true, entry.search,
                                      entry.ranges, &newBytes, &replaced)))
            return;
    }
    if (!read) return fail(QVReplaceReport::Skipped, QStringLiteral("The file is not valid in its encoding"));
    if (isSingleByteOrUTF8(readIn) && data.contains('\0')) return fail(QVReplaceReport::Skipped, BinaryFile);
    const QByteArray mark = byteOrderMark(data);
    const auto same = encodeBack(*read, readIn, mark);
    if (!same || *same != data)
        return fail(QVReplaceReport::Skipped, QStringLiteral("The file would not be written back as it was read"));
    text = std::move(*read);
    contents.reset();  // the bytes are the text's own again: not held beside the new text
    const qsizetype count = replaceVerified(entry.search, entry.ranges, text);
    if (count == 0) return fail(QVReplaceReport::Skipped, NoMatchInPlace);
    const auto bytes = encodeBack(text, readIn, mark);
    if (!bytes) return fail(QVReplaceReport::Skipped, NewTextDoesNotFit);
    stageReplaced(entry, result, before, *bytes, count, hook);
}

void QVSearchRunner::State::stageReplaced(const ReplaceEntry& entry, QVReplaceReport result, const DiskStamp& before,
                                          const QByteArray& bytes, qsizetype count,
                                          const std::function<void(const QString&)>& hook) {
    const auto fail = [&](QVReplaceReport::Outcome outcome, const QString& reason) {
        result.outcome = outcome;
        result.reason = reason;
        report(result);
    };
    if (hook) hook(entry.path);
    DiskStamp now;
    bool regular = false;
    if (!stampOf(entry.path, &now, &regular)) return fail(QVReplaceReport::Skipped, QStringLiteral("The file is gone"));
    if (!(now == before)) return fail(QVReplaceReport::Skipped, ChangedByAnother);
    QVError error;
    Pending staged;
    if (!AtomicFile::stage(entry.path, bytes, &staged.staged, &error, true))
        return fail(QVReplaceReport::Failed, error.localizedDescription());
    result.outcome = QVReplaceReport::Replaced;
    result.count = count;
    if (!staged.staged.temporary.isEmpty()) ++namedPending;
    staged.before = before;
    staged.report = result;
    staged.batch = entry.batch;
    // Held as replaced from here: another path to the same file is left. Only files this run
    // replaces are held, since another writer may give a new file the identity of one it
    // replaced.
    replacedFiles.insert({quint64(before.device), quint64(before.inode)});
    pending.push_back(std::move(staged));
}

void QVSearchRunner::State::commitPending() {
    if (pending.empty()) return;
    QList<AtomicFile::Staged> all, committed;
    for (const Pending& p : pending) all << p.staged;
    // The new contents are durable before any old file is replaced.
    AtomicFile::flush(all);
    std::vector<Pending> done = std::move(pending);
    pending.clear();
    namedPending = 0;
    for (Pending& p : done) {
        // Each file is put in place only over the very file this run read (another run or
        // writer may have written it since, up to the moment it is replaced).
        const auto unchanged = [&](const struct stat& st) {
            return DiskStamp{st.st_dev, st.st_ino, st.st_size, st.st_mtim} == p.before;
        };
        struct stat st {};
        QVError error;
        switch (AtomicFile::commitOver(p.staged, unchanged, &st, &error)) {
        case AtomicFile::Commit::Done:
            committed << p.staged;
            // The old file's identity is free to be reused (another writer's new file may get it
            // at once): the file this run wrote is the one reached through another path now.
            if (p.batch == replacedFilesBatch) {
                replacedFiles.remove({quint64(p.before.device), quint64(p.before.inode)});
                replacedFiles.insert({quint64(st.st_dev), quint64(st.st_ino)});
            }
            written.push_back({{st.st_dev, st.st_ino, st.st_size, st.st_mtim}, p.report,
                               p.staged.inPlace != AtomicFile::InPlace::No
                                   ? QCryptographicHash::hash(p.staged.data, QCryptographicHash::Sha256)
                                   : QByteArray()});
            continue;
        case AtomicFile::Commit::Changed:
            p.report.outcome = QVReplaceReport::Skipped;
            p.report.reason = ChangedByAnother;
            break;
        case AtomicFile::Commit::Failed:
            p.report.outcome = QVReplaceReport::Failed;
            p.report.reason = error.localizedDescription();
            break;
        }
        p.report.count = 0;
        if (p.batch == replacedFilesBatch) replacedFiles.remove({quint64(p.before.device), quint64(p.before.inode)});
        report(p.report);
    }
    AtomicFile::flushFolders(committed);
}

void QVSearchRunner::State::reportWritten() {
    std::vector<Written> all = std::move(written);
    written.clear();
    for (Written& w : all) {
        DiskStamp now;
        bool regular = false;
        if (!stampOf(w.report.path, &now, &regular) || !(now == w.stamp) ||
            (!w.digest.isEmpty() && !holdsDigest(w.report.path, w.stamp, w.digest))) {
            w.report.outcome = QVReplaceReport::Skipped;
            w.report.reason = ChangedAfter;
            w.report.count = 0;
        }
        report(w.report);
    }
}
