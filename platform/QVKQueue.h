// Watches files and folders for outside changes with inotify, on one thread per watcher.
//
// One watcher serves one file tree. Each watched object gets one kernel registration on the
// inode behind its path at the time it was watched (a file renamed keeps being watched; a file
// replaced by another at the same path is not, until the object is reset). Kernel events are
// read on the watcher's thread, coalesced per object for each batch read, and translated:
//
//   write   (0x2)  the file's contents were modified; for a folder, an entry was created,
//                  deleted, or moved in or out (changes inside a child file are not writes of
//                  the folder)
//   delete  (0x1)  the file itself was deleted (its last link removed)
//   rename  (0x20) the file itself was renamed or moved
//   revoke  (0x40) its file system was unmounted
//
// An object hears only the bits its watch type asks for (QVFileWatcherEventsForType). One
// callback carries every bit of one batch, so a single change is reported once. When the kernel
// queue overflows and events were lost, every watched object hears a write, so its owner re-reads
// what it shows. After a deletion or unmount the kernel drops the registration: the object stays
// in the table but hears nothing more until it is stopped and watched again.
//
// Paths on network file systems are never watched (watchFile answers false): inotify sees only
// the changes this machine makes there. See isNetworkFileSystem for the list.
#pragma once

#include "platform/QVError.h"
#include "platform/QVFileWatcher.h"

#include <QString>

#include <memory>
#include <thread>

class QVKQueue final : public QVFileWatcher {
public:
    // A running watcher; null with *error set when the kernel gives no inotify instance or no thread.
    static std::unique_ptr<QVKQueue> create(QVError* error = nullptr);
    // Destroys (as destroy()) and waits for the thread; on the watcher's own thread (the last
    // owner let go inside a callback) the thread is left to end by itself.
    ~QVKQueue() override;

    bool watchFile(const std::shared_ptr<QVWatchedFile>& file, QVFileWatcherType type) override;
    bool resetForFile(const QVWatchedFile* file, QVFileWatcherType type) override;
    void stopWatchingFile(const QVWatchedFile* file) override;
    void destroy() override;

    // Whether the path lies on a network file system (statfs type, and the mount's type name for
    // FUSE). False when statfs fails: such a path is watched.
    static bool isOnNetworkVolume(const QString& path);
    // The rule behind it. Network types by statfs magic number: 0x6969, 0x517B, 0xFF534D42,
    // 0xFE534D42, 0x5346414F, 0x6B414653, 0x73757245, 0x564C, 0x01021997 and 0x00C36400. FUSE
    // (0x65735546) counts as network when the mount type names a network client: fuse.sshfs, fuse.curlftpfs, fuse.s3fs, fuse.rclone,
    // fuse.gcsfuse, fuse.glusterfs, fuse.gvfsd-fuse, fuse.smbnetfs, fuse.davfs (or davfs).
    static bool isNetworkFileSystem(quint64 statfsType, const QString& mountType);

    QVKQueue(const QVKQueue&) = delete;
    QVKQueue& operator=(const QVKQueue&) = delete;

private:
    struct State;
    explicit QVKQueue(std::shared_ptr<State> state);

    std::shared_ptr<State> _state;  // shared with the thread, which keeps it alive while it runs
    std::thread _thread;
};
