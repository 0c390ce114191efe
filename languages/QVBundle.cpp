// A language bundle: its folder, Info values, definitions and the objects built from them.
#include "languages/QVBundle.h"

#include "languages/QVBundleComponent.h"
#include "languages/QVBundleFileCategories.h"
#include "languages/QVCodeHinting.h"
#include "languages/QVCodeNavParser.h"
#include "languages/QVParser.h"
#include "platform/NotificationCenter.h"
#include "platform/PropertyList.h"
#include "platform/SystemLog.h"
#include "shell/Defaults.h"
#include "shell/StringHashing.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cerrno>
#include <filesystem>
#include <cstdio>

namespace {

const QString kContents = QStringLiteral("Contents");
const QString kResources = QStringLiteral("Resources");
const QString kBundlesFolder = QStringLiteral("Bundles");
const QString kBackupExtension = QStringLiteral(".backup");

const QString kIdentifierKey = QStringLiteral("CFBundleIdentifier");
const QString kNameKey = QStringLiteral("CFBundleName");
const QString kVersionKey = QStringLiteral("CFBundleVersion");
const QString kHideInListKey = QStringLiteral("hide-in-list");
const QString kTooltipKey = QStringLiteral("tooltip");
const QString kFileCategoriesKey = QStringLiteral("file-categories");
const QString kFileTypesKey = QStringLiteral("file-types");
const QString kClassKey = QStringLiteral("class");
const QString kFormatTypeKey = QStringLiteral("format-type");

// The Info keys a save writes itself; every other key read is carried over.
const QStringList kInfoKeys = {kIdentifierKey, kVersionKey, kNameKey, kFileTypesKey, kFileCategoriesKey};

// The syntax keys the parsers write when they are set and leave out when they are not, so a
// value the user cleared must not come back from the file read. "embedded-elements" is not
// among them: no editor changes it, and a parser that could not resolve them would drop them.
const QStringList kSyntaxKeys = {
    QStringLiteral("format-version"), QStringLiteral("format-type"),  QStringLiteral("format-id"),
    QStringLiteral("folding"),        QStringLiteral("openers"),      QStringLiteral("closers"),
    QStringLiteral("keyword-characters"), QStringLiteral("case-sensitive"), QStringLiteral("quotes"),
    QStringLiteral("comments"),       QStringLiteral("keywords"),     QStringLiteral("regex-keywords"),
    QStringLiteral("tag-prefix"),     QStringLiteral("style"),        QStringLiteral("embedded"),
};

struct FactoryRegistry {
    std::mutex lock;
    QHash<QString, QVBundle::ComponentFactory> completion;
    QVBundle::ComponentFactory indexer;
    // Bumped by every registration, so that a bundle tries a refused definition again only
    // when the factories changed.
    quint64 generation = 1;
};

FactoryRegistry& factories() {
    static FactoryRegistry registry;
    return registry;
}

bool isString(const QVariant& value) { return value.typeId() == QMetaType::QString; }

QStringList stringsOf(const QVariant& value) {
    QStringList strings;
    for (const QVariant& item : value.toList())
        if (isString(item)) strings.append(item.toString());
    return strings;
}

bool exists(const QString& path) {
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

// The dictionary (or array) in a property-list file; nothing for a missing file, and nothing,
// with a log line, for one that does not read as that kind of list.
std::optional<QVariant> readPlist(const QString& path, QMetaType::Type type) {
    if (!QFileInfo::exists(path)) return std::nullopt;
    QVError error;
    const QVariant value = PropertyList::readFile(path, &error);
    if (value.typeId() == type) return value;
    SystemLog::warning(QStringLiteral("The language definition \"%1\" can't be used: %2")
                           .arg(path, error ? error.localizedDescription() : QStringLiteral("wrong kind of list")));
    return std::nullopt;
}

std::optional<QVariantMap> readDictionary(const QString& path) {
    const std::optional<QVariant> value = readPlist(path, QMetaType::QVariantMap);
    return value ? std::optional<QVariantMap>(value->toMap()) : std::nullopt;
}

std::optional<QVariantList> readArray(const QString& path) {
    const std::optional<QVariant> value = readPlist(path, QMetaType::QVariantList);
    return value ? std::optional<QVariantList>(value->toList()) : std::nullopt;
}

// representation over what was read: keys the writer owns come only from representation.
QVariantMap merged(const QVariantMap& read, const QStringList& owned, const QVariantMap& representation) {
    QVariantMap result = read;
    for (const QString& key : owned) result.remove(key);
    for (auto it = representation.constBegin(); it != representation.constEnd(); ++it) result.insert(it.key(), it.value());
    return result;
}

// The bundle identifier of the bundle folder at path; null when it has none.
QString identifierAt(const QString& path) {
    const QVariant info = PropertyList::readFile(path + QLatin1Char('/') + kContents + QLatin1Char('/') + QVBundle::InfoFileName);
    const QVariant identifier = info.toMap().value(kIdentifierKey);
    return isString(identifier) ? identifier.toString() : QString();
}

QVError fileError(const QString& description, const QString& path, int err = 0) {
    if (err) return QVError::posix(err, description, path);
    QVariantMap info;
    info.insert(QString::fromLatin1(QVFilePathErrorKey), path);
    return QVError::app(0, description, {}, {}, info);
}

// Copies the folder from into the new folder to, recursively; symbolic links are copied as links.
bool copyTree(const QString& from, const QString& to, QVError* error) {
    if (!QDir().mkpath(to)) {
        qvSetError(error, fileError(QStringLiteral("The folder can't be created"), to));
        return false;
    }
    QDirIterator it(from, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    const QDir base(from);
    while (it.hasNext()) {
        const QString source = it.next();
        const QFileInfo info = it.fileInfo();
        const QString target = to + QLatin1Char('/') + base.relativeFilePath(source);
        bool done;
        if (info.isSymLink()) {
            // The link's own text, so that a relative link still points inside the copy.
            std::error_code failure;
            const std::filesystem::path link = std::filesystem::read_symlink(QFile::encodeName(source).toStdString(), failure);
            if (!failure) std::filesystem::create_symlink(link, QFile::encodeName(target).toStdString(), failure);
            done = !failure;
        }
        else if (info.isDir()) done = QDir().mkpath(target);
        else done = QFile::copy(source, target);
        if (!done) {
            qvSetError(error, fileError(QStringLiteral("The resource \"%1\" can't be copied").arg(info.fileName()), source));
            return false;
        }
    }
    return true;
}

bool removePath(const QString& path) {
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink()) return true;
    if (info.isDir() && !info.isSymLink()) return QDir(path).removeRecursively();
    return QFile::remove(path);
}

}  // namespace

// ---- factories --------------------------------------------------------------------------

void QVBundle::registerCompletionFactory(const QString& type, ComponentFactory factory) {
    FactoryRegistry& registry = factories();
    std::lock_guard locker(registry.lock);
    if (factory) registry.completion.insert(type, std::move(factory));
    else registry.completion.remove(type);
    ++registry.generation;
}

void QVBundle::registerIndexerFactory(ComponentFactory factory) {
    FactoryRegistry& registry = factories();
    std::lock_guard locker(registry.lock);
    registry.indexer = std::move(factory);
    ++registry.generation;
}

namespace {

quint64 factoryGeneration() {
    FactoryRegistry& registry = factories();
    std::lock_guard locker(registry.lock);
    return registry.generation;
}

}  // namespace

std::shared_ptr<QVBundleComponent> QVBundle::buildComponent(bool completion, const QVariantMap& definition) {
    ComponentFactory factory;
    {
        FactoryRegistry& registry = factories();
        std::lock_guard locker(registry.lock);
        if (!completion) {
            factory = registry.indexer;
        } else {
            const QVariant className = definition.value(kClassKey);
            const QVariant formatType = definition.value(kFormatTypeKey);
            if (isString(className)) factory = registry.completion.value(className.toString());
            if (!factory && isString(formatType)) factory = registry.completion.value(formatType.toString());
        }
    }
    return factory ? factory(shared_from_this(), definition) : nullptr;
}

std::shared_ptr<QVBundleComponent> QVBundle::makeCompletion(const QString& formatType) {
    return buildComponent(true, QVariantMap{{kFormatTypeKey, formatType}});
}

// ---- making and opening -----------------------------------------------------------------

QVBundle::QVBundle() = default;

QVBundle::~QVBundle() {
    if (_prefsObserver) NotificationCenter::defaultCenter().removeObserver(_prefsObserver);
}

void QVBundle::observePreferences() {
    std::weak_ptr<QVBundle> weak = weak_from_this();
    _prefsObserver = NotificationCenter::defaultCenter().addObserver(PrefsClosedNotification, nullptr,
                                                                     [weak](const Notification&) {
                                                                         if (auto bundle = weak.lock()) bundle->prefsChanged();
                                                                     });
}

std::shared_ptr<QVBundle> QVBundle::bundleWithPath(const QString& path, bool lazily, QVError* error) {
    std::shared_ptr<QVBundle> bundle(new QVBundle());
    QStringList categories;
    {
        std::lock_guard locker(bundle->_lock);
        if (!bundle->readInfo(QDir::cleanPath(QFileInfo(path).absoluteFilePath()), error)) return nullptr;
        categories = stringsOf(bundle->_info.value(kFileCategoriesKey));
    }
    bundle->loadFileCategories(categories);
    bundle->observePreferences();
    if (!lazily) bundle->loadDefinitions();
    return bundle;
}

std::shared_ptr<QVBundle> QVBundle::bundleWithTitle(const QString& title, const QString& parserIdentifier) {
    std::shared_ptr<QVBundle> bundle(new QVBundle());
    bundle->_title = title;
    bundle->_bundleIdentifier = StringHashing::uuid();
    bundle->_version = QStringLiteral("1.0");
    bundle->_parser = std::make_shared<QVParser>(bundle, parserIdentifier);
    bundle->observePreferences();
    return bundle;
}

bool QVBundle::readInfo(const QString& path, QVError* error) {
    const QString infoPath = path + QLatin1Char('/') + kContents + QLatin1Char('/') + InfoFileName;
    QVError readError;
    const QVariant info = PropertyList::readFile(infoPath, &readError);
    const QVariant identifier = info.toMap().value(kIdentifierKey);
    if (info.typeId() != QMetaType::QVariantMap || !isString(identifier) || identifier.toString().isEmpty()) {
        qvSetError(error, readError ? readError
                                    : fileError(QStringLiteral("The folder is not a language bundle: its Info.plist "
                                                               "has no bundle identifier"),
                                                infoPath));
        return false;
    }
    _path = path;
    _info = info.toMap();
    _bundleIdentifier = identifier.toString();
    const QVariant name = _info.value(kNameKey);
    _title = isString(name) ? name.toString() : QString();
    const QVariant version = _info.value(kVersionKey);
    _version = isString(version) ? version.toString() : QStringLiteral("1.0");
    const QVariant hide = _info.value(kHideInListKey);
    _hideInList = (hide.typeId() == QMetaType::Bool || hide.typeId() == QMetaType::LongLong) && hide.toBool();
    const QVariant tooltip = _info.value(kTooltipKey);
    _tooltip = isString(tooltip) ? tooltip.toString() : QString();
    _infoFileTypes = stringsOf(_info.value(kFileTypesKey));
    return true;
}

void QVBundle::loadFileCategories(const QStringList& titles) {
    QStringList kept;
    QStringList types;
    // Asked outside the bundle's lock: the file-category model has its own.
    for (const QString& title : titles) {
        const std::optional<QStringList> categoryTypes = QVBundleFileCategories::typesForCategory(title);
        if (!categoryTypes) continue;
        kept.append(title);
        types.append(*categoryTypes);
    }
    std::lock_guard locker(_lock);
    _fileCategories = kept;
    _fileTypes = types.isEmpty() ? _infoFileTypes : types;
}

void QVBundle::loadDefinitions() {
    QString path;
    {
        std::lock_guard locker(_lock);
        path = _path;
    }
    if (path.isEmpty()) return;
    const QString contents = path + QLatin1Char('/') + kContents + QLatin1Char('/');
    const std::shared_ptr<QVBundle> self = shared_from_this();

    const std::optional<QVariantMap> syntax = readDictionary(contents + SyntaxFileName);
    const std::optional<QVariantList> codeNav = readArray(contents + QVCodeNavParser::FileName);
    std::shared_ptr<QVParser> parser;
    if (syntax) {
        parser = QVParser::parserForPlist(self, *syntax);
        if (codeNav) parser->setCodeNavParser(std::make_shared<QVCodeNavParser>(*codeNav, parser));
    }
    const std::optional<QVariantMap> indexer = readDictionary(contents + IndexerFileName);
    const quint64 generation = factoryGeneration();
    const std::shared_ptr<QVBundleComponent> rules = indexer ? buildComponent(false, *indexer) : nullptr;

    std::lock_guard locker(_lock);
    if (syntax) {
        _parser = parser;
        _syntaxDefinition = syntax;
        _codeNavDefinition.reset();
    } else {
        // Not read for a bundle without syntax, but kept so that a save does not lose it.
        _codeNavDefinition = codeNav;
    }
    // Hints and completion lists are most of a bundle's bytes and colouring needs neither: they
    // are read on the first request (or save) instead of with every start of Qorvel.
    _deferredHinting = contents + QVCodeHinting::FileName;
    _codeCompletion = nullptr;
    _completionDefinition.reset();
    _deferredCompletion = contents + CompletionFileName;
    _codeIndexer = rules;
    _indexerDefinition = indexer;
    _indexerTried = generation;
}

void QVBundle::prefsChanged() {
    QString path;
    {
        std::lock_guard locker(_lock);
        path = _path;
    }
    if (path.isEmpty()) return;
    const std::optional<QVariantMap> indexer =
        readDictionary(path + QLatin1Char('/') + kContents + QLatin1Char('/') + IndexerFileName);
    const quint64 generation = factoryGeneration();
    const std::shared_ptr<QVBundleComponent> rules = indexer ? buildComponent(false, *indexer) : nullptr;
    std::lock_guard locker(_lock);
    _codeIndexer = rules;
    _indexerDefinition = indexer;
    _indexerTried = generation;
}

// ---- values -----------------------------------------------------------------------------

QString QVBundle::path() const {
    std::lock_guard locker(_lock);
    return _path;
}

QString QVBundle::title() const {
    std::lock_guard locker(_lock);
    return _title;
}

QString QVBundle::bundleIdentifier() const {
    std::lock_guard locker(_lock);
    return _bundleIdentifier;
}

QString QVBundle::version() const {
    std::lock_guard locker(_lock);
    return _version;
}

bool QVBundle::hideInList() const {
    std::lock_guard locker(_lock);
    return _hideInList;
}

QString QVBundle::tooltip() const {
    std::lock_guard locker(_lock);
    return _tooltip;
}

QString QVBundle::identifier() const {
    std::lock_guard locker(_lock);
    return _parser ? _parser->identifier() : QString();
}

std::shared_ptr<QVParser> QVBundle::parser() const {
    std::lock_guard locker(_lock);
    return _parser;
}

void QVBundle::setParser(std::shared_ptr<QVParser> parser) {
    std::lock_guard locker(_lock);
    _parser = std::move(parser);
}

std::shared_ptr<QVCodeNavParser> QVBundle::codeNavParser() const {
    std::lock_guard locker(_lock);
    return _parser ? _parser->codeNavParser() : nullptr;
}

void QVBundle::setCodeNavParser(std::shared_ptr<QVCodeNavParser> codeNavParser) {
    std::lock_guard locker(_lock);
    if (_parser) _parser->setCodeNavParser(std::move(codeNavParser));
}

// A missing or unreadable file keeps the hints the bundle had.
void QVBundle::readDeferredHinting() const {
    if (_deferredHinting.isEmpty()) return;
    const std::optional<QVariantMap> hinting = readDictionary(_deferredHinting);
    _deferredHinting.clear();
    if (!hinting) return;
    // The bundle is never made const; the hints only keep a weak reference back to it.
    _codeHinting = std::make_shared<QVCodeHinting>(std::const_pointer_cast<QVBundle>(shared_from_this()), *hinting);
    _hintingDefinition = hinting;
}

// The engine is built from it by the next componentOnRequest(), outside the lock.
void QVBundle::readDeferredCompletion() const {
    if (_deferredCompletion.isEmpty()) return;
    _completionDefinition = readDictionary(_deferredCompletion);
    _deferredCompletion.clear();
    _completionTried = 0;
}

std::shared_ptr<QVCodeHinting> QVBundle::codeHinting() const {
    std::lock_guard locker(_lock);
    readDeferredHinting();
    return _codeHinting;
}

std::shared_ptr<QVBundleComponent> QVBundle::componentOnRequest(bool completion) {
    std::shared_ptr<QVBundleComponent>& component = completion ? _codeCompletion : _codeIndexer;
    std::optional<QVariantMap>& definition = completion ? _completionDefinition : _indexerDefinition;
    quint64& tried = completion ? _completionTried : _indexerTried;
    QVariantMap read;
    const quint64 generation = factoryGeneration();
    {
        std::lock_guard locker(_lock);
        if (completion) readDeferredCompletion();
        if (component || !definition || tried == generation) return component;
        read = *definition;
    }
    // Built outside the lock: the factory may ask this bundle, or the registry, for anything.
    std::shared_ptr<QVBundleComponent> built = buildComponent(completion, read);
    std::lock_guard locker(_lock);
    tried = generation;
    if (!component && definition && *definition == read) component = std::move(built);
    return component;
}

std::shared_ptr<QVBundleComponent> QVBundle::codeCompletion() { return componentOnRequest(true); }

std::shared_ptr<QVBundleComponent> QVBundle::codeIndexer() { return componentOnRequest(false); }

void QVBundle::setCodeCompletion(std::shared_ptr<QVBundleComponent> completion) {
    std::lock_guard locker(_lock);
    // Removing the engine removes its definition: nothing is saved for it any more, and a
    // definition not yet read from the folder must not come back later either. A new engine
    // is saved merged into the definition read, so that is read first.
    if (completion) readDeferredCompletion();
    else _deferredCompletion.clear();
    if (!completion) _completionDefinition.reset();
    _codeCompletion = std::move(completion);
}

QVariantMap QVBundle::completionDefinition() const {
    std::lock_guard locker(_lock);
    readDeferredCompletion();
    return _completionDefinition.value_or(QVariantMap());
}

QVariantMap QVBundle::indexerDefinition() const {
    std::lock_guard locker(_lock);
    return _indexerDefinition.value_or(QVariantMap());
}

QStringList QVBundle::fileCategories() const {
    std::lock_guard locker(_lock);
    return _fileCategories;
}

void QVBundle::setFileCategories(const QStringList& titles) {
    {
        std::lock_guard locker(_lock);
        if (titles == _fileCategories) return;
    }
    loadFileCategories(titles);
}

QStringList QVBundle::fileTypes() const {
    std::lock_guard locker(_lock);
    return _fileTypes;
}

int QVBundle::compareTitle(const QVBundle& other) const {
    return title().compare(other.title(), Qt::CaseInsensitive);
}

QImage QVBundle::imageNamed(const QString& name) const {
    if (name.isEmpty() || name.contains(QLatin1Char('/')) || name == QLatin1String(".") || name == QLatin1String(".."))
        return {};
    std::lock_guard locker(_lock);
    const auto cached = _imageDict.constFind(name);
    if (cached != _imageDict.constEnd()) return *cached;
    if (_path.isEmpty()) return {};
    const QImage image(_path + QLatin1Char('/') + kContents + QLatin1Char('/') + kResources + QLatin1Char('/') + name);
    if (!image.isNull()) _imageDict.insert(name, image);
    return image;
}

QString QVBundle::safeFileName(const QString& title, const QString& fallback) {
    QString name;
    name.reserve(title.size());
    for (const QChar c : title) {
        const bool unsafe = c == QLatin1Char('/') || c == QLatin1Char('\\') || c.unicode() < 0x20 || c.unicode() == 0x7f;
        name.append(unsafe ? QLatin1Char('-') : c);
    }
    name = name.trimmed();
    while (name.startsWith(QLatin1Char('.'))) name = name.mid(1).trimmed();
    // Room for the extensions a save adds ("<name>.qvbundle.backup") within a file name's 255 bytes.
    while (name.toUtf8().size() > 200) name.chop(name.size() > 1 && name.back().isLowSurrogate() ? 2 : 1);
    name = name.trimmed();
    if (!name.isEmpty()) return name;
    if (!fallback.isEmpty()) return safeFileName(fallback);
    return QStringLiteral("Untitled");
}

// ---- saving -----------------------------------------------------------------------------

struct QVBundle::Saved {
    QString path;
    QString title;
    QString identifier;
    QVariantMap info;
    std::optional<QVariantMap> syntax;
    std::optional<QVariantList> codeNav;
    std::optional<QVariantMap> hinting;
    std::optional<QVariantMap> completion;
    std::optional<QVariantMap> indexer;
};

QVBundle::Saved QVBundle::savedContents() const {
    // What was never asked for is written back as read, so it is read now.
    readDeferredHinting();
    readDeferredCompletion();
    Saved saved;
    saved.path = _path;
    saved.title = _title;
    saved.identifier = _bundleIdentifier;

    saved.info = _info;
    for (const QString& key : kInfoKeys) saved.info.remove(key);
    if (!_bundleIdentifier.isEmpty()) saved.info.insert(kIdentifierKey, _bundleIdentifier);
    saved.info.insert(kVersionKey, _version);
    if (!_title.isNull()) saved.info.insert(kNameKey, _title);
    if (!_fileTypes.isEmpty()) saved.info.insert(kFileTypesKey, _fileTypes);
    saved.info.insert(kFileCategoriesKey, _fileCategories);

    if (_parser) {
        saved.syntax = merged(_syntaxDefinition.value_or(QVariantMap()), kSyntaxKeys, _parser->plistRepresentation());
        if (const std::shared_ptr<QVCodeNavParser> navigation = _parser->codeNavParser())
            saved.codeNav = navigation->plistRepresentation();
    } else {
        saved.codeNav = _codeNavDefinition;
    }
    saved.hinting = _hintingDefinition;
    if (_codeCompletion)
        saved.completion = merged(_completionDefinition.value_or(QVariantMap()), _codeCompletion->definitionKeys(),
                                  _codeCompletion->plistRepresentation());
    else
        saved.completion = _completionDefinition;
    if (_codeIndexer)
        saved.indexer = merged(_indexerDefinition.value_or(QVariantMap()), _codeIndexer->definitionKeys(),
                               _codeIndexer->plistRepresentation());
    else
        saved.indexer = _indexerDefinition;
    return saved;
}

namespace {

bool writeDefinition(const QVariant& value, const QString& contents, const QString& name, QVError* error) {
    return Defaults::writePlist(value, contents + QLatin1Char('/') + name, static_cast<int>(PlistFormat::Binary), error);
}

bool renamePath(const QString& from, const QString& to, QVError* error) {
    if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0) return true;
    qvSetError(error, fileError(QStringLiteral("The bundle folder can't be moved into place"), to, errno));
    return false;
}

}  // namespace

