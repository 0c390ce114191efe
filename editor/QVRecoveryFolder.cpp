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

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

#include <algorithm>

#include <sys/stat.h>
#include <unistd.h>

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

bool QVRecoveryFolder::keepEditedDocuments() { return keep(); }

QStringList QVRecoveryFolder::fallbackLocations() {
    QStringList places{Paths::caches() + QStringLiteral("/Recovery")};
    if (const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR"); !runtime.isEmpty())
        places << runtime + QStringLiteral("/qorvel-recovery");
    return places;
}

bool QVRecoveryFolder::write(Kept& kept, const QByteArray& bytes, QString* reason) {
    const QString name = kept.file.isEmpty() ? QStringLiteral("%1%2").arg(++_written, 4, 10, QLatin1Char('0')).arg(TextSuffix)
                                             : QFileInfo(kept.file).fileName();
    const auto into = [&](RunFolder& run, const QString& root, QString* why) {
        if (!run.make(root, why)) return false;
        const QString file = run.path() + QLatin1Char('/') + name;
        QVError error;
        if (!AtomicFile::write(file, bytes, &error)) {
            if (why) *why = error.localizedDescription();
            return false;
        }
        // Kept in one place only: an older copy elsewhere would come back beside it.
        if (!kept.file.isEmpty() && kept.file != file) QFile::remove(kept.file);
        kept.file = file;
        return true;
    };
    if (into(_run, location(), reason)) return true;
    const QStringList fallbacks = fallbackLocations();
    while (_fallbackRuns.size() < std::size_t(fallbacks.size())) _fallbackRuns.push_back(std::make_unique<RunFolder>());
    for (qsizetype i = 0; i < fallbacks.size(); ++i)
        if (into(*_fallbackRuns[std::size_t(i)], fallbacks[i], nullptr)) return true;
    return false;
}

bool QVRecoveryFolder::keep() {
    QString reason, keptIn;
    bool lost = false;
    for (auto& [document, kept] : _documents) {
        HTMLView* view = document->textView();
        if (!view || !document->isDocumentEdited()) {
            if (!_holding) drop(document);
            continue;
        }
        const quint64 token = document->currentChangeToken();
        const QVTextStorage* storage = &view->textStorage();
        const quint64 characters = storage->charactersRevision();
        const bool changed = kept.file.isEmpty() || kept.token != token || kept.storage != storage || kept.characters != characters;
        // A text kept in a fallback location is kept again, for the recovery folder to take it back.
        const bool inFallback = !kept.file.isEmpty() && !kept.file.startsWith(location() + QLatin1Char('/'));
        if (!changed && !inFallback && !_again) continue;
        if (changed) kept.changedAt = QDateTime::currentMSecsSinceEpoch();
        QJsonObject entry;
        // The file's name as the bytes it is, so that a name that is not UTF-8 finds its file.
        const auto bytes = [](const QString& path) { return QString::fromLatin1(FileName::encode(path).toPercentEncoding("/")); };
        entry.insert(QStringLiteral("path"), bytes(document->fileName()));
        entry.insert(QStringLiteral("name"), FileName::displayed(document->displayName()));
        const QString full = view->fullString();
        entry.insert(QStringLiteral("text"), full);
        // JSON holds no surrogate standing alone (a byte of a UTF-8 file that is not UTF-8, kept
        // in the text to be saved back as itself): such a text is kept unit for unit beside it.
        if (!QStringView(full).isValidUtf16())
            entry.insert(QStringLiteral("utf16"), QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(full.utf16()),
                                                                                   full.size() * 2).toBase64()));
        // When the text was last found changed: of two texts of one file, the later comes back over it.
        entry.insert(QStringLiteral("changed"), QString::number(kept.changedAt));
        // What it is saved as: a text that comes back beside its file is saved the same way.
        if (const QVStringEncoding encoding = document->encoding()) entry.insert(QStringLiteral("encoding"), QString::number(encoding));
        entry.insert(QStringLiteral("lineBreak"), view->lineBreakName());
        if (const QVDiskStamp stamp = document->diskStamp(); stamp.exists) {
            // As strings: a double holds nanoseconds since 1970 only to the microsecond.
            entry.insert(QStringLiteral("size"), QString::number(stamp.size));
            entry.insert(QStringLiteral("modified"), QString::number(stamp.modified));
            entry.insert(QStringLiteral("device"), QString::number(stamp.device));
            entry.insert(QStringLiteral("inode"), QString::number(stamp.inode));
        }
        // The file the text was read from or written to, which its name may no longer lead to.
        if (const QString leadsTo = document->diskStamp().leadsTo; !leadsTo.isEmpty() && !document->fileName().isEmpty())
            entry.insert(QStringLiteral("leadsTo"), bytes(leadsTo));
        if (document->fileNode() && _siteProject)
            if (const QString project = _siteProject(document->fileName()); !project.isEmpty()) entry.insert(QStringLiteral("siteProject"), project);
        QString why;
        if (write(kept, QJsonDocument(entry).toJson(QJsonDocument::Compact), &why)) {
            kept.token = token;
            kept.storage = storage;
            kept.characters = characters;
            if (!kept.file.startsWith(location() + QLatin1Char('/'))) {
                if (reason.isEmpty()) reason = why;
                keptIn = QFileInfo(QFileInfo(kept.file).path()).path();
            }
        } else {
            if (reason.isEmpty()) reason = why;
            lost = true;
        }
    }
    if (reason.isEmpty()) {
        setNotice({});
        return true;
    }
    while (reason.endsWith(QLatin1Char('.'))) reason.chop(1);  // the sentence ends it
    // Where the text is kept comes first: a status line too narrow for the whole notice still
    // tells the truth.
    setNotice(lost ? QVLocalized(QStringLiteral("Unsaved changes cannot be kept for recovery in %1: %2. Save them to keep them."))
                         .arg(FileName::displayed(location()), reason)
                   : QVLocalized(QStringLiteral("Unsaved changes are kept in %1 for now; the recovery folder %2 cannot take them: %3."))
                         .arg(FileName::displayed(keptIn), FileName::displayed(location()), reason));
    return !lost;
}

