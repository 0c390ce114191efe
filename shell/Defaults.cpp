// The settings registry: factory values, typed getters, support paths and resource lookup.
#include "shell/Defaults.h"

#include "platform/AppBundle.h"
#include "platform/Paths.h"
#include "platform/PropertyList.h"
#include "platform/UserDefaults.h"
#include "shell/FileManagerUtilities.h"

#include <QDataStream>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QFontDatabase>
#include <QIODevice>

#include <algorithm>

namespace {


// Archive version pinned so that a font stored by one Qt release reads back in the next.
constexpr QDataStream::Version kFontArchiveVersion = QDataStream::Qt_6_0;

}  // namespace

QList<Defaults::FactoryValue> Defaults::factoryTable() {
    const QString themeID = AppBundle::main().bundleIdentifier() + QStringLiteral(".themes.light");
    // There is no older toolkit whose cells lack focus rings, so the WebDAV client is always
    // driven the modern way (0).
    const int webDAVExecType = 0;
    return {
        {QVAutoComplete, true},
        {QVAutoSave, false},
        {QVAutoCompleteOnType, false},
        {QVAutoSpecChars, true},
        {QVAutoTabKey, true},
        {QVCloseSiteManager, true},
        {QVDoGrepKey, false},
        {QVDoMatchCaseKey, false},
        {QVCurrentThemeID, themeID},
        {QVHighlightKey, true},
        {QVHowToOpenFiles, 0},
        {QVLineBreak, 0},
        {QVLineNums, true},
        {QVShowFilePropertiesSheet, true},
        {QVShowSiteManager, true},
        {QVTabsAreSpaces, false},
        {QVTabSizeKey, 4},
        {QVTextEncoding, QStringLiteral("utf-8")},
        {QVWrapText, false},
        {QVXHTMLTags, false},
        {QVShowInvisibles, false},
        {QVSFTPGratuitousLogging, false},
        {QVSFTPShowLog, true},
        {QVSFTPLogWidth, 270.0},
        {QVSFTPTimeout, QStringLiteral("90")},
        {QVUseTabs, true},
        {QVFTPExecPath, QStringLiteral("/usr/bin/ftp")},
        {QVSFTPExecPath, QStringLiteral("/usr/bin/sftp")},
        {QVWebDAVExecPath, QStringLiteral("/usr/bin/cadaver")},
        {QVWebDAVExecType, webDAVExecType},
        {QVRemoteFilesSortOrder, 0},
        {QVSuggestElementsAutomatically, true},
        {QVSuggestKeywordsAutomatically, false},
        {QVCodeIndexingEnabled, true},
        {QVCodeFoldingEnabled, true},
        // A single click in the project outline selects; a double click or Return opens.
        {QVDoubleClickToOpenFiles, true},
    };
}

void Defaults::resetDefaults(bool) { resetDefaults(UserDefaults::standard()); }

void Defaults::resetDefaults(UserDefaults& store) {
    for (const FactoryValue& entry : factoryTable()) {
        if (store.objectForKey(entry.key).isValid()) continue;
        const QVariant& value = entry.value;
        // Small numbers are flags in the settings UI: store them as booleans so that both
        // boolForKey and integerForKey read them back.
        if (PropertyList::isFlag(value) && value.toLongLong() < 2)
            store.setBool(value.toLongLong() != 0, entry.key);
        else
            store.setObject(value, entry.key);
    }
    store.synchronize();
}

std::optional<QFont> Defaults::storedDefaultFont() {
    const QVariant stored = UserDefaults::standard().objectForKey(QVDefaultFontKey);
    if (stored.typeId() != QMetaType::QByteArray) return std::nullopt;
    const QByteArray data = stored.toByteArray();
    QDataStream in(data);
    in.setVersion(kFontArchiveVersion);
    QFont font;
    in >> font;
    if (in.status() != QDataStream::Ok || font.family().isEmpty()) return std::nullopt;
    return font;
}

QFont Defaults::defaultFont() {
    if (std::optional<QFont> stored = storedDefaultFont()) return *stored;
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSizeF(11.0);
    return font;
}

void Defaults::setDefaultFont(const QFont& font) {
    QByteArray data;
    QDataStream out(&data, QIODevice::WriteOnly);
    out.setVersion(kFontArchiveVersion);
    out << font;
    UserDefaults::standard().setObject(data, QVDefaultFontKey);
}

