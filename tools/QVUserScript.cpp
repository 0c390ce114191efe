// User-script entries, menu items and runs.
#include "tools/QVUserScript.h"

#include "platform/FileName.h"
#include "platform/Process.h"
#include "platform/TextEncoding.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"
#include "shell/FileEncodings.h"
#include "shell/ScratchFolder.h"
#include "shell/StringUtilities.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringDecoder>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString SelectionMarker = QStringLiteral("%%%{PBXSelection}%%%");

// The directive pattern: the key in capture 1, the value in capture 9.
const QRegularExpression& directivePattern() {
    static const QRegularExpression pattern(
        QStringLiteral("%%%\\{PBX((Name)|(KeyEquivalent)|(Input)|(Output)|(Argument)|(NewScript))(=([^\\}]+))?\\}"),
        QRegularExpression::CaseInsensitiveOption);
    return pattern;
}

// The placeholders in the order they are replaced, with the value each stands for.
struct Placeholder {
    const char* name;
    QString (*value)(const QVUserScriptSnapshot&);
};
const Placeholder Placeholders[] = {
    {"PBXSelectedText", [](const QVUserScriptSnapshot& s) { return s.selectedText; }},
    {"PBXAllText", [](const QVUserScriptSnapshot& s) { return s.allText; }},
    {"PBXTextLength", [](const QVUserScriptSnapshot& s) { return QString::number(s.allText.size()); }},
    {"PBXSelectionStart", [](const QVUserScriptSnapshot& s) { return QString::number(s.selectionStart); }},
    {"PBXSelectionEnd", [](const QVUserScriptSnapshot& s) { return QString::number(s.selectionStart + s.selectionLength); }},
    {"PBXSelectionLength", [](const QVUserScriptSnapshot& s) { return QString::number(s.selectionLength); }},
    {"PBXFilePath", [](const QVUserScriptSnapshot& s) { return s.filePath; }},
};

// Writes data to a new file at path that nobody else can have opened or linked beforehand.
bool writeExclusive(const QString& path, const QByteArray& data, mode_t finalMode, QVError* error) {
    const QByteArray native = FileName::encode(path);
    const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        qvSetError(error, QVError::posix(errno, QStringLiteral("create"), path));
        return false;
    }
    qsizetype written = 0;
    while (written < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + written, size_t(data.size() - written));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            qvSetError(error, QVError::posix(errno ? errno : EIO, QStringLiteral("write"), path));
            ::close(fd);
            return false;
        }
        written += n;
    }
    const bool ok = ::fchmod(fd, finalMode) == 0;
    if (!ok) qvSetError(error, QVError::posix(errno, QStringLiteral("chmod"), path));
    ::close(fd);
    return ok;
}

// A folder of its own for one run, readable by the owner only; removed when this goes away.
class PrivateFolder {
public:
    PrivateFolder() {
        QString base = ScratchFolder::path();
        if (base.isEmpty()) base = QDir::tempPath();
        QByteArray pattern = FileName::encode(QDir(base).filePath(QStringLiteral("userScript.XXXXXX")));
        if (::mkdtemp(pattern.data())) _path = FileName::decode(pattern);
    }
    ~PrivateFolder() {
        if (!_path.isEmpty()) QDir(_path).removeRecursively();
    }
    PrivateFolder(const PrivateFolder&) = delete;
    PrivateFolder& operator=(const PrivateFolder&) = delete;
    const QString& path() const { return _path; }

private:
    QString _path;
};

QVUserScriptOutcome failure(QVUserScriptOutcome::Status status, const QString& message, const QString& errors = {}) {
    QVUserScriptOutcome outcome;
    outcome.status = status;
    outcome.message = message;
    outcome.errors = errors;
    return outcome;
}

}  // namespace

// --- Entries ------------------------------------------------------------------------------------

void QVUserScriptEntry::setValue(const QString& value, const QString& key) {
    if (key == QStringLiteral("Name")) title = value;
    else if (key == QStringLiteral("KeyEquivalent")) keyEquivalent = value;
    else if (key == QStringLiteral("Input")) input = value;
    else if (key == QStringLiteral("Output")) output = value;
    else if (key == QStringLiteral("Argument")) arguments.append(value);
}

MenuItemRep QVUserScriptEntry::menuItemRepresentation() const {
    quint64 mask = 0;
    const QString key = keyEquivalent.isEmpty() ? QString() : StringUtilities::actualKeyWithModifier(keyEquivalent, &mask);
    MenuItemRep rep = MenuItemRep::withTitle(title, QStringLiteral("insertUserScript:"), key);
    if (!key.isEmpty()) rep.setKeyEquivalentModifierMask(StringUtilities::keyboardModifiersForMask(mask));
    rep.setRepresentedObject(QVariant::fromValue(std::make_shared<QVUserScriptEntry>(*this)));
    rep.setImageIsFile(true);
    return rep;
}

