// One run of the tidy program with the merged options of some Tidy operations, file by file,
// without any window: the configuration, the command line, tidy's outcome, and replacing a
// file on disk only when tidy produced a page. Thread-safe to use from one worker at a time.
#pragma once

#include "platform/QVError.h"
#include "tools/QVTidyOperation.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <atomic>
#include <functional>
#include <memory>

struct QVTidyResult {
    enum Status {
        NotRun,    // tidy could not run on it (error says why)
        Clean,     // exit 0
        Warnings,  // exit 1: output written, messages worth reading
        Errors,    // exit 2: tidy wrote no page
    };
    Status status = NotRun;
    int exitCode = -1;
    QByteArray output;  // the tidied page (empty unless Clean or Warnings)
    QString messages;   // what tidy said on standard error
    QVError error;      // NotRun and Errors: why nothing is applied

    // Whether the output may replace the page: tidy finished with 0 or 1 and wrote something.
    bool applicable() const { return (status == Clean || status == Warnings) && !output.isEmpty(); }
};

class QVTidyRun {
public:
    // Codes of the errors a run reports (application domain).
    static constexpr qint64 TidyMissingError = 240;
    static constexpr qint64 TidyFailedError = 241;
    static constexpr qint64 NotAFileError = 242;
    static constexpr qint64 FileChangedError = 243;

    explicit QVTidyRun(const QList<std::shared_ptr<QVTidyOperation>>& operations, int timeoutMs = 60000);

    // The tidy program: an auxiliary executable of the application, else "tidy" on PATH.
    static QString tidyProgram();
    // The arguments for one page. Our defaults come before the configuration so operations can
    // change them; what keeps the run sound (no write-back, markup on, our output file) comes
    // after it so no operation can undo it. forText: the input is the editor's UTF-8 text.
    // messagesPath (optional): tidy's messages go to that file rather than down a pipe, which
    // costs tidy a write and us a wake-up per line.
    static QStringList arguments(const QString& configPath, const QString& outputPath, const QString& inputPath,
                                 bool forText, const QString& messagesPath = {});

    // Writes the merged configuration into a private folder (removed with the run). False:
    // nothing can run (error says why).
    bool prepare(QVError* error = nullptr);
    QString configurationPath() const;

    // Runs tidy on the file at path; changes nothing on disk.
    QVTidyResult tidyFile(const QString& path);
    // Runs tidy on text (read and written as UTF-8).
    QVTidyResult tidyText(const QString& text);
    // Tidies the file and, when the output is applicable and the file is as it was when tidy
    // read it, replaces it atomically keeping its mode and owner. The result's error says why
    // nothing was replaced.
    QVTidyResult tidyAndReplaceFile(const QString& path);

    // The site scope: every file below folder whose extension begins with "htm" (matched as
    // written: "d.HTML" is not one), in name order, replaced on disk as tidyAndReplaceFile()
    // does. Links are not followed. skip (asked before each file) keeps a file for the caller,
    // such as one open in an editor. Stops between files once cancelled is set.
    struct TreeReport {
        QStringList replaced;
        QList<std::pair<QString, QVTidyResult>> failed;
        QStringList skipped;
        bool cancelled = false;
    };
    // progress hears how many pages are done of how many, first (0, total), then after each.
    using Progress = std::function<void(qsizetype done, qsizetype total)>;
    TreeReport tidyTree(const QString& folder, const std::atomic<bool>& cancelled,
                        const std::function<bool(const QString& path)>& skip = {}, const Progress& progress = {});
    // The pages of the site scope below folder, in name order.
    static QStringList pagesBelow(const QString& folder);

private:
    QVTidyResult runTidy(const QString& inputPath, bool forText);

    QString _configuration;
    int _timeoutMs;
    std::unique_ptr<QTemporaryDir> _folder;
    int _outputs = 0;
};
