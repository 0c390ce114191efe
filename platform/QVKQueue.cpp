// The inotify watcher: registrations keyed by uuid, one reader thread, callbacks that never outlive a stop.
#include "platform/QVKQueue.h"
#include "platform/FileName.h"
#include "platform/Threads.h"

#include "platform/SystemLog.h"

#include <QFile>
#include <QHash>
#include <QStringList>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// Everything any watch type can report; each object's own type filters afterwards, so objects
// that share an inode (two objects, one path) share one kernel registration.
constexpr uint32_t kWatchMask = IN_MODIFY | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                IN_DELETE_SELF | IN_MOVE_SELF;

// The thread waits at most this long, so it would notice _die even without the wake-up.
constexpr int kWaitMilliseconds = 30 * 1000;

// Batches are delivered after at most this many reads, so a storm cannot hold callbacks back.
constexpr int kReadsPerBatch = 16;

// The thread's niceness: well below interactive work (a priority of about 0.1 on a 0-1 scale).
constexpr int kThreadNice = 10;

quint64 eventsFor(const inotify_event* event) {
    quint64 bits = 0;
    if (event->len > 0) {
        // An event about an entry of a watched folder: only a change of the entry list writes
        // the folder.
        if (event->mask & (IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO)) bits |= QVFileWatcherEventWrite;
        return bits;
    }
    if (event->mask & IN_MODIFY) bits |= QVFileWatcherEventWrite;
    if (event->mask & IN_DELETE_SELF) bits |= QVFileWatcherEventDelete;
    if (event->mask & IN_MOVE_SELF) bits |= QVFileWatcherEventRename;
    if (event->mask & IN_UNMOUNT) bits |= QVFileWatcherEventRevoke;
    return bits;
}

// The type name of the mount holding the path ("fuse.sshfs"), from /proc/self/mountinfo.
QString mountTypeOf(const QString& path) {
    struct stat st;
    if (::stat(FileName::encode(path).constData(), &st) != 0) return {};
    const QByteArray device = QByteArray::number(major(st.st_dev)) + ':' + QByteArray::number(minor(st.st_dev));
    QFile mountinfo(QStringLiteral("/proc/self/mountinfo"));
    if (!mountinfo.open(QIODevice::ReadOnly)) return {};
    // "36 35 98:0 /root /mnt rw,noatime master:1 - fuse.sshfs host:/dir rw,..."
    for (const QByteArray& line : mountinfo.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() < 3 || fields[2] != device) continue;
        const int separator = fields.indexOf("-");
        if (separator >= 0 && separator + 1 < fields.size()) return QString::fromUtf8(fields[separator + 1]);
    }
    return {};
}

}  // namespace

// One watched object's registration: the inotify watch descriptor stands where the kernel queue
// kept an event-only file descriptor.
struct QVKQueueFile {
    int _fd = -1;  // -1: no kernel registration
    std::weak_ptr<QVWatchedFile> object;
    quint64 events = 0;
    quint64 serial = 0;  // tells this registration from an earlier one of the same uuid
};

struct QVKQueue::State {
    int _queueFD = -1;  // the inotify instance; -1 once closed
    int wakeFD = -1;    // an eventfd that ends the thread's wait at once
    std::mutex _lock;   // guards everything below
    QHash<QString, QVKQueueFile> _watchedFiles;
    QHash<int, QStringList> uuidsByDescriptor;
    std::atomic<bool> _die{false};
    std::thread::id thread;
    QString delivering;  // the uuid whose callback is running; empty when none
    std::condition_variable deliveryEnded;
    quint64 nextSerial = 1;

    ~State() {
        if (_queueFD >= 0) ::close(_queueFD);
        if (wakeFD >= 0) ::close(wakeFD);
    }

    bool addLocked(const QString& uuid, const QString& path, QVKQueueFile& entry) {
        if (_queueFD < 0) return false;
        const int wd = ::inotify_add_watch(_queueFD, FileName::encode(path).constData(), kWatchMask);
        if (wd < 0) return false;
        entry._fd = wd;
        QStringList& sharing = uuidsByDescriptor[wd];
        if (!sharing.contains(uuid)) sharing.append(uuid);
        return true;
    }

    void removeFromQueueLocked(const QString& uuid, QVKQueueFile& entry) {
        if (entry._fd < 0) return;
        auto it = uuidsByDescriptor.find(entry._fd);
        if (it != uuidsByDescriptor.end()) {
            it->removeAll(uuid);
            if (it->isEmpty()) {
                uuidsByDescriptor.erase(it);
                if (_queueFD >= 0) ::inotify_rm_watch(_queueFD, entry._fd);
            }
        }
        entry._fd = -1;
    }

    // Waits until no callback to the uuid (any callback, when empty) is running, unless the caller
    // is that callback's own thread.
    void waitForDeliveryLocked(std::unique_lock<std::mutex>& locker, const QString& uuid) {
        if (std::this_thread::get_id() == thread) return;
        deliveryEnded.wait(locker, [&] {
            return delivering.isEmpty() || (!uuid.isEmpty() && delivering != uuid);
        });
    }

