#include "scm/QVSCMAction.h"

#include "platform/AppBundle.h"
#include "platform/MainQueue.h"
#include "platform/SystemLog.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

namespace {

// Client error codes that mean the server wants (other) credentials: svnserve answers E170001 to
// every refusal, the client E215004 when it has none left to try.
const QStringList credentialCodes = {QStringLiteral("E170001"), QStringLiteral("E215004"), QStringLiteral("E215000")};

bool isURL(const QString& path) { return path.contains(QStringLiteral("://")); }

// The environment every run gets: English messages in UTF-8, no terminal features.
const QStringList clientEnvironment = {QStringLiteral("LC_ALL=C.UTF-8"), QStringLiteral("LANGUAGE="),
                                       QStringLiteral("TERM=dumb")};

}  // namespace

QVSCMAction::~QVSCMAction() {
    if (_task) {
        _task->clearDelegate();
        _task->kill();
    }
}

QString QVSCMAction::humanReadableStringForActionType(int type) {
    static const char* const titles[] = {"",       "Add", "Annotate", "Commit", "Compare", "Delete", "Diff",
                                         "Log",    "Make Directory", "Move", "Revert", "Status", "Update", "Cleanup"};
    return type >= 1 && type <= 13 ? QVLocalized(QString::fromLatin1(titles[type])) : QString();
}

QVError QVSCMAction::errorForOutput(const QStringList& lines) {
    QStringList messages;
    bool credentials = false;
    static const QRegularExpression code(QStringLiteral("^svn: (E\\d{6})"));
    // The client ends with its error, whose messages may run over several lines ("...at" /
    // "'PATH' (format 32)." / advice): from the first error on, every line is the error's.
    // Before it only its own warnings are, not the command's output.
    bool inError = false;
    for (const QString& line : lines) {
        inError = inError || line.startsWith(QLatin1String("svn: E"));
        if (!inError && !line.startsWith(QLatin1String("svn:"))) continue;
        messages << line;
        const QRegularExpressionMatch match = code.match(line);
        if (match.hasMatch() && credentialCodes.contains(match.captured(1))) credentials = true;
    }
    while (!messages.isEmpty() && messages.last().trimmed().isEmpty()) messages.removeLast();
    return QVError::app(credentials ? 1 : 0, QVLocalized(QStringLiteral("SCM Error")), messages.join(u'\n'));
}

bool QVSCMAction::isLockedError(const QVError& error) {
    static const QRegularExpression locked(QStringLiteral("^svn: E155004:"), QRegularExpression::MultilineOption);
    return error && locked.match(error.localizedRecoverySuggestion()).hasMatch();
}

bool QVSCMAction::acceptablePath(const QString& path) {
    return !path.contains(u'\n') && !path.contains(u'\r') && !path.contains(QChar(0));
}

namespace {

// Where the client, even taking a name literally, still reads a peg revision: the last "@"
// begins the last part of the path ("@lead.txt", "sub/@lead.txt").
bool pegAtNameStart(const QString& path) {
    const qsizetype at = path.lastIndexOf(u'@');
    return at >= 0 && (at == 0 || path.at(at - 1) == u'/') && path.indexOf(u'/', at) < 0;
}

}  // namespace

QString QVSCMAction::pathArgument(const QString& path, bool literal) {
    // A path that begins with "^" ("^/x.txt", inside a folder named "^") is read as an address
    // below the repository's root; from "./" on it is a path of the working copy.
    if (path.startsWith(u'^')) return pathArgument(QStringLiteral("./") + path, literal);
    // The client reads the last "@" as the start of a peg revision; a trailing one is empty.
    if (!literal) return path.contains(u'@') ? path + u'@' : path;
    // Taken literally, a name that begins with "@" would be nothing but a peg revision.
    return pegAtNameStart(path) && path.startsWith(u'@') ? QStringLiteral("./") + path : path;
}

QStringList QVSCMAction::authenticationArguments(const QVSCMRunSettings& settings) const {
    QStringList arguments{QStringLiteral("--non-interactive"), QStringLiteral("--no-auth-cache")};
    if (!settings.username.isEmpty()) arguments << QStringLiteral("--username") << settings.username;
    if (!settings.password.isEmpty()) arguments << QStringLiteral("--password-from-stdin");
    return arguments;
}

QStringList QVSCMAction::arguments(const QVSCMRunSettings& settings) const {
    (void)settings;
    return {};
}

