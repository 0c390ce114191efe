// The project file: its dictionary, where its two copies live, writing them and reading both
// forms (with and without "format-version").
#include "projects/QVProject.h"

#include "platform/AppBundle.h"
#include "platform/PropertyList.h"
#include "platform/SystemLog.h"
#include "shell/Defaults.h"
#include "shell/FileManagerUtilities.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

const QString FormatVersionKey = QStringLiteral("format-version");
const QString LocalMetadataKey = QStringLiteral("local-metadata");
const QString RemoteMetadataKey = QStringLiteral("remote-metadata");
const QString ConfigurationKey = QStringLiteral("configuration");
const QString FileConfigurationKey = QStringLiteral("file-configuration");

QString stringValue(const QVariantMap& map, const QString& key) {
    const QVariant value = map.value(key);
    return value.typeId() == QMetaType::QString ? value.toString() : QString();
}

QVariantMap mapValue(const QVariantMap& map, const QString& key) {
    const QVariant value = map.value(key);
    return value.typeId() == QMetaType::QVariantMap ? value.toMap() : QVariantMap();
}

}  // namespace

QString QVProject::sharedProjectsFolder() { return Defaults::appSupportPathForFile(QStringLiteral("Projects")); }

QString QVProject::rootFolderCopyPath() const {
    if (_rootDirectory.isEmpty()) return {};
    // Sorted, so "the first project file of the folder" is the same on every machine.
    const QStringList copies = QDir(_rootDirectory).entryList({QStringLiteral("*.") + FileExtension},
                                                              QDir::Files | QDir::Hidden, QDir::Name);
    if (!copies.isEmpty()) return _rootDirectory + QLatin1Char('/') + copies.first();
    QString name = safeFileName(_originalDisplayName.isEmpty() ? _displayName : _originalDisplayName);
    if (name.isEmpty()) name = safeFileName(QFileInfo(_rootDirectory).fileName());
    if (name.isEmpty()) return {};
    return _rootDirectory + QLatin1Char('/') + name + QLatin1Char('.') + FileExtension;
}

QStringList QVProject::projectFileSearchPaths() {
    const QString shared = sharedProjectsFolder() + QLatin1Char('/') + uuid() + QLatin1Char('.') + FileExtension;
    const QString local = rootFolderCopyPath();
    QStringList paths;
    if (Defaults::useSharedProjectLocation()) paths << shared << local;
    else paths << local << shared;
    paths.removeAll(QString());
    return paths;
}

QVariantMap QVProject::plistRepresentation() {
    QVariantMap plist;
    plist.insert(FormatVersionKey, 1);
    QVariantMap local;
    if (!_rootDirectory.isEmpty()) local.insert(QStringLiteral("root-directory"), _rootDirectory);
    if (!_displayName.isNull()) local.insert(QStringLiteral("display-name"), _displayName);
    if (!_originalDisplayName.isNull()) local.insert(QStringLiteral("original-display-name"), _originalDisplayName);
    plist.insert(LocalMetadataKey, local);
    plist.insert(QStringLiteral("type"), _type);
    plist.insert(QStringLiteral("uuid"), uuid());
    plist.insert(RemoteMetadataKey, _remoteConfig.plistRepresentation());
    if (_respondsTo & QVProjectDelegate::OpenFileInformation)
        if (std::shared_ptr<QVProjectDelegate> delegate = _delegate.lock())
            if (std::optional<QVariantList> open = delegate->openFileInformationForProject(this))
                setConfigurationValue(*open, OpenFilesKey);
    if (!_configurationValues.isEmpty()) plist.insert(ConfigurationKey, _configurationValues);
    if (!_fileConfigurationValues.isEmpty()) plist.insert(FileConfigurationKey, _fileConfigurationValues);
    return plist;
}

