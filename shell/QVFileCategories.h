// The file-category model: which extensions are text, image or ignorable, backed by
// "fileCategories.plist" and, when the extension does not tell, by the "file" program.
#pragma once

#include "platform/QVError.h"
#include "shell/QVFileCategory.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <memory>
#include <mutex>
#include <optional>

// The answers of the category test. Callers holding a plain integer cast it; a value outside the
// four is treated as Other.
enum QVFileCategoryKind : int {
    QVFileCategoryKindText = 0,
    QVFileCategoryKindImage = 1,
    QVFileCategoryKindOther = 2,      // a non-empty extension of no category that is not ignorable
    QVFileCategoryKindIgnorable = 3,
};

// Posted (object: the model) after the categories were written.
inline constexpr const char* QVFileCategoriesChangedNotification =
    "QVFileCategoriesChangedNotification";

// Thread safety: every method may be called from any thread (the code-index, search and Tidy
// threads ask while the main thread edits). The model's recursive lock is never held while the
// "file" program runs, so a slow probe delays only its own caller.
//
// Extensions are compared exactly, case included, and are the part of the file name after its
// last "." (a name that starts with its only "." has none).
class QVFileCategories : public std::enable_shared_from_this<QVFileCategories> {
public:
    // The shared model, made once on first use from whichever thread comes first.
    static std::shared_ptr<QVFileCategories> sharedCategories();
    // A model of its own. readPath empty: the store is looked up as the shared model looks it
    // up (the application-support copy first, then the application's); writePath empty: commits
    // go to the application-support copy.
    static std::shared_ptr<QVFileCategories> create(const QString& readPath = {},
                                                    const QString& writePath = {});

    // The classification the program uses: the extension first, then the "file" probe for Text
    // and Image. Other and Ignorable go by the extension alone: a path without an extension is
    // never of kind Other, one with an extension of no category always is.
    bool path(const QString& path, QVFileCategoryKind kind);
    // The same on the extension alone, without the probe; an empty extension answers false.
    bool extension(const QString& extension, QVFileCategoryKind kind);
    // True when the extension's category has exactly that title (case-sensitive).
    bool extension(const QString& extension, const QString& categoryTitle);

    // The category claiming the extension; null for an ignorable extension, an unclaimed one, or
    // one whose only categories were removed.
    std::shared_ptr<QVFileCategory> categoryForExtension(const QString& extension);
    // The first text, then the first image category with that title (case-insensitively).
    std::shared_ptr<QVFileCategory> categoryForTitle(const QString& title);
    QList<QVFileCategoryType> typesForCategory(const QString& title);

    // Snapshots of the lists, each sorted by title case-insensitively. Every snapshot handed out
    // here has a buffer of its own, so no list storage is shared between threads.
    QList<std::shared_ptr<QVFileCategory>> textCategories();
    QList<std::shared_ptr<QVFileCategory>> imageCategories();
    // The ignorable extensions, sorted case-insensitively.
    QStringList ignoreTypes();
    void addIgnorableType(const QString& extension);
    void removeIgnorableType(const QString& extension);

    // A new empty category in the text or image list (after those with an equal title); null,
    // changing nothing, for the kinds Other and Ignorable.
    std::shared_ptr<QVFileCategory> addCategoryWithTitle(const QString& title, QVFileCategoryKind kind);
    // Takes the category out of the list of the kind. Its extensions are no longer claimed by it:
    // each falls to another category that lists it, else to none.
    void removeCategory(const std::shared_ptr<QVFileCategory>& category, QVFileCategoryKind kind);

    // Writes the store atomically (the folder is made when missing) and posts
    // QVFileCategoriesChangedNotification; false with the reason in error, posting nothing.
    bool commit(QVError* error = nullptr);
    // {"Text": {title: definition}, "Image": {...}, "Ignorable": [...]}. Categories of one kind
    // that share a title are written as one entry holding the extensions of all of them, so a
    // write loses none.
    QVariantMap plistRepresentation();

    // The probes. Each answer is remembered for the extension only when it agrees with what the
    // extension's text or image category says, so one mislabelled file never decides for the
    // others; a probe that ran into trouble is never remembered. Unremembered extensions and
    // paths without an extension are probed every time.
    bool pathIsText(const QString& path);
    bool pathIsImage(const QString& path);
    // The description "file" gives of the path (brief, links followed); nothing when the path is
    // empty, the program cannot run, fails, takes longer than the time-out or prints no UTF-8.
    std::optional<QString> usrBinFileForPath(const QString& path) const;

    // The probe program and its time-out (default "/usr/bin/file", 5000 ms); for tests.
    void setProbeProgram(const QString& program);
    void setProbeTimeout(int milliseconds);

    // The part of the file name after its last "."; empty when there is none.
    static QString pathExtension(const QString& path);

    QVFileCategories(const QVFileCategories&) = delete;
    QVFileCategories& operator=(const QVFileCategories&) = delete;

private:
    friend class QVFileCategory;
    QVFileCategories(const QString& readPath, const QString& writePath);

    // Called by QVFileCategory when it gains or loses an extension. Only a category the model
    // lists is recorded; a removal only clears the entry when it pointed to that category.
    void noteExtensionAddedToCategory(const QString& extension,
                                      const std::shared_ptr<QVFileCategory>& category);
    void noteExtensionRemovedFromCategory(const QString& extension,
                                          const std::shared_ptr<QVFileCategory>& category);

    // Callers hold _lock.
    void loadIfNeeded();
    void loadCategories();
    void addCategory(const std::shared_ptr<QVFileCategory>& category,
                     QList<std::shared_ptr<QVFileCategory>>& list);
    bool isListed(const std::shared_ptr<QVFileCategory>& category) const;
    void rebindExtension(const QString& extension);
    std::shared_ptr<QVFileCategory> categoryForExtensionLocked(const QString& extension) const;
    bool extensionIsTypeLocked(const QString& extension, QVFileCategoryKind kind) const;

    struct ProbeCache {
        QSet<QString> positive;
        QSet<QString> negative;
    };
    bool probe(const QString& path, QVFileCategoryKind kind);

    const QString _readPath;
    const QString _writePath;

    mutable std::recursive_mutex _lock;  // guards everything below
    QList<std::shared_ptr<QVFileCategory>> _textCategories;
    QList<std::shared_ptr<QVFileCategory>> _imageCategories;
    QSet<QString> _ignoreTypes;
    std::optional<QStringList> _sortedIgnoreTypes;
    // Absent until the store is loaded.
    std::optional<QHash<QString, std::shared_ptr<QVFileCategory>>> _extensions;
    ProbeCache _cachedTextTypes;   // positive: _cachedTextTypes, negative: _cachedNegativeTextTypes
    ProbeCache _cachedImageTypes;  // likewise for images
    QString _probeProgram = QStringLiteral("/usr/bin/file");
    int _probeTimeout = 5000;
};