QVUserScriptPlacement QVUserScriptPlacement::fromOutput(QString output, bool inputEndsWithLineFeed) {
    QVUserScriptPlacement placement;
    if (output.endsWith(u'\n') && !inputEndsWithLineFeed) output.chop(1);
    const qsizetype first = output.indexOf(SelectionMarker);
    if (first >= 0) {
        const qsizetype second = output.indexOf(SelectionMarker, first + SelectionMarker.size());
        if (second >= 0) output.remove(second, SelectionMarker.size());
        output.remove(first, SelectionMarker.size());
        placement.markerStart = first;
        placement.markerLength = second >= 0 ? second - first - SelectionMarker.size() : 0;
    }
    placement.text = output;
    return placement;
}

// --- Scripts ------------------------------------------------------------------------------------

QVUserScript::QVUserScript(const QString& path) : QVOperation(path) {}

std::shared_ptr<QVOperation> QVUserScript::copy() const {
    auto result = std::make_shared<QVUserScript>();
    copyInto(*result);
    return result;
}

QString QVUserScript::titleForFileName(const QString& name) {
    static const QRegularExpression prefix(QStringLiteral("^[0-9]+-"));
    QString title = name;
    return title.remove(prefix);
}

QList<QVUserScriptEntry> QVUserScript::entriesInText(const QString& text, const QString& path) {
    QList<QVUserScriptEntry> entries;
    const QString defaultTitle = titleForFileName(QFileInfo(path).fileName());
    std::optional<QVUserScriptEntry> current;
    QRegularExpressionMatchIterator it = directivePattern().globalMatch(text);
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        const QString key = match.captured(1);
        if (key == QStringLiteral("NewScript")) {
            if (current) entries.append(*current);
            current.reset();
            continue;
        }
        if (!current) {
            current = QVUserScriptEntry();
            current->scriptPath = path;
            current->title = defaultTitle;
        }
        current->setValue(match.captured(9), key);
    }
    if (current) entries.append(*current);
    return entries;
}

QList<QVUserScriptEntry> QVUserScript::entries() const {
    QVStringEncoding encoding = TextEncoding::UTF8;
    const std::optional<QString> text = FileEncodings::createWithContentsOfFile(path(), &encoding);
    return text ? entriesInText(*text, path()) : QList<QVUserScriptEntry>();
}

QList<MenuItemRep> QVUserScript::menuItemRepresentations() {
    const QString name = QFileInfo(path()).fileName();
    if (isSeparatorName(name)) return {MenuItemRep::separatorItem()};
    if (isDirectory()) {
        MenuItemRep folder = MenuItemRep::withTitle(titleForFileName(name));
        folder.setImageIsFolder(true);
        return {folder};
    }
    QList<MenuItemRep> reps;
    for (const QVUserScriptEntry& entry : entries()) reps.append(entry.menuItemRepresentation());
    return reps;
}

// --- Running ------------------------------------------------------------------------------------

QString QVUserScript::substitutePlaceholders(QString script, const QVUserScriptSnapshot& snapshot) {
    for (const Placeholder& placeholder : Placeholders)
        script.replace(QStringLiteral("%%%{") + QLatin1String(placeholder.name) + QStringLiteral("}%%%"), placeholder.value(snapshot));
    return script;
}

QStringList QVUserScript::environmentFor(const QVUserScriptSnapshot& snapshot, const QString& folder, QVError* error) {
    QStringList environment;
    for (const Placeholder& placeholder : Placeholders) {
        const QString name = QLatin1String(placeholder.name);
        const QString value = placeholder.value(snapshot);
        const QByteArray bytes = value.toUtf8();
        // The variable is set either way, so a script never reads a stale value from its caller.
        if (bytes.size() <= EnvironmentValueLimit && !bytes.contains('\0')) {
            environment << name + u'=' + value << name + QStringLiteral("_FILE=");
            continue;
        }
        const QString file = QDir(folder).filePath(name);
        if (!writeExclusive(file, bytes, 0400, error)) return {};
        environment << name + u'=' << name + QStringLiteral("_FILE=") + file;
    }
    return environment;
}

