// What a file watcher needs of the object it watches: where the file is, a stable key, and a callback.
#pragma once

#include <QString>
#include <QtGlobal>

class QVWatchedFile {
public:
    virtual ~QVWatchedFile() = default;

    // The absolute local path to watch; read once when watching starts or is reset.
    virtual QString path() const = 0;
    // A key unique to the object and stable while it is watched.
    virtual QString uuid() const = 0;
    // The file changed: a set of QVFileWatcherEvent bits. Called on the watcher's own thread;
    // the receiver hands the work to the main thread itself and must not wait for the thread
    // that stops watching it.
    virtual void watcherNoticedChange(quint64 events) = 0;
};
