// The file-category model: the store, the extension tests, and the "file" probe with its caches.
#include "shell/QVFileCategories.h"

#include "platform/NotificationCenter.h"
#include "platform/Process.h"
#include "platform/PropertyList.h"
#include "platform/SystemLog.h"
#include "shell/Defaults.h"

#include <QFileInfo>
#include <QStringDecoder>

#include <algorithm>

namespace {

const QString kTextKey = QStringLiteral("Text");
const QString kImageKey = QStringLiteral("Image");
const QString kIgnorableKey = QStringLiteral("Ignorable");
const QString kTypesKey = QStringLiteral("types");
const QString kInsertWhenDraggedKey = QStringLiteral("insertWhenDragged");

bool titleLess(const std::shared_ptr<QVFileCategory>& a, const std::shared_ptr<QVFileCategory>& b) {
    return a->compare(*b) < 0;
}

// One entry per title; categories sharing a title pool their extensions (first appearance
// order, each once) and the later one's drag setting wins, as it would have on its own.
QVariantMap plistForCategories(const QList<std::shared_ptr<QVFileCategory>>& categories) {
    QVariantMap result;
    for (const std::shared_ptr<QVFileCategory>& category : categories) {
        const QString title = category->title();
        QVariantMap definition = category->plistRepresentation();
        const auto existing = result.constFind(title);
        if (existing != result.constEnd()) {
            const QVariantMap earlier = existing->toMap();
            QVariantList types = earlier.value(kTypesKey).toList();
            for (const QVariant& type : definition.value(kTypesKey).toList())
                if (!types.contains(type)) types.append(type);
            definition.insert(kTypesKey, types);
            if (!definition.contains(kInsertWhenDraggedKey) && earlier.contains(kInsertWhenDraggedKey))
                definition.insert(kInsertWhenDraggedKey, earlier.value(kInsertWhenDraggedKey));
        }
        result.insert(title, definition);
    }
    return result;
}

}  // namespace

QVFileCategories::QVFileCategories(const QString& readPath, const QString& writePath)
    : _readPath(readPath), _writePath(writePath) {}

std::shared_ptr<QVFileCategories> QVFileCategories::sharedCategories() {
    // A function-local static is initialised exactly once even when threads race to it.
    static const std::shared_ptr<QVFileCategories> shared = create();
    return shared;
}

std::shared_ptr<QVFileCategories> QVFileCategories::create(const QString& readPath,
                                                           const QString& writePath) {
    return std::shared_ptr<QVFileCategories>(new QVFileCategories(readPath, writePath));
}

QString QVFileCategories::pathExtension(const QString& path) {
    qsizetype end = path.size();
    while (end > 1 && path.at(end - 1) == QLatin1Char('/')) --end;
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'), end - 1);
    const qsizetype start = slash + 1;
    const qsizetype dot = path.lastIndexOf(QLatin1Char('.'), end - 1);
    if (dot <= start) return {};
    return path.mid(dot + 1, end - dot - 1);
}

// --- Loading -----------------------------------------------------------------------------------

void QVFileCategories::loadIfNeeded() {
    if (!_extensions) loadCategories();
}

void QVFileCategories::loadCategories() {
    const QString path =
        _readPath.isEmpty()
            ? Defaults::pathForResource(QStringLiteral("fileCategories"), QStringLiteral("plist"),
                                        QStringLiteral("data"))
            : _readPath;
    QVariantMap store;
    if (!path.isEmpty() && QFileInfo::exists(path)) {
        QVError error;
        const QVariant plist = PropertyList::readFile(path, &error);
        if (plist.typeId() == QMetaType::QVariantMap)
            store = plist.toMap();
        else
            SystemLog::warning(QStringLiteral("The file categories in %1 could not be read: %2")
                                   .arg(path, error ? error.localizedDescription()
                                                    : QStringLiteral("not a dictionary")));
    }

    _extensions.emplace();
    _textCategories.clear();
    _imageCategories.clear();
    const std::weak_ptr<QVFileCategories> self = weak_from_this();
    // Images after texts, so an extension both claim ends up an image one.
    for (const auto& [key, list] : {std::pair{kTextKey, &_textCategories},
                                    std::pair{kImageKey, &_imageCategories}}) {
        const QVariantMap categories = store.value(key).toMap();
        for (auto it = categories.constBegin(); it != categories.constEnd(); ++it) {
            const std::shared_ptr<QVFileCategory> category =
                QVFileCategory::create(it.key(), it.value().toMap(), self);
            list->append(category);
            for (const QString& extension : category->typeTitles())
                _extensions->insert(extension, category);
        }
        std::stable_sort(list->begin(), list->end(), titleLess);
    }

    _ignoreTypes.clear();
    const QVariant ignorable = store.value(kIgnorableKey);
    if (ignorable.typeId() == QMetaType::QVariantList)
        for (const QVariant& type : ignorable.toList())
            if (type.typeId() == QMetaType::QString) _ignoreTypes.insert(type.toString());
    _sortedIgnoreTypes.reset();
}

