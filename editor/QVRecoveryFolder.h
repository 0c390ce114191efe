// Unsaved texts kept outside the user's files, so that a crash, a kill or a logout costs at most
// the last interval's typing. Each run keeps the texts of its edited documents in a folder of its
// own under the application-support folder ("Recovery/<run>", closed to other users), never
// beside the file and never uploaded: every QVAutoSave seconds while that is above 0, and once
// more whatever it says when the session ends the run (keepForNextLaunch). A text is dropped when
// its document is saved or closed, and the run's folder goes when Qorvel quits normally. A
// folder whose run has ended otherwise (its lock is free) is what the next launch offers back.
//
// Main thread only.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <map>
#include <memory>

class QLockFile;
class QTimer;
class QVFileDocument;

class QVRecoveryFolder {
public:
    // One kept text: the document's file (empty for an untitled text), its name and its text.
    struct Text {
        QString path;
        QString name;
        QString text;
    };
    // What runs that ended without quitting left: their folders and texts.
    struct LeftBehind {
        QStringList folders;
        QList<Text> texts;
    };

    static QVRecoveryFolder& shared();
    // The folder holding every run's folder.
    static QString location();

    // Starts keeping texts on QVAutoSave's interval, following the setting from then on. The
    // run's folder is made with the first text it keeps.
    void start();
    // Writes the text of every edited document changed since it was last kept; drops the text of
    // a document no longer edited.
    void keepEditedDocuments();
    // The run ends without asking its windows (the session is ending): every edited text is
    // kept, and stays kept through the windows' teardown.
    void keepForNextLaunch();
    // A normal quit: the run's folder goes (unless keepForNextLaunch() came first).
    void finish();

    // The folders of runs no running Qorvel holds, and the texts in them, oldest run first.
    // Folders with no text are removed on the way.
    LeftBehind leftBehind() const;
    static void remove(const LeftBehind& leftBehind);

    // The document's side: every text document is followed from its making until it is closed
    // or goes (untrack), and its kept text goes then and when it is saved clean (drop).
    void track(QVFileDocument* document);
    void untrack(QVFileDocument* document);
    void drop(QVFileDocument* document);

    QString runFolder() const { return _run; }

private:
    QVRecoveryFolder() = default;
    bool makeRunFolder();
    void setInterval(qint64 seconds);

    struct Kept {
        QString file;      // the text's file in the run's folder, empty until written
        quint64 token = 0;  // the document's change token when it was written
    };
    std::map<QVFileDocument*, Kept> _documents;
    QString _run;
    std::unique_ptr<QLockFile> _lock;
    QTimer* _timer = nullptr;
    quint64 _observer = 0;
    quint64 _written = 0;  // numbers the text files of the run
    bool _holding = false;
};
