// The document of one text file shown in an editor view: per-file settings, loading in the
// file's encoding and line breaks, reopening in another encoding, and saving in them.
#pragma once

#include "editor/QVExternalEditorEvent.h"
#include "files/QVFileDocumentCallbacks.h"
#include "platform/QVDocument.h"
#include "platform/TextEncoding.h"

#include <QByteArrayView>
#include <QHash>
#include <QMap>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

#include <functional>
#include <map>
#include <memory>

class HTMLView;
class QVBundle;
class QVFile;
class QVFileDocumentDelegate;
class QVFileView;
class QVFileWatcher;

// Where the file on disk stood when the document last read or wrote it: a later difference is
// another program's change. leadsTo is the file the name path leads to (its links followed as
// a write follows them), kept also where nothing is there yet.
struct QVDiskStamp {
    bool exists = false;
    quint64 device = 0, inode = 0;
    qint64 size = 0, modified = 0, changed = 0;  // nanoseconds
    QString path, leadsTo;
    static QVDiskStamp of(const QString& path);
    bool operator==(const QVDiskStamp&) const = default;
};

// With a file node, a save ends only when the node says so: after the upload its project asks
// for, or at once. Until then the document stays edited; a failed upload leaves it edited and
// shows the error. Saves are numbered, and a node's report counts only for the save it names.
//
// Changes on disk: a change of the file (a write, or another file renamed over it) reloads an
// unedited document, keeping its caret and scroll, and asks an edited one (code 5); a deleted
// file asks (code 6). A notice while the file is as the document last read or wrote it is
// ignored (the document's own save), as are notices while the question is up. The document
// never shows an alert itself: questions and errors go to its delegate, which hands the chosen
// option back through the error's recovery attempter (the document).
class QVFileDocument : public QVDocument, public QVFileDocumentCallbacks, public QVErrorRecoveryAttempter {
public:
    // Codes (in the application's error domain) of the questions and errors of a document.
    static constexpr qint64 FileChangedExternallyQuestion = 5;  // "Keep Qorvel Changes", "Revert"
    static constexpr qint64 LocalFileRemovedQuestion = 6;       // "Save File", "Don't Save"
    static constexpr qint64 UnsavedChangesError = 12;            // "Save Changes", "Discard Changes", "Cancel"
    static constexpr qint64 SaveFailedError = 17;
    static constexpr qint64 OverwriteChangedFileQuestion = 20;  // "Save Anyway", "Cancel"
    static constexpr qint64 DiscardChangesQuestion = 21;        // "Discard Changes", "Cancel"
    // A save whose text the document's encoding cannot hold whole writes nothing and asks this.
    static constexpr qint64 EncodingCannotHoldTextQuestion = 22;  // "Save as UTF-8", "Cancel", "Other Encoding…"
    // The same for a text read in the fallback encoding (a misreading of the file's bytes): no
    // conversion of it is the first answer.
    static constexpr qint64 MisreadTextCannotBeSavedQuestion = 24;  // "Reopen with Encoding…", "Cancel", "Save as UTF-8"
    // A save of a text read in the fallback that holds characters other than ASCII the file did
    // not have: written as the fallback's bytes, they would be other characters in the file's
    // own encoding, so the save says what it would write first.
    static constexpr qint64 MisreadTextGetsNewCharactersQuestion = 25;  // "Reopen with Encoding…", "Cancel", "Save Anyway"

    // Why the text was read in another encoding than the one asked for; empty when it was not.
    QString encodingNotice() const {
        if (!_loadNotice) return {};
        const QString why = _loadNotice.localizedRecoverySuggestion();
        return why.isEmpty() ? _loadNotice.localizedDescription() : _loadNotice.localizedDescription() + QStringLiteral(": ") + why;
    }
    // Notifications posted with the document as object.
    static inline const QString FileBecameActiveNotification = QStringLiteral("QVFileBecameActive");
    static inline const QString FileWillCloseNotification = QStringLiteral("QVFileWillClose");
    static inline const QString FileDidSaveNotification = QStringLiteral("QVFileDidSave");
    // The user attribute holding the creator code of the files Qorvel writes.
    static inline const QByteArray CreatorAttribute = QByteArrayLiteral("user.com.qorvel.creator");

    // A document for the file at path (empty: untitled) with its editor view, not yet loaded.
    explicit QVFileDocument(const QString& path = {});
    ~QVFileDocument() override;

    // The editor view (none for an image); a window that shows it takes it as a child, else the
    // document deletes it.
    HTMLView* textView() const;
    // What shows the file: its mainView() is the widget a window hosts.
    QVFileView* fileView() const { return _fileView.get(); }

