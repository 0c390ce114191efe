// Atomic replacement of a file: temporary file in the same folder, fsync, rename.
#pragma once

#include "platform/QVError.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

#include <functional>

#include <sys/stat.h>

class AtomicFile {
public:
    // Writes data to path so that readers see either the old file or the whole new one.
    // The temporary file is created beside the path, given the old file's owner and group, its
    // data and its permission mode (a new file gets 0666 minus the umask, as any created file),
    // flushed to disk and renamed over the path; the folder is synced. A chain of symbolic links
    // is followed as open() follows it: the last target is written (created where it is missing)
    // and every link stays; a chain that never ends is refused (ELOOP). A file the caller may
    // not write is refused (renaming over it would bypass its permissions), as is a folder and
    // anything but a regular file (a named pipe, a socket, a device), which is never waited on.
    // On failure the old file is untouched, the temporary file is removed and the error
    // (posixDomain(), errno as code) says why: full disk, no permission, missing folder...
    //
    // The old file's extended attributes go to the new one, its POSIX ACL among them; then
    // extraAttributes (name to value, e.g. "user.…") are set. An attribute the file system or
    // the caller's rights refuse is skipped: attributes never fail a write. What a write into the
    // file by anyone but the superuser would clear, the new one does not get: set-user-id,
    // set-group-id with group execute, and file capabilities.
    //
    // A file the caller may write is written in place instead (not atomic: a crash midway leaves
    // the new text's start over the old text's end) where its folder refuses a temporary file or
    // lets no name in it be removed (append-only), where it has other hard links (a rename would
    // split them off), where the caller cannot give a new file its owner and group, and where the
    // file system will not give a new file the old one's mode (a FUSE mount that denies chmod, or
    // one that says yes and keeps its own mode);
    // its new size is reserved first where the file system can, so that a full disk fails before
    // the old contents are touched; inPlace tells, and why says which. The temporary file is unnamed
    // (O_TMPFILE) until it is renamed over the file, where the file system allows: a killed
    // write leaves nothing.
    // Elsewhere it is named ".tmp_Qorvel-save-<pid>-<boot>-<6 letters>" (hidden in the outline;
    // <boot> tells this boot of this machine), and one a killed write left is removed at the first
    // write in its folder once its process is gone: at once when it was made in this boot, else
    // once it has not changed for ten minutes (another machine sharing the folder may be writing it).
    //
    // deferredFolder: the caller syncs the folder itself (syncFolder(), once for many files in
    // it, where a folder sync costs more than the rest of a small write); the folder to sync is
    // stored there. The contents are synced before the rename all the same.
    enum class InPlace { No, FolderRefusesTemporary, OtherLinks, OwnerOrGroup, FolderKeepsNames, Permissions };
    static bool write(const QString& path, const QByteArray& data, QVError* error = nullptr,
                      const QMap<QByteArray, QByteArray>& extraAttributes = {}, bool* inPlace = nullptr,
                      QString* deferredFolder = nullptr, InPlace* why = nullptr);
    // The file a write of path lands in, named as write() finds it: every link followed as open()
    // follows it, the folder resolved, the last target given where it is missing. Empty where no
    // write could land (a loop of links, a name ending in a folder).
    static QString target(const QString& path);
    // Moves a damaged file out of the way under "<path>.bad", or ".bad2", ".bad3"... where that is
    // taken: a name already there is never replaced, so every copy set aside is kept. Answers the
    // new path, or empty (error says why) with the file left where it was.
    static QString setAside(const QString& path, QVError* error = nullptr);
    // Makes the renames in folder durable; a folder that cannot be synced is no failure.
    static void syncFolder(const QString& folder);

    // Many files at once with one flush for all, by the rule write() follows: stage() writes
    // each new file beside its old one (as write() does, mode, owner, group and attributes kept)
    // without flushing it, unnamed and held open where asked and the file system allows (a run
    // killed meanwhile leaves nothing), else under a name of ours; or, where write() would write the file in place, keeps the data for commit() to write
    // in place (inPlace says why). flush() makes every staged file durable with one sync of their
    // file systems; commit() then renames one over its path (or writes it in place, flushed), and
    // discard() removes it instead; each is called once per staged file, which closes what it
    // holds. flushFolders() makes the renames durable. A file system holding one staged file
    // gets that file synced alone rather than the whole file system.
    // flush() answers false when a sync failed (the staged files may not be on disk).
    struct Staged {
        QString path;           // as given
        QByteArray target;      // the file renamed over (a link's target)
        QByteArray temporary;   // a named staged file; empty when unnamed or written in place
        int descriptor = -1;    // an unnamed staged file, open until commit() or discard()
        InPlace inPlace = InPlace::No;
        QByteArray data;        // in place: what commit() writes
    };
    // unnamed: the caller bounds how many it holds (a descriptor each); else every file is named.
    static bool stage(const QString& path, const QByteArray& data, Staged* staged, QVError* error = nullptr,
                      bool unnamed = false);
    // Tests: stage() names its files, as on a file system without unnamed files.
    static void setStagesNamed(bool named);
    static bool flush(const QList<Staged>& staged);
    static bool commit(const Staged& staged, QVError* error = nullptr);
    // commit() where other writers may put their own file at the path meanwhile (another run,
    // another account's editor): the staged file takes the old one's place only while the old
    // one is still the file unchanged() accepts, checked on the very file it displaced. The two
    // change places in one step (RENAME_EXCHANGE) and change back when the displaced one was
    // not it; a file system without the exchange gets the check just before a plain rename, and
    // a file written in place the check just before its write. No lock: nothing is left behind
    // by a run killed at any point but what commit() leaves. written gets the new file's status
    // as it stands on disk (its identity, size and modification time), to tell later whether
    // it is still there. Changed: another file was in place, and stays there.
    enum class Commit { Done, Changed, Failed };
    static Commit commitOver(const Staged& staged, const std::function<bool(const struct stat&)>& unchanged,
                             struct stat* written, QVError* error = nullptr);
    static void discard(const Staged& staged);
    static void flushFolders(const QList<Staged>& staged);

    // How many syncs (of a file, a folder or a file system) this process asked for so far: what
    // a batch costs in syncs can be counted.
    static quint64 syncCount();
    // How many temporary files this process created so far (each write or stage makes one).
    static quint64 temporaryCount();
};