bool QVBundle::commit(QVError* error) {
    Saved saved;
    {
        std::lock_guard locker(_lock);
        saved = savedContents();
    }

    const QString folder = Defaults::appSupportPathForFile(kBundlesFolder);
    if (!QDir().mkpath(folder) || !QFileInfo(folder).isDir()) {
        qvSetError(error, fileError(QStringLiteral("The Bundles folder can't be created"), folder));
        return false;
    }
    const QString extension = QLatin1Char('.') + BundleExtension;
    QString name = saved.path.isEmpty() ? QString() : QFileInfo(saved.path).fileName();
    if (name.isEmpty() || name.startsWith(QLatin1Char('.')))
        name = safeFileName(saved.title, saved.identifier) + extension;
    else if (!name.endsWith(extension))
        name += extension;
    // Another bundle's folder (a hidden one, or another language of the same name) is never
    // replaced by this one.
    const QString stem = name.chopped(extension.size());
    QString target = folder + QLatin1Char('/') + name;
    for (int n = 2; exists(target) && identifierAt(target) != saved.identifier; ++n) {
        if (n > 1000) {
            qvSetError(error, fileError(QStringLiteral("No free folder name is left for the bundle"), target));
            return false;
        }
        target = folder + QLatin1Char('/') + stem + QLatin1Char(' ') + QString::number(n) + extension;
    }
    const bool hadPrevious = exists(target);

    // Assembled where the registry never looks (the name does not end in ".qvbundle"), so that
    // a save that fails half-way leaves nothing behind that could pass for a bundle.
    QTemporaryDir temp(folder + QStringLiteral("/.") + QFileInfo(target).fileName() + QStringLiteral(".saving-XXXXXX"));
    if (!temp.isValid()) {
        qvSetError(error, fileError(QStringLiteral("The bundle can't be assembled: %1").arg(temp.errorString()), folder));
        return false;
    }
    QFile::setPermissions(temp.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                                           QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                           QFileDevice::ExeOther);
    const QString contents = temp.path() + QLatin1Char('/') + kContents;
    if (!QDir().mkpath(contents)) {
        qvSetError(error, fileError(QStringLiteral("The folder can't be created"), contents));
        return false;
    }
    const QString resourcesSource = hadPrevious ? target : saved.path;
    if (!resourcesSource.isEmpty()) {
        const QString resources = resourcesSource + QLatin1Char('/') + kContents + QLatin1Char('/') + kResources;
        if (QFileInfo(resources).isDir() && !copyTree(resources, contents + QLatin1Char('/') + kResources, error))
            return false;
    }
    if (!writeDefinition(saved.info, contents, InfoFileName, error)) return false;
    if (saved.codeNav && !writeDefinition(*saved.codeNav, contents, QVCodeNavParser::FileName, error)) return false;
    if (saved.syntax && !writeDefinition(*saved.syntax, contents, SyntaxFileName, error)) return false;
    if (saved.indexer && !writeDefinition(*saved.indexer, contents, IndexerFileName, error)) return false;
    if (saved.completion && !writeDefinition(*saved.completion, contents, CompletionFileName, error)) return false;
    if (saved.hinting && !writeDefinition(*saved.hinting, contents, QVCodeHinting::FileName, error)) return false;

    const QString backup = target + kBackupExtension;
    if (hadPrevious) {
        if (!removePath(backup)) {
            qvSetError(error, fileError(QStringLiteral("The old backup of the bundle can't be removed"), backup));
            return false;
        }
        if (!renamePath(target, backup, error)) return false;
    }
    if (!renamePath(temp.path(), target, error)) {
        if (hadPrevious && std::rename(QFile::encodeName(backup).constData(), QFile::encodeName(target).constData()) != 0)
            SystemLog::error(QStringLiteral("The previous copy of the bundle stays at \"%1\"").arg(backup));
        return false;
    }
    temp.setAutoRemove(false);
    if (hadPrevious && !removePath(backup))
        SystemLog::warning(QStringLiteral("The backup \"%1\" of a saved bundle can't be removed").arg(backup));

    std::lock_guard locker(_lock);
    // Read from the saved copy from now on, so that what the preferences just saved (the indexer
    // they reload when they close, the images) is what the bundle sees.
    _path = target;
    _info = saved.info;
    if (saved.syntax) _syntaxDefinition = saved.syntax;
    if (_parser) _codeNavDefinition.reset();
    else _codeNavDefinition = saved.codeNav;
    _completionDefinition = saved.completion;
    _indexerDefinition = saved.indexer;
    return true;
}