void QVSCMAction::run(const QVSCMRunSettings& settings, const std::weak_ptr<QVSCMActionDelegate>& delegate) {
    _delegate = delegate;
    _interrupted = false;
    const QStringList args = arguments(settings);
    const QString folder = workingDirectory(settings);
    // The argument list holds no password; file contents never reach the log.
    SystemLog::notice(QStringLiteral("SCM: Running %1\n\t%2\n\t%3").arg(settings.executablePath, folder, args.join(u' ')));
    for (const QString& path : paths()) {
        if (acceptablePath(path)) continue;
        // Refused before anything runs: the client cannot name such a file.
        if (const auto told = _delegate.lock())
            told->actionFinished(shared_from_this(),
                                 QVError::app(0, QVLocalized(QStringLiteral("SCM Error")),
                                              QVLocalized(QStringLiteral("A file name with a line break cannot be handed to Subversion."))));
        return;
    }
    _task = std::make_shared<QVInteractiveTask>(settings.executablePath);
    _task->setArguments(args);
    _task->setWorkingDirectory(folder);
    _task->setEnvironment(clientEnvironment);
    // Every run is non-interactive: nothing is read from the terminal but a password.
    _task->setOutputToFile(true);
    if (needsCredentials() && !settings.password.isEmpty()) _task->setStandardInput(settings.password.toUtf8() + '\n');
    _task->setDelegate(std::static_pointer_cast<QVInteractiveTaskDelegate>(shared_from_this()));
    _task->launch();
}

void QVSCMAction::kill() {
    if (_task) _task->kill();
}

void QVSCMAction::taskFinishedCommand(QVInteractiveTask* task, const QStringList& lines, const QByteArray& bytes,
                                      bool hadError) {
    _interrupted = task->wasStopped() || task->exitStatus() >= 128;
    QVError error = keepResult(lines, bytes, hadError);
    if (hadError) {
        error = errorForOutput(lines);
        if (error.localizedRecoverySuggestion().isEmpty()) {
            // No "svn:" line: say how the client ended rather than nothing.
            const QString last = lines.isEmpty() ? QString() : lines.last();
            error = QVError::app(0, QVLocalized(QStringLiteral("SCM Error")),
                                 _interrupted ? QVLocalized(QStringLiteral("Subversion was stopped."))
                                              : (last.isEmpty() ? QVLocalized(QStringLiteral("Subversion failed (exit status %1).")).arg(task->exitStatus()) : last));
        }
    }
    // The error's words and the bytes read, when there are any.
    QString finished = QStringLiteral("SCM: Finished command.");
    if (error) finished += QStringLiteral("  ") + error.localizedRecoverySuggestion();
    if (type() == Cat) finished += QStringLiteral(" (%1 bytes)").arg(bytes.size());
    SystemLog::notice(finished);
    // The delegate (a working copy's queue) belongs to the main thread and is reached there: this
    // reader thread never holds it, or its reference could be the last and the queue end here.
    MainQueue::post([delegate = _delegate, self = shared_from_this(), error] {
        if (const auto told = delegate.lock()) told->actionFinished(self, error);
    });
}

// --- Log ------------------------------------------------------------------------------------------

std::shared_ptr<QVSCMLogAction> QVSCMLogAction::make(const QString& path, const QString& revision, int tag) {
    return std::shared_ptr<QVSCMLogAction>(new QVSCMLogAction(path, revision, tag));
}

QStringList QVSCMLogAction::arguments(const QVSCMRunSettings& settings) const {
    QStringList args{QStringLiteral("log"), QStringLiteral("--xml")};
    args << authenticationArguments(settings);
    if (!_revision.isEmpty()) args << QStringLiteral("-r") << _revision;
    return args << QStringLiteral("--") << pathArgument(_path.isEmpty() ? QStringLiteral(".") : _path);
}

namespace {

// The XML document in the client's output: its bytes as they are, or without the client's own
// "svn:" lines when it printed any.
QString xmlDocument(const QStringList& lines, const QByteArray& bytes) {
    if (!bytes.startsWith("svn:") && !bytes.contains("\nsvn:")) return QString::fromUtf8(bytes);
    QStringList document;
    for (const QString& line : lines)
        if (!line.startsWith(QLatin1String("svn:"))) document << line;
    return document.join(u'\n');
}

}  // namespace

QVError QVSCMLogAction::keepResult(const QStringList& lines, const QByteArray& bytes, bool) {
    _logEntries = QVSCMXml::logEntries(xmlDocument(lines, bytes));
    return {};
}

// --- Output ---------------------------------------------------------------------------------------