    // A new name (Save As, a move): the language mode follows its extension when one is
    // registered for it.
    void setFileName(const QString& path) override;

    // The window that shows the document (held weakly; none: questions go nowhere).
    void setDelegate(const std::weak_ptr<QVFileDocumentDelegate>& delegate) { _delegate = delegate; }
    std::shared_ptr<QVFileDocumentDelegate> delegate() const { return _delegate.lock(); }
    // The tab identifier: the file node's uuid, kept when the node is let go (file removed).
    QString uuid() const;
    // "name — folder" for lists of open documents.
    QString titleForLists() const;
    // The tab or window became the front one, or stopped being it.
    void activate();
    void deactivate();
    // Posts QVFileWillClose and tells an external-editor client; the window then lets it go.
    void close();

    // Per-file settings of a document without a project; a null value removes the key.
    QVariant configurationValueForKey(const QString& key) const { return _localConfiguration.value(key); }
    void setConfigurationValue(const QVariant& value, const QString& key);
    // The setting of the document's file: a file in the snippets folder is always read and
    // written as UTF-16 (QVFileEncoding 10), whatever is stored. What this document set wins;
    // otherwise what is kept for its file: by the window's project, or in the defaults
    // (FileSettingsDefaultsKey, by path) for a file outside any project.
    QVariant fileConfigurationValueForKey(const QString& key) const;
    // Sets it for this document and keeps it for its file (an untitled text only here).
    void setFileConfigurationValue(const QVariant& value, const QString& key);
    static inline const QString FileBundleKey = QStringLiteral("QVFileBundle");
    static inline const QString FileSettingsDefaultsKey = QStringLiteral("QVFileSettings");
    // The language picked for this file (the status bar's pop-up): kept for the file, and kept
    // through Save As and renames instead of the new extension's.
    void setCustomBundle(const std::shared_ptr<QVBundle>& bundle);
    bool hasCustomBundle() const { return _customBundle; }

    // A command of a toolbar or menu ("gotoLineFromString" with its text): performed by the
    // document or handed to its editor view; false when neither has it.
    virtual bool tryToPerform(QByteArrayView action, const QVariant& object = {});

    // The encoding in use: the one the last load decoded with, else the requested one (0: none).
    QVStringEncoding encoding() const;
    // Whether the text is the fallback's reading of bytes not valid in the file's encoding (see
    // isMisreading): only ASCII is written into it unasked.
    bool readInFallback() const { return isMisreading(); }

    // Reads the file into the view. A text read in a fallback encoding is kept and notice holds
    // "Opened using" with the encoding that decoded it. False (nothing changed) when the file
    // cannot be read.
    bool load(QVError* error = nullptr, QVError* notice = nullptr);
    // Saves in the document's encoding and line breaks. A text the encoding cannot hold whole is
    // written lossily, the document stays edited, and warning names the first character that
    // did not fit. A failed write (code 17) leaves file and document as they were.
    // A file changed on disk since the document read or wrote it is not overwritten unasked:
    // the save is refused with the question (code 20) for the window to ask. An untitled
    // document asks the window's save panel for a path (see saveAs()).
    bool save(QVError* error = nullptr, QVError* warning = nullptr);
    // Saves to path and takes it as the document's file. A document of a tree node first leaves
    // the old node, then takes the new path's node from its delegate (none when the tree does
    // not hold it); a failed write leaves it on the old node and file. An external-editor client
    // hears of the new place once and nothing more.
    bool saveAs(const QString& path, QVError* error = nullptr, QVError* warning = nullptr);
    // Save As through the delegate's save panel; done hears whether a save to a chosen path
    // succeeded (a cancelled panel: false, nothing written). Errors go to the delegate.
    void runSaveAs(std::function<void(bool saved)> done = {});
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
    // The removed question's "Save File": writes the text where the file was and stays in its
    // window, on the node the window's tree has for the path again (when it has a tree). A
    // failed save is shown and leaves the document edited.
    void saveWhereItWas();

    // Where the file stood when the document last read or wrote it.
    QVDiskStamp diskStamp() const { return _diskStamp; }
    // A text an earlier run kept of this file, taken as an edit of the file as it stood then
    // (its size and modification time): when the file differs now, the document asks as it does
    // for another program's change.
    void takeRecoveredText(const QString& text, qint64 keptSize, qint64 keptModified);
    // A line in the window's status bar.
    void showNotice(const QString& text);
    // What the window's status text keeps saying while the document is in front, until it is
    // set empty, one per topic (texts that cannot be kept for recovery, a site's local copy
    // that is not uploaded); before the encoding notice.
    void setStandingNotice(const QString& topic, const QString& text);
    QString standingNotice() const { return QStringList(_standingNotices.values()).join(QLatin1Char(' ')); }