// --- Queries -----------------------------------------------------------------------------------

std::shared_ptr<QVFileCategory> QVFileCategories::categoryForExtensionLocked(
    const QString& extension) const {
    if (_ignoreTypes.contains(extension) || !_extensions) return nullptr;
    return _extensions->value(extension);
}

bool QVFileCategories::extensionIsTypeLocked(const QString& extension, QVFileCategoryKind kind) const {
    if (extension.isEmpty()) return false;
    switch (kind) {
    case QVFileCategoryKindText: {
        const std::shared_ptr<QVFileCategory> category = categoryForExtensionLocked(extension);
        return category && _textCategories.contains(category);
    }
    case QVFileCategoryKindImage: {
        const std::shared_ptr<QVFileCategory> category = categoryForExtensionLocked(extension);
        return category && _imageCategories.contains(category);
    }
    case QVFileCategoryKindIgnorable:
        return _ignoreTypes.contains(extension);
    default:
        return !extensionIsTypeLocked(extension, QVFileCategoryKindText) &&
               !extensionIsTypeLocked(extension, QVFileCategoryKindImage) &&
               !extensionIsTypeLocked(extension, QVFileCategoryKindIgnorable);
    }
}

bool QVFileCategories::extension(const QString& extension, QVFileCategoryKind kind) {
    std::lock_guard guard(_lock);
    loadIfNeeded();
    return extensionIsTypeLocked(extension, kind);
}

bool QVFileCategories::extension(const QString& extension, const QString& categoryTitle) {
    const std::shared_ptr<QVFileCategory> category = categoryForExtension(extension);
    return category && category->title() == categoryTitle;
}

bool QVFileCategories::path(const QString& path, QVFileCategoryKind kind) {
    const QString extension = pathExtension(path);
    const bool byExtension = this->extension(extension, kind);
    if (byExtension || kind == QVFileCategoryKindIgnorable) return byExtension;
    switch (kind) {
    case QVFileCategoryKindText:
        return pathIsText(path);
    case QVFileCategoryKindImage:
        return pathIsImage(path);
    default:
        // Only an empty extension or one that is text, image or ignorable gets here, and each
        // of those is not Other whatever the content says: no probe needs to run.
        return false;
    }
}

std::shared_ptr<QVFileCategory> QVFileCategories::categoryForExtension(const QString& extension) {
    std::lock_guard guard(_lock);
    loadIfNeeded();
    return categoryForExtensionLocked(extension);
}

std::shared_ptr<QVFileCategory> QVFileCategories::categoryForTitle(const QString& title) {
    std::lock_guard guard(_lock);
    loadIfNeeded();
    for (const auto* list : {&_textCategories, &_imageCategories})
        for (const std::shared_ptr<QVFileCategory>& category : *list)
            if (category->title().compare(title, Qt::CaseInsensitive) == 0) return category;
    return nullptr;
}

QList<QVFileCategoryType> QVFileCategories::typesForCategory(const QString& title) {
    const std::shared_ptr<QVFileCategory> category = categoryForTitle(title);
    return category ? category->types() : QList<QVFileCategoryType>();
}

QList<std::shared_ptr<QVFileCategory>> QVFileCategories::textCategories() {
    std::lock_guard guard(_lock);
    loadIfNeeded();
    return {_textCategories.cbegin(), _textCategories.cend()};
}

QList<std::shared_ptr<QVFileCategory>> QVFileCategories::imageCategories() {
    std::lock_guard guard(_lock);
    loadIfNeeded();
    return {_imageCategories.cbegin(), _imageCategories.cend()};
}

