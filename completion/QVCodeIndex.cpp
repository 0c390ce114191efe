// The code-index thread: its queue and wake-ups, the walk of folders, and each file's indexing.
#include "completion/QVCodeIndex.h"
#include "platform/Threads.h"

#include "completion/QVCodeIndexDatabase.h"
#include "completion/QVCodeIndexer.h"
#include "platform/FileName.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "shell/Defaults.h"

#include <QDir>
#include <QFile>

#include <set>
#include <utility>

#include <dirent.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

// The folders one walk has expanded, by device and inode. Only the index thread touches it.
struct QVCodeIndex::Walk {
    std::set<std::pair<dev_t, ino_t>> folders;
};

namespace {

// The lowest priority that still gets some time: an idle-class thread could starve for good
// on a busy machine while holding the database.
void lowerThreadPriority() {
    const pid_t thread = pid_t(::syscall(SYS_gettid));
    ::setpriority(PRIO_PROCESS, id_t(thread), 19);
    ::pthread_setname_np(::pthread_self(), "QVCodeIndex");
}

qint64 modificationTime(const struct stat& st) {
    return qint64(st.st_mtim.tv_sec) * 1000000000LL + qint64(st.st_mtim.tv_nsec);
}

}  // namespace

QVCodeIndex& QVCodeIndex::sharedIndex() {
    // Never released: the thread may still be working when the process ends.
    static QVCodeIndex* const index = new QVCodeIndex();
    return *index;
}

QVCodeIndex::QVCodeIndex(const QString& databasePath, UserDefaults* defaults, QVBundleRepository* repository)
    : _database(std::make_unique<QVCodeIndexDatabase>(
          databasePath.isEmpty() ? Defaults::appSupportPathForFile(QStringLiteral("index.db")) : databasePath)),
      _repository(repository),
      _defaults(defaults ? defaults : &UserDefaults::standard()) {
    QVCodeIndexer::registerFactory();
    const QString key = QString::fromLatin1(QVCodeIndexingEnabled);
    _enabled = _defaults->contains(key) ? _defaults->boolForKey(key) : true;
    _enabledObserver = _defaults->addObserver(key, [this](const QString&, const QVariant&, const QVariant& value) {
        setEnabled(value.isValid() ? value.toBool() : true);
    });
}

QVCodeIndex::~QVCodeIndex() {
    _alive->store(false);
    _defaults->removeObserver(_enabledObserver);
    stop();
    _database->close();
}

// ---- the thread -------------------------------------------------------------------------------

void QVCodeIndex::start() {
    std::lock_guard locker(_queueLock);
    if (_thread.joinable()) return;
    _stopping = false;
    _opening = true;
    // Paths queued while no thread ran are taken up at once.
    _wakePending = _wakePending || !_queue.empty();
    _thread = Threads::start("QVCodeIndex", [this] { mainLoop(); });
}

void QVCodeIndex::stop() {
    std::thread thread;
    {
        std::lock_guard locker(_queueLock);
        if (!_thread.joinable()) return;
        _stopping = true;
        thread = std::move(_thread);
    }
    _poker.notify_all();
    thread.join();
    std::lock_guard locker(_queueLock);
    _opening = false;
    _busy = false;
    _idle.notify_all();
}

bool QVCodeIndex::isRunning() const {
    std::lock_guard locker(_queueLock);
    return _thread.joinable() && !_stopping;
}

void QVCodeIndex::pokeIndexer() {
    {
        std::lock_guard locker(_queueLock);
        _wakePending = true;
    }
    _poker.notify_one();
}

bool QVCodeIndex::idleLocked() const {
    return !_opening && !_busy && !_wakePending && (_queue.empty() || !_enabled.load());
}

bool QVCodeIndex::waitUntilIdle(int timeoutMilliseconds) {
    std::unique_lock locker(_queueLock);
    if (!_thread.joinable()) return _queue.empty();
    return _idle.wait_for(locker, std::chrono::milliseconds(timeoutMilliseconds), [this] { return idleLocked(); });
}

qsizetype QVCodeIndex::queueCount() const {
    std::lock_guard locker(_queueLock);
    return qsizetype(_queue.size());
}

void QVCodeIndex::mainLoop() {
    lowerThreadPriority();
    _database->open();
    {
        std::lock_guard locker(_queueLock);
        _opening = false;
    }
    _idle.notify_all();

    for (;;) {
        {
            std::unique_lock locker(_queueLock);
            _poker.wait(locker, [this] { return _stopping || _wakePending; });
            if (_stopping) break;
            _wakePending = false;
        }
        // A database that could not be set up is tried again at every wake-up, so the index
        // comes back once the cause is gone.
        if (!_database->isOpen()) _database->open();
        QStringList indexed;
        for (;;) {
            Entry entry;
            {
                std::lock_guard locker(_queueLock);
                if (_stopping || !_enabled.load() || _queue.empty()) break;
                entry = std::move(_queue.front());
                _queue.pop_front();
                _busy = true;
            }
            if (processFile(entry)) indexed.append(entry.path);
            if (_database->batchIsDue()) commitIndexed(indexed);
            {
                std::lock_guard locker(_queueLock);
                _busy = !indexed.isEmpty();
            }
        }
        commitIndexed(indexed);
        {
            std::lock_guard locker(_queueLock);
            _busy = false;
        }
        _idle.notify_all();
    }
}