    // A document without a file node watches its file itself (single files); a node watches
    // for the document of a tree.
    void setWatchesFile(bool watches);

    // What the file node (or the document's own watch) tells.
    void filePathDidChange() override;
    void fileContentsChangedExternally() override;
    void fileContentsDisappeared() override;
    void fileContentChangeFinished(quint64 save) override;
    void fileContentChangeFailed(quint64 save, const QVError& error) override;

    // The question (code 5) for a file changed on disk under unsaved text: it names the file and,
    // where its name now leads to another file than the one the document read or wrote (a link
    // put in its place), that file. Asked of an unedited text (only where its name leads
    // elsewhere), it speaks of the text shown, not of unsaved changes.
    QVError changedExternallyQuestion();
    // That sentence alone ("… now leads to another file, …"), empty while the name leads where
    // it led; the overwrite question (code 20) carries it too.
    QString nameLeadsElsewhereSentence() const;

    // Performs the option of one of the document's questions (codes 5, 6, 12 and 20).
    void attemptRecovery(const QVError& error, int optionIndex, std::function<void(bool)> didRecover) override;

    // The external-editor client that handed the file over: its signature and token, as bytes.
    void setAppleEventReceiver(const QByteArray& signature) { _appleEventReceiver = signature; }
    void setAppleEventToken(const QByteArray& token) { _appleEventToken = token; }
    QByteArray appleEventReceiver() const { return _appleEventReceiver; }
    // Where the events go (default: the log).
    void setExternalEditorEventSink(QVExternalEditorEventSink sink) { _eventSink = std::move(sink); }

    // Subversion commands on the document's file through the window's controller; tags as the
    // menu items': 0 HEAD, 1 BASE, any other picks a revision from the log.
    enum class SCMCommand { Add, Commit, DiscardChanges, Diff, CompareWith, Annotate, Update, ViewLog };
    // Discard Changes asks first, naming the file.
    void performSCMCommand(SCMCommand command, int tag = 0);
    // Whether the command is offered: a controller, and the file's status one the client
    // accepts the command in (an added file has nothing in the repository to compare with, a
    // conflicted one cannot be committed or updated, a file in no repository can only be added).
    bool validateSCMCommand(SCMCommand command, int tag = 0) const;

protected:
    bool writeToFile(const QString& path, const QByteArray& bytes, QVError* error) override;
    bool readFromFile(const QString& path, const QString& type, QVError* error) override;
    std::optional<Contents> dataOfType(const QString& type, QVError* error) override;
    // The creator code "QVDT", where the file system keeps user attributes.
    QMap<QByteArray, QByteArray> fileAttributesToWrite() const override;
    void saveCompleted(quint64 token, bool whole) override;

private:
    friend class QVDocumentFileWatch;
    struct PendingSave {
        quint64 token = 0;
        bool whole = true;
        std::function<void(bool)> finished;
    };
    // Ends the save named save (when it is still under way) as the node reported.
    void endSave(quint64 save, bool uploaded, const QVError& error);
    // Whether the file on disk is no longer what the document read or wrote (nor what the user
    // chose to keep changes over). A name that now leads to another file is a change even where
    // that file does not exist yet: a save would create it.
    bool fileChangedOnDisk() const;
    // Where the name now leads, when that is not where it led at the last read or write.
    QString leadsElsewhere(const QVDiskStamp& now) const;
    // Reads the file again keeping caret and scroll; errors go to the delegate.
    bool revertKeepingView(QVError* error = nullptr);
    // Watches the document's current file (own watch only).
    void rewatch();
    void watchedFileChanged(quint64 events);
    QVError question(qint64 code, const QString& description, const QString& suggestion, const QStringList& options);
    // Saves (to path when it is another file, or for the waiting close) in encoding, which is
    // the document's from then on; the encoding it had stays when the save fails. Says how it went.
    bool saveInEncoding(QVStringEncoding encoding, const QString& path, std::function<void(bool)> closeFinished);
    // Makes the encoding declarations of the text (see FileEncodings::declaredCharsets) that
    // name from, the encoding the text was decoded in, name encoding, as one undo step; false
    // when none needed a change. A declaration the text was not read by stays as the file had it.
    bool redeclareEncoding(QVStringEncoding encoding, QVStringEncoding from);
    // Whether the text is the file's bytes shown in the fallback encoding, because they were not
    // valid in the encoding they were to be read in: a misreading, not the file's text.
    bool isMisreading() const;
    // The encoding a misread file was to be read in (its declaration's, or the default).
    QVStringEncoding misreadFileEncoding() const;
    // Asks which encoding to read the file in again, the one it was to be read in chosen first,
    // and reopens in the one picked.
    void chooseEncodingToReopen();
    // A window-modal list (named name) of the menu's encodings that offered accepts, starting at
    // selected (listed first when the menu lacks it; 0: none); picked hears the one chosen while
    // the document lives.
    void chooseEncoding(const QString& name, const QString& title, const QString& label,
                        const std::function<bool(QVStringEncoding)>& offered, QVStringEncoding selected,
                        std::function<void(QVStringEncoding)> picked);
    void present(const QVError& error);
    // A failed write as the save error (code 17) with the path and the reason.
    static QVError saveFailure(const QVError& failure, const QString& path);
    void sendExternalEditorEvent(const QVExternalEditorEvent& event);
    // The save's aftermath: the editor event, the code index, the Subversion status, QVFileDidSave.
    void didSave(const QString& previousFile, bool savedAs);

