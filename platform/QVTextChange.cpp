// One undoable change of a text storage.
#include "platform/QVTextChange.h"

#include "platform/QVTextStorage.h"

QVTextChange::Attachments QVTextChange::attachmentsIn(const QVTextStorage& storage, QVRange range) {
    Attachments found;
    qint64 index = range.location;
    while (index < range.end() && index < storage.length()) {
        QVRange run;
        std::shared_ptr<QVTextAttachment> attachment = storage.attachmentAt(index, &run);
        if (run.length <= 0) break;
        if (attachment) {
            const qint64 end = std::min(run.end(), range.end());
            for (qint64 i = std::max(run.location, index); i < end; ++i)
                if (storage.characterAt(i) == QChar(QVTextAttachment::Character))
                    found.emplace_back(i - range.location, attachment);
        }
        index = run.end();
    }
    return found;
}

QVTextChange QVTextChange::inverseOf(const QVTextStorage& storage, QVRange range, qint64 replacementLength) {
    return QVTextChange(QVRange(range.location, replacementLength), storage.substring(range),
                        attachmentsIn(storage, range));
}

QVError QVTextChange::replace(QVTextStorage& storage, QVRange range, const QString& text,
                              const Attachments& attachments) {
    storage.beginEditing();
    QVError error = storage.replaceCharacters(range, text);
    if (!error) {
        for (const auto& [offset, attachment] : attachments) {
            if (offset < 0 || offset >= text.size() || text.at(offset) != QChar(QVTextAttachment::Character)) continue;
            storage.addAttribute(QVTextStorage::AttachmentAttribute, QVariant::fromValue(attachment),
                                 QVRange(range.location + offset, 1));
        }
    }
    storage.endEditing();
    return error;
}

QVError QVTextChange::apply(QVTextStorage& storage, QVTextChange* inverse) const {
    const QVRange clamp(0, storage.length());
    if (_range.location < 0 || _range.length < 0 || _range.end() > clamp.end())
        return QVError::make(QStringLiteral("QVTextStorageErrorDomain"), 1,
                             QStringLiteral("The range {%1, %2} lies outside the text of %3 characters.")
                                 .arg(_range.location).arg(_range.length).arg(storage.length()));
    QVTextChange undo = inverseOf(storage, _range, _text.size());
    if (QVError error = replace(storage, _range, _text, _attachments)) return error;
    if (inverse) *inverse = std::move(undo);
    return {};
}

bool QVTextChange::mergeTyping(QVRange replaced, const QString& removedText, qint64 insertedLength,
                               bool removedAttachments) {
    if (removedAttachments) return false;
    if (replaced.location == _range.end()) {
        // Typing on at the end, or deleting forwards from it.
        _text += removedText;
        _range.length += insertedLength;
        return true;
    }
    if (insertedLength == 0 && replaced.end() == _range.end() && replaced.location >= _range.location) {
        // Deleting backwards over what was typed.
        _range.length -= replaced.length;
        return true;
    }
    if (insertedLength == 0 && _range.length == 0 && replaced.end() == _range.location) {
        // Deleting backwards on before where typing began.
        _text.prepend(removedText);
        for (auto& entry : _attachments) entry.first += removedText.size();
        _range.location = replaced.location;
        return true;
    }
    return false;
}