    void wake() {
        const uint64_t one = 1;
        if (wakeFD >= 0) {
            ssize_t written;
            do {
                written = ::write(wakeFD, &one, sizeof one);
            } while (written < 0 && errno == EINTR);
        }
    }

    struct Pending {
        QString uuid;
        quint64 serial;
        quint64 events;
    };

    void note(std::vector<Pending>& pending, QHash<QString, int>& index, const QString& uuid,
              const QVKQueueFile& entry, quint64 bits) {
        bits &= entry.events;
        if (!bits) return;
        auto it = index.constFind(uuid);
        if (it != index.constEnd() && pending[*it].serial == entry.serial) {
            pending[*it].events |= bits;
            return;
        }
        index.insert(uuid, int(pending.size()));
        pending.push_back({uuid, entry.serial, bits});
    }

    // Reads what the kernel has queued and turns it into one entry per object.
    std::vector<Pending> readBatch() {
        std::vector<Pending> pending;
        QHash<QString, int> index;
        alignas(inotify_event) char buffer[64 * 1024];
        bool overflowed = false;
        for (int reads = 0; reads < kReadsPerBatch; ++reads) {
            const ssize_t length = ::read(_queueFD, buffer, sizeof buffer);
            if (length < 0 && errno == EINTR) continue;
            if (length <= 0) break;
            std::lock_guard<std::mutex> locker(_lock);
            for (ssize_t offset = 0; offset + ssize_t(sizeof(inotify_event)) <= length;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
                offset += ssize_t(sizeof(inotify_event) + event->len);
                if (event->mask & IN_Q_OVERFLOW) {
                    overflowed = true;
                    continue;
                }
                const auto sharing = uuidsByDescriptor.constFind(event->wd);
                if (sharing == uuidsByDescriptor.constEnd()) continue;  // stopped meanwhile: dropped
                const quint64 bits = eventsFor(event);
                for (const QString& uuid : *sharing) {
                    auto entry = _watchedFiles.constFind(uuid);
                    if (entry != _watchedFiles.constEnd() && entry->_fd == event->wd)
                        note(pending, index, uuid, *entry, bits);
                }
                if (event->mask & IN_IGNORED) {
                    // The kernel dropped the registration (file deleted, file system unmounted).
                    for (const QString& uuid : *sharing) {
                        auto entry = _watchedFiles.find(uuid);
                        if (entry != _watchedFiles.end() && entry->_fd == event->wd) entry->_fd = -1;
                    }
                    uuidsByDescriptor.remove(event->wd);
                }
            }
        }
        if (overflowed) {
            SystemLog::warning(QStringLiteral("file watcher: kernel event queue overflowed; reporting every watched file as changed"));
            std::lock_guard<std::mutex> locker(_lock);
            for (auto it = _watchedFiles.constBegin(); it != _watchedFiles.constEnd(); ++it)
                note(pending, index, it.key(), *it, QVFileWatcherEventWrite);
        }
        return pending;
    }

    void deliver(const std::vector<Pending>& pending) {
        for (const Pending& p : pending) {
            std::shared_ptr<QVWatchedFile> target;
            {
                std::lock_guard<std::mutex> locker(_lock);
                if (_die) return;
                auto entry = _watchedFiles.find(p.uuid);
                if (entry == _watchedFiles.end() || entry->serial != p.serial) continue;
                target = entry->object.lock();
                if (!target) {
                    // The object went away without stopping; forget it.
                    removeFromQueueLocked(p.uuid, *entry);
                    _watchedFiles.erase(entry);
                    continue;
                }
                delivering = p.uuid;
            }
            target->watcherNoticedChange(p.events);
            target.reset();  // may be the last reference: the object's tear-down runs here, unlocked
            {
                std::lock_guard<std::mutex> locker(_lock);
                delivering.clear();
            }
            deliveryEnded.notify_all();
        }
    }

    void mainLoop() {
        {
            std::lock_guard<std::mutex> locker(_lock);
            thread = std::this_thread::get_id();
        }
        ::pthread_setname_np(::pthread_self(), "QVKQueue");
        ::setpriority(PRIO_PROCESS, ::gettid(), kThreadNice);
        while (!_die) {
            pollfd fds[2] = {{_queueFD, POLLIN, 0}, {wakeFD, POLLIN, 0}};
            const int ready = ::poll(fds, 2, kWaitMilliseconds);
            if (_die) break;
            if (ready <= 0) continue;  // time-out or error: nothing to deliver, wait again
            if (fds[1].revents & POLLIN) {
                uint64_t count;
                (void)!::read(wakeFD, &count, sizeof count);
            }
            if (fds[0].revents & POLLIN) deliver(readBatch());
        }
        std::lock_guard<std::mutex> locker(_lock);
        if (_queueFD >= 0) {
            ::close(_queueFD);
            _queueFD = -1;
        }
    }
};