void QVRecoveryFolder::setNotice(const QString& notice) {
    if (notice == _notice) return;
    _notice = notice;
    if (!notice.isEmpty()) SystemLog::warning(notice);
    for (auto& [document, kept] : _documents) document->setStandingNotice(QStringLiteral("recovery"), notice);
}

bool QVRecoveryFolder::keepForNextLaunch() {
    // Kept again even where unchanged: the file may have gone (a full disk then).
    _again = true;
    // Texts that could not be kept leave the run going (its windows hold them): it keeps and
    // drops as before.
    _holding = keep();
    _again = false;
    return _holding;
}

void QVRecoveryFolder::finish() {
    if (_timer) _timer->stop();
    // The lock is freed either way (a later process could get this one's number); what the
    // session's end kept stays for the next launch, and the windows' teardown drops nothing.
    std::vector<RunFolder*> runs{&_run};
    for (const auto& fallback : _fallbackRuns) runs.push_back(fallback.get());
    for (RunFolder* run : runs) {
        if (_holding) run->release();
        else run->remove();
    }
    _holding = false;
    setNotice({});
    for (auto& [document, kept] : _documents) kept = {};
}

namespace {

// A text is offered only from where no other account could have put it (a fallback folder in a
// shared place, made or left open by someone else): the user's own folder, which only the user
// may write to, and the user's own file.
bool ownedByUs(const QString& path) {
    struct stat info {};
    return ::stat(FileName::encode(path).constData(), &info) == 0 && info.st_uid == ::geteuid();
}

bool writableOnlyByUs(const QString& folder) {
    struct stat info {};
    return ::stat(FileName::encode(folder).constData(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() &&
           (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

QVRecoveryFolder::LeftBehind QVRecoveryFolder::leftBehind() const {
    LeftBehind found;
    QStringList ended;
    for (const QString& place : QStringList{location()} + fallbackLocations())
        if (writableOnlyByUs(place)) ended << RunFolder::ended(place);
    for (const QString& folder : ended) {
        if (folder == _run.path() || !writableOnlyByUs(folder) ||
            std::any_of(_fallbackRuns.begin(), _fallbackRuns.end(), [&](const auto& run) { return run->path() == folder; }))
            continue;
        QList<Text> texts;
        for (const QFileInfo& file : QDir(folder).entryInfoList({QLatin1Char('*') + TextSuffix}, QDir::Files, QDir::Name)) {
            if (!ownedByUs(file.filePath())) continue;
            QFile input(file.filePath());
            if (!input.open(QIODevice::ReadOnly)) continue;
            const QJsonObject entry = QJsonDocument::fromJson(input.readAll()).object();
            if (!entry.contains(QStringLiteral("text"))) continue;
            const auto number = [&](const char* key) {
                bool ok = false;
                const qint64 value = entry.value(QLatin1String(key)).toString().toLongLong(&ok);
                return ok ? value : -1;
            };
            const auto path = [&](const char* key) {
                return FileName::decode(QByteArray::fromPercentEncoding(entry.value(QLatin1String(key)).toString().toLatin1()));
            };
            const QByteArray units = QByteArray::fromBase64(entry.value(QStringLiteral("utf16")).toString().toLatin1());
            const QString kept = units.isEmpty() ? entry.value(QStringLiteral("text")).toString()
                                                 : QString(reinterpret_cast<const QChar*>(units.constData()), units.size() / 2);
            Text text{path("path"), entry.value(QStringLiteral("name")).toString(), kept,
                      number("size"), number("modified"), path("leadsTo"), quint64(std::max<qint64>(number("encoding"), 0)),
                      entry.value(QStringLiteral("lineBreak")).toString(), entry.value(QStringLiteral("siteProject")).toString(), folder};
            text.keptAt = number("changed");
            text.device = quint64(std::max<qint64>(number("device"), 0));
            text.inode = quint64(std::max<qint64>(number("inode"), 0));
            // A text kept in two places (a run ended between writing it in one and removing it
            // from the other) comes back once.
            const auto same = [&](const Text& other) { return other.path == text.path && other.text == text.text && other.keptAt == text.keptAt; };
            if (std::none_of(found.texts.begin(), found.texts.end(), same) && std::none_of(texts.begin(), texts.end(), same)) texts.append(text);
        }
        if (texts.isEmpty()) {
            QDir(folder).removeRecursively();
            continue;
        }
        found.folders << folder;
        found.texts << texts;
    }
    // Two texts of one file (two kills without an answer, one file in two windows): the newest
    // goes over the file, the others come back beside it (of two found changed in the same
    // moment, the later run's, the later kept).
    std::reverse(found.texts.begin(), found.texts.end());
    std::stable_sort(found.texts.begin(), found.texts.end(), [](const Text& a, const Text& b) { return a.keptAt > b.keptAt; });
    return found;
}

void QVRecoveryFolder::remove(const LeftBehind& leftBehind, const QStringList& keep) {
    for (const QString& folder : leftBehind.folders)
        if (!keep.contains(folder)) QDir(folder).removeRecursively();
}

void QVRecoveryFolder::track(QVFileDocument* document) {
    _documents.try_emplace(document);
    if (!_notice.isEmpty()) document->setStandingNotice(QStringLiteral("recovery"), _notice);
}

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