// ---- the queue --------------------------------------------------------------------------------

void QVCodeIndex::enqueue(const QString& path) {
    if (path.isNull()) return;
    {
        std::lock_guard locker(_queueLock);
        _queue.push_back(Entry{QDir::cleanPath(path), nullptr});
    }
    pokeIndexer();
}

void QVCodeIndex::indexFile(const QString& path) { enqueue(path); }

// The folder itself is queued: the thread lists it, so the caller does no file-system work.
void QVCodeIndex::indexDirectory(const QString& path) { enqueue(path); }

bool QVCodeIndex::skipsPath(const QString& path) {
    if (path.endsWith(QLatin1String(".svn")) || path.endsWith(QLatin1String("CVS"))) return true;
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    return QStringView(path).sliced(slash + 1).startsWith(QLatin1String(".tmp_Qorvel"));
}

void QVCodeIndex::addDirectoryFilesToQueue(const QString& folder, const std::shared_ptr<Walk>& walk) {
    const QByteArray name = FileName::encode(folder);
    DIR* directory = ::opendir(name.constData());
    if (!directory) return;
    std::deque<Entry> entries;
    const QString prefix = folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
    while (const dirent* entry = ::readdir(directory)) {
        const char* child = entry->d_name;
        if (child[0] == '.' && (child[1] == 0 || (child[1] == '.' && child[2] == 0))) continue;
        entries.push_back(Entry{prefix + FileName::decode(child), walk});
    }
    ::closedir(directory);
    std::lock_guard locker(_queueLock);
    for (Entry& entry : entries) _queue.push_back(std::move(entry));
}

void QVCodeIndex::commitIndexed(QStringList& indexed) {
    const bool kept = _database->commitBatch();
    if (kept) {
        for (const QString& path : std::as_const(indexed))
            postInvalidated({{QString::fromLatin1(QVFileIndexInvalidatedPathKey), path}});
    }
    indexed.clear();
}

void QVCodeIndex::postInvalidated(const QVariantMap& userInfo) {
    MainQueue::post([this, alive = _alive, userInfo] {
        if (alive->load())
            NotificationCenter::defaultCenter().post(QString::fromLatin1(QVFileIndexInvalidated), this, userInfo);
    });
}

bool QVCodeIndex::processFile(const Entry& entry) {
    const QString& path = entry.path;
    if (skipsPath(path)) return false;
    struct stat st;
    if (::stat(FileName::encode(path).constData(), &st) != 0) return false;

    if (S_ISDIR(st.st_mode)) {
        const std::shared_ptr<Walk> walk = entry.walk ? entry.walk : std::make_shared<Walk>();
        if (!walk->folders.emplace(st.st_dev, st.st_ino).second) return false;
        addDirectoryFilesToQueue(path, walk);
        return false;
    }
    if (!S_ISREG(st.st_mode)) return false;

    const std::shared_ptr<QVCodeIndexer> indexer = QVCodeIndexer::indexerForPath(path, _repository);
    if (!indexer) return false;
    // A new file's row is made with its keys, in its transaction.
    const std::optional<QVCodeIndexDatabase::FileInfo> info = _database->fileInfoForPath(path, false);
    if (!info) return false;
    const qint64 modified = modificationTime(st);
    if (info->lastUpdate && *info->lastUpdate == modified) return false;

    // The rules run without the database: only the writes below hold it.
    const std::optional<QVCodeIndexer::Output> output = indexer->runOnFile(path, _repository);
    if (!output) return false;
    if (!_database->inBatch()) _database->beginBatch();
    return _database->replaceFile(path, info->id, *output, modified);
}

// ---- queries and the switch -------------------------------------------------------------------

std::optional<QList<QVCodeIndexKey>> QVCodeIndex::keysForType(const QString& type, const QString& keyClass,
                                                              const QString& file) {
    if (!_enabled.load()) return std::nullopt;
    return _database->keysForType(type, keyClass, file.isNull() ? file : QDir::cleanPath(file));
}

void QVCodeIndex::setEnabled(bool enabled) {
    if (_enabled.exchange(enabled) == enabled) return;
    const QString key = QString::fromLatin1(QVCodeIndexingEnabled);
    // The observer of the default calls back here with the same value, which changes nothing.
    if (!_defaults->contains(key) || _defaults->boolForKey(key) != enabled) _defaults->setBool(enabled, key);
    if (enabled) {
        postInvalidated({});
        pokeIndexer();
    }
}