QStringList QVFileCategories::ignoreTypes() {
    std::lock_guard guard(_lock);
    loadIfNeeded();
    if (!_sortedIgnoreTypes) {
        QStringList sorted(_ignoreTypes.cbegin(), _ignoreTypes.cend());
        std::sort(sorted.begin(), sorted.end(), [](const QString& a, const QString& b) {
            const int order = a.compare(b, Qt::CaseInsensitive);
            return order != 0 ? order < 0 : a < b;  // a fixed order for "HTML" and "html" too
        });
        _sortedIgnoreTypes = sorted;
    }
    return {_sortedIgnoreTypes->cbegin(), _sortedIgnoreTypes->cend()};
}

// --- Edits -------------------------------------------------------------------------------------

void QVFileCategories::addIgnorableType(const QString& extension) {
    if (extension.isEmpty()) return;
    std::lock_guard guard(_lock);
    loadIfNeeded();
    _ignoreTypes.insert(extension);
    _sortedIgnoreTypes.reset();
}

void QVFileCategories::removeIgnorableType(const QString& extension) {
    std::lock_guard guard(_lock);
    loadIfNeeded();
    _ignoreTypes.remove(extension);
    _sortedIgnoreTypes.reset();
}

void QVFileCategories::addCategory(const std::shared_ptr<QVFileCategory>& category,
                                   QList<std::shared_ptr<QVFileCategory>>& list) {
    const auto before = std::find_if(list.begin(), list.end(), [&](const auto& existing) {
        return category->compare(*existing) < 0;
    });
    list.insert(before, category);
}

std::shared_ptr<QVFileCategory> QVFileCategories::addCategoryWithTitle(const QString& title,
                                                                       QVFileCategoryKind kind) {
    if (kind != QVFileCategoryKindText && kind != QVFileCategoryKindImage) return nullptr;
    std::lock_guard guard(_lock);
    loadIfNeeded();
    const std::shared_ptr<QVFileCategory> category = QVFileCategory::create(title, {}, weak_from_this());
    addCategory(category, kind == QVFileCategoryKindText ? _textCategories : _imageCategories);
    return category;
}

void QVFileCategories::removeCategory(const std::shared_ptr<QVFileCategory>& category,
                                      QVFileCategoryKind kind) {
    if (!category || (kind != QVFileCategoryKindText && kind != QVFileCategoryKindImage)) return;
    std::lock_guard guard(_lock);
    loadIfNeeded();
    QList<std::shared_ptr<QVFileCategory>>& list =
        kind == QVFileCategoryKindText ? _textCategories : _imageCategories;
    if (!list.removeOne(category)) return;
    // The map must not keep the category alive or hand it out: every extension it claimed falls
    // to another listed category or to none.
    QStringList claimed;
    for (auto it = _extensions->constBegin(); it != _extensions->constEnd(); ++it)
        if (it.value() == category) claimed.append(it.key());
    for (const QString& extension : claimed) rebindExtension(extension);
}

bool QVFileCategories::isListed(const std::shared_ptr<QVFileCategory>& category) const {
    return _textCategories.contains(category) || _imageCategories.contains(category);
}

void QVFileCategories::rebindExtension(const QString& extension) {
    _extensions->remove(extension);
    // Images win over texts, as they do when the store is read.
    for (const auto* list : {&_imageCategories, &_textCategories}) {
        for (auto it = list->crbegin(); it != list->crend(); ++it) {
            if ((*it)->containsType(extension)) {
                _extensions->insert(extension, *it);
                return;
            }
        }
    }
}

void QVFileCategories::noteExtensionAddedToCategory(const QString& extension,
                                                    const std::shared_ptr<QVFileCategory>& category) {
    std::lock_guard guard(_lock);
    loadIfNeeded();
    if (category && isListed(category)) _extensions->insert(extension, category);
}

void QVFileCategories::noteExtensionRemovedFromCategory(
    const QString& extension, const std::shared_ptr<QVFileCategory>& category) {
    std::lock_guard guard(_lock);
    loadIfNeeded();
    if (_extensions->value(extension) == category) rebindExtension(extension);
}

// --- The store ---------------------------------------------------------------------------------

