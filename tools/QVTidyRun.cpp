#include "tools/QVTidyRun.h"

#include "platform/AppBundle.h"
#include "platform/AtomicFile.h"
#include "platform/FileName.h"
#include "platform/Process.h"
#include "shell/ScratchFolder.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <deque>
#include <future>
#include <optional>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// Where a file stood on disk: a later difference is another program's write.
struct DiskStamp {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    qint64 modified = 0, changed = 0;
    bool operator==(const DiskStamp&) const = default;
    static DiskStamp of(const QString& path) {
        struct stat info {};
        if (::stat(FileName::encode(path).constData(), &info) != 0) return {};
        return {true, info.st_dev, info.st_ino, info.st_size,
                qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec,
                qint64(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec};
    }
};

}  // namespace

QVTidyRun::QVTidyRun(const QList<std::shared_ptr<QVTidyOperation>>& operations, int timeoutMs)
    : _configuration(QVTidyOperation::mergedOperations(operations)), _timeoutMs(timeoutMs) {}

QString QVTidyRun::tidyProgram() {
    const QString bundled = AppBundle::main().pathForAuxiliaryExecutable(QStringLiteral("tidy"));
    return bundled.isEmpty() ? Process::findExecutable(QStringLiteral("tidy")) : bundled;
}

QStringList QVTidyRun::arguments(const QString& configPath, const QString& outputPath, const QString& inputPath,
                                 bool forText, const QString& messagesPath) {
    QStringList args{QStringLiteral("--tidy-mark"), QStringLiteral("n"), QStringLiteral("--wrap"), QStringLiteral("0")};
    if (forText) args << QStringLiteral("--char-encoding") << QStringLiteral("utf8");
    else args << QStringLiteral("-raw");
    args << QStringLiteral("-config") << configPath;
    // After the configuration: an operation's "write-back: yes" or "output-file" would rewrite
    // the input or send the page elsewhere.
    args << QStringLiteral("--write-back") << QStringLiteral("n") << QStringLiteral("--markup") << QStringLiteral("y");
    if (forText) args << QStringLiteral("--input-encoding") << QStringLiteral("utf8");
    args << QStringLiteral("-quiet") << QStringLiteral("-o") << outputPath;
    if (!messagesPath.isEmpty()) args << QStringLiteral("-f") << messagesPath;
    args << inputPath;
    return args;
}

