// The document of one text file: settings, loading, reopening and saving.
#include "editor/QVFileDocument.h"

#include "editor/HTMLView.h"
#include "files/QVFile.h"
#include "platform/AppBundle.h"
#include "shell/FileEncodings.h"

#include <utility>
#include <vector>

namespace {

// Where the first character of text that encoding cannot hold sits (UTF-16 index), -1 when all
// fit: the longest prefix that encodes exactly, found by halving (a lossy save is rare, a file
// may be large).
qsizetype firstMisfit(const QString& text, QVStringEncoding encoding) {
    const auto fits = [&](qsizetype n) { return TextEncoding::encode(text.left(n), encoding, false).has_value(); };
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

QString QVFileDocument::misfitSentence(const QString& text, QVStringEncoding encoding) {
    const qsizetype at = firstMisfit(text, encoding);
    if (at < 0) return {};
    const qsizetype line = text.left(at).count(u'\n') + 1;
    const QString misfit = text.mid(at, text.at(at).isHighSurrogate() ? 2 : 1);
    return QVLocalized(QStringLiteral("The first is \u201c%1\u201d in line %2.")).arg(misfit).arg(line);
}

QVFileDocument::QVFileDocument(const QString& path)
    : _callbacks(std::make_shared<char>(), static_cast<QVFileDocumentCallbacks*>(this)) {
    _textView = new HTMLView(path);
    setFileName(path);
    auto undo = std::make_shared<QVUndoManager>();
    _textView->setUndoManager(undo);
    setUndoManager(undo);
    _textView->setFileConfigurationReader([this](const QString& key) { return configurationValueForKey(key); });
}

QVFileDocument::~QVFileDocument() {
    setFileNode({});
    _callbacks.reset();
    setUndoManager({});
    if (_textView) {
        _textView->setFileConfigurationReader({});
        if (!_textView->parent()) delete _textView.data();
    }
}

HTMLView* QVFileDocument::textView() const { return _textView.data(); }

void QVFileDocument::setConfigurationValue(const QVariant& value, const QString& key) {
    if (value.isNull()) _localConfiguration.remove(key);
    else _localConfiguration.insert(key, value);
}

QVStringEncoding QVFileDocument::encoding() const {
    const QVStringEncoding inUse = _textView ? _textView->stringEncoding() : 0;
    return inUse ? inUse : QVStringEncoding(configurationValueForKey(HTMLView::FileEncodingKey).toULongLong());
}

bool QVFileDocument::load(QVError* error, QVError* notice) {
    if (!revertToContentsOfFile({}, error)) return false;
    qvSetError(notice, _loadNotice);
    return true;
}

bool QVFileDocument::readFromFile(const QString& path, const QString&, QVError* error) {
    if (!_textView) return false;
    QVError result;
    if (!_textView->loadFromPath(path, {}, &result)) {
        qvSetError(error, result);
        return false;
    }
    _loadNotice = result.code() == FileEncodings::FallbackEncodingError ? result : QVError();
    return true;
}

std::optional<QVDocument::Contents> QVFileDocument::dataOfType(const QString&, QVError* error) {
    if (!_textView) return std::nullopt;
    const QString text = _textView->fullString();
    const QVStringEncoding requested = encoding();
    QVStringEncoding used = requested;
    QVError warning;
    std::optional<QByteArray> bytes = FileEncodings::dataUsingEncoding(text, &used, &warning);
    if (!bytes) {
        qvSetError(error, QVError::app(SaveFailedError, warning.localizedDescription(),
                                       QVLocalized(QStringLiteral("Please check that you have write permissions and that your file encoding is valid."))));
        return std::nullopt;
    }
    Contents contents{*bytes, !warning, {}};
    if (warning) {
        const QString sentence = misfitSentence(text, requested ? requested : used);
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
    QVError failure;
    if (saveToFile({}, &failure, warning)) return true;
    if (failure.domain() != QVError::applicationDomain() || failure.code() != SaveFailedError) {
        QVariantMap info;
        info.insert(QString::fromLatin1(QVUnderlyingErrorKey), QVariant::fromValue(failure.localizedDescription()));
        info.insert(QString::fromLatin1(QVFilePathErrorKey), fileName());
        failure = QVError::app(SaveFailedError, failure.localizedDescription(),
                               QVLocalized(QStringLiteral("Please check that you have write permissions and that your file encoding is valid.")),
                               {}, info);
    }
    qvSetError(error, failure);
    return false;
}

bool QVFileDocument::reopenUsingEncoding(QVStringEncoding encoding, QVError* error, QVError* notice) {
    if (isDocumentEdited()) {
        QVariantMap info;
        info.insert(QStringLiteral("NSStringEncodingErrorKey"), qulonglong(encoding));
        qvSetError(error, QVError::app(UnsavedChangesError, QVLocalized(QStringLiteral("File has unsaved changes")),
                                       QVLocalized(QStringLiteral("Would you like to save your changes before reopening the file? The changes will be saved using the new encoding.")),
                                       {QVLocalized(QStringLiteral("Save Changes")), QVLocalized(QStringLiteral("Discard Changes")),
                                        QVLocalized(QStringLiteral("Cancel"))},
                                       info));
        return false;
    }
    return reallyReopenUsingEncoding(encoding, error, notice);
}

bool QVFileDocument::saveAndReopenUsingEncoding(QVStringEncoding encoding, QVError* error, QVError* notice) {
    if (!_textView) return false;
    const QString sentence = TextEncoding::isSupported(encoding) ? misfitSentence(_textView->fullString(), encoding) : QString();
    if (!sentence.isEmpty() || !TextEncoding::isSupported(encoding)) {
        qvSetError(error, QVError::app(SaveFailedError,
                                       QVLocalized(QStringLiteral("The text cannot be saved in %1.")).arg(FileEncodings::stringFromEncoding(encoding)),
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
    const QVariant stored = configurationValueForKey(HTMLView::FileEncodingKey);
    setConfigurationValue(qulonglong(encoding), HTMLView::FileEncodingKey);
    if (!revertToContentsOfFile({}, error)) {
        setConfigurationValue(stored, HTMLView::FileEncodingKey);
        return false;
    }
    // The notice names the encoding that really decoded the text, the fallback one included.
    const QString format = AppBundle::main().localizedString(QStringLiteral("Opened using %@"));
    QString name = FileEncodings::stringFromEncoding(_textView->stringEncoding());
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
    if (_fileNode) setFileName(_fileNode->path());
}

bool QVFileDocument::saveForClose(std::function<void(bool)> finished, QVError* error, QVError* warning) {
    _closeFinished = std::move(finished);
    // A successful write hands finished to its save (which may already have run it).
    if (save(error, warning)) return true;
    _closeFinished = nullptr;
    return false;
}

void QVFileDocument::saveCompleted(quint64 token, bool whole) {
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
    } else if (!uploaded) {
        // The site lacks what was written: still unsaved, whatever was typed since.
        if (latest) updateChangeCount(ChangeType::Done);
        if (_textView)
            if (const auto delegate = _textView->delegate()) delegate->htmlViewHadError(_textView, error, true);
    }
    if (ended.finished) ended.finished(uploaded && ended.whole);
}