bool QVProject::reallyCommit() {
    if (_readOnly) {
        // Said once when the project opened: a copy that could not be read stays as it is.
        _lastCommitError = QVError::app(1, QVLocalized(QStringLiteral("The project is read-only")),
                                        QVLocalized(QStringLiteral("Its project file could not be read and is not written over.")));
        return false;
    }
    const QStringList paths = projectFileSearchPaths();
    const QVariantMap plist = plistRepresentation();
    QVError firstError;
    bool first = true, wroteFirst = false;
    for (const QString& path : paths) {
        const bool isFirst = std::exchange(first, false);
        if (!isFirst && !QFileInfo::exists(path)) continue;
        QVError error;
        const QString folder = QFileInfo(path).absolutePath();
        bool written = false;
        if (!FileManagerUtilities::ensureDirectoryExists(folder)) error = QVError::posix(errno ? errno : EACCES, QStringLiteral("mkdir"), folder);
        else written = PropertyList::writeFile(plist, path, PlistFormat::XML, &error);
        if (isFirst) {
            wroteFirst = written;
            firstError = error;
        } else if (!written) {
            SystemLog::warning(QStringLiteral("The project copy %1 was not updated: %2").arg(path, error.localizedDescription()));
        }
    }
    if (paths.isEmpty())
        firstError = QVError::app(1, QVLocalized(QStringLiteral("The project has no place to be saved")),
                                  QVLocalized(QStringLiteral("Give it a root folder.")));
    if (wroteFirst) {
        // The file now holds what the project holds: reading it later would only undo changes
        // made since.
        _loaded = true;
        _remoteConfig.commit();
        _lastCommitError = {};
        return true;
    }
    _lastCommitError = firstError;
    reportCommitFailure(firstError);
    return false;
}

void QVProject::noteReadProblem(const QString& what, const QString& title) {
    SystemLog::warning(QStringLiteral("Project \"%1\": %2").arg(_displayName, what));
    if (_readError) {
        _readError.setUserInfoValue(QVLocalizedRecoverySuggestionKey, _readError.localizedRecoverySuggestion() + QLatin1Char(' ') + what);
        return;
    }
    _readError = QVError::app(1, title.isEmpty() ? QVLocalized(QStringLiteral("Part of the project file was not used")) : title, what);
}

bool QVProject::loadIfNecessary() {
    if (_loaded) return true;
    // Read once: the copy left as it is was read and said already.
    if (_readOnly) return false;
    // Changes waiting for their write are newer than any copy on disk.
    if (hasPendingCommit()) return true;
    for (const QString& path : projectFileSearchPaths()) {
        if (!QFileInfo::exists(path)) continue;
        QVError error;
        const QVariant plist = PropertyList::readFile(path, &error);
        if (plist.typeId() == QMetaType::QVariantMap) {
            loadFromPlistRepresentation(plist.toMap());
            _loaded = true;
            // The file's identifier was another folder's: it gets this project's own.
            if (std::exchange(_uuidReplaced, false)) commit(false);
            break;
        }
        // Never written over: the user's file goes aside, and the project says where. Where it
        // cannot go aside, the project writes no copy at all.
        _foundUnreadableCopy = true;
        const QString title = QVLocalized(QStringLiteral("The project file could not be read"));
        const QString aside = FileManagerUtilities::pathForCopyOfFile(path + QStringLiteral(".unreadable"), QString());
        if (QFile::rename(path, aside)) {
            noteReadProblem(QVLocalized(QStringLiteral("The project file %1 could not be read and was moved to %2.")).arg(path, aside), title);
        } else {
            _readOnly = true;
            noteReadProblem(QVLocalized(QStringLiteral("The project file %1 could not be read, nor moved aside. The project is "
                                                       "open read-only, with the settings it had before reading, and the file "
                                                       "is left as it is."))
                                .arg(path),
                            title);
        }
        _readError.setUserInfoValue(QVFilePathErrorKey, path);
    }
    return _loaded;
}

void QVProject::loadFromPlistRepresentation(const QVariantMap& plist) {
    const bool wasLoading = std::exchange(_loading, true);
    if (plist.contains(FormatVersionKey)) loadFromModernPlist(plist);
    else loadFromVersionFourBetaPlist(plist);
    // The identifier comes before the folder in the file: checked once both are known.
    keepUUIDOwn();
    _loading = wasLoading;
}

