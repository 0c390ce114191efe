#include "editor/QVRecoveryFolder.h"

#include "editor/HTMLView.h"
#include "editor/QVFileDocument.h"
#include "platform/AtomicFile.h"
#include "platform/FileName.h"
#include "platform/MainQueue.h"
#include "platform/Paths.h"
#include "platform/SystemLog.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"
#include "shell/StringHashing.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QTimer>

#include <algorithm>

namespace {

const QString LockName = QStringLiteral("run.lock");
const QString TextSuffix = QStringLiteral(".json");

QDir::Filters folders() { return QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks; }

bool makePrivateFolder(const QString& path) {
    if (!QDir().mkpath(path)) return false;
    return QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

}  // namespace

QVRecoveryFolder& QVRecoveryFolder::shared() {
    static QVRecoveryFolder* folder = new QVRecoveryFolder;  // for the process's life
    return *folder;
}

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
    if (!_run.isEmpty()) return true;
    if (!makePrivateFolder(location())) return false;
    const QString run = location() + QLatin1Char('/') + QString::number(QDateTime::currentSecsSinceEpoch()) + QLatin1Char('-') +
                        StringHashing::uuid().left(8);
    if (!makePrivateFolder(run)) return false;
    auto lock = std::make_unique<QLockFile>(run + QLatin1Char('/') + LockName);
    lock->setStaleLockTime(0);
    if (!lock->tryLock(0)) return false;
    _lock = std::move(lock);
    _run = run;
    return true;
}

void QVRecoveryFolder::keepEditedDocuments() {
    for (auto& [document, kept] : _documents) {
        HTMLView* view = document->textView();
        if (!view || !document->isDocumentEdited()) {
            if (!_holding) drop(document);
            continue;
        }
        const quint64 token = document->currentChangeToken();
        if (!kept.file.isEmpty() && kept.token == token) continue;
        if (!makeRunFolder()) {
            SystemLog::warning(QStringLiteral("Unsaved changes cannot be kept in %1").arg(location()));
            return;
        }
        if (kept.file.isEmpty()) kept.file = _run + QStringLiteral("/%1%2").arg(++_written, 4, 10, QLatin1Char('0')).arg(TextSuffix);
        QJsonObject entry;
        // The file's name as the bytes it is, so that a name that is not UTF-8 finds its file.
        entry.insert(QStringLiteral("path"), QString::fromLatin1(FileName::encode(document->fileName()).toPercentEncoding("/")));
        entry.insert(QStringLiteral("name"), FileName::displayed(document->displayName()));
        entry.insert(QStringLiteral("text"), view->fullString());
        QVError error;
        if (AtomicFile::write(kept.file, QJsonDocument(entry).toJson(QJsonDocument::Compact), &error)) kept.token = token;
        else SystemLog::warning(QStringLiteral("Unsaved changes of %1 cannot be kept: %2").arg(document->displayName(), error.localizedDescription()));
    }
}

void QVRecoveryFolder::keepForNextLaunch() {
    // Kept again even where unchanged: the file may have gone (a full disk then).
    for (auto& [document, kept] : _documents) kept.token = ~quint64(0);
    keepEditedDocuments();
    _holding = true;
}

void QVRecoveryFolder::finish() {
    if (_timer) _timer->stop();
    // Free for the next launch either way (a later process could get this one's number).
    _lock.reset();
    if (_holding || _run.isEmpty()) return;
    QDir(_run).removeRecursively();
    _run.clear();
    for (auto& [document, kept] : _documents) kept = {};
}

QVRecoveryFolder::LeftBehind QVRecoveryFolder::leftBehind() const {
    LeftBehind found;
    QDir root(location());
    for (const QString& name : root.entryList(folders(), QDir::Name)) {
        const QString folder = root.filePath(name);
        if (folder == _run) continue;
        // A run still going holds its lock; one killed left a lock nobody holds.
        QLockFile lock(folder + QLatin1Char('/') + LockName);
        lock.setStaleLockTime(0);
        if (!lock.tryLock(0)) continue;
        QList<Text> texts;
        for (const QFileInfo& file : QDir(folder).entryInfoList({QLatin1Char('*') + TextSuffix}, QDir::Files, QDir::Name)) {
            QFile input(file.filePath());
            if (!input.open(QIODevice::ReadOnly)) continue;
            const QJsonObject entry = QJsonDocument::fromJson(input.readAll()).object();
            if (!entry.contains(QStringLiteral("text"))) continue;
            texts.append({FileName::decode(QByteArray::fromPercentEncoding(entry.value(QStringLiteral("path")).toString().toLatin1())),
                          entry.value(QStringLiteral("name")).toString(), entry.value(QStringLiteral("text")).toString()});
        }
        lock.unlock();
        if (texts.isEmpty()) {
            QDir(folder).removeRecursively();
            continue;
        }
        found.folders << folder;
        found.texts << texts;
    }
    return found;
}

void QVRecoveryFolder::remove(const LeftBehind& leftBehind) {
    for (const QString& folder : leftBehind.folders) QDir(folder).removeRecursively();
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