std::shared_ptr<QVSCMOutputAction> QVSCMOutputAction::make(const QString& command, const QString& path,
                                                           const QString& revision1, const QString& revision2, int type) {
    return std::shared_ptr<QVSCMOutputAction>(new QVSCMOutputAction(type, command, path, revision1, revision2));
}

QStringList QVSCMOutputAction::arguments(const QVSCMRunSettings& settings) const {
    QStringList args{_command};
    args << authenticationArguments(settings);
    if (!_revision1.isEmpty())
        args << QStringLiteral("-r") << (_revision2.isEmpty() ? _revision1 : QStringLiteral("%1:%2").arg(_revision1, _revision2));
    // A diff of the working file with its base (no revision, or BASE alone) never reaches the
    // repository, and the client then takes the name literally: "v1@@" would name another file.
    const bool local = _command == QLatin1String("diff") && _revision2.isEmpty() &&
                       (_revision1.isEmpty() || _revision1.compare(QLatin1String("BASE"), Qt::CaseInsensitive) == 0);
    const QString path = _path.isEmpty() ? QStringLiteral(".") : _path;
    // A name that begins with "@" inside a folder has no literal spelling ("sub/@a" becomes
    // "sub@a"), but the old side of a diff reads its peg revision: the same diff, named so.
    if (local && pegAtNameStart(path) && path.contains(u'/')) {
        if (_revision1.isEmpty()) args << QStringLiteral("-r") << QStringLiteral("BASE");
        return args << QStringLiteral("--old=") + (path.startsWith(u'^') ? QStringLiteral("./") : QString()) + path + u'@';
    }
    return args << QStringLiteral("--") << pathArgument(path, local);
}

QVError QVSCMOutputAction::keepResult(const QStringList& lines, const QByteArray& bytes, bool hadError) {
    if (hadError) return {};
    _outputString = lines.join(u'\n');
    _outputBytes = bytes;
    // The client skips a binary file with a warning and succeeds: there is no text to show.
    for (const QString& line : lines)
        if (line.startsWith(QLatin1String("svn: warning: W195012")) || line.startsWith(QLatin1String("Skipping binary file")))
            return QVError::app(0, QVLocalized(QStringLiteral("SCM Error")), line);
    return {};
}

// --- Simple commands ------------------------------------------------------------------------------

std::shared_ptr<QVSCMSimpleAction> QVSCMSimpleAction::add(const QStringList& files) {
    return std::shared_ptr<QVSCMSimpleAction>(new QVSCMSimpleAction(Add, QStringLiteral("add"), files, {}));
}

std::shared_ptr<QVSCMSimpleAction> QVSCMSimpleAction::commit(const QStringList& files, const QString& message) {
    // --force-log: a message that names a file is still a message.
    return std::shared_ptr<QVSCMSimpleAction>(new QVSCMSimpleAction(
        Commit, QStringLiteral("commit"), files, {QStringLiteral("-m"), message, QStringLiteral("--force-log")}));
}

std::shared_ptr<QVSCMSimpleAction> QVSCMSimpleAction::remove(const QStringList& files) {
    return std::shared_ptr<QVSCMSimpleAction>(new QVSCMSimpleAction(Delete, QStringLiteral("delete"), files, {}));
}

std::shared_ptr<QVSCMSimpleAction> QVSCMSimpleAction::mkdir(const QStringList& files, const QString& message) {
    const bool remote = std::any_of(files.begin(), files.end(), isURL);
    return std::shared_ptr<QVSCMSimpleAction>(new QVSCMSimpleAction(
        Mkdir, QStringLiteral("mkdir"), files,
        remote ? QStringList{QStringLiteral("-m"), message, QStringLiteral("--force-log")} : QStringList{}));
}

std::shared_ptr<QVSCMSimpleAction> QVSCMSimpleAction::move(const QString& from, const QString& to) {
    return std::shared_ptr<QVSCMSimpleAction>(new QVSCMSimpleAction(Move, QStringLiteral("move"), {from, to}, {}));
}

std::shared_ptr<QVSCMSimpleAction> QVSCMSimpleAction::revert(const QStringList& files) {
    return std::shared_ptr<QVSCMSimpleAction>(
        new QVSCMSimpleAction(Revert, QStringLiteral("revert"), files, {QStringLiteral("--depth=infinity")}));
}

std::shared_ptr<QVSCMSimpleAction> QVSCMSimpleAction::update(const QStringList& files, const QString& revision) {
    QStringList post;
    if (!revision.isEmpty()) post << QStringLiteral("-r") << revision;
    return std::shared_ptr<QVSCMSimpleAction>(new QVSCMSimpleAction(Update, QStringLiteral("update"), files, post));
}