void QVProject::loadLocalMetadata(const QVariantMap& metadata) {
    _originalDisplayName = stringValue(metadata, QStringLiteral("original-display-name"));
    const QVariant name = metadata.value(QStringLiteral("display-name"));
    if (name.typeId() == QMetaType::QString) setDisplayName(name.toString());
    const QString root = stringValue(metadata, QStringLiteral("root-directory"));
    if (_rootDirectory.isEmpty() && !root.isEmpty()) {
        if (QDir::isAbsolutePath(root)) setRootDirectory(root);
        else noteReadProblem(QVLocalized(QStringLiteral("The root folder \"%1\" is not an absolute path.")).arg(root));
    }
}

void QVProject::loadRemoteMetadata(const QVariantMap& metadata) {
    _remoteConfig.loadFromPlist(metadata);
    // A project file may come from anyone and connecting is automatic: only options the
    // client reads as harmless stay.
    QStringList refused = _remoteConfig.removeRefusedOptions();
    // The host and user rules of the site settings: a value read as an option, or one holding
    // a line break, never reaches a client.
    const auto hasControl = [](const QString& value) {
        for (QChar c : value)
            if (c.unicode() < 0x20 || c.unicode() == 0x7F) return true;
        return false;
    };
    const auto badField = [&](const QString& value) { return value.startsWith(QLatin1Char('-')) || hasControl(value); };
    if (badField(_remoteConfig.host())) {
        refused << QStringLiteral("host \"%1\"").arg(_remoteConfig.host().simplified());
        _remoteConfig.setHost({});
    }
    if (badField(_remoteConfig.user())) {
        refused << QStringLiteral("user \"%1\"").arg(_remoteConfig.user().simplified());
        _remoteConfig.setUser({});
    }
    if (hasControl(_remoteConfig.initialDirectory())) {
        refused << QStringLiteral("initial-directory");
        _remoteConfig.setInitialDirectory({});
    }
    _refusedSiteSettings = !refused.isEmpty();
    if (_refusedSiteSettings)
        noteReadProblem(QVLocalized(QStringLiteral("These site settings were refused: %1.")).arg(refused.join(QStringLiteral(", "))));
}

void QVProject::loadConfigurations(const QVariantMap& plist) {
    // A missing "configuration" leaves none, without the defaults of a new project.
    setAllConfigurationValues(mapValue(plist, ConfigurationKey));
    QVariantMap files;
    const QVariantMap stored = mapValue(plist, FileConfigurationKey);
    for (auto it = stored.constBegin(); it != stored.constEnd(); ++it)
        if (it.value().typeId() == QMetaType::QVariantMap) files.insert(it.key(), it.value());
    _fileConfigurationValues = files;
}

void QVProject::loadFromModernPlist(const QVariantMap& plist) {
    const QString uuid = stringValue(plist, QStringLiteral("uuid"));
    if (!uuid.isEmpty() && !setUUID(uuid))
        noteReadProblem(QVLocalized(QStringLiteral("The identifier \"%1\" is not a UUID and was replaced.")).arg(uuid.left(64)));
    loadLocalMetadata(mapValue(plist, LocalMetadataKey));
    const QVariant type = plist.value(QStringLiteral("type"));
    const qint32 typeNumber = PropertyList::isInteger(type) ? qint32(type.toLongLong()) : Local;
    setType(typeNumber >= Local && typeNumber <= LocalAndRemote ? typeNumber : Local);
    loadConfigurations(plist);
    loadRemoteMetadata(mapValue(plist, RemoteMetadataKey));
}

void QVProject::loadFromVersionFourBetaPlist(const QVariantMap& plist) {
    loadLocalMetadata(mapValue(plist, LocalMetadataKey));
    loadConfigurations(plist);
    const QVariantMap remote = mapValue(plist, RemoteMetadataKey);
    loadRemoteMetadata(remote);
    for (const auto& [old, key] : {std::pair{QStringLiteral("auto-connect"), ConnectAutomaticallyKey},
                                   std::pair{QStringLiteral("upload-on-save"), UploadAutomaticallyKey}})
        if (PropertyList::isFlag(remote.value(old))) setBoolConfigurationValue(remote.value(old).toBool(), key);
    setType(_remoteConfig.host().isEmpty() ? Local : LocalAndRemote);
}
