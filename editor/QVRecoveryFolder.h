// Unsaved texts kept outside the user's files, so that a crash, a kill or a logout costs at most
// the last interval's typing. Each run keeps the texts of its edited documents in a folder of its
// own under the application-support folder ("Recovery/<run>", closed to other users), never
// beside the file and never uploaded; where that folder cannot be written, in the same kind of
// folder under the cache folder, else under the runtime folder (fallbackLocations()), the
// windows saying so while it lasts: every QVAutoSave seconds while that is above 0, and once
// more whatever it says when the session ends the run (keepForNextLaunch). A text is dropped when
// its document is saved or closed, and the run's folder goes when Qorvel quits normally. A
// folder whose run has ended otherwise (its lock is free) is what the next launch offers back.
//
// Main thread only.
#pragma once

#include "platform/RunFolder.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <map>
#include <memory>
#include <vector>

class QTimer;
class QVFileDocument;
class QVTextStorage;

class QVRecoveryFolder {
public:
    // One kept text: the document's file (empty for an untitled text), its name and its text;
    // the file's size and modification time (nanoseconds) when the text was kept over it, -1 when
    // unknown; the file the name led to then (its links followed; empty when unknown); the
    // encoding (0: unknown) and line-break name ("Unix", "DOS", "Mac") it was saved in; the
    // site project's folder when the document was a file of one; the run's folder it was found
    // in, and when its text was last found changed (milliseconds since 1970, -1: unknown); the
    // device and inode of the file, which a link put in place may still lead to.
    struct Text {
        QString path;
        QString name;
        QString text;
        qint64 size = -1, modified = -1;
        QString leadsTo;
        quint64 encoding = 0;
        QString lineBreak;
        QString siteProject;
        QString folder;
        qint64 keptAt = 0;
        quint64 device = 0, inode = 0;  // of the file the name led to then (0: unknown)
    };
    // What runs that ended without quitting left: their folders and texts.
    struct LeftBehind {
        QStringList folders;
        QList<Text> texts;
    };

    static QVRecoveryFolder& shared();
    // The folder holding every run's folder.
    static QString location();
    // Where texts go when location() cannot be written, in order: one that survives a logout
    // (the cache folder), then the runtime folder.
    static QStringList fallbackLocations();

    // Starts keeping texts on QVAutoSave's interval, following the setting from then on. The
    // run's folder is made with the first text it keeps.
    void start();
    // Writes the text of every edited document changed since it was last kept; drops the text of
    // a document no longer edited. A text the recovery folder cannot take goes to the first
    // fallback location that can, and every window keeps a notice saying so and why until the
    // folder takes texts again. False when a text could be written nowhere (said the same way).
    bool keepEditedDocuments();
    // The run ends without asking its windows (the session is ending): every edited text is
    // kept, and stays kept through the windows' teardown. False (and said in the window
    // whatever was said before) when a text could not be written.
    bool keepForNextLaunch();
    // The run ends: its folder goes (unless keepForNextLaunch() came first, then it stays for
    // the next launch); a later start() begins a run of its own.
    void finish();

    // The folders of runs no running Qorvel holds (in every location), and the texts in them,
    // the newest kept first. Folders with no text are removed on the way.
    LeftBehind leftBehind() const;
    // Removes the folders, but for those listed in keep.
    static void remove(const LeftBehind& leftBehind, const QStringList& keep = {});

    // The folder of the open site project whose window holds the file at a path, empty for
    // none (the application's projects are beyond the editor).
    void setSiteProjectFinder(std::function<QString(const QString& path)> finder) { _siteProject = std::move(finder); }

    // The document's side: every text document is followed from its making until it is closed
    // or goes (untrack), and its kept text goes then and when it is saved clean (drop).
    void track(QVFileDocument* document);
    void untrack(QVFileDocument* document);
    void drop(QVFileDocument* document);
    // Whether a text document of the file at path is open.
    bool isOpen(const QString& path) const;

    QString runFolder() const { return _run.path(); }
    // What the windows say while texts cannot be kept in the recovery folder; empty when they can.
    QString notice() const { return _notice; }

private:
    QVRecoveryFolder();
    bool keep();
    void setNotice(const QString& notice);
    void setInterval(qint64 seconds);

    struct Kept {
        QString file;      // the text's file in the run's folder, empty until written
        quint64 token = 0;  // the document's change token when it was written
        // Typing grows one undo step, which keeps its token: the characters' own count tells
        // a text typed on since it was written.
        const QVTextStorage* storage = nullptr;
        quint64 characters = 0;
        qint64 changedAt = 0;  // milliseconds since 1970
    };
    // Writes one kept text into the run's folder of the first location that takes it (the same
    // name there); reason says why the recovery folder did not.
    bool write(Kept& kept, const QByteArray& bytes, QString* reason);
    std::map<QVFileDocument*, Kept> _documents;
    RunFolder _run;
    // The runs' folders in the fallback locations, made only when needed.
    std::vector<std::unique_ptr<RunFolder>> _fallbackRuns;
    QTimer* _timer = nullptr;
    quint64 _observer = 0;
    quint64 _written = 0;  // numbers the text files of the run
    bool _holding = false;
    bool _again = false;  // unchanged texts are written again
    QString _notice;
    std::function<QString(const QString&)> _siteProject;
};