std::unique_ptr<QVKQueue> QVKQueue::create(QVError* error) {
    auto state = std::make_shared<State>();
    state->_queueFD = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (state->_queueFD < 0) {
        qvSetError(error, QVError::posix(errno, QStringLiteral("inotify_init1")));
        return nullptr;
    }
    state->wakeFD = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (state->wakeFD < 0) {
        qvSetError(error, QVError::posix(errno, QStringLiteral("eventfd")));
        return nullptr;
    }
    std::unique_ptr<QVKQueue> watcher(new QVKQueue(state));
    try {
        watcher->_thread = Threads::start("QVKQueue", [state] { state->mainLoop(); });
    } catch (const std::system_error& e) {
        qvSetError(error, QVError::posix(e.code().value(), QStringLiteral("starting the file watcher thread")));
        return nullptr;
    }
    return watcher;
}

QVKQueue::QVKQueue(std::shared_ptr<State> state) : _state(std::move(state)) {}

QVKQueue::~QVKQueue() {
    destroy();
    if (!_thread.joinable()) return;
    if (std::this_thread::get_id() == _thread.get_id())
        _thread.detach();  // the thread holds the state and ends after this callback returns
    else
        _thread.join();
}

bool QVKQueue::watchFile(const std::shared_ptr<QVWatchedFile>& file, QVFileWatcherType type) {
    if (!file) return false;
    const QString path = file->path();
    const QString uuid = file->uuid();
    if (path.isEmpty() || uuid.isEmpty()) return false;
    {
        std::lock_guard<std::mutex> locker(_state->_lock);
        if (_state->_die) return false;
        if (_state->_watchedFiles.contains(uuid)) return true;  // the first type wins
    }
    if (isOnNetworkVolume(path)) return false;

    std::lock_guard<std::mutex> locker(_state->_lock);
    if (_state->_die) return false;
    if (_state->_watchedFiles.contains(uuid)) return true;
    QVKQueueFile entry;
    entry.object = file;
    entry.events = QVFileWatcherEventsForType(type);
    entry.serial = _state->nextSerial++;
    if (!_state->addLocked(uuid, path, entry)) return false;
    _state->_watchedFiles.insert(uuid, entry);
    return true;
}

bool QVKQueue::resetForFile(const QVWatchedFile* file, QVFileWatcherType type) {
    if (!file) return false;
    const QString path = file->path();
    const QString uuid = file->uuid();
    const bool network = isOnNetworkVolume(path);
    std::lock_guard<std::mutex> locker(_state->_lock);
    auto entry = _state->_watchedFiles.find(uuid);
    if (entry == _state->_watchedFiles.end()) return false;
    _state->removeFromQueueLocked(uuid, *entry);
    // Events of the old registration that are read but not yet delivered are dropped: they
    // describe the file the program itself just replaced.
    entry->serial = _state->nextSerial++;
    if (network || path.isEmpty()) return false;
    if (!_state->addLocked(uuid, path, *entry)) return false;
    entry->events = QVFileWatcherEventsForType(type);
    return true;
}

void QVKQueue::stopWatchingFile(const QVWatchedFile* file) {
    if (!file) return;
    const QString uuid = file->uuid();
    std::unique_lock<std::mutex> locker(_state->_lock);
    auto entry = _state->_watchedFiles.find(uuid);
    if (entry == _state->_watchedFiles.end()) return;
    _state->removeFromQueueLocked(uuid, *entry);
    _state->_watchedFiles.erase(entry);
    _state->waitForDeliveryLocked(locker, uuid);
}

void QVKQueue::destroy() {
    std::unique_lock<std::mutex> locker(_state->_lock);
    for (auto it = _state->_watchedFiles.begin(); it != _state->_watchedFiles.end(); ++it)
        _state->removeFromQueueLocked(it.key(), *it);
    _state->_watchedFiles.clear();
    _state->_die = true;
    _state->wake();
    _state->waitForDeliveryLocked(locker, {});
}

bool QVKQueue::isOnNetworkVolume(const QString& path) {
    struct statfs info;
    if (::statfs(FileName::encode(path).constData(), &info) != 0) return false;
    const quint64 type = quint64(info.f_type) & 0xFFFFFFFFu;
    return isNetworkFileSystem(type, type == 0x65735546u ? mountTypeOf(path) : QString());
}

bool QVKQueue::isNetworkFileSystem(quint64 statfsType, const QString& mountType) {
    switch (statfsType & 0xFFFFFFFFu) {
    // The network file systems' statfs magic numbers.
    case 0x6969:
    case 0x517B:
    case 0xFF534D42:
    case 0xFE534D42:
    case 0x5346414F:
    case 0x6B414653:
    case 0x73757245:
    case 0x564C:
    case 0x01021997:
    case 0x00C36400:
        return true;
    case 0x65735546: {  // FUSE: it depends on the client behind the mount
        static const QStringList networkClients = {
            QStringLiteral("sshfs"),    QStringLiteral("curlftpfs"),  QStringLiteral("s3fs"),
            QStringLiteral("rclone"),   QStringLiteral("gcsfuse"),    QStringLiteral("glusterfs"),
            QStringLiteral("gvfsd-fuse"), QStringLiteral("smbnetfs"), QStringLiteral("davfs"),
        };
        QString client = mountType;
        if (client.startsWith(QLatin1String("fuse."))) client = client.mid(5);
        return networkClients.contains(client);
    }
    default:
        return false;
    }
}