QVUserScriptOutcome QVUserScript::run(const QString& path, const QStringList& arguments, const QString& input,
                                      const QVUserScriptSnapshot& snapshot, const RunOptions& options) {
    using Status = QVUserScriptOutcome::Status;
    QVStringEncoding encoding = TextEncoding::UTF8;
    const std::optional<QString> script = FileEncodings::createWithContentsOfFile(path, &encoding);
    if (!script || script->isEmpty())
        return failure(Status::NotPrepared, QStringLiteral("The script \u201c%1\u201d could not be read.").arg(QFileInfo(path).fileName()));
    const std::optional<QByteArray> copy = FileEncodings::dataUsingEncoding(substitutePlaceholders(*script, snapshot), &encoding);
    PrivateFolder folder;
    if (!copy || folder.path().isEmpty())
        return failure(Status::NotPrepared, QStringLiteral("A private copy of the script could not be made."));
    // The copy keeps the script's name, so the interpreter's messages name the file the user knows.
    const QString copyPath = QDir(folder.path()).filePath(QFileInfo(path).fileName());
    QVError error;
    QStringList environment = environmentFor(snapshot, folder.path(), &error);
    if (error || !writeExclusive(copyPath, *copy, 0500, &error))
        return failure(Status::NotPrepared, QStringLiteral("A private copy of the script could not be made."), error.localizedDescription());

    ProcessOptions run;
    // A text read with bytes that are not UTF-8 kept gives the script those very bytes, and gets
    // them back from its output, so a filter (Sort Lines) leaves them as they were.
    bool keepsBytes = false;
    if (!input.isNull()) {
        run.input = input.toUtf8();
        QByteArray kept;
        if (!QStringView(input).isValidUtf16() && FileEncodings::appendUTF8KeepingBytes(&kept, input)) {
            run.input = std::move(kept);
            keepsBytes = true;
        }
    }
    run.timeoutMs = options.timeoutMs;
    run.outputLimit = options.outputLimit;
    run.cancel = options.cancel;
    run.extraEnvironment = environment;
    // A script's background children end with it: nothing it started runs on unseen.
    run.endProcessGroup = true;
    const ProcessResult result = Process::run(copyPath, arguments, run);
    const QString errors = QString::fromUtf8(result.standardError).trimmed();
    const QString name = QFileInfo(path).fileName();
    if (!result.started) return failure(Status::Failed, result.errorString, errors);
    if (result.cancelled) return failure(Status::Stopped, QStringLiteral("The script \u201c%1\u201d was stopped.").arg(name), errors);
    if (result.timedOut)
        return failure(Status::TimedOut, QStringLiteral("The script \u201c%1\u201d did not finish within %2 seconds and was stopped.")
                                             .arg(name).arg(options.timeoutMs / 1000.0), errors);
    if (result.outputLimitExceeded)
        return failure(Status::TooMuchOutput, QStringLiteral("The script \u201c%1\u201d wrote more than %2 MB and was stopped.")
                                                  .arg(name).arg(options.outputLimit / double(1 << 20)), errors);
    if (!result.exited)
        return failure(Status::Failed, QStringLiteral("The script \u201c%1\u201d ended abnormally: %2").arg(name, result.errorString), errors);
    if (result.exitStatus != 0)
        return failure(Status::Failed, QStringLiteral("The script \u201c%1\u201d failed with exit status %2.").arg(name).arg(result.exitStatus), errors);
    // Stateless: a sequence cut off at the end is an error too, not a pending state.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString output = decoder.decode(result.standardOutput);
    bool notUTF8 = decoder.hasError();
    if (notUTF8 && keepsBytes)
        if (std::optional<QString> kept = FileEncodings::decodeUTF8KeepingBytes(result.standardOutput, nullptr,
                                                                                         FileEncodings::KeptBytesRule::Any)) {
            output = std::move(*kept);
            notUTF8 = false;
        }
    if (notUTF8)
        return failure(Status::NotUTF8, QStringLiteral("The output of the script \u201c%1\u201d is not UTF-8 text.").arg(name), errors);
    QVUserScriptOutcome outcome;
    outcome.status = Status::Succeeded;
    outcome.output = std::move(output);
    outcome.errors = errors;
    return outcome;
}

// --- Repository ---------------------------------------------------------------------------------

QString QVUserScriptRepository::defaultScriptsFolder() { return Defaults::appSupportPathForFile(QStringLiteral("userscripts")); }

QString QVUserScriptRepository::scriptsLocation() {
    const QString chosen = UserDefaults::standard().stringForKey(QString::fromLatin1(qvUserScriptsLocation));
    return chosen.isEmpty() ? defaultScriptsFolder() : chosen;
}

QVUserScriptRepository& QVUserScriptRepository::sharedInstance() {
    static QVUserScriptRepository& repository = []() -> QVUserScriptRepository& {
        static QVUserScriptRepository store{QString()};
        store._followsLocation = true;
        return store;
    }();
    return repository;
}

std::shared_ptr<QVOperation> QVUserScriptRepository::createOperationForPath(const QString& path) {
    return std::make_shared<QVUserScript>(path);
}

void QVUserScriptRepository::reloadScripts() {
    reload(true);
    // A Linux listing has no order; the names' leading digits are meant to order the menu.
    const auto byName = [](const std::shared_ptr<QVOperation>& a, const std::shared_ptr<QVOperation>& b) {
        return QFileInfo(a->path()).fileName() < QFileInfo(b->path()).fileName();
    };
    std::function<void(QList<std::shared_ptr<QVOperation>>&)> sortTree = [&](QList<std::shared_ptr<QVOperation>>& list) {
        std::stable_sort(list.begin(), list.end(), byName);
        for (const auto& operation : list) {
            QList<std::shared_ptr<QVOperation>> children = operation->children();
            if (children.isEmpty()) continue;
            sortTree(children);
            operation->setChildren(children);
        }
    };
    sortTree(mutableOperations());
}
