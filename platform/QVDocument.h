// A document of one file: its name and type, whether it is edited (kept by the undo manager's
// change token against the token of the last write or read), and saving and reverting through
// the bytes a subclass gives and takes.
#pragma once

#include "platform/QVError.h"
#include "platform/QVUndoManager.h"

#include <QByteArray>
#include <QMap>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

// The document is edited while the undo manager's change token differs from the clean token
// (taken when a write succeeds and when the file is read), or when a change was counted by hand
// (updateChangeCount(Done)). Undoing back to the saved state makes it clean again; changes that
// do not count (folding) never edit it.
//
// A save captures the change token before asking for the bytes, so edits made while the bytes
// travel (an upload) leave the document edited when the save completes.
//
// Main thread only.
class QVDocument {
public:
    enum class ChangeType { Done, Cleared };
    // The bytes to write, and whether they hold the text whole: a lossy save writes the file but
    // leaves the document edited. warning travels to the caller of the save.
    // Code (in the application's error domain) of the low-priority notice of a save that had to
    // overwrite the file in place.
    static constexpr qint64 WrittenInPlaceNotice = 19;
    struct Contents {
        QByteArray bytes;
        bool whole = true;
        QVError warning;
    };

    QVDocument();
    virtual ~QVDocument();
    QVDocument(const QVDocument&) = delete;
    QVDocument& operator=(const QVDocument&) = delete;

    QString fileName() const { return _fileName; }
    virtual void setFileName(const QString& path) { _fileName = path; }
    QString fileType() const { return _fileType; }
    void setFileType(const QString& type) { _fileType = type; }
    // The file name's last component; without a file the name given for it, else "Untitled".
    QString displayName() const;
    // What a document without a file is called (a result shown as text names what it shows).
    void setUntitledName(const QString& name) { _untitledName = name; }

    // The undo manager whose change token tells the edited state (none: only counted changes
    // do). The document does not own it; a replaced manager is let go and the document is clean.
    void setUndoManager(std::shared_ptr<QVUndoManager> manager);
    QVUndoManager* undoManager() const { return _undoManager.get(); }

    bool isDocumentEdited() const;
    // Done marks the document edited whatever the undo stack says; Cleared makes the current
    // state the clean one.
    virtual void updateChangeCount(ChangeType change);
    // Called whenever isDocumentEdited() may have flipped (after the change that did it).
    void setEditedObserver(std::function<void(bool edited)> observer) { _editedObserver = std::move(observer); }
    // The change token a write or read would make the clean one.
    quint64 currentChangeToken() const { return _undoManager ? _undoManager->changeToken() : 0; }

    // Writes the document's bytes to path (fileName() when empty) atomically. On success the
    // document takes path as its name and saveCompleted() runs with the token of the write;
    // a lossy write succeeds but leaves the document edited and puts its warning in warning.
    // On failure nothing changes: the document stays edited, and error says why. A write that
    // had to overwrite the file in place succeeds with a low-priority notice in warning.
    bool saveToFile(const QString& path = {}, QVError* error = nullptr, QVError* warning = nullptr);
    // Reads the file again. On success the text is the file's and the document is clean; on
    // failure nothing at all changes (text, edited state, undo) and error says why.
    bool revertToContentsOfFile(const QString& path = {}, QVError* error = nullptr);

protected:
    // The subclass's reading: replaces the content only when it succeeds.
    virtual bool readFromFile(const QString& path, const QString& type, QVError* error) = 0;
    // The bytes of the content; nothing (with error) when none can be made.
    virtual std::optional<Contents> dataOfType(const QString& type, QVError* error) = 0;
    // Extended attributes the written file gets besides those of the file it replaces.
    virtual QMap<QByteArray, QByteArray> fileAttributesToWrite() const { return {}; }
    // Puts the bytes on disk; the default replaces the file atomically (AtomicFile), keeping the
    // old file's mode, owner, attributes and ACL.
    virtual bool writeToFile(const QString& path, const QByteArray& bytes, QVError* error);
    // A write of the state named token succeeded. The default makes that state the clean one
    // (when the write held the text whole); a document that uploads first may call
    // markCleanAt() later.
    virtual void saveCompleted(quint64 token, bool whole);
    // Makes the state named token the clean one.
    void markCleanAt(quint64 token);
    // What the last write has to tell besides success (written in place); null when nothing.
    QVError _writeNotice;

private:
    void notifyIfFlipped();

    QString _fileName;
    QString _untitledName;
    QString _fileType;
    std::shared_ptr<QVUndoManager> _undoManager;
    QVUndoManager::Token _observerToken = 0;
    quint64 _cleanToken = 0;
    bool _countedByHand = false;
    bool _lastEdited = false;
    std::function<void(bool)> _editedObserver;
};