bool Defaults::useSharedProjectLocation() {
    const QVariant v = UserDefaults::standard().objectForKey(QVUseSharedProjectLocation);
    return PropertyList::isFlag(v) ? v.toBool() : true;
}

bool Defaults::promptToSearchLocalCache() {
    const QVariant v = UserDefaults::standard().objectForKey(QVDontPromptToSearchLocalCache);
    return PropertyList::isFlag(v) ? !v.toBool() : true;
}

bool Defaults::searchLocalCacheForRemoteProjects() {
    const QVariant v = UserDefaults::standard().objectForKey(QVSearchLocalCacheForRemoteProjects);
    return PropertyList::isFlag(v) ? v.toBool() : false;
}

QString Defaults::textEncoding() {
    const QVariant v = UserDefaults::standard().objectForKey(QVTextEncoding);
    // An empty name names no encoding; readers would otherwise take it for "detect".
    if (v.typeId() == QMetaType::QString && !v.toString().isEmpty()) return v.toString();
    return QStringLiteral("utf-8");
}

QString Defaults::appSupportPath() { return Paths::dataHome(); }

QString Defaults::appSupportPathForFile(const QString& name) {
    const QString folder = Paths::applicationSupport();
    return name.isEmpty() ? folder : folder + QLatin1Char('/') + name;
}

QString Defaults::appSupportPathForFile(const QString& name, const QString& folder) {
    return appSupportPathForFile(folder) + QLatin1Char('/') + name;
}

QString Defaults::pathForResource(const QString& name, const QString& type,
                                  const QString& folder) {
    if (name.isEmpty()) return {};
    const QString fileName = type.isEmpty() ? name : name + QLatin1Char('.') + type;
    const QString candidate = folder.isEmpty() ? appSupportPathForFile(fileName)
                                               : appSupportPathForFile(fileName, folder);
    if (QFileInfo::exists(candidate)) return candidate;

    const AppBundle& bundle = AppBundle::main();
    QString path = bundle.pathForResource(name, type, folder);
    if (path.isEmpty() && !folder.isEmpty()) path = bundle.pathForResource(name, type);
    return path;
}

QStringList Defaults::pathsForResourcesOfType(const QString& type, const QString& folder) {
    const QString base = folder.isEmpty() ? appSupportPathForFile() : appSupportPathForFile(folder);
    QStringList subPaths;
    // Symbolic links to folders are listed but not entered, so a link loop cannot hang us.
    QDirIterator it(base, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    const QDir baseDir(base);
    while (it.hasNext()) {
        const QString path = it.next();
        if (it.fileInfo().suffix() == type) subPaths.append(baseDir.relativeFilePath(path));
    }
    std::sort(subPaths.begin(), subPaths.end());

    QStringList result;
    result.reserve(subPaths.size());
    for (const QString& sub : subPaths) result.append(base + QLatin1Char('/') + sub);
    result.append(AppBundle::main().pathsForResourcesOfType(type, folder));
    return result;
}

bool Defaults::writeDataPlist(const QVariant& plist, const QString& path, const QString& name, const QString& what,
                              QVError* error) {
    const QString target = path.isEmpty() ? appSupportPathForFile(name, QStringLiteral("data")) : path;
    const QString folder = QFileInfo(target).absolutePath();
    if (!FileManagerUtilities::ensureDirectoryExists(folder)) {
        qvSetError(error, QVError::app(FileManagerUtilities::FileOperationErrorCode,
                                       QStringLiteral("The %1 could not be saved.").arg(what),
                                       QStringLiteral("The folder %1 could not be created.").arg(folder)));
        return false;
    }
    return writePlist(plist, target, int(PlistFormat::XML), error);
}

bool Defaults::writePlist(const QVariant& plist, const QString& path, int format,
                          QVError* error) {
    PlistFormat plistFormat;
    if (format == static_cast<int>(PlistFormat::Binary))
        plistFormat = PlistFormat::Binary;
    else if (format == static_cast<int>(PlistFormat::XML))
        plistFormat = PlistFormat::XML;
    else {
        qvSetError(error, QVError::app(0, QStringLiteral("Unknown property-list format"),
                                       QStringLiteral("Format %1 is neither 100 (XML) nor 200 "
                                                      "(binary).").arg(format)));
        return false;
    }
    return PropertyList::writeFile(plist, path, plistFormat, error);
}
