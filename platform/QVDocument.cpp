// A document of one file: name, type, edited state, save and revert.
#include "platform/QVDocument.h"

#include "platform/AppBundle.h"
#include "platform/AtomicFile.h"
#include "platform/FileName.h"

#include <QFileInfo>

#include <cerrno>

QVDocument::QVDocument() = default;

QVDocument::~QVDocument() {
    // Going away is no edit to report: the observer's owner may be gone already.
    _editedObserver = nullptr;
    setUndoManager({});
}

QString QVDocument::displayName() const {
    if (!_fileName.isEmpty()) return FileName::displayed(QFileInfo(_fileName).fileName());
    return _untitledName.isEmpty() ? QVLocalized(QStringLiteral("Untitled")) : _untitledName;
}

void QVDocument::setUndoManager(std::shared_ptr<QVUndoManager> manager) {
    if (_undoManager) _undoManager->removeChangeObserver(_observerToken);
    _undoManager = std::move(manager);
    _observerToken = 0;
    _cleanToken = currentChangeToken();
    _countedByHand = false;
    if (_undoManager)
        _observerToken = _undoManager->addChangeObserver([this](QVUndoManager::Change, bool) { notifyIfFlipped(); });
    notifyIfFlipped();
}

bool QVDocument::isDocumentEdited() const { return _countedByHand || currentChangeToken() != _cleanToken; }

void QVDocument::updateChangeCount(ChangeType change) {
    if (change == ChangeType::Done) {
        _countedByHand = true;
        notifyIfFlipped();
    } else {
        markCleanAt(currentChangeToken());
    }
}

void QVDocument::markCleanAt(quint64 token) {
    _cleanToken = token;
    // A change counted by hand is part of the state the write or read took.
    if (token == currentChangeToken()) _countedByHand = false;
    notifyIfFlipped();
}

void QVDocument::notifyIfFlipped() {
    const bool edited = isDocumentEdited();
    if (edited == _lastEdited) return;
    _lastEdited = edited;
    if (_editedObserver) _editedObserver(edited);
}

bool QVDocument::saveToFile(const QString& path, QVError* error, QVError* warning) {
    const QString target = path.isEmpty() ? _fileName : path;
    if (target.isEmpty()) {
        qvSetError(error, QVError::posix(ENOENT, QStringLiteral("save"), target));
        return false;
    }
    // Typing of the current event is part of what is written.
    if (_undoManager && _undoManager->isEventGroupOpen()) _undoManager->closeEventGroup();
    const quint64 token = currentChangeToken();
    // Typing after a save is a step of its own: grown into the saved step, it would keep the
    // saved step's token and look saved.
    if (_undoManager) _undoManager->breakCoalescing();
    QVError failure;
    _writeNotice = QVError();
    std::optional<Contents> contents = dataOfType(_fileType, &failure);
    if (!contents || !writeToFile(target, contents->bytes, &failure)) {
        qvSetError(error, failure);
        return false;
    }
    if (target != _fileName) setFileName(target);
    if (contents->warning) qvSetError(warning, contents->warning);
    else if (_writeNotice) qvSetError(warning, _writeNotice);
    saveCompleted(token, contents->whole);
    return true;
}

bool QVDocument::writeToFile(const QString& path, const QByteArray& bytes, QVError* error) {
    AtomicFile::InPlace inPlace = AtomicFile::InPlace::No;
    if (!AtomicFile::write(path, bytes, error, fileAttributesToWrite(), nullptr, nullptr, &inPlace)) return false;
    if (inPlace != AtomicFile::InPlace::No) {
        const char* why = inPlace == AtomicFile::InPlace::OtherLinks
                              ? "The file has other hard links, so it was written in place to keep them."
                          : inPlace == AtomicFile::InPlace::OwnerOrGroup
                              ? "A new copy could not keep the file's owner or group, so the file was written in place."
                          : inPlace == AtomicFile::InPlace::FolderKeepsNames
                              ? "The folder lets no file in it be replaced, so the file was written in place."
                          : inPlace == AtomicFile::InPlace::Permissions
                              ? "A new copy could not be given the file's permissions, so the file was written in place."
                              : "The folder does not allow a temporary file, so the file was written in place.";
        _writeNotice = QVError::app(WrittenInPlaceNotice, QVLocalized(QString::fromLatin1(why)));
        _writeNotice.setUserInfoValue(QString::fromLatin1(QVIsLowPriorityError), true);
    }
    return true;
}

void QVDocument::saveCompleted(quint64 token, bool whole) {
    if (whole) return markCleanAt(token);
    // The file lacks what did not fit: the text is still unsaved, even when it was clean.
    _countedByHand = true;
    notifyIfFlipped();
}

bool QVDocument::revertToContentsOfFile(const QString& path, QVError* error) {
    const QString source = path.isEmpty() ? _fileName : path;
    if (!readFromFile(source, _fileType, error)) return false;
    if (source != _fileName) setFileName(source);
    _countedByHand = false;
    markCleanAt(currentChangeToken());
    return true;
}
