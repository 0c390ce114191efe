// Start-up item that makes the scratch folder and the application-support folder tree.
#include "shell/QVSetupConfigurationDirectories.h"

#include "platform/AppBundle.h"
#include "platform/SystemLog.h"
#include "shell/Defaults.h"
#include "shell/FileManagerUtilities.h"
#include "shell/ScratchFolder.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace {

bool mkdirOne(const QString& path) {
    return ::mkdir(QFile::encodeName(path).constData(), 0777) == 0;
}

// Copies the tree below source into the existing folder target; false at the first failure.
bool copyTree(const QString& source, const QString& target) {
    QDirIterator it(source, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    const QDir sourceDir(source);
    while (it.hasNext()) {
        const QString from = it.next();
        const QFileInfo info = it.fileInfo();
        const QString to = target + QLatin1Char('/') + sourceDir.relativeFilePath(from);
        if (info.isSymLink()) continue;  // resources hold no links; never follow one out
        if (info.isDir()) {
            if (!mkdirOne(to)) return false;
        } else if (!QFile::copy(from, to)) {
            return false;
        }
    }
    return true;
}

}  // namespace

void QVSetupConfigurationDirectories::run() {
    ScratchFolder::path();

    // The data folder may not exist yet for a new account, so its parents are made too.
    const QString dataFolder = Defaults::appSupportPath();
    if (!QFileInfo::exists(dataFolder) && !FileManagerUtilities::ensureDirectoryExists(dataFolder))
        SystemLog::warning(QStringLiteral("Cannot create %1").arg(dataFolder));
    const QString supportFolder = Defaults::appSupportPathForFile();
    if (!QFileInfo::exists(supportFolder) && !mkdirOne(supportFolder))
        SystemLog::warning(QStringLiteral("Cannot create %1: %2")
                               .arg(supportFolder, QString::fromLocal8Bit(std::strerror(errno))));

    _createAppSupportDirectory(QStringLiteral("TidyConfigFiles"), QStringLiteral("Tidy"));
    _createAppSupportDirectory(QStringLiteral("userscripts"), QStringLiteral("User Scripts"));
    for (const char* name : {"data", "highlighting", "backups", "snippets", "codecompletion",
                             "Bundles", "Themes", "Projects"})
        _createAppSupportDirectory(QLatin1String(name));
}

void QVSetupConfigurationDirectories::_createAppSupportDirectory(const QString& name,
                                                                 const QString& bundleDirectory) {
    const QString target = Defaults::appSupportPathForFile(name);
    struct stat st;
    if (::lstat(QFile::encodeName(target).constData(), &st) == 0) return;

    if (bundleDirectory.isEmpty()) {
        if (!mkdirOne(target) && errno != EEXIST)
            SystemLog::warning(QStringLiteral("Cannot create %1: %2")
                                   .arg(target, QString::fromLocal8Bit(std::strerror(errno))));
        return;
    }

    const QString source = AppBundle::main().pathForResource(bundleDirectory);
    if (source.isEmpty() || !QFileInfo(source).isDir()) {
        SystemLog::warning(QStringLiteral("Resource folder \"%1\" is missing; %2 not created")
                               .arg(bundleDirectory, target));
        return;
    }

    const QString supportFolder = Defaults::appSupportPathForFile();
    QString staging;
    for (int attempt = 0; attempt < 100 && staging.isEmpty(); ++attempt) {
        const QString candidate = QStringLiteral("%1/.%2.partial-%3")
                                      .arg(supportFolder, name)
                                      .arg(QRandomGenerator::global()->generate(), 8, 16,
                                           QLatin1Char('0'));
        if (mkdirOne(candidate)) staging = candidate;
        else if (errno != EEXIST) break;
    }
    if (staging.isEmpty()) {
        SystemLog::warning(QStringLiteral("Cannot create %1: %2")
                               .arg(target, QString::fromLocal8Bit(std::strerror(errno))));
        return;
    }

    if (!copyTree(source, staging)) {
        SystemLog::warning(QStringLiteral("Cannot copy %1 to %2").arg(source, target));
        QDir(staging).removeRecursively();
        return;
    }
    // rename() refuses a non-empty target, so a folder made meanwhile by another instance wins.
    if (std::rename(QFile::encodeName(staging).constData(), QFile::encodeName(target).constData()) != 0)
        QDir(staging).removeRecursively();
}