    // The misfit warning's sentence for the first character of text encoding cannot hold; empty
    // when all fit.
    static QString misfitSentence(const QString& text, QVStringEncoding encoding, QStringView fallbacks = {});
    // The characters the file read one way that saving in encoding writes with their table's
    // fallback codes: only in the encoding the text was read in.
    QStringView fallbacksFor(QVStringEncoding encoding) const {
        return encoding && encoding == _readEncoding ? QStringView(_fallbackCharacters) : QStringView();
    }

    std::unique_ptr<QVFileView> _fileView;
    QPointer<HTMLView> _textView;
    QVariantMap _localConfiguration;
    // The whole per-file entry kept for path, and its replacement (null: removed).
    QVariant keptFileEntry(const QString& path) const;
    void keepFileEntry(const QString& path, const QVariant& entry);
    void restoreCustomBundle();
    QVError _loadNotice;
    QMap<QString, QString> _standingNotices;
    QVStringEncoding _readEncoding = 0;  // what the last load decoded with
    QString _fallbackCharacters;         // see fallbacksFor()
    QVError _rewrittenNotice;            // the load's notice of bytes saving changes, until a save did
    bool _keepsBytes = false;  // read as UTF-8 with bytes that are not UTF-8 kept: they are written back as bytes
    QHash<char16_t, qint64> _misreadCharacters;  // the units other than ASCII of a text read in the fallback, counted
    bool _misreadWriteAccepted = false;  // "Save Anyway" to new characters in the fallback, until the next load
    bool _savingRewritten = false;       // the save under way is that save
    // How the file read in UTF-16 held it: written back the same way.
    enum class UTF16Form { LittleEndianMarked, BigEndianMarked, BigEndian };
    UTF16Form _utf16Form = UTF16Form::LittleEndianMarked;
    std::shared_ptr<QVFile> _fileNode;
    // What the node holds (weakly) to report to the document; gone with the document.
    std::shared_ptr<QVFileDocumentCallbacks> _callbacks;
    std::map<quint64, PendingSave> _pendingSaves;
    quint64 _lastSave = 0;
    quint64 _lastCleanSave = 0;
    std::function<void(bool)> _closeFinished;  // taken by the next save that reaches its node
    std::weak_ptr<QVFileDocumentDelegate> _delegate;
    // What errors hold (weakly) to recover through the document; gone with the document.
    std::shared_ptr<QVErrorRecoveryAttempter> _attempter;
    QString _cachedUUID;
    mutable QString _ownUUID;  // a document that never had a node
    QVDiskStamp _diskStamp;      // as last read or written
    QVDiskStamp _keptOverStamp;  // a change the user chose to keep Qorvel's text over
    bool _changedQuestionUp = false;
    bool _removedQuestionUp = false;
    bool _savingAs = false;
    bool _customBundle = false;
    std::function<void(bool)> _overwriteCloseFinished;  // a close that waits for the overwrite question
    std::function<void(bool)> _encodingCloseFinished;   // a close that waits for the encoding question
    // The document's own watch of its file.
    std::unique_ptr<QVFileWatcher> _watcher;
    std::shared_ptr<class QVDocumentFileWatch> _watch;
    QByteArray _appleEventReceiver, _appleEventToken;
    QVExternalEditorEventSink _eventSink;
};