QVariantMap QVFileCategories::plistRepresentation() {
    std::lock_guard guard(_lock);
    loadIfNeeded();
    QVariantList ignorable;
    for (const QString& type : ignoreTypes()) ignorable.append(type);
    return {{kTextKey, plistForCategories(_textCategories)},
            {kImageKey, plistForCategories(_imageCategories)},
            {kIgnorableKey, ignorable}};
}

bool QVFileCategories::commit(QVError* error) {
    if (!Defaults::writeDataPlist(plistRepresentation(), _writePath, QStringLiteral("fileCategories.plist"),
                                  QStringLiteral("file categories"), error))
        return false;
    // Outside the lock: observers may ask the model again from their own threads.
    NotificationCenter::defaultCenter().post(QString::fromLatin1(QVFileCategoriesChangedNotification),
                                             this);
    return true;
}

// --- The probe ---------------------------------------------------------------------------------

void QVFileCategories::setProbeProgram(const QString& program) {
    std::lock_guard guard(_lock);
    _probeProgram = program;
}

void QVFileCategories::setProbeTimeout(int milliseconds) {
    std::lock_guard guard(_lock);
    _probeTimeout = milliseconds;
}

std::optional<QString> QVFileCategories::usrBinFileForPath(const QString& path) const {
    if (path.isEmpty()) return std::nullopt;
    QString program;
    ProcessOptions options;
    {
        std::lock_guard guard(_lock);
        program = _probeProgram;
        options.timeoutMs = _probeTimeout;
    }
    options.extraEnvironment = {QStringLiteral("LC_ALL=C")};
    // Brief output names no file, so a name holding ":" or "text" cannot sway the answer; links
    // are followed so a link is what it points to; -E makes an unreadable path a failure rather
    // than a description that mentions its name.
    const ProcessResult result =
        Process::run(program, {QStringLiteral("-E"), QStringLiteral("-b"), QStringLiteral("-L"),
                               QStringLiteral("--"), path},
                     options);
    if (!result.succeeded()) {
        if (result.timedOut || !result.started)
            SystemLog::warning(QStringLiteral("File type probe failed for %1: %2")
                                   .arg(path, result.errorString));
        return std::nullopt;
    }
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = QString(decoder.decode(result.standardOutput)).trimmed();
    if (decoder.hasError() || text.isEmpty()) return std::nullopt;
    return text;
}

bool QVFileCategories::pathIsText(const QString& path) {
    return probe(path, QVFileCategoryKindText);
}

bool QVFileCategories::pathIsImage(const QString& path) {
    return probe(path, QVFileCategoryKindImage);
}

bool QVFileCategories::probe(const QString& path, QVFileCategoryKind kind) {
    const QString extension = pathExtension(path);
    ProbeCache& cache = kind == QVFileCategoryKindText ? _cachedTextTypes : _cachedImageTypes;
    // What the extension's own category says of the kind; nothing for an extension no text or
    // image category claims. Only answers that agree with it are remembered and reused.
    const auto expected = [&]() -> std::optional<bool> {
        const bool text = extensionIsTypeLocked(extension, QVFileCategoryKindText);
        const bool image = extensionIsTypeLocked(extension, QVFileCategoryKindImage);
        if (!text && !image) return std::nullopt;
        return kind == QVFileCategoryKindText ? text : image;
    };

    if (!extension.isEmpty()) {
        std::lock_guard guard(_lock);
        loadIfNeeded();
        if (const std::optional<bool> expectation = expected()) {
            if (*expectation && cache.positive.contains(extension)) return true;
            if (!*expectation && cache.negative.contains(extension)) return false;
        }
    }

    // The lock is not held here: the program may take up to its time-out.
    const std::optional<QString> description = usrBinFileForPath(path);
    bool answer = false;
    if (description) {
        if (kind == QVFileCategoryKindText)
            answer = description->contains(QLatin1String("text"), Qt::CaseInsensitive) ||
                     description->contains(QLatin1String("unicode"), Qt::CaseInsensitive) ||
                     description->contains(QLatin1String("empty"), Qt::CaseInsensitive);
        else
            answer = description->contains(QLatin1String("image"), Qt::CaseInsensitive);
    }

    if (description && !extension.isEmpty()) {
        std::lock_guard guard(_lock);
        const std::optional<bool> expectation = expected();
        if (expectation && *expectation == answer)
            (answer ? cache.positive : cache.negative).insert(extension);
    }
    return answer;
}
