// Files a run makes among the user's own and removes itself when done (the preview's copy of a
// typed text beside its page). Each is marked with an extended attribute of the run's, and
// named in a record in a folder of the run's (RunFolder), so that the next launch finds what a
// killed run left and removes it, and never a user's file that took the name since: it goes
// only while it is the same file (device and inode) with the same mark, made when it was made
// (its birth time, where the file system keeps one) or else as the run last wrote it (size and
// change time). A copy made with its attributes (`cp -a`) repeats the mark, and a new file
// may get a freed inode: neither repeats a birth or change time.
//
// Main thread only.
#pragma once

#include <QString>

class OwnFiles {
public:
    // Where the runs' records are.
    static QString location();
    // A file the run has just made at path (and holds open).
    static void made(const QString& path);
    // The run has written to it (its size and change time are then the file's).
    static void written(const QString& path);
    // The run removed it (or let it go): its record goes.
    static void removed(const QString& path);
    // Removes what runs that ended without clearing up left, and their records; answers how many
    // files went.
    static int removeLeftovers();
    // The run quits: what it made and did not remove goes, and its records with their folder.
    static void finish();
};
