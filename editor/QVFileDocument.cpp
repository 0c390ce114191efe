// The document of one text file: settings, loading, reopening and saving.
#include "editor/QVFileDocument.h"
#include "editor/QVSnippetFileView.h"

#include "completion/QVCodeIndex.h"
#include "editor/HTMLView.h"
#include "editor/QVEditorToolSeams.h"
#include "editor/QVFileDocumentDelegate.h"
#include "editor/QVProjectSCMController.h"
#include "editor/QVFileView.h"
#include "editor/QVRecoveryFolder.h"
#include "files/QVFile.h"
#include "files/QVSCMStatusEntry.h"
#include "languages/QVBundle.h"
#include "languages/QVBundleRepository.h"
#include "platform/AppBundle.h"
#include "platform/AtomicFile.h"
#include "platform/FileName.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/QVKQueue.h"
#include "platform/QVPerform.h"
#include "platform/QVTextStorage.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"
#include "shell/FileEncodings.h"
#include "shell/StringHashing.h"

#include <QFile>
#include <QFileInfo>
#include <QInputDialog>
#include <QLoggingCategory>
#include <QScrollBar>
#include <QStringEncoder>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <utility>
#include <vector>

Q_LOGGING_CATEGORY(qvExternalEditor, "qorvel.externaleditor")

namespace {
// Marks the reopen question of a misread text, whose options come in another order.
const QString MisreadOptionsKey = QStringLiteral("QVMisreadTextOptions");
}  // namespace

// The document's own watch of its file: the watcher holds it weakly and calls it on its thread.
class QVDocumentFileWatch : public QVWatchedFile, public std::enable_shared_from_this<QVDocumentFileWatch> {
public:
    QString path() const override { return _path; }
    QString uuid() const override { return _uuid; }
    void watcherNoticedChange(quint64 events) override {
        MainQueue::post([weak = weak_from_this(), events] {
            if (const auto self = weak.lock())
                if (self->_document) self->_document->watchedFileChanged(events);
        });
    }
    QString _path;
    QString _uuid = StringHashing::uuid();
    QVFileDocument* _document = nullptr;  // cleared by the document, on the main thread
};