bool QVTidyRun::prepare(QVError* error) {
    // The session's runtime folder when it is private: in memory on most desktops, so tidy's
    // outputs never wait behind the disk syncs of the pages being replaced.
    const QString base = ScratchFolder::privatePath();
    _folder = std::make_unique<QTemporaryDir>((base.isEmpty() ? QDir::tempPath() : base) + QStringLiteral("/tidy.XXXXXX"));
    if (!_folder->isValid()) {
        qvSetError(error, QVError::app(TidyFailedError, QStringLiteral("HTML Tidy could not be started."),
                                       QStringLiteral("No temporary folder could be made: %1").arg(_folder->errorString())));
        _folder.reset();
        return false;
    }
    QFile::setPermissions(_folder->path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QVError writeError;
    if (!AtomicFile::write(configurationPath(), _configuration.toUtf8(), &writeError)) {
        qvSetError(error, QVError::app(TidyFailedError, QStringLiteral("HTML Tidy could not be started."),
                                       writeError.localizedDescription()));
        _folder.reset();
        return false;
    }
    return true;
}

QString QVTidyRun::configurationPath() const {
    return _folder ? _folder->filePath(QStringLiteral("tidyConfig")) : QString();
}

QVTidyResult QVTidyRun::runTidy(const QString& inputPath, bool forText) {
    QVTidyResult result;
    if (!_folder && !prepare(&result.error)) return result;
    const QString program = tidyProgram();
    if (program.isEmpty()) {
        result.error = QVError::app(TidyMissingError, QStringLiteral("HTML Tidy could not be found."),
                                    QStringLiteral("Install the \"tidy\" program (Debian package \"tidy\") and try again."));
        return result;
    }
    const int number = ++_outputs;
    const QString output = _folder->filePath(QStringLiteral("tidyOutput.%1").arg(number));
    const QString messages = _folder->filePath(QStringLiteral("tidyMessages.%1").arg(number));
    QFile::remove(output);
    QFile::remove(messages);
    // An absolute path never reads as an option.
    const QString input = QFileInfo(inputPath).absoluteFilePath();
    ProcessOptions options;
    options.timeoutMs = _timeoutMs;
    const ProcessResult run = Process::run(program, arguments(configurationPath(), output, input, forText, messages), options);
    {
        QFile file(messages);
        // What tidy says before it opens the file (a bad configuration line) still comes on standard error.
        const QByteArray said = run.standardError + (file.open(QIODevice::ReadOnly) ? file.read(1 << 20) : QByteArray());
        result.messages = QString::fromUtf8(said).trimmed();
        file.remove();
    }
    if (!run.started || !run.exited || run.timedOut) {
        const QString why = !run.started ? run.errorString
                            : run.timedOut ? QStringLiteral("It did not finish in time.")
                                           : QStringLiteral("It ended with signal %1.").arg(run.exitStatus);
        result.error = QVError::app(run.started ? TidyFailedError : TidyMissingError,
                                    QStringLiteral("HTML Tidy failed on \"%1\".").arg(QFileInfo(inputPath).fileName()), why);
        QFile::remove(output);
        return result;
    }
    result.exitCode = run.exitStatus;
    if (run.exitStatus == 0 || run.exitStatus == 1) {
        result.status = run.exitStatus == 0 ? QVTidyResult::Clean : QVTidyResult::Warnings;
        QFile file(output);
        if (file.open(QIODevice::ReadOnly)) result.output = file.readAll();
        if (result.output.isEmpty())
            result.error = QVError::app(TidyFailedError,
                                        QStringLiteral("HTML Tidy wrote nothing for \"%1\".").arg(QFileInfo(inputPath).fileName()),
                                        result.messages);
    } else {
        result.status = QVTidyResult::Errors;
        result.error = QVError::app(TidyFailedError,
                                    QStringLiteral("HTML Tidy found errors in \"%1\"; the page was left as it was.")
                                        .arg(QFileInfo(inputPath).fileName()),
                                    result.messages);
    }
    QFile::remove(output);
    return result;
}

QVTidyResult QVTidyRun::tidyFile(const QString& path) {
    const QFileInfo info(path);
    // tidy answers a folder or a missing page with success and an empty output.
    if (path.isEmpty() || !info.isFile()) {
        QVTidyResult result;
        result.error = QVError::app(NotAFileError, QStringLiteral("HTML Tidy works on files only."),
                                    QStringLiteral("\"%1\" is not a file.").arg(path));
        return result;
    }
    return runTidy(path, false);
}

QVTidyResult QVTidyRun::tidyText(const QString& text) {
    QVTidyResult result;
    if (!_folder && !prepare(&result.error)) return result;
    const QString input = _folder->filePath(QStringLiteral("tidyInput.html"));
    if (!AtomicFile::write(input, text.toUtf8(), &result.error)) return result;
    result = runTidy(input, true);
    QFile::remove(input);
    return result;
}

namespace {

// Puts tidy's page in place of the file, when the file is still as tidy read it. With
// deferredFolder the caller syncs the folder.
QVTidyResult replaceFile(const QString& path, const DiskStamp& before, QVTidyResult result, QString* deferredFolder = nullptr) {
    if (!result.applicable()) return result;
    if (!(DiskStamp::of(path) == before)) {
        result.error = QVError::app(QVTidyRun::FileChangedError, QStringLiteral("\"%1\" changed while HTML Tidy read it; it was left as it was.")
                                                                     .arg(QFileInfo(path).fileName()));
        result.output.clear();
        return result;
    }
    AtomicFile::write(path, result.output, &result.error, {}, nullptr, deferredFolder);
    return result;
}

}  // namespace

QVTidyResult QVTidyRun::tidyAndReplaceFile(const QString& path) {
    const DiskStamp before = DiskStamp::of(path);
    return replaceFile(path, before, tidyFile(path));
}

QStringList QVTidyRun::pagesBelow(const QString& folder) {
    QStringList pages;
    QDirIterator it(folder, QDir::Files | QDir::NoSymLinks | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (it.fileInfo().suffix().startsWith(QLatin1String("htm"))) pages.append(path);
    }
    pages.sort();
    return pages;
}

QVTidyRun::TreeReport QVTidyRun::tidyTree(const QString& folder, const std::atomic<bool>& cancelled,
                                          const std::function<bool(const QString& path)>& skip, const Progress& progress) {
    TreeReport report;
    const QStringList pages = pagesBelow(folder);
    // Each page's outcome in page order (none: skipped).
    std::vector<std::optional<QVTidyResult>> outcomes(pages.size());
    // Pages are written while tidy reads the next ones, a few writes in flight, so that syncing
    // a page to the disk never holds tidy up; each folder's renames are made durable once, at
    // the end (a folder sync costs more than a small page).
    std::deque<std::future<QString>> writes;
    QSet<QString> folders;
    auto settleOldest = [&] {
        const QString folder = writes.front().get();
        writes.pop_front();
        if (!folder.isEmpty()) folders.insert(folder);
    };
    qsizetype done = 0;
    if (progress) progress(done, pages.size());
    for (qsizetype i = 0; i < pages.size(); ++i) {
        if (cancelled) {
            report.cancelled = true;
            break;
        }
        const QString& path = pages[i];
        if (skip && skip(path)) {
            outcomes[i] = std::nullopt;
        } else {
            const DiskStamp before = DiskStamp::of(path);
            QVTidyResult result = tidyFile(path);
            if (result.applicable()) {
                if (writes.size() >= 4) settleOldest();
                writes.push_back(std::async(std::launch::async, [&outcomes, i, path, before, result = std::move(result)]() mutable {
                    QString folder;
                    outcomes[i] = replaceFile(path, before, std::move(result), &folder);
                    return folder;
                }));
            } else {
                outcomes[i] = std::move(result);
            }
        }
        ++done;
        if (progress) progress(done, pages.size());
    }
    while (!writes.empty()) settleOldest();
    for (const QString& folder : std::as_const(folders)) AtomicFile::syncFolder(folder);
    for (qsizetype i = 0; i < done; ++i) {
        if (!outcomes[i]) report.skipped.append(pages[i]);
        else if (outcomes[i]->applicable() && outcomes[i]->error.isNull()) report.replaced.append(pages[i]);
        else report.failed.append({pages[i], *outcomes[i]});
    }
    return report;
}