std::shared_ptr<QVSCMSimpleAction> QVSCMSimpleAction::cleanup(const QString& path) {
    return std::shared_ptr<QVSCMSimpleAction>(new QVSCMSimpleAction(Cleanup, QStringLiteral("cleanup"), {path}, {}));
}

bool QVSCMSimpleAction::needsCredentials() const {
    static const QStringList remote = {QStringLiteral("commit"), QStringLiteral("delete"), QStringLiteral("mkdir"),
                                       QStringLiteral("move"), QStringLiteral("update")};
    return remote.contains(_command);
}

bool QVSCMSimpleAction::movesIntoFolderByName() const {
    return type() == Move && _files.size() == 2 && pegAtNameStart(_files[1]) && _files[1].contains(u'/');
}

QString QVSCMSimpleAction::workingDirectory(const QVSCMRunSettings& settings) const {
    // A destination that begins with "@" inside a folder can be named only from that folder.
    if (movesIntoFolderByName()) return QFileInfo(QDir(settings.workingCopyPath).filePath(_files[1])).absolutePath();
    return settings.workingCopyPath;
}

QStringList QVSCMSimpleAction::arguments(const QVSCMRunSettings& settings) const {
    QStringList args;
    if (needsCredentials()) args << authenticationArguments(settings);
    else args << QStringLiteral("--non-interactive");
    args << _command << _postArguments;
    if (!_files.isEmpty()) {
        args << QStringLiteral("--");
        if (movesIntoFolderByName()) {
            const QDir folder(workingDirectory(settings));
            return args << pathArgument(folder.relativeFilePath(QDir(settings.workingCopyPath).filePath(_files[0])))
                        << QStringLiteral("./") + QFileInfo(_files[1]).fileName();
        }
        // A move's destination is a new name, which the client takes literally.
        for (qsizetype i = 0; i < _files.size(); ++i) args << pathArgument(_files[i], type() == Move && i == 1);
    }
    return args;
}

QVError QVSCMSimpleAction::keepResult(const QStringList& lines, const QByteArray&, bool) {
    _conflicted.clear();
    if (type() != Update) return {};
    // An update line: the text, property, lock and tree columns, a blank, the path. A "C" in
    // the text, property or tree column is a conflict; the client still succeeds.
    static const QRegularExpression line(QStringLiteral("^([ ADUCGER])([ CGU])([ B])([ C]) (.+)$"));
    for (const QString& text : lines) {
        const QRegularExpressionMatch match = line.match(text);
        if (match.hasMatch() && (match.captured(1) == u"C" || match.captured(2) == u"C" || match.captured(4) == u"C") &&
            !_conflicted.contains(match.captured(5)))
            _conflicted << match.captured(5);
    }
    return {};
}

// --- Status ---------------------------------------------------------------------------------------

std::shared_ptr<QVSCMStatusAction> QVSCMStatusAction::make(const QString& path, bool isDirectory, bool showUpdate,
                                                           bool recursive) {
    return std::shared_ptr<QVSCMStatusAction>(new QVSCMStatusAction(path, isDirectory, showUpdate, recursive));
}

QStringList QVSCMStatusAction::arguments(const QVSCMRunSettings& settings) const {
    QStringList args{QStringLiteral("st")};
    if (_showUpdate) args << QStringLiteral("-u");
    args << QStringLiteral("--xml") << authenticationArguments(settings);
    if (!_recursive) args << QStringLiteral("-N");
    return args << QStringLiteral("--")
                << (_isDirectory || _path.isEmpty() ? QStringLiteral(".") : pathArgument(_path));
}

QString QVSCMStatusAction::workingDirectory(const QVSCMRunSettings& settings) const {
    // A folder's status runs in the folder, so that its entries are named from there.
    if (_isDirectory && !_path.isEmpty() && _path != QLatin1String("."))
        return QDir(settings.workingCopyPath).filePath(_path);
    return settings.workingCopyPath;
}

QVError QVSCMStatusAction::keepResult(const QStringList& lines, const QByteArray& bytes, bool) {
    // A lock shows as an attribute; a name holding these words is escaped in the document.
    _foundLock = bytes.contains("wc-locked=\"true\"");
    // The client's own messages ("svn: warning: ...") are not part of the document.
    _statusEntries = QVSCMXml::statusEntries(xmlDocument(lines, bytes));
    return {};
}