QVDiskStamp QVDiskStamp::of(const QString& path) {
    QVDiskStamp stamp;
    stamp.path = path;
    stamp.leadsTo = AtomicFile::target(path);
    struct stat info {};
    if (path.isEmpty() || ::stat(FileName::encode(path).constData(), &info) != 0) return stamp;
    stamp.exists = true;
    stamp.device = quint64(info.st_dev);
    stamp.inode = quint64(info.st_ino);
    stamp.size = qint64(info.st_size);
    stamp.modified = qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    stamp.changed = qint64(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
    return stamp;
}

namespace {

// How many of each UTF-16 unit other than ASCII the storage holds, read piece by piece (a
// large misread log is not copied whole to be counted).
void countBeyondAscii(QStringView part, QHash<char16_t, qint64>& counts) {
    for (const QChar c : part)
        if (c.unicode() >= 0x80) ++counts[c.unicode()];
}
QHash<char16_t, qint64> charactersBeyondAscii(const QVTextStorage& storage) {
    QHash<char16_t, qint64> counts;
    storage.segments(QVRange(0, storage.length()), [&](QStringView part) { countBeyondAscii(part, counts); });
    return counts;
}

// A question's suggestion followed by one more sentence, when there is one.
QString withSentence(const QString& suggestion, const QString& sentence) {
    return sentence.isEmpty() ? suggestion : suggestion + QLatin1Char(' ') + sentence;
}

// The UTF-8 bytes of the storage's characters, read piece by piece: an edited large text is
// not joined into one more copy of itself first. Nothing when a surrogate stands alone, which
// the encoder's own road writes as "?" and says so.
std::optional<QByteArray> utf8OfPieces(const QVTextStorage& storage, QByteArrayView mark) {
    const QVRange all(0, storage.length());
    qsizetype size = 0;
    bool afterHigh = false, alone = false;
    storage.segments(all, [&](QStringView part) {
        for (const QChar c : part) {
            if (afterHigh != c.isLowSurrogate()) alone = true;
            afterHigh = c.isHighSurrogate();
            const char16_t u = c.unicode();
            size += u < 0x80 ? 1 : u < 0x800 ? 2 : c.isSurrogate() ? 2 : 3;
        }
    });
    if (alone || afterHigh) return std::nullopt;
    QByteArray bytes(mark.size() + size, Qt::Uninitialized);
    // Stateful: a pair cut between two pieces is written as one character.
    QStringEncoder encoder(QStringConverter::Utf8);
    char* end = std::copy(mark.begin(), mark.end(), bytes.data());
    storage.segments(all, [&](QStringView part) { end = encoder.appendToBuffer(end, part); });
    if (encoder.hasError() || end != bytes.data() + bytes.size()) return std::nullopt;
    return bytes;
}

// Where the first character of text that encoding cannot hold sits (UTF-16 index), -1 when all
// fit: the longest prefix that encodes exactly, found by halving (a lossy save is rare, a file
// may be large).
qsizetype firstMisfit(const QString& text, QVStringEncoding encoding, QStringView fallbacks) {
    const auto fits = [&](qsizetype n) { return TextEncoding::encode(text.left(n), encoding, false, nullptr, fallbacks).has_value(); };
    if (text.isEmpty() || fits(text.size())) return -1;
    qsizetype good = 0, bad = text.size();
    while (bad - good > 1) {
        qsizetype mid = good + (bad - good) / 2;
        if (mid > 0 && text.at(mid - 1).isHighSurrogate() && text.at(mid).isLowSurrogate()) ++mid;
        if (mid >= bad) break;
        (fits(mid) ? good : bad) = mid;
    }
    return good;
}

}  // namespace

QString QVFileDocument::misfitSentence(const QString& text, QVStringEncoding encoding, QStringView fallbacks) {
    const qsizetype at = firstMisfit(text, encoding, fallbacks);
    if (at < 0) return {};
    const qsizetype line = text.left(at).count(u'\n') + 1;
    const QString misfit = text.mid(at, text.at(at).isHighSurrogate() ? 2 : 1);
    // A byte kept from a UTF-8 file that is not UTF-8 is no character: named by its value.
    const char16_t unit = misfit.at(0).unicode();
    if (unit >= FileEncodings::KeptByte + 0x80 && unit <= FileEncodings::KeptByte + 0xFF)
        return QVLocalized(QStringLiteral("The first is the byte %1, which is not UTF-8 and shows as \u201c\uFFFD\u201d, in line %2."))
            .arg(QString::number(unit - FileEncodings::KeptByte, 16).toUpper())
            .arg(line);
    return QVLocalized(QStringLiteral("The first is \u201c%1\u201d in line %2.")).arg(misfit).arg(line);
}

QVFileDocument::QVFileDocument(const QString& path)
    : _callbacks(std::make_shared<char>(), static_cast<QVFileDocumentCallbacks*>(this)),
      _attempter(std::make_shared<char>(), static_cast<QVErrorRecoveryAttempter*>(this)) {
    _fileView = QVFileView::createViewForDocument(this, path);
    _textView = _fileView->textView();
    setFileName(path);
    auto undo = std::make_shared<QVUndoManager>();
    setUndoManager(undo);
    if (_textView) {
        _textView->setUndoManager(undo);
        _textView->setFileConfigurationReader([this](const QString& key) { return fileConfigurationValueForKey(key); });
        QVRecoveryFolder::shared().track(this);
    }
}

QVFileDocument::~QVFileDocument() {
    QVRecoveryFolder::shared().untrack(this);
    setWatchesFile(false);
    setFileNode({});
    _callbacks.reset();
    _attempter.reset();
    setUndoManager({});
    if (_textView) {
        _textView->setFileConfigurationReader({});
        if (!_textView->parent()) delete _textView.data();
    }
}

HTMLView* QVFileDocument::textView() const { return _textView.data(); }

void QVFileDocument::setFileName(const QString& path) {
    // The settings kept for the file go with it to its new name.
    const QString old = fileName();
    if (!old.isEmpty() && !path.isEmpty() && old != path) {
        const QVariant entry = keptFileEntry(old);
        if (entry.isValid()) {
            keepFileEntry(old, QVariant());
            keepFileEntry(path, entry);
        }
    }
    QVDocument::setFileName(path);
    if (!_textView || path.isEmpty() || path == _textView->path()) return;
    // An untitled text saved for the first time: the language picked for it becomes the file's.
    if (old.isEmpty() && _customBundle && _textView->bundle())
        setFileConfigurationValue(_textView->bundle()->bundleIdentifier(), FileBundleKey);
    // The language follows a new extension, unless it was picked by hand or none is registered
    // for the extension.
    const auto previous = _textView->bundle();
    _textView->setPath(path);
    if (previous && (_customBundle || !QVBundleRepository::sharedRepository().bundleForFileCategory({}, QFileInfo(path).suffix())))
        _textView->setBundle(previous);
}

QVariant QVFileDocument::keptFileEntry(const QString& path) const {
    if (path.isEmpty()) return {};
    QVariant entry;
    if (const auto delegate = _delegate.lock(); delegate && delegate->projectFileConfiguration(const_cast<QVFileDocument*>(this), path, {}, &entry))
        return entry;
    return UserDefaults::standard().objectForKey(FileSettingsDefaultsKey).toMap().value(path);
}

void QVFileDocument::keepFileEntry(const QString& path, const QVariant& entry) {
    if (path.isEmpty()) return;
    if (const auto delegate = _delegate.lock(); delegate && delegate->setProjectFileConfiguration(this, path, {}, entry)) return;
    QVariantMap all = UserDefaults::standard().objectForKey(FileSettingsDefaultsKey).toMap();
    if (entry.isNull() || entry.toMap().isEmpty()) all.remove(path);
    else all.insert(path, entry);
    UserDefaults::standard().setObject(all, FileSettingsDefaultsKey);
}

void QVFileDocument::setFileConfigurationValue(const QVariant& value, const QString& key) {
    setConfigurationValue(value, key);
    const QString path = fileName();
    if (path.isEmpty() || key.isEmpty()) return;
    if (const auto delegate = _delegate.lock(); delegate && delegate->setProjectFileConfiguration(this, path, key, value)) return;
    QVariantMap entry = keptFileEntry(path).toMap();
    if (value.isNull()) entry.remove(key);
    else entry.insert(key, value);
    keepFileEntry(path, entry);
}

void QVFileDocument::setCustomBundle(const std::shared_ptr<QVBundle>& bundle) {
    if (!_textView || !bundle) return;
    _customBundle = true;
    _textView->setBundle(bundle);
    setFileConfigurationValue(bundle->bundleIdentifier(), FileBundleKey);
}

void QVFileDocument::restoreCustomBundle() {
    if (!_textView || _customBundle) return;
    const QString identifier = fileConfigurationValueForKey(FileBundleKey).toString();
    if (identifier.isEmpty()) return;
    if (const auto bundle = QVBundleRepository::sharedRepository().bundleForBundleIdentifier(identifier)) {
        _customBundle = true;
        _textView->setBundle(bundle);
    }
}

void QVFileDocument::setConfigurationValue(const QVariant& value, const QString& key) {
    if (value.isNull()) _localConfiguration.remove(key);
    else _localConfiguration.insert(key, value);
}

QVariant QVFileDocument::fileConfigurationValueForKey(const QString& key) const {
    // Inside the snippets folder, not merely a path that begins with its name ("snippets-old/",
    // "snippets/../x").
    if (key == HTMLView::FileEncodingKey && QVSnippetFileView::canDisplayPath(fileName()))
        return qulonglong(TextEncoding::UTF16);
    if (_localConfiguration.contains(key)) return _localConfiguration.value(key);
    const QString path = fileName();
    if (path.isEmpty()) return {};
    QVariant value;
    if (const auto delegate = _delegate.lock(); delegate && delegate->projectFileConfiguration(const_cast<QVFileDocument*>(this), path, key, &value))
        return value;
    return keptFileEntry(path).toMap().value(key);
}

bool QVFileDocument::tryToPerform(QByteArrayView action, const QVariant& object) {
    if (const auto& tools = QVEditorToolSeams::documentCommands(); tools && tools(*this, action, object)) return true;
    return QVPerform::tryToPerform(_textView.data(), action, object);
}

QVStringEncoding QVFileDocument::encoding() const {
    const QVStringEncoding inUse = _textView ? _textView->stringEncoding() : 0;
    return inUse ? inUse : QVStringEncoding(fileConfigurationValueForKey(HTMLView::FileEncodingKey).toULongLong());
}

bool QVFileDocument::load(QVError* error, QVError* notice) {
    restoreCustomBundle();
    if (!revertToContentsOfFile({}, error)) return false;
    qvSetError(notice, _loadNotice);
    return true;
}

bool QVFileDocument::readFromFile(const QString& path, const QString&, QVError* error) {
    if (!_textView) {
        // An image: what shows it reads it, and it is followed on disk like a text.
        if (!_fileView->loadFromPath(path, {}, error)) return false;
        _loadNotice = {};
        _diskStamp = QVDiskStamp::of(path);
        _keptOverStamp = {};
        return true;
    }
    QVError result;
    if (!_textView->loadFromPath(path, {}, &result)) {
        qvSetError(error, result);
        return false;
    }
    _loadNotice = FileEncodings::isReadNotice(result) ? result : QVError();
    // Saving in the encoding read writes the characters the file read one way with their
    // standard codes, and says so the first time.
    _readEncoding = _textView->stringEncoding();
    const bool rewrites = _loadNotice.userInfo().contains(FileEncodings::FallbackCharactersKey);
    _fallbackCharacters = rewrites ? _loadNotice.userInfoValue(FileEncodings::FallbackCharactersKey).toString() : QString();
    _rewrittenNotice = rewrites ? _loadNotice : QVError();
    _misreadWriteAccepted = false;
    _keepsBytes = _loadNotice.userInfo().contains(FileEncodings::KeptBytesKey);
    _misreadCharacters.clear();
    if (isMisreading()) _misreadCharacters = charactersBeyondAscii(_textView->textStorage());
    // Taken before the read would miss nothing, but the read has replaced the text only now;
    // a change between the two is seen again at its next notice or save.
    _diskStamp = QVDiskStamp::of(path);
    _keptOverStamp = {};
    // UTF-16 goes back in the byte order it came in, with a mark only when it had one.
    _utf16Form = UTF16Form::LittleEndianMarked;
    if (_textView->stringEncoding() == TextEncoding::UTF16) {
        QByteArray head(2, '\0');
        const int fd = ::open(FileName::encode(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        const ssize_t got = fd >= 0 ? ::read(fd, head.data(), 2) : -1;
        if (fd >= 0) ::close(fd);
        head.truncate(got < 0 ? 0 : qsizetype(got));
        if (head == QByteArrayLiteral("\xFE\xFF")) _utf16Form = UTF16Form::BigEndianMarked;
        else if (head != QByteArrayLiteral("\xFF\xFE") && head.size() == 2) _utf16Form = UTF16Form::BigEndian;
    }
    return true;
}

bool QVFileDocument::writeToFile(const QString& path, const QByteArray& bytes, QVError* error) {
    if (!QVDocument::writeToFile(path, bytes, error)) return false;
    _diskStamp = QVDiskStamp::of(path);
    _keptOverStamp = {};
    // The file at the path is a new one (renamed over the old): the watch follows it.
    if (_watcher && path == fileName()) _watcher->resetForFile(_watch.get(), QVFileWatcherTypeAll);
    return true;
}

std::optional<QVDocument::Contents> QVFileDocument::dataOfType(const QString&, QVError* error) {
    // An image has no text to encode: it is written as the bytes it was read from.
    if (!_textView) {
        if (std::optional<QByteArray> bytes = _fileView->contents()) return Contents{*bytes, true, {}};
        qvSetError(error, QVError::app(SaveFailedError, QVLocalized(QStringLiteral("The document has no contents to save."))));
        return std::nullopt;
    }
    const QVStringEncoding requested = encoding();
    // Characters the encoding has no place for are never dropped unasked: nothing is written,
    // and the question offers UTF-8, which holds them all.
    const QVStringEncoding target = requested ? requested : FileEncodings::defaultEncoding();
    // Without collapsed regions the storage's own characters are the full text: UTF-8 is written
    // from the pieces as they lie; another encoding reads them joined into one piece (copied
    // once if edited since).
    QString text;
    std::optional<QByteArray> bytes;
    // A UTF-8 file read with a byte-order mark keeps it, in front of the text it is no part of.
    const QByteArrayView utf8Mark = _textView->hasByteOrderMark() ? QByteArrayView("\xEF\xBB\xBF") : QByteArrayView();
    QVTextStorage& storage = _textView->textStorage();
    QVRange run;
    const qint64 length = storage.length();
    if (length > 0 && storage.attribute(QVTextStorage::AttachmentAttribute, 0, &run, QVRange(0, length)).isNull() && run.length >= length) {
        if (target == TextEncoding::UTF8) bytes = utf8OfPieces(storage, utf8Mark);
        if (!bytes) {
            const QStringView characters = storage.characters(QVRange(0, length));
            text = QString::fromRawData(characters.data(), characters.size());
        }
    } else {
        text = _textView->fullString();
    }
    if (!bytes && target && target != TextEncoding::UTF8 && !TextEncoding::encode(text, target, false, nullptr, fallbacksFor(target))) {
        const QString name = FileEncodings::displayName(target);
        const QString sentence = misfitSentence(text, target, fallbacksFor(target));
        if (isMisreading()) {
            // Converted, the misreading would be written as if it were the text: reading the
            // file in its own encoding comes first.
            QVError ask = question(MisreadTextCannotBeSavedQuestion,
                                   QVLocalized(QStringLiteral("\u201c%1\u201d cannot be saved in %2 without losing characters.")).arg(displayName(), name),
                                   QVLocalized(QStringLiteral("The file is not valid in %1, so it was opened using %2: the text shows the file's bytes as %2, not what they say. %3 Saved in UTF-8, the misreading would replace the file's text. Reopen it with the encoding it is written in, or cancel and nothing is written."))
                                       .arg(FileEncodings::displayName(misreadFileEncoding()), name, sentence),
                                   {QVLocalized(QStringLiteral("Reopen with Encoding\u2026")), QVLocalized(QStringLiteral("Cancel")),
                                    QVLocalized(QStringLiteral("Save as UTF-8"))});
            qvSetError(error, ask);
            return std::nullopt;
        }
        QVError ask = question(EncodingCannotHoldTextQuestion,
                               QVLocalized(QStringLiteral("\u201c%1\u201d cannot be saved in %2 without losing characters.")).arg(displayName(), name),
                               QVLocalized(QStringLiteral("Some of its characters have no place in %1; saved in it they would become question marks. %2 Save it in UTF-8, which holds every character, or in another encoding that holds them, or cancel and nothing is written.")).arg(name, sentence),
                               {QVLocalized(QStringLiteral("Save as UTF-8")), QVLocalized(QStringLiteral("Cancel")),
                                QVLocalized(QStringLiteral("Other Encoding\u2026"))});
        qvSetError(error, ask);
        return std::nullopt;
    }
    // A misreading keeps the file's bytes as long as only ASCII is added to it: a new character
    // beyond it goes into the file as the fallback's bytes, which the file's own encoding reads
    // as something else (or not at all). Asked once, before anything is written.
    if (!bytes && !_misreadWriteAccepted && isMisreading() && target == _readEncoding) {
        // The full text, folded stretches included.
        QHash<char16_t, qint64> now;
        countBeyondAscii(text, now);
        QString added;
        for (qsizetype i = 0; i < text.size() && added.isEmpty(); ++i) {
            const char16_t u = text.at(i).unicode();
            if (u >= 0x80 && now.value(u) > _misreadCharacters.value(u)) added = text.mid(i, text.at(i).isHighSurrogate() ? 2 : 1);
        }
        if (!added.isEmpty()) {
            const QString fallback = FileEncodings::displayName(target);
            const QString own = FileEncodings::displayName(misreadFileEncoding());
            const QByteArray written = TextEncoding::encode(added, target, true).value_or(QByteArray());
            const std::optional<QString> reads = TextEncoding::decode(written, misreadFileEncoding());
            const QString hex = QString::fromLatin1(written.toHex(' ').toUpper());
            const QString then = reads && !reads->isEmpty()
                                     ? QVLocalized(QStringLiteral("which %1 reads as \u201c%2\u201d")).arg(own, *reads)
                                     : QVLocalized(QStringLiteral("which are not valid %1")).arg(own);
            QVError ask = question(MisreadTextGetsNewCharactersQuestion,
                                   QVLocalized(QStringLiteral("\u201c%1\u201d would get \u201c%2\u201d as the %3 bytes %4.")).arg(displayName(), added, fallback, hex),
                                   QVLocalized(QStringLiteral("The file is not valid in %1, so it was opened using %2, and new text is saved in %2: \u201c%3\u201d is written as %4, %5. Reopen it with the encoding it is written in, save anyway, or cancel and nothing is written."))
                                       .arg(own, fallback, added, hex, then),
                                   {QVLocalized(QStringLiteral("Reopen with Encoding\u2026")), QVLocalized(QStringLiteral("Cancel")),
                                    QVLocalized(QStringLiteral("Save Anyway"))});
            qvSetError(error, ask);
            return std::nullopt;
        }
    }
    QVStringEncoding used = bytes ? target : requested;
    QVError warning;
    if (!bytes) {
        // A kept byte is the file's own only in the file it was read from: one pasted or dropped
        // into another text goes there as the U+FFFD it shows, not as a byte that would make a
        // valid UTF-8 file invalid (and read in the fallback next time).
        if (!_keepsBytes && (used ? used : FileEncodings::defaultEncoding()) == TextEncoding::UTF8 && !QStringView(text).isValidUtf16())
            text = FileEncodings::keptBytesAsShown(text);
        bytes = FileEncodings::dataUsingEncoding(text, &used, &warning, fallbacksFor(requested));
        if (bytes && used == TextEncoding::UTF8) bytes->prepend(utf8Mark);
    }
    if (!bytes) {
        qvSetError(error, QVError::app(SaveFailedError, warning.localizedDescription(),
                                       QVLocalized(QStringLiteral("Please check that you have write permissions and that your file encoding is valid."))));
        return std::nullopt;
    }
    if (used == TextEncoding::UTF16 && _utf16Form != UTF16Form::LittleEndianMarked) {
        // The encoder writes little-endian after a mark: swap each unit, keep the mark or not.
        QByteArray swapped = _utf16Form == UTF16Form::BigEndianMarked ? QByteArrayLiteral("\xFE\xFF") : QByteArray();
        swapped.reserve(swapped.size() + bytes->size() - 2);
        for (qsizetype i = 2; i + 1 < bytes->size(); i += 2) swapped.append(bytes->at(i + 1)).append(bytes->at(i));
        bytes = std::move(swapped);
    }
    Contents contents{*bytes, !warning, {}};
    _savingRewritten = _rewrittenNotice && used == _readEncoding;
    if (!warning && _savingRewritten) contents.warning = FileEncodings::rewrittenCodesSaveNotice(_rewrittenNotice);
    if (warning) {
        const QString sentence = misfitSentence(text, requested ? requested : used, fallbacksFor(used));
        if (!sentence.isEmpty())
            warning.setUserInfoValue(QString::fromLatin1(QVLocalizedRecoverySuggestionKey),
                                     warning.localizedRecoverySuggestion() + QLatin1Char(' ') + sentence);
        contents.warning = warning;
    }
    // What is on disk now is in the encoding really used: the next save and reopen use it too.
    _textView->setStringEncoding(used);
    return contents;
}

QMap<QByteArray, QByteArray> QVFileDocument::fileAttributesToWrite() const {
    return {{CreatorAttribute, QByteArrayLiteral("QVDT")}};
}

bool QVFileDocument::save(QVError* error, QVError* warning) {
    if (fileName().isEmpty()) {
        qvSetError(error, QVError::posix(ENOENT, QStringLiteral("save")));
        return false;
    }
    if (fileChangedOnDisk()) {
        QVError ask = question(OverwriteChangedFileQuestion,
                               QVLocalized(QStringLiteral("The file \u201c%1\u201d has been changed on disk since Qorvel opened or saved it.")).arg(displayName()),
                               withSentence(QVLocalized(QStringLiteral("Saving it replaces the other program's changes with the text in Qorvel.")),
                                            nameLeadsElsewhereSentence()),
                               {QVLocalized(QStringLiteral("Save Anyway")), QVLocalized(QStringLiteral("Cancel"))});
        qvSetError(error, ask);
        return false;
    }
    const QString previous = fileName();
    QVError failure;
    if (saveToFile({}, &failure, warning)) {
        didSave(previous, false);
        return true;
    }
    qvSetError(error, saveFailure(failure, fileName()));
    return false;
}

QVError QVFileDocument::saveFailure(const QVError& failure, const QString& path) {
    const bool encodingQuestion = failure.code() == EncodingCannotHoldTextQuestion || failure.code() == MisreadTextCannotBeSavedQuestion ||
                                  failure.code() == MisreadTextGetsNewCharactersQuestion;
    if (failure.domain() == QVError::applicationDomain() && (failure.code() == SaveFailedError || encodingQuestion)) {
        QVError kept = failure;
        // Where the save was going, for the question's answer.
        if (encodingQuestion) kept.setUserInfoValue(QString::fromLatin1(QVFilePathErrorKey), path);
        return kept;
    }
    QVariantMap info;
    info.insert(QString::fromLatin1(QVUnderlyingErrorKey), QVariant::fromValue(failure.localizedDescription()));
    info.insert(QString::fromLatin1(QVFilePathErrorKey), path);
    // What went wrong, and nothing it did not: a full disk or a missing folder says so itself;
    // only a refused write points at the permissions.
    const bool refused = failure.domain() == QVError::posixDomain() &&
                         (failure.code() == EACCES || failure.code() == EPERM || failure.code() == EROFS);
    return QVError::app(SaveFailedError, failure.localizedDescription(),
                        refused ? QVLocalized(QStringLiteral("Please check that you have write permissions.")) : QString(), {}, info);
}

bool QVFileDocument::reopenUsingEncoding(QVStringEncoding encoding, QVError* error, QVError* notice) {
    if (isDocumentEdited()) {
        const QString save = QVLocalized(QStringLiteral("Save Changes")), discard = QVLocalized(QStringLiteral("Discard Changes")),
                      cancel = QVLocalized(QStringLiteral("Cancel"));
        // Saving a misreading in the new encoding converts it: discarding comes first then.
        const bool misread = isMisreading();
        QVError ask = question(UnsavedChangesError, QVLocalized(QStringLiteral("File has unsaved changes")),
                               misread ? QVLocalized(QStringLiteral("The text is a misreading of the file's bytes; saved using the new encoding, the changes would carry that misreading into the file. Discard them to read the file as it is, or save them anyway."))
                                       : QVLocalized(QStringLiteral("Would you like to save your changes before reopening the file? The changes will be saved using the new encoding.")),
                               misread ? QStringList{discard, cancel, save} : QStringList{save, discard, cancel});
        ask.setUserInfoValue(QStringLiteral("NSStringEncodingErrorKey"), qulonglong(encoding));
        if (misread) ask.setUserInfoValue(MisreadOptionsKey, true);
        qvSetError(error, ask);
        return false;
    }
    return reallyReopenUsingEncoding(encoding, error, notice);
}

bool QVFileDocument::saveAndReopenUsingEncoding(QVStringEncoding encoding, QVError* error, QVError* notice) {
    if (!_textView) return false;
    const QString sentence = TextEncoding::isSupported(encoding) ? misfitSentence(_textView->fullString(), encoding, fallbacksFor(encoding)) : QString();
    if (!sentence.isEmpty() || !TextEncoding::isSupported(encoding)) {
        qvSetError(error, QVError::app(SaveFailedError,
                                       QVLocalized(QStringLiteral("The text cannot be saved in %1.")).arg(FileEncodings::displayName(encoding)),
                                       sentence));
        return false;
    }
    const QVStringEncoding previous = _textView->stringEncoding();
    _textView->setStringEncoding(encoding);
    if (!save(error)) {
        _textView->setStringEncoding(previous);
        return false;
    }
    return reallyReopenUsingEncoding(encoding, error, notice);
}

bool QVFileDocument::reallyReopenUsingEncoding(QVStringEncoding encoding, QVError* error, QVError* notice) {
    if (!_textView) return false;  // an image has no encoding
    // The encoding chosen is kept for the file (the project's, else the defaults) once it read.
    const QVariant stored = configurationValueForKey(HTMLView::FileEncodingKey);
    setConfigurationValue(qulonglong(encoding), HTMLView::FileEncodingKey);
    if (!revertToContentsOfFile({}, error)) {
        setConfigurationValue(stored, HTMLView::FileEncodingKey);
        return false;
    }
    setFileConfigurationValue(qulonglong(encoding), HTMLView::FileEncodingKey);
    // The notice names the encoding that really decoded the text, the fallback one included.
    const QString format = AppBundle::main().localizedString(QStringLiteral("Opened using %@"));
    QString name = FileEncodings::displayName(_textView->stringEncoding());
    qvSetError(notice, _loadNotice ? _loadNotice : QVError::app(FileEncodings::FallbackEncodingError, QString(format).replace(QStringLiteral("%@"), name)));
    return true;
}

void QVFileDocument::setFileNode(const std::shared_ptr<QVFile>& node) {
    if (node == _fileNode) return;
    if (_fileNode && _fileNode->document() == _callbacks) _fileNode->setDocument({});
    _fileNode = node;
    // The old node no longer reports: the saves it held end as written here.
    std::vector<quint64> waiting;
    for (const auto& [save, pending] : _pendingSaves) waiting.push_back(save);
    for (const quint64 save : waiting) endSave(save, true, {});
    if (_fileNode) _fileNode->setDocument(_callbacks);
}

void QVFileDocument::filePathDidChange() {
    if (!_fileNode) return;
    setFileName(_fileNode->path());
    // The file is the same one under its new name: what is on disk is still what was read.
    if (_diskStamp.exists) _diskStamp = QVDiskStamp::of(fileName());
    if (const auto delegate = _delegate.lock()) delegate->documentNeedsRefresh(this);
}

bool QVFileDocument::saveForClose(std::function<void(bool)> finished, QVError* error, QVError* warning) {
    _closeFinished = finished;
    // A successful write hands finished to its save (which may already have run it).
    QVError failure;
    if (save(&failure, warning)) return true;
    _closeFinished = nullptr;
    // "Save Anyway" and "Save as UTF-8" go on with the close.
    if (failure.code() == OverwriteChangedFileQuestion && failure.domain() == QVError::applicationDomain())
        _overwriteCloseFinished = std::move(finished);
    else if ((failure.code() == EncodingCannotHoldTextQuestion || failure.code() == MisreadTextCannotBeSavedQuestion ||
              failure.code() == MisreadTextGetsNewCharactersQuestion) &&
             failure.domain() == QVError::applicationDomain())
        _encodingCloseFinished = std::move(finished);
    qvSetError(error, failure);
    return false;
}

void QVFileDocument::saveCompleted(quint64 token, bool whole) {
    // The file now holds what the text writes: what a read notice foretold is done.
    if (std::exchange(_savingRewritten, false)) _rewrittenNotice = {};
    if (_loadNotice.code() == FileEncodings::ReadNotice) _loadNotice = {};
    // Save As: the written file's node (when the window's tree holds it) hears of the save.
    if (_savingAs)
        if (const auto delegate = _delegate.lock()) setFileNode(delegate->backingFileForPath(this, fileName()));
    const quint64 save = ++_lastSave;
    _pendingSaves[save] = PendingSave{token, whole, std::exchange(_closeFinished, nullptr)};
    // The node ends the save, at once or when its upload has ended.
    if (const auto node = _fileNode) node->contentsDidChange(save);
    else endSave(save, true, {});
}

void QVFileDocument::fileContentChangeFinished(quint64 save) { endSave(save, true, {}); }

void QVFileDocument::fileContentChangeFailed(quint64 save, const QVError& error) { endSave(save, false, error); }

void QVFileDocument::endSave(quint64 save, bool uploaded, const QVError& error) {
    const auto it = _pendingSaves.find(save);
    if (it == _pendingSaves.end()) return;
    const PendingSave ended = std::move(it->second);
    _pendingSaves.erase(it);
    // A save that ends after a later one did says nothing about the text any more.
    const bool latest = save > _lastCleanSave;
    if (uploaded && latest) {
        _lastCleanSave = save;
        // Clean at the state written: what was typed during the upload stays edited.
        QVDocument::saveCompleted(ended.token, ended.whole);
        if (!isDocumentEdited()) QVRecoveryFolder::shared().drop(this);
    } else if (!uploaded) {
        // The site lacks what was written: still unsaved, whatever was typed since.
        if (latest) updateChangeCount(ChangeType::Done);
        if (_textView)
            if (const auto delegate = _textView->delegate()) delegate->htmlViewHadError(_textView, error, true);
    }
    if (ended.finished) ended.finished(uploaded && ended.whole);
}

// Identity, activation and closing.

QString QVFileDocument::uuid() const {
    if (!_cachedUUID.isEmpty()) return _cachedUUID;
    if (_fileNode) return _fileNode->uuid();
    // A single file has no node: the document's own identifier lasts as long as it does.
    if (_ownUUID.isEmpty()) _ownUUID = StringHashing::uuid();
    return _ownUUID;
}

QString QVFileDocument::titleForLists() const {
    const QString path = _fileNode ? _fileNode->path() : fileName();
    if (path.isEmpty()) return displayName();
    const QFileInfo info(FileName::displayed(path));
    return QStringLiteral("%1 %2 %3").arg(info.fileName(), QChar(0x2014), info.path());
}

void QVFileDocument::activate() {
    NotificationCenter::defaultCenter().post(FileBecameActiveNotification, this);
    if (_textView) {
        _textView->setActive(true);
        _textView->setFocus();
    }
}

void QVFileDocument::deactivate() {
    if (_textView) _textView->setActive(false);
}

void QVFileDocument::close() {
    NotificationCenter::defaultCenter().post(FileWillCloseNotification, this);
    if (!_appleEventReceiver.isEmpty())
        sendExternalEditorEvent(QVExternalEditorEvent::closed(_appleEventReceiver, _appleEventToken, fileName()));
    // A text view says so (QVTextViewIsClosing) to whoever follows its editor.
    _fileView->close();
    setWatchesFile(false);
    QVRecoveryFolder::shared().untrack(this);
}

void QVFileDocument::sendExternalEditorEvent(const QVExternalEditorEvent& event) {
    if (_eventSink) return _eventSink(event);
    qCInfo(qvExternalEditor) << "event" << event.eventClass << event.eventID << "to" << event.target << "for"
                             << event.file << "token" << event.token.toHex() << "new file" << event.newFile;
}

// Saving elsewhere.

bool QVFileDocument::saveAs(const QString& path, QVError* error, QVError* warning) {
    if (path.isEmpty()) return save(error, warning);
    const QString previous = fileName();
    const std::shared_ptr<QVFile> oldNode = _fileNode;
    // The old node must not keep the document: its watcher and uploads are the old file's.
    if (oldNode) {
        _cachedUUID.clear();
        setFileNode({});
    }
    _savingAs = bool(oldNode);
    QVError failure;
    const bool saved = saveToFile(path, &failure, warning);
    _savingAs = false;
    if (!saved) {
        if (oldNode) setFileNode(oldNode);
        qvSetError(error, saveFailure(failure, path));
        return false;
    }
    if (_watcher) rewatch();
    if (const auto delegate = _delegate.lock()) delegate->documentNeedsRefresh(this);
    didSave(previous, true);
    return true;
}

void QVFileDocument::runSaveAs(std::function<void(bool)> done) {
    if (!done) done = [](bool) {};
    const auto delegate = _delegate.lock();
    if (!delegate) return done(false);
    QString suggested = fileName();
    if (suggested.isEmpty()) suggested = displayName();
    delegate->runSavePanel(this, suggested, [this, alive = std::weak_ptr<QVErrorRecoveryAttempter>(_attempter), done](const QString& chosen) {
        if (alive.expired() || chosen.isEmpty()) return done(false);
        QVError error, warning;
        const bool saved = saveAs(chosen, &error, &warning);
        if (!saved) present(error);
        else if (warning) present(warning);
        done(saved && !isDocumentEdited());
    });
}

void QVFileDocument::saveWhereItWas() {
    // The window's tree (when it has one) gives the node of the file written anew.
    _savingAs = true;
    QVError error, warning;
    const bool saved = save(&error, &warning);
    _savingAs = false;
    present(saved ? warning : error);
}

void QVFileDocument::didSave(const QString& previousFile, bool savedAs) {
    if (!_appleEventReceiver.isEmpty()) {
        // The client knows the file by its old place: it learns the new one and then lets go.
        sendExternalEditorEvent(savedAs && previousFile != fileName()
                                    ? QVExternalEditorEvent::saved(_appleEventReceiver, _appleEventToken, previousFile, fileName())
                                    : QVExternalEditorEvent::saved(_appleEventReceiver, _appleEventToken, fileName()));
        if (savedAs) _appleEventReceiver.clear(), _appleEventToken.clear();
    }
    QVCodeIndex::sharedIndex().indexFile(fileName());
    if (const auto delegate = _delegate.lock())
        if (QVProjectSCMController* scm = delegate->scmControllerForDocument(this); scm && _fileNode)
            scm->getStatusForPath(_fileNode->pathFromRoot(), false, false);
    NotificationCenter::defaultCenter().post(FileDidSaveNotification, this);
}

// Changes on disk.

bool QVFileDocument::fileChangedOnDisk() const {
    const QVDiskStamp now = QVDiskStamp::of(fileName());
    if (!now.exists && leadsElsewhere(now).isEmpty()) return false;
    return now != _diskStamp && now != _keptOverStamp;
}

QString QVFileDocument::leadsElsewhere(const QVDiskStamp& now) const {
    // Another name (Save As, a move) leads where it leads: the stamp is of the old one.
    if (_diskStamp.leadsTo.isEmpty() || now.path != _diskStamp.path || now.leadsTo == _diskStamp.leadsTo) return {};
    // A loop of links leads nowhere; the save says so itself.
    return now.leadsTo;
}

QString QVFileDocument::nameLeadsElsewhereSentence() const {
    const QString elsewhere = leadsElsewhere(QVDiskStamp::of(fileName()));
    if (elsewhere.isEmpty()) return {};
    return QVLocalized(QStringLiteral("\u201c%1\u201d now leads to another file, \u201c%2\u201d: that is the file Qorvel reads and writes under this name."))
        .arg(displayName(), FileName::displayed(elsewhere));
}

QVError QVFileDocument::changedExternallyQuestion() {
    // An unedited text is asked about only where its name now leads elsewhere: it has no
    // unsaved changes to speak of, only the text it shows.
    if (!isDocumentEdited())
        return question(FileChangedExternallyQuestion, QVLocalized(QStringLiteral("File Changed Externally")),
                        withSentence(QVLocalized(QStringLiteral("The contents of %1 have been changed by another application. Would you like to revert the file to disk or keep the text Qorvel shows?"))
                                         .arg(displayName()),
                                     nameLeadsElsewhereSentence()),
                        {QVLocalized(QStringLiteral("Keep Qorvel Text")), QVLocalized(QStringLiteral("Revert"))});
    return question(FileChangedExternallyQuestion, QVLocalized(QStringLiteral("File Changed Externally")),
                    withSentence(QVLocalized(QStringLiteral("The contents of %1 have been changed by another application, but there are also unsaved changes in Qorvel. Would you like to revert the file to disk or keep the Qorvel changes?"))
                                     .arg(displayName()),
                                 nameLeadsElsewhereSentence()),
                    {QVLocalized(QStringLiteral("Keep Qorvel Changes")), QVLocalized(QStringLiteral("Revert"))});
}

bool QVFileDocument::revertKeepingView(QVError* error) {
    HTMLView* view = _textView.data();
    const QVRange selection = view ? view->selectedRange() : QVRange(0, 0);
    const int vertical = view ? view->verticalScrollBar()->value() : 0;
    const int horizontal = view ? view->horizontalScrollBar()->value() : 0;
    QVError failure;
    if (!revertToContentsOfFile({}, &failure)) {
        qvSetError(error, failure);
        return false;
    }
    if (view) {
        const qint64 length = view->length();
        const qint64 start = qMin<qint64>(selection.location, length);
        view->setSelectedRange(QVRange(start, qMin<qint64>(selection.length, length - start)));
        view->verticalScrollBar()->setValue(vertical);
        view->horizontalScrollBar()->setValue(horizontal);
    }
    return true;
}

void QVFileDocument::fileContentsChangedExternally() {
    // Notices while the question is up are part of what it asks about.
    if (_changedQuestionUp || _removedQuestionUp || fileName().isEmpty()) return;
    if (!fileChangedOnDisk()) return;
    // A name that now leads to another file is asked about edited or not: reloaded unasked, the
    // next save would write into that file without a word.
    if (!isDocumentEdited() && nameLeadsElsewhereSentence().isEmpty()) {
        QVError error;
        if (!revertKeepingView(&error)) present(error);
        return;
    }
    const QVError ask = changedExternallyQuestion();
    _changedQuestionUp = true;
    if (const auto delegate = _delegate.lock()) delegate->activateDocument(this);
    present(ask);
}

void QVFileDocument::takeRecoveredText(const QString& text, qint64 keptSize, qint64 keptModified) {
    if (!_textView) return;
    // An older run kept a marked file's text with its mark as the first character; the mark is
    // the file's now, and taken as text it would be saved twice.
    const bool keptMark = _textView->hasByteOrderMark() && text.startsWith(QChar(0xFEFF));
    _textView->setString(keptMark ? text.mid(1) : text);
    updateChangeCount(ChangeType::Done);
    if (const auto delegate = _delegate.lock()) delegate->documentNeedsRefresh(this);
    if (!_diskStamp.exists || (_diskStamp.size == keptSize && _diskStamp.modified == keptModified)) return;
    // The text was kept over the file as it stood then: what came since is another's change.
    _diskStamp.size = keptSize;
    _diskStamp.modified = keptModified;
    fileContentsChangedExternally();
}

void QVFileDocument::showNotice(const QString& text) {
    QVError notice = QVError::app(0, text);
    notice.setUserInfoValue(QString::fromLatin1(QVIsLowPriorityError), true);
    present(notice);
}

void QVFileDocument::setStandingNotice(const QString& topic, const QString& text) {
    if (_standingNotices.value(topic) == text) return;
    if (text.isEmpty()) _standingNotices.remove(topic);
    else _standingNotices.insert(topic, text);
    if (const auto delegate = _delegate.lock()) delegate->documentNeedsRefresh(this);
}

void QVFileDocument::fileContentsDisappeared() {
    if (_removedQuestionUp) return;
    const QString name = displayName();
    if (_fileNode) {
        _cachedUUID = _fileNode->uuid();
        setFileNode({});
    }
    // The text is in no file any more: closing must not let it go unasked.
    updateChangeCount(ChangeType::Done);
    _removedQuestionUp = true;
    const QVError ask = question(LocalFileRemovedQuestion, QVLocalized(QStringLiteral("Local File Removed")),
                                 QVLocalized(QStringLiteral("%1 has been deleted on disk. If you don't save the contents now, they will be lost.")).arg(name),
                                 {QVLocalized(QStringLiteral("Save File")), QVLocalized(QStringLiteral("Don't Save"))});
    if (const auto delegate = _delegate.lock()) delegate->activateDocument(this);
    present(ask);
}

QVError QVFileDocument::question(qint64 code, const QString& description, const QString& suggestion, const QStringList& options) {
    QVError error = QVError::app(code, description, suggestion, options);
    error.setRecoveryAttempter(_attempter);
    return error;
}

void QVFileDocument::present(const QVError& error) {
    if (!error) return;
    if (const auto delegate = _delegate.lock()) delegate->presentErrorAlert(error);
}

void QVFileDocument::attemptRecovery(const QVError& error, int option, std::function<void(bool)> didRecover) {
    if (!didRecover) didRecover = [](bool) {};
    if (error.domain() != QVError::applicationDomain()) return didRecover(false);
    switch (error.code()) {
    case FileChangedExternallyQuestion: {
        _changedQuestionUp = false;
        if (option == 1) {
            QVError failure;
            const bool reverted = revertKeepingView(&failure);
            if (!reverted) present(failure);
            return didRecover(reverted);
        }
        // Keeping Qorvel's text over this state of the file: the next save overwrites it unasked.
        _keptOverStamp = QVDiskStamp::of(fileName());
        return didRecover(true);
    }
    case LocalFileRemovedQuestion:
        _removedQuestionUp = false;
        if (option == 0) {
            // Not from within the alert's own handling: a question the save asks comes next.
            MainQueue::post([this, alive = std::weak_ptr<QVErrorRecoveryAttempter>(_attempter)] {
                if (!alive.expired()) saveWhereItWas();
            });
        } else if (const auto delegate = _delegate.lock()) {
            delegate->documentShouldForceClose(this);
        }
        return didRecover(true);
    case UnsavedChangesError: {
        const QVStringEncoding encoding = error.userInfoValue(QStringLiteral("NSStringEncodingErrorKey")).toULongLong();
        // The misreading's order: "Discard Changes", "Cancel", "Save Changes".
        if (error.userInfoValue(MisreadOptionsKey).toBool()) option = option == 0 ? 1 : option == 1 ? 2 : 0;
        if (option == 2) return didRecover(true);
        QVError failure, notice;
        const bool done = option == 0 ? saveAndReopenUsingEncoding(encoding, &failure, &notice)
                                      : reallyReopenUsingEncoding(encoding, &failure, &notice);
        // "Opened using" is a status-bar notice, not an alert.
        notice.setUserInfoValue(QString::fromLatin1(QVIsLowPriorityError), true);
        present(done ? notice : failure);
        return didRecover(done);
    }
    case DiscardChangesQuestion: {
        const auto delegate = _delegate.lock();
        QVProjectSCMController* scm = delegate && _fileNode ? delegate->scmControllerForDocument(this) : nullptr;
        if (option != 0 || !scm) return didRecover(false);
        scm->revertPath(_fileNode->pathFromRoot());
        return didRecover(true);
    }
    case MisreadTextCannotBeSavedQuestion: {
        std::function<void(bool)> closeFinished = std::exchange(_encodingCloseFinished, nullptr);
        if (!_textView) return didRecover(false);
        if (option == 2)
            return didRecover(saveInEncoding(TextEncoding::UTF8, error.userInfoValue(QString::fromLatin1(QVFilePathErrorKey)).toString(),
                                             std::move(closeFinished)));
        if (option == 0) chooseEncodingToReopen();
        return didRecover(false);
    }
    case MisreadTextGetsNewCharactersQuestion: {
        std::function<void(bool)> closeFinished = std::exchange(_encodingCloseFinished, nullptr);
        if (!_textView) return didRecover(false);
        if (option == 2) {
            _misreadWriteAccepted = true;
            QVError failure, warning;
            const bool saved = closeFinished ? saveForClose(std::move(closeFinished), &failure, &warning) : save(&failure, &warning);
            present(saved ? warning : failure);
            return didRecover(saved);
        }
        if (option == 0) chooseEncodingToReopen();
        return didRecover(false);
    }
    case EncodingCannotHoldTextQuestion: {
        std::function<void(bool)> closeFinished = std::exchange(_encodingCloseFinished, nullptr);
        if ((option != 0 && option != 2) || !_textView) return didRecover(false);
        const QString path = error.userInfoValue(QString::fromLatin1(QVFilePathErrorKey)).toString();
        if (option == 0) return didRecover(saveInEncoding(TextEncoding::UTF8, path, std::move(closeFinished)));
        // The encodings of the menu that hold the whole text, UTF-8 first.
        const QString text = _textView->fullString();
        chooseEncoding(QStringLiteral("SaveEncodingChooser"), QVLocalized(QStringLiteral("Save in Another Encoding")),
                       QVLocalized(QStringLiteral("The encodings that hold every character of \u201c%1\u201d:")).arg(displayName()),
                       [&](QVStringEncoding listed) { return TextEncoding::encode(text, listed, false, nullptr, fallbacksFor(listed)).has_value(); },
                       0,
                       [this, path, closeFinished = std::make_shared<std::function<void(bool)>>(std::move(closeFinished))](QVStringEncoding chosen) {
                           saveInEncoding(chosen, path, std::move(*closeFinished));
                       });
        return didRecover(false);
    }
    case OverwriteChangedFileQuestion: {
        std::function<void(bool)> closeFinished = std::exchange(_overwriteCloseFinished, nullptr);
        if (option != 0) return didRecover(false);
        _keptOverStamp = QVDiskStamp::of(fileName());
        QVError failure, warning;
        const bool saved = closeFinished ? saveForClose(std::move(closeFinished), &failure, &warning) : save(&failure, &warning);
        present(saved ? warning : failure);
        return didRecover(saved);
    }
    default:
        return didRecover(false);
    }
}

bool QVFileDocument::isMisreading() const {
    return _textView && _loadNotice.domain() == QVError::applicationDomain() &&
           _loadNotice.code() == FileEncodings::FallbackEncodingError && _readEncoding == TextEncoding::defaultCStringEncoding() &&
           _textView->stringEncoding() == _readEncoding;
}

QVStringEncoding QVFileDocument::misreadFileEncoding() const {
    const QVStringEncoding wanted = _loadNotice.userInfoValue(FileEncodings::NoticeEncodingKey).toULongLong();
    if (TextEncoding::isSupported(wanted)) return wanted;
    const QVStringEncoding standing = FileEncodings::defaultEncoding();
    return standing ? standing : TextEncoding::UTF8;
}

void QVFileDocument::chooseEncodingToReopen() {
    chooseEncoding(QStringLiteral("ReopenEncodingChooser"), QVLocalized(QStringLiteral("Reopen with Encoding")),
                   QVLocalized(QStringLiteral("The encoding \u201c%1\u201d is written in:")).arg(displayName()),
                   [](QVStringEncoding) { return true; }, misreadFileEncoding(), [this](QVStringEncoding chosen) {
                       // An edited text asks first, discarding before converting.
                       QVError failure, notice;
                       if (!reopenUsingEncoding(chosen, &failure, &notice)) return present(failure);
                       notice.setUserInfoValue(QString::fromLatin1(QVIsLowPriorityError), true);
                       present(notice);
                       if (const auto delegate = _delegate.lock()) delegate->documentNeedsRefresh(this);
                   });
}

void QVFileDocument::chooseEncoding(const QString& name, const QString& title, const QString& label,
                                    const std::function<bool(QVStringEncoding)>& offered, QVStringEncoding selected,
                                    std::function<void(QVStringEncoding)> picked) {
    QStringList names;
    QList<QVStringEncoding> encodings;
    for (const auto& [listed, full] : FileEncodings::listedEncodings())
        if (!encodings.contains(listed) && offered(listed)) {
            encodings.append(listed);
            names.append(full);
        }
    // The one to start at comes first when the menu lacks it (a charset only a page declares).
    if (selected && !encodings.contains(selected)) {
        encodings.prepend(selected);
        names.prepend(FileEncodings::displayName(selected));
    }
    auto* dialog = new QInputDialog(_textView->window());
    dialog->setObjectName(name);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setWindowTitle(title);
    dialog->setLabelText(label);
    dialog->setComboBoxItems(names);
    dialog->setComboBoxEditable(false);
    if (selected) dialog->setTextValue(names.at(encodings.indexOf(selected)));
    QObject::connect(dialog, &QInputDialog::textValueSelected, _textView,
                     [alive = std::weak_ptr<QVErrorRecoveryAttempter>(_attempter), names, encodings, picked = std::move(picked)](const QString& chosen) {
                         const qsizetype index = names.indexOf(chosen);
                         if (!alive.expired() && index >= 0) picked(encodings.at(index));
                     });
    dialog->open();
}

bool QVFileDocument::redeclareEncoding(QVStringEncoding encoding, QVStringEncoding from) {
    const QString before = _textView->fullString();
    const QString name = FileEncodings::declarationName(encoding);
    // Last first, so each range stays where it was while the ones before it change.
    QList<std::pair<QVRange, QString>> changes;
    for (const QVRange range : FileEncodings::declaredCharsets(before)) {
        const QString old = before.mid(range.location, range.length);
        // A page that writes its names in lower case keeps doing so.
        if (const QVStringEncoding declared = FileEncodings::encodingFromDeclaration(old); declared == from && declared != encoding)
            changes.prepend({range, old == old.toLower() ? name.toLower() : name});
    }
    if (changes.isEmpty()) return false;
    const QString action = QVLocalized(QStringLiteral("Change Encoding Declaration"));
    if (_textView->string() != before) {
        // Collapsed regions: the whole text, as one step that undoes exactly.
        QString after = before;
        for (const auto& [range, replacement] : changes) after.replace(range.location, range.length, replacement);
        _textView->undoableSetString(after, action);
    } else {
        _textView->performUndoable([&] {
            for (const auto& [range, replacement] : changes) _textView->replaceRange(range, replacement);
        }, action);
    }
    return true;
}

bool QVFileDocument::saveInEncoding(QVStringEncoding encoding, const QString& path, std::function<void(bool)> closeFinished) {
    const QVStringEncoding previous = _textView->stringEncoding();
    // The page then says what it is written in: a browser, and the next read, go by that.
    const bool redeclared = encoding != previous && redeclareEncoding(encoding, previous);
    _textView->setStringEncoding(encoding);
    QVError failure, warning;
    const bool saved = closeFinished                         ? saveForClose(std::move(closeFinished), &failure, &warning)
                       : !path.isEmpty() && path != fileName() ? saveAs(path, &failure, &warning)
                                                               : save(&failure, &warning);
    if (saved) {
        setFileConfigurationValue(qulonglong(encoding), HTMLView::FileEncodingKey);
        _loadNotice = {};
        if (const auto delegate = _delegate.lock()) delegate->documentNeedsRefresh(this);
    } else {
        _textView->setStringEncoding(previous);
        if (redeclared) _textView->undo();
    }
    present(saved ? warning : failure);
    return saved;
}

// The document's own watch.

void QVFileDocument::setWatchesFile(bool watches) {
    if (!watches) {
        if (_watcher) _watcher->destroy();
        _watcher.reset();
        if (_watch) _watch->_document = nullptr;
        _watch.reset();
        return;
    }
    if (_watcher) return;
    _watcher = QVKQueue::create();
    if (!_watcher) return;
    _watch = std::make_shared<QVDocumentFileWatch>();
    _watch->_document = this;
    rewatch();
}

void QVFileDocument::rewatch() {
    if (!_watcher) return;
    _watcher->stopWatchingFile(_watch.get());
    _watch->_path = fileName();
    if (!fileName().isEmpty()) _watcher->watchFile(_watch, QVFileWatcherTypeAll);
}

void QVFileDocument::watchedFileChanged(quint64 events) {
    if (events & (QVFileWatcherEventDelete | QVFileWatcherEventRename | QVFileWatcherEventRevoke)) {
        // Another file renamed over this one (sed -i, git, an editor's own atomic save) is a
        // change of the file; only a path with nothing at it is a deletion.
        if (!FileName::exists(fileName())) {
            if (!_removedQuestionUp && _diskStamp.exists) fileContentsDisappeared();
            return;
        }
        rewatch();
    }
    fileContentsChangedExternally();
}

// Subversion.

bool QVFileDocument::validateSCMCommand(SCMCommand command, int tag) const {
    const auto delegate = _delegate.lock();
    if (!delegate || !_fileNode || !delegate->scmControllerForDocument(const_cast<QVFileDocument*>(this))) return false;
    using S = QVSCMStatusEntry;
    const qint32 status = _fileNode->scmStatus() ? _fileNode->scmStatus()->workingCopyStatus() : S::NoStatus;
    if (status == S::UnversionedStatus || status == S::IgnoredStatus) return command == SCMCommand::Add;
    const bool added = status == S::AddedStatus;
    switch (command) {
    case SCMCommand::Add:
        return false;
    case SCMCommand::Commit:
        return status == S::ModifiedStatus || added || status == S::DeletedStatus || status == S::ReplacedStatus;
    case SCMCommand::DiscardChanges:
        return status != S::NoStatus;
    case SCMCommand::Diff:
        // An added file's diff with its base shows it whole; the repository has nothing of it.
        return !added || tag == 1;
    case SCMCommand::Update:
        return status != S::ConflictedStatus;
    default:
        return !added;
    }
}

void QVFileDocument::performSCMCommand(SCMCommand command, int tag) {
    const auto delegate = _delegate.lock();
    QVProjectSCMController* scm = delegate && _fileNode ? delegate->scmControllerForDocument(this) : nullptr;
    if (!scm) return;
    const QString path = _fileNode->pathFromRoot();
    QWidget* window = _textView ? _textView->window() : nullptr;
    using Revisioned = void (QVProjectSCMController::*)(const QString&, const QString&);
    const auto byTag = [&](Revisioned run, QVProjectSCMController::LogTag log) {
        if (tag == 0 || tag == 1) (scm->*run)(path, tag == 0 ? QStringLiteral("HEAD") : QStringLiteral("BASE"));
        else scm->getLogForPath(path, {}, log, window);
    };
    switch (command) {
    case SCMCommand::Add:
        return scm->addFilesToRepository({path});
    case SCMCommand::Commit:
        return scm->commitFiles({path}, window);
    case SCMCommand::DiscardChanges: {
        // Nothing of a revert can be undone: the user names it first, told what becomes of the
        // file in its state.
        using S = QVSCMStatusEntry;
        const qint32 status = _fileNode->scmStatus() ? _fileNode->scmStatus()->workingCopyStatus() : S::NoStatus;
        const char* outcome = status == S::AddedStatus
                                  ? "%1 is no longer to be added: the file stays as it is, unversioned."
                              : status == S::DeletedStatus ? "%1 is no longer to be deleted: it comes back as the last version from the repository."
                              : status == S::ReplacedStatus
                                  ? "%1 goes back to the last version from the repository; the file that replaced it is lost. This cannot be undone."
                                  : "%1 goes back to the last version from the repository. The changes cannot be undone.";
        const QVError ask = question(DiscardChangesQuestion, QVLocalized(QStringLiteral("Discard the changes to \u201c%1\u201d?")).arg(displayName()),
                                     QVLocalized(QString::fromLatin1(outcome)).arg(path),
                                     {QVLocalized(QStringLiteral("Discard Changes")), QVLocalized(QStringLiteral("Cancel"))});
        return present(ask);
    }
    case SCMCommand::Diff:
        return byTag(&QVProjectSCMController::diffPath, QVProjectSCMController::DiffLog);
    case SCMCommand::CompareWith:
        return byTag(&QVProjectSCMController::comparePath, QVProjectSCMController::CompareLog);
    case SCMCommand::Annotate:
        return byTag(&QVProjectSCMController::annotatePath, QVProjectSCMController::AnnotateLog);
    case SCMCommand::Update:
        if (tag == 0) return scm->updatePath(path, {});
        return scm->getLogForPath(path, {}, QVProjectSCMController::UpdateLog, window);
    case SCMCommand::ViewLog:
        return scm->getLogForPath(path, {}, QVProjectSCMController::ViewLog, window);
    }
}
