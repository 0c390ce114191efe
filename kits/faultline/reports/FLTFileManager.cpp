#include "kits/faultline/reports/FLTFileManager.h"

#include "kits/faultline/reports/FLTReport.h"
#include "platform/Paths.h"
#include "platform/SystemLog.h"
#include "kits/trellis/TRLConstants.h"
#include "kits/trellis/TRLHelpers.h"

#include <QDir>
#include <QFileInfo>

#include <filesystem>
#include <system_error>

#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {
fs::path native(const QString& path) { return fs::path(path.toStdString()); }
}  // namespace

FLTFileManager::FLTFileManager()
    : FLTFileManager(Paths::cacheHome() + QLatin1Char('/') + QLatin1String(TRLKitPrefix) + QStringLiteral(".data/") + pathNamespace()) {}

FLTFileManager::FLTFileManager(QString rootPath) : _rootPath(std::move(rootPath)) {}

QString FLTFileManager::pathNamespace() { return TRLEscapedBundleIdentifier(); }
QString FLTFileManager::structurePath() const { return _rootPath + QStringLiteral("/v3"); }
QString FLTFileManager::activePath() const { return structurePath() + QStringLiteral("/active"); }
QString FLTFileManager::pendingPath() const { return structurePath() + QStringLiteral("/pending"); }
QString FLTFileManager::processingPath() const { return structurePath() + QStringLiteral("/processing"); }
QString FLTFileManager::preparedPath() const { return structurePath() + QStringLiteral("/prepared"); }

bool FLTFileManager::createDirectoryAtPath(const QString& path) const {
    std::error_code error;
    fs::create_directories(native(path), error);
    struct stat st {};
    if (error || ::stat(path.toLocal8Bit().constData(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        SystemLog::error(QStringLiteral("[FileManager] Unable to create directory %1: %2").arg(path, QString::fromStdString(error.message())));
        return false;
    }
    ::chmod(path.toLocal8Bit().constData(), 0755);
    return true;
}

bool FLTFileManager::removeItemAtPath(const QString& path) const {
    std::error_code error;
    // remove_all removes a link itself, never what it points at.
    if (path.isEmpty() || fs::remove_all(native(path), error) == static_cast<std::uintmax_t>(-1) || error) {
        SystemLog::error(QStringLiteral("[FileManager] Failed to remove file '%1' : %2").arg(path, QString::fromStdString(error.message())));
        return false;
    }
    return true;
}

bool FLTFileManager::removeContentsOfDirectoryAtPath(const QString& path) const {
    bool all = true;
    for (const QString& entry : contentsOfDirectory(path)) all = removeItemAtPath(entry) && all;
    return all;
}

bool FLTFileManager::moveItemAtPath(const QString& path, const QString& directory) const {
    if (path.isEmpty() || directory.isEmpty()) {
        SystemLog::error(QStringLiteral("[FileManager] Failed to move file, inputs invalid"));
        return false;
    }
    const QString destination = directory + QLatin1Char('/') + QFileInfo(path).fileName();
    std::error_code error;
    if (fs::symlink_status(native(destination), error).type() != fs::file_type::not_found) {
        SystemLog::error(QStringLiteral("[FileManager] Failed to move file: %1 exists").arg(destination));
        return false;
    }
    fs::rename(native(path), native(destination), error);
    if (error) {
        SystemLog::error(QStringLiteral("[FileManager] Failed to move file: %1").arg(QString::fromStdString(error.message())));
        return false;
    }
    return true;
}

bool FLTFileManager::copyItemAtPath(const QString& path, const QString& destination) const {
    std::error_code error;
    if (path.isEmpty() || destination.isEmpty() || fs::symlink_status(native(destination), error).type() != fs::file_type::not_found) {
        SystemLog::error(QStringLiteral("[FileManager] Failed to copy %1 to %2").arg(path, destination));
        return false;
    }
    fs::copy(native(path), native(destination), fs::copy_options::recursive | fs::copy_options::skip_symlinks, error);
    if (error) {
        SystemLog::error(QStringLiteral("[FileManager] Failed to copy %1: %2").arg(path, QString::fromStdString(error.message())));
        removeItemAtPath(destination);
        return false;
    }
    return true;
}

void FLTFileManager::enumerateFilesInDirectory(const QString& directory, const std::function<void(const QString&, const QString&)>& block) const {
    for (const QString& path : contentsOfDirectory(directory)) block(path, QFileInfo(path).suffix());
}

bool FLTFileManager::moveItemsFromDirectory(const QString& from, const QString& to) const {
    for (const QString& path : contentsOfDirectory(from))
        if (!moveItemAtPath(path, to)) return false;
    return true;
}

std::optional<qint64> FLTFileManager::fileSizeAtPath(const QString& path) const {
    struct stat st {};
    if (::stat(path.toLocal8Bit().constData(), &st) != 0) {
        SystemLog::error(QStringLiteral("[Client] Unable to read file size: %1").arg(QString::fromLocal8Bit(strerror(errno))));
        return std::nullopt;
    }
    return qint64(st.st_size);
}

QStringList FLTFileManager::contentsOfDirectory(const QString& directory) const {
    QStringList out;
    const QDir dir(directory);
    for (const QString& name : dir.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System, QDir::Name))
        if (!name.startsWith(QLatin1Char('.'))) out.append(directory + QLatin1Char('/') + name);
    return out;
}

bool FLTFileManager::prepareForNewLaunch() const {
    return createDirectoryAtPath(activePath()) && createDirectoryAtPath(processingPath()) && createDirectoryAtPath(preparedPath());
}

QString FLTFileManager::setupNewPathForExecutionIdentifier(const QString& identifier) const {
    if (identifier.isEmpty() || identifier.contains(QLatin1Char('/')) || identifier.startsWith(QLatin1Char('.'))) return {};
    const QString path = activePath() + QLatin1Char('/') + identifier;
    return createDirectoryAtPath(path) ? path : QString();
}

void FLTFileManager::removeLegacyDirectories() const {
    std::error_code error;
    if (fs::symlink_status(native(_rootPath + QStringLiteral("/sendable")), error).type() == fs::file_type::not_found) return;
    if (!removeItemAtPath(_rootPath))
        SystemLog::error(QStringLiteral("[Faultline:FileManager] Unable to remove legacy directory structure %1").arg(_rootPath));
    SystemLog::notice(QStringLiteral("[Faultline:FileManager] Removed legacy structure at %1").arg(_rootPath));
}

void FLTFileManager::enumerateReportsInProcessingDirectory(const std::function<void(const std::shared_ptr<FLTInternalReport>&, const QString&)>& block) const {
    for (const QString& path : processingPathContents()) block(FLTInternalReport::reportWithPath(path), path);
}

bool FLTFileManager::removeContentsOfAllPaths() const {
    bool all = removeContentsOfDirectoryAtPath(processingPath());
    all = removeContentsOfDirectoryAtPath(pendingPath()) && all;
    all = removeContentsOfDirectoryAtPath(preparedPath()) && all;
    return removeContentsOfDirectoryAtPath(activePath()) && all;
}
