// The document of one text file shown in an editor view: per-file settings, loading in the
// file's encoding and line breaks, reopening in another encoding, and saving in them.
#pragma once

#include "files/QVFileDocumentCallbacks.h"
#include "platform/QVDocument.h"
#include "platform/TextEncoding.h"

#include <QPointer>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <functional>
#include <map>
#include <memory>

class HTMLView;
class QVFile;

// With a file node, a save ends only when the node says so: after the upload its project asks
// for, or at once. Until then the document stays edited; a failed upload leaves it edited and
// shows the error. Saves are numbered, and a node's report counts only for the save it names.
class QVFileDocument : public QVDocument, public QVFileDocumentCallbacks {
public:
    // Code (in the application's error domain) of the question before reopening an edited
    // document, and of a write that failed.
    static constexpr qint64 UnsavedChangesError = 12;
    static constexpr qint64 SaveFailedError = 17;
    // The user attribute holding the creator code of the files Qorvel writes.
    static inline const QByteArray CreatorAttribute = QByteArrayLiteral("user.com.qorvel.creator");

    // A document for the file at path (empty: untitled) with its editor view, not yet loaded.
    explicit QVFileDocument(const QString& path = {});
    ~QVFileDocument() override;

    // The editor view; a window that shows it takes it as a child, else the document deletes it.
    HTMLView* textView() const;

    // Per-file settings of a document without a project; a null value removes the key.
    QVariant configurationValueForKey(const QString& key) const { return _localConfiguration.value(key); }
    void setConfigurationValue(const QVariant& value, const QString& key);

    // The encoding in use: the one the last load decoded with, else the requested one (0: none).
    QVStringEncoding encoding() const;

    // Reads the file into the view. A text read in a fallback encoding is kept and notice holds
    // "Opened using" with the encoding that decoded it. False (nothing changed) when the file
    // cannot be read.
    bool load(QVError* error = nullptr, QVError* notice = nullptr);
    // Saves in the document's encoding and line breaks. A text the encoding cannot hold whole is
    // written lossily, the document stays edited, and warning names the first character that
    // did not fit. A failed write (code 17) leaves file and document as they were.
    bool save(QVError* error = nullptr, QVError* warning = nullptr);
    // Reads the file again in encoding. An edited document is refused with the question (code 12,
    // "Save Changes", "Discard Changes", "Cancel") for the window to ask; a reopen that fails
    // changes nothing: text, edited state, undo, encoding and the stored setting.
    bool reopenUsingEncoding(QVStringEncoding encoding, QVError* error = nullptr, QVError* notice = nullptr);
    // The question's "Save Changes": saves in encoding, then reopens in it. A text the encoding
    // cannot hold whole is refused before anything is written (naming the first misfit), and a
    // failed save reopens nothing and keeps the encoding in use.
    bool saveAndReopenUsingEncoding(QVStringEncoding encoding, QVError* error = nullptr, QVError* notice = nullptr);
    // The reopen itself, whatever the edited state (the question's "Discard Changes").
    bool reallyReopenUsingEncoding(QVStringEncoding encoding, QVError* error = nullptr, QVError* notice = nullptr);

    // The node of the document's file in a file tree (none: a single file). The old node lets go
    // of the document first, and the saves waiting for it end as written locally; the new one
    // reports to it.
    void setFileNode(const std::shared_ptr<QVFile>& node);
    std::shared_ptr<QVFile> fileNode() const { return _fileNode; }
    // A save for closing: finished runs once, when this save has ended, with whether the window
    // may close (the write and its upload succeeded and held the text whole). A write that fails
    // returns false at once (error says why) and finished never runs; nor does it for a save
    // replaced before it ended (a later save never closes the window).
    bool saveForClose(std::function<void(bool saved)> finished, QVError* error = nullptr, QVError* warning = nullptr);
    // Whether a save waits for its node (an upload under way).
    bool isSaving() const { return !_pendingSaves.empty(); }

    // What the file node tells.
    void filePathDidChange() override;
    // Changes on disk are not followed yet: the document keeps its text.
    void fileContentsChangedExternally() override {}
    void fileContentsDisappeared() override {}
    void fileContentChangeFinished(quint64 save) override;
    void fileContentChangeFailed(quint64 save, const QVError& error) override;

protected:
    bool readFromFile(const QString& path, const QString& type, QVError* error) override;
    std::optional<Contents> dataOfType(const QString& type, QVError* error) override;
    // The creator code "QVDT", where the file system keeps user attributes.
    QMap<QByteArray, QByteArray> fileAttributesToWrite() const override;
    void saveCompleted(quint64 token, bool whole) override;

private:
    struct PendingSave {
        quint64 token = 0;
        bool whole = true;
        std::function<void(bool)> finished;
    };
    // Ends the save named save (when it is still under way) as the node reported.
    void endSave(quint64 save, bool uploaded, const QVError& error);

    // The misfit warning's sentence for the first character of text encoding cannot hold; empty
    // when all fit.
    static QString misfitSentence(const QString& text, QVStringEncoding encoding);

    QPointer<HTMLView> _textView;
    QVariantMap _localConfiguration;
    QVError _loadNotice;
    std::shared_ptr<QVFile> _fileNode;
    // What the node holds (weakly) to report to the document; gone with the document.
    std::shared_ptr<QVFileDocumentCallbacks> _callbacks;
    std::map<quint64, PendingSave> _pendingSaves;
    quint64 _lastSave = 0;
    quint64 _lastCleanSave = 0;
    std::function<void(bool)> _closeFinished;  // taken by the next save that reaches its node
};
