#include "editor/QVRecoveryFolder.h"

#include "editor/HTMLView.h"
#include "editor/QVFileDocument.h"
#include "platform/AppBundle.h"
#include "platform/AtomicFile.h"
#include "platform/FileName.h"
#include "platform/MainQueue.h"
#include "platform/Paths.h"
#include "platform/RunFolder.h"
#include "platform/SystemLog.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

#include <algorithm>

namespace {

const QString TextSuffix = QStringLiteral(".json");

}  // namespace

QVRecoveryFolder& QVRecoveryFolder::shared() {
    static QVRecoveryFolder* folder = new QVRecoveryFolder;  // for the process's life
    return *folder;
}

QVRecoveryFolder::QVRecoveryFolder() = default;

QString QVRecoveryFolder::location() { return Paths::applicationSupport() + QStringLiteral("/Recovery"); }

void QVRecoveryFolder::start() {
    const QString key = QString::fromLatin1(QVAutoSave);
    setInterval(UserDefaults::standard().integerForKey(key));
    if (_observer) return;
    _observer = UserDefaults::standard().addObserver(key, [](const QString&, const QVariant&, const QVariant& value) {
        const qint64 seconds = value.toLongLong();
        MainQueue::post([seconds] { shared().setInterval(seconds); });
    });
}

void QVRecoveryFolder::setInterval(qint64 seconds) {
    if (seconds <= 0) {
        if (_timer) _timer->stop();
        return;
    }
    if (!_timer) {
        _timer = new QTimer;
        QObject::connect(_timer, &QTimer::timeout, [] { shared().keepEditedDocuments(); });
    }
    _timer->start(int(std::min<qint64>(seconds, 24 * 3600)) * 1000);
}

bool QVRecoveryFolder::makeRunFolder() {
    return _run.make(location());
}

bool QVRecoveryFolder::keepEditedDocuments() { return keep(false); }

bool QVRecoveryFolder::keep(bool sayAgain) {
    QVFileDocument* failed = nullptr;
    QString failure;
    for (auto& [document, kept] : _documents) {
        HTMLView* view = document->textView();
        if (!view || !document->isDocumentEdited()) {
            if (!_holding) drop(document);
            continue;
        }
        const quint64 token = document->currentChangeToken();
        const QVTextStorage* storage = &view->textStorage();
        const quint64 characters = storage->charactersRevision();
        if (!kept.file.isEmpty() && kept.token == token && kept.storage == storage && kept.characters == characters) continue;
        if (!makeRunFolder()) {
            failed = document;
            failure = QVLocalized(QStringLiteral("Unsaved changes cannot be kept for recovery: the folder %1 cannot be made.")).arg(location());
            break;
        }
        if (kept.file.isEmpty()) kept.file = _run.path() + QStringLiteral("/%1%2").arg(++_written, 4, 10, QLatin1Char('0')).arg(TextSuffix);
        QJsonObject entry;
        // The file's name as the bytes it is, so that a name that is not UTF-8 finds its file.
        entry.insert(QStringLiteral("path"), QString::fromLatin1(FileName::encode(document->fileName()).toPercentEncoding("/")));
        entry.insert(QStringLiteral("name"), FileName::displayed(document->displayName()));
        entry.insert(QStringLiteral("text"), view->fullString());
        if (const QVDiskStamp stamp = document->diskStamp(); stamp.exists) {
            // As strings: a double holds nanoseconds since 1970 only to the microsecond.
            entry.insert(QStringLiteral("size"), QString::number(stamp.size));
            entry.insert(QStringLiteral("modified"), QString::number(stamp.modified));
        }
        if (document->fileNode() && _siteProject)
            if (const QString project = _siteProject(document->fileName()); !project.isEmpty()) entry.insert(QStringLiteral("siteProject"), project);
        QVError error;
        if (AtomicFile::write(kept.file, QJsonDocument(entry).toJson(QJsonDocument::Compact), &error)) {
            kept.token = token;
            kept.storage = storage;
            kept.characters = characters;
        } else {
            failed = document;
            failure = QVLocalized(QStringLiteral("Unsaved changes of %1 cannot be kept for recovery: %2")).arg(document->displayName(), error.localizedDescription());
        }
    }
    if (!failed) {
        _said = false;
        return true;
    }
    SystemLog::warning(failure);
    if (!std::exchange(_said, true) || sayAgain) failed->showNotice(failure);
    return false;
}

bool QVRecoveryFolder::keepForNextLaunch() {
    // Kept again even where unchanged: the file may have gone (a full disk then).
    for (auto& [document, kept] : _documents) kept.token = ~quint64(0);
    // Texts that could not be kept leave the run going (its windows hold them): it keeps and
    // drops as before.
    _holding = keep(true);
    return _holding;
}

void QVRecoveryFolder::finish() {
    if (_timer) _timer->stop();
    // The lock is freed either way (a later process could get this one's number); what the
    // session's end kept stays for the next launch, and the windows' teardown drops nothing.
    if (_holding) _run.release();
    else _run.remove();
    _holding = false;
    _said = false;
    for (auto& [document, kept] : _documents) kept = {};
}

QVRecoveryFolder::LeftBehind QVRecoveryFolder::leftBehind() const {
    LeftBehind found;
    for (const QString& folder : RunFolder::ended(location())) {
        if (folder == _run.path()) continue;
        QList<Text> texts;
        for (const QFileInfo& file : QDir(folder).entryInfoList({QLatin1Char('*') + TextSuffix}, QDir::Files, QDir::Name)) {
            QFile input(file.filePath());
            if (!input.open(QIODevice::ReadOnly)) continue;
            const QJsonObject entry = QJsonDocument::fromJson(input.readAll()).object();
            if (!entry.contains(QStringLiteral("text"))) continue;
            const auto number = [&](const char* key) {
                bool ok = false;
                const qint64 value = entry.value(QLatin1String(key)).toString().toLongLong(&ok);
                return ok ? value : -1;
            };
            texts.append({FileName::decode(QByteArray::fromPercentEncoding(entry.value(QStringLiteral("path")).toString().toLatin1())),
                          entry.value(QStringLiteral("name")).toString(), entry.value(QStringLiteral("text")).toString(), number("size"),
                          number("modified"), entry.value(QStringLiteral("siteProject")).toString(), folder});
        }
        if (texts.isEmpty()) {
            QDir(folder).removeRecursively();
            continue;
        }
        found.folders << folder;
        found.texts << texts;
    }
    return found;
}

void QVRecoveryFolder::remove(const LeftBehind& leftBehind, const QStringList& keep) {
    for (const QString& folder : leftBehind.folders)
        if (!keep.contains(folder)) QDir(folder).removeRecursively();
}

void QVRecoveryFolder::track(QVFileDocument* document) { _documents.try_emplace(document); }

void QVRecoveryFolder::untrack(QVFileDocument* document) {
    // What a document going with the run's end had kept stays for the next launch.
    drop(document);
    _documents.erase(document);
}

void QVRecoveryFolder::drop(QVFileDocument* document) {
    if (_holding) return;
    const auto it = _documents.find(document);
    if (it == _documents.end() || it->second.file.isEmpty()) return;
    QFile::remove(it->second.file);
    it->second = {};
}

bool QVRecoveryFolder::isOpen(const QString& path) const {
    const QString file = FileName::canonical(path);
    return std::any_of(_documents.begin(), _documents.end(),
                       [&](const auto& entry) { return !entry.first->fileName().isEmpty() && FileName::canonical(entry.first->fileName()) == file; });
}
