// User scripts: executable files of the "userscripts" folder whose directives declare menu
// entries, run on the editor's text through a private copy with the placeholders filled in.
// Headless: the entries, the menu items, the run itself and the reading of its output; the
// editor side (worker, Stop, placing the output) is QVUserScriptRunner.
#pragma once

#include "tools/QVOperation.h"
#include "tools/QVOperationRepository.h"

#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>

// One menu entry of a script file, as its directives declare it.
struct QVUserScriptEntry {
    QString scriptPath;
    QString title;
    QString keyEquivalent;  // "^~$@" modifier characters then the key; empty: none
    QStringList arguments;
    QString input;   // "None", "Selection", anything else: the whole text; null: nothing
    QString output;  // "ReplaceSelection", ... ; null or unknown: discarded

    // Stores one directive: "Name", "KeyEquivalent", "Input", "Output" set their field,
    // "Argument" appends; keys in another case are ignored.
    void setValue(const QString& value, const QString& key);
    bool requiresSelection() const { return input == QStringLiteral("Selection"); }
    // Title, action "insertUserScript:", the key combination (Qt modifiers), the entry itself.
    MenuItemRep menuItemRepresentation() const;
};
Q_DECLARE_METATYPE(std::shared_ptr<QVUserScriptEntry>)

// What a run sees of the editor, taken on the main thread before the run starts.
struct QVUserScriptSnapshot {
    QString allText;       // collapsed regions expanded
    QString selectedText;
    qint64 selectionStart = 0;
    qint64 selectionLength = 0;
    QString filePath;      // empty for an untitled text
};

struct QVUserScriptOutcome {
    enum class Status { Succeeded, NotPrepared, Failed, TimedOut, Stopped, TooMuchOutput, NotUTF8 };
    Status status = Status::NotPrepared;
    QString output;  // only when it succeeded
    QString errors;  // the script's standard error, for the message
    QString message; // why it did not succeed
    bool succeeded() const { return status == Status::Succeeded; }
};

// Where the output goes once read: the text to put in and the range to select in it (the
// markers removed), markerStart -1 when the output had none.
struct QVUserScriptPlacement {
    QString text;
    qint64 markerStart = -1;
    qint64 markerLength = 0;
    // One final line feed dropped unless the input ended with one (sorting whole lines gives
    // whole lines back), then the first "%%%{PBXSelection}%%%" and the next one.
    static QVUserScriptPlacement fromOutput(QString output, bool inputEndsWithLineFeed = false);
};

class QVUserScript : public QVOperation {
public:
    explicit QVUserScript(const QString& path = {});
    std::shared_ptr<QVOperation> copy() const override;

    // The name less a leading run of digits and "-" ("10-Wrap.sh" is "Wrap.sh").
    static QString titleForFileName(const QString& name);
    // A name ending with "--" is a separator line.
    static bool isSeparatorName(const QString& name) { return name.endsWith(QStringLiteral("--")); }

    // The entries the file declares, read now; a file without directives has none.
    QList<QVUserScriptEntry> entries() const;
    static QList<QVUserScriptEntry> entriesInText(const QString& text, const QString& path);
    // A separator, a folder's titled item, or one item per entry.
    QList<MenuItemRep> menuItemRepresentations() override;

    // --- Running ------------------------------------------------------------------------------
    struct RunOptions {
        int timeoutMs = 60000;
        qsizetype outputLimit = 64 << 20;  // bytes of standard output
        const std::atomic<bool>* cancel = nullptr;
    };
    // Every placeholder of the script's text replaced, literally, in the documented order.
    static QString substitutePlaceholders(QString script, const QVUserScriptSnapshot& snapshot);
    // The placeholders' values as "NAME=value" environment entries. A value that is long or
    // holds a NUL is written to a file in folder instead, named by "NAME_FILE".
    static QStringList environmentFor(const QVUserScriptSnapshot& snapshot, const QString& folder, QVError* error);
    // Values longer than this (UTF-8 bytes) go through a file.
    static constexpr qsizetype EnvironmentValueLimit = 32 * 1024;

    // Runs the script at path: a copy with the placeholders filled in, in a private folder of
    // its own (owner only, created exclusively, removed afterwards), started with arguments,
    // fed input (null: none) as UTF-8. Succeeds only when it exits 0 within the time-out, with
    // at most the output limit, in UTF-8; otherwise the outcome says why.
    static QVUserScriptOutcome run(const QString& path, const QStringList& arguments, const QString& input,
                                   const QVUserScriptSnapshot& snapshot, const RunOptions& options);
    static QVUserScriptOutcome run(const QString& path, const QStringList& arguments, const QString& input,
                                   const QVUserScriptSnapshot& snapshot) {
        return run(path, arguments, input, snapshot, RunOptions{});
    }
};

// The scripts of the "userscripts" folder, loaded in name order (the digits of "10-" order the
// menu); hidden names skipped, folders as submenus.
class QVUserScriptRepository : public QVOperationRepository {
public:
    static QString defaultScriptsFolder();
    static QVUserScriptRepository& sharedInstance();
    explicit QVUserScriptRepository(QString folder) : _folder(std::move(folder)) {}

    QString sourcePath() const override { return _folder; }
    std::shared_ptr<QVOperation> createOperationForPath(const QString& path) override;
    // Reads the folder again (sorted by name).
    void reloadScripts();

private:
    QString _folder;
};
