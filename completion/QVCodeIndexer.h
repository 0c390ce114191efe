// The indexing rules of one language bundle ("indexer.plist") and the key extraction they drive:
// comments and unwanted text deleted, embedded sections handed to other languages' rules, files
// and tags referred to, tags declared, and the keys that completion offers.
#pragma once

#include "completion/QVCodeIndexKey.h"
#include "languages/QVBundleComponent.h"
#include "platform/QVError.h"
#include "shell/QVSearch.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>

class QVBundle;
class QVBundleRepository;
class QVPathResolver;
class QVRegex;

// Keys of "indexer.plist":
//   "pathResolution"   name of the resolver class for referenced files (default QVPathResolver)
//   "external-files"   patterns whose capture 1 (or whole match) names a referenced file or tag
//   "tags"             patterns naming the tags a file declares
//   "includes"         {"id": parser identifier, "begin": pattern, "end": pattern, ...}: sections
//                      handed to another language's rules
//   "pre-remove-keys"  key rules applied before the "remove" deletion
//   "keys"             key rules applied after it: {"type", "pattern", "key", "completion"} with
//                      capture numbers (absent: 0, the whole match)
//   "remove"           case-insensitive patterns deleted before the "keys" pass
//   "comments"         case-insensitive patterns deleted before anything else
//   "enabled"          bool; absent means on
// Patterns that do not compile are dropped, except in "includes", where the rule is kept so that
// it is written back, but does nothing.
//
// All matching runs over the file's UTF-8 bytes. The rules are fixed once read; only the switch
// changes. A run keeps its state to itself, so one indexer may serve several threads, and an
// indexer swapped for a new one by its bundle stays whole for the runs still holding it.
class QVCodeIndexer : public QVBundleComponent {
public:
    static inline const QString FileName = QStringLiteral("indexer.plist");

    // The switch as "indexer.plist" states it.
    enum Enabled : int { EnabledNotStated = 0, EnabledOn = 1, EnabledOff = 2 };

    // What one run finds.
    struct Output {
        QList<QVCodeIndexKey> results;
        QStringList referencedFiles;  // paths of files the text refers to
        QStringList referencedTags;   // names the resolver could only treat as tags
        QStringList tags;             // names the text declares, duplicates kept
    };

    // Nested sections hand over to other languages at most this deep, and never back to a
    // language already working on the text, so rules that include each other terminate.
    static constexpr int MaximumIncludeDepth = 16;

    // Reads the rules from a dictionary of "indexer.plist". The bundle is referred to weakly:
    // its parser identifier is the class of every key found.
    QVCodeIndexer(const std::shared_ptr<QVBundle>& bundle, const QVariantMap& plist);
    ~QVCodeIndexer() override;
    QVCodeIndexer(const QVCodeIndexer&) = delete;
    QVCodeIndexer& operator=(const QVCodeIndexer&) = delete;

    // Lets bundles build their indexer from "indexer.plist" through this class. Safe to call
    // any number of times from any thread.
    static void registerFactory();

    // The rules for a file: those of the bundle claiming its extension in the registry (the
    // shared one when none is given); null when no bundle claims it, the bundle has no rules,
    // or its rules are switched off.
    static std::shared_ptr<QVCodeIndexer> indexerForPath(const QString& path,
                                                         QVBundleRepository* repository = nullptr);

    // Runs the rules on the file's text (read in its detected encoding, taken as UTF-8 up to the
    // first zero byte), resolving includes against the path. Nothing, with the reason in error,
    // when the file cannot be read; a file that reads but does not decode yields empty outputs.
    std::optional<Output> runOnFile(const QString& path, QVBundleRepository* repository = nullptr,
                                    QVError* error = nullptr) const;
    // Runs the rules on the bytes, changing them in place (deleted text goes, embedded
    // sections are overwritten with zero bytes).
    Output runOnData(QByteArray& data, const QString& path, QVBundleRepository* repository = nullptr) const;

    // The same two runs, keeping the outputs for the accessors below; a file that cannot be
    // read gives empty outputs. Answer the keys found.
    QList<QVCodeIndexKey> indexFile(const QString& path, QVBundleRepository* repository = nullptr);
    QList<QVCodeIndexKey> indexUTF8Data(QByteArray& data, const QString& path,
                                        QVBundleRepository* repository = nullptr);
    // Outputs of the last indexFile or indexUTF8Data.
    QList<QVCodeIndexKey> results() const;
    QStringList referencedFiles() const;
    QStringList referencedTags() const;
    QStringList tags() const;

    // The file's text as UTF-8 up to its first zero byte; nothing, with the reason in error, for
    // a file that cannot be read.
    static std::optional<QByteArray> readUTF8Text(const QString& path, QVError* error = nullptr);

    Enabled enabled() const { return _enabled.load(); }
    void setEnabled(Enabled enabled) { _enabled.store(enabled); }
    // The class string of the keys found: the bundle's parser identifier.
    QString indexClass() const;
    std::shared_ptr<QVBundle> bundle() const { return _bundle.lock(); }

    // Writes the rules as a binary "indexer.plist" into the folder; false, with the reason in
    // error, when the write fails (the previous file then stays).
    bool commitToPath(const QString& folder, QVError* error = nullptr) const;
    // "format-version" "1.0", "enabled" when stated, then every non-empty list as pattern strings.
    QVariantMap plistRepresentation() const override;
    QStringList definitionKeys() const override;

private:
    // A key rule as read, with its pattern compiled.
    struct KeyRule {
        QVariantMap definition;
        QString type;  // null when the rule gives none
        std::shared_ptr<const QVRegex> pattern;
        int keyCapture = 0;
        int completionCapture = 0;
    };
    // An include rule as read; a rule whose patterns do not compile has null ones.
    struct IncludeRule {
        QVariantMap definition;
        QString identifier;
        std::shared_ptr<const QVRegex> begin;
        std::shared_ptr<const QVRegex> end;
    };
    struct Run;

    void appendKeys(const QList<KeyRule>& rules, const QByteArray& data, const QString& path, const QString& indexClass,
                    Output& output) const;
    void handIncludes(QByteArray& data, const QString& path, Run& run, Output& output) const;
    Output runNested(QByteArray& data, const QString& path, Run& run) const;
    void keepOutput(const Output& output);

    std::weak_ptr<QVBundle> _bundle;
    const QVPathResolver* _fileResolver = nullptr;
    QString _pathResolution;  // as read, written back
    QList<std::shared_ptr<const QVRegex>> _filePatterns;
    QList<std::shared_ptr<const QVRegex>> _tagPatterns;
    QList<IncludeRule> _includes;
    QList<KeyRule> _preRemoveKeys;
    QList<KeyRule> _keys;
    QList<QVSearch> _remove;
    QList<QVSearch> _comments;
    std::atomic<Enabled> _enabled{EnabledNotStated};

    mutable std::mutex _outputLock;  // guards _output
    Output _output;
};
