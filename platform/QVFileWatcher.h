// The watcher a file tree talks to: watch types, the event bits it reports, and its four requests.
#pragma once

#include "platform/QVWatchedFile.h"

#include <QtGlobal>

#include <memory>

// What a watch asks for (the type argument).
using QVFileWatcherType = qint32;
inline constexpr QVFileWatcherType QVFileWatcherTypeWrite = 0;        // writes only
inline constexpr QVFileWatcherType QVFileWatcherTypeWriteRevoke = 1;  // writes and revocation
inline constexpr QVFileWatcherType QVFileWatcherTypeAll = 2;          // (any other value) everything below

// Event bits handed to QVWatchedFile::watcherNoticedChange, numbered as the kernel queue numbers them.
inline constexpr quint64 QVFileWatcherEventDelete = 0x1;   // the file itself was deleted
inline constexpr quint64 QVFileWatcherEventWrite = 0x2;    // its contents (a folder: its entries) changed
inline constexpr quint64 QVFileWatcherEventRename = 0x20;  // the file itself was renamed or moved
inline constexpr quint64 QVFileWatcherEventRevoke = 0x40;  // its file system went away (unmounted)

// The events a watch of the type reports: 0x2, 0x42, or 0x63 for any other type.
constexpr quint64 QVFileWatcherEventsForType(QVFileWatcherType type) {
    switch (type) {
    case QVFileWatcherTypeWrite:
        return QVFileWatcherEventWrite;
    case QVFileWatcherTypeWriteRevoke:
        return QVFileWatcherEventWrite | QVFileWatcherEventRevoke;
    default:
        return QVFileWatcherEventDelete | QVFileWatcherEventWrite | QVFileWatcherEventRename |
               QVFileWatcherEventRevoke;
    }
}

class QVFileWatcher {
public:
    virtual ~QVFileWatcher() = default;

    // Starts watching the object's path with the type. An object already watched (same uuid)
    // keeps its first type and answers true. Answers false, watching nothing, when the path
    // cannot be watched. The object is held weakly: once it is gone it is never called.
    virtual bool watchFile(const std::shared_ptr<QVWatchedFile>& file, QVFileWatcherType type) = 0;
    // Watches a watched object anew on its current path with the type (after the program
    // replaced the file itself). Answers false for an object that is not watched (it is not
    // added), and when the new path cannot be watched (the object then hears nothing until it
    // is stopped and watched again).
    virtual bool resetForFile(const QVWatchedFile* file, QVFileWatcherType type) = 0;
    // Stops watching the object; null or an object not watched changes nothing. Once it returns,
    // the object is never called again and no call to it is still running (except the one the
    // caller may be inside, when called from the callback itself).
    virtual void stopWatchingFile(const QVWatchedFile* file) = 0;
    // Stops watching everything and ends the watcher's thread; later watch requests answer false.
    virtual void destroy() = 0;
};
