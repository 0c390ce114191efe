// One undoable change of a text storage: a stretch of text and the attachments it carried.
#pragma once

#include "platform/QVError.h"
#include "platform/QVRange.h"
#include "platform/QVTextAttachment.h"

#include <QString>

#include <memory>
#include <utility>
#include <vector>

class QVTextStorage;

// "Put text (with its attachments) over range": the record an editor registers to undo an
// edit. Applying it answers the inverse record, which is what redo needs. Only characters and
// attachments travel; colours and other attributes are the highlighter's to restore.
class QVTextChange {
public:
    // Attachments by offset inside text; each offset holds a U+FFFC of text.
    using Attachments = std::vector<std::pair<qint64, std::shared_ptr<QVTextAttachment>>>;

    QVTextChange() = default;
    QVTextChange(QVRange range, QString text, Attachments attachments = {})
        : _range(range), _text(std::move(text)), _attachments(std::move(attachments)) {}

    // The change that would put back what range of storage holds now, once range has been
    // replaced by replacementLength characters.
    static QVTextChange inverseOf(const QVTextStorage& storage, QVRange range, qint64 replacementLength);
    // The attachments of range, by offset from its start.
    static Attachments attachmentsIn(const QVTextStorage& storage, QVRange range);
    // Replaces range of storage by text inside one editing batch and sets the attachments on
    // their characters (an offset that is not a U+FFFC of text is skipped). The storage's
    // range error, changing nothing, when range lies outside the text.
    static QVError replace(QVTextStorage& storage, QVRange range, const QString& text,
                           const Attachments& attachments);

    // Applies the change; on success *inverse (when given) is the change that undoes it.
    QVError apply(QVTextStorage& storage, QVTextChange* inverse = nullptr) const;

    // Grows this record, the undo of a run of typing, so that it also undoes the edit that
    // replaced replaced (in the text before that edit), which held removedText, by
    // insertedLength characters. Merges what typing does next to its own end: appending,
    // deleting backwards over what was typed and on before it, deleting forwards. False,
    // changing nothing, when the edit is elsewhere or removes an attachment.
    bool mergeTyping(QVRange replaced, const QString& removedText, qint64 insertedLength,
                     bool removedAttachments);

    QVRange range() const { return _range; }
    const QString& text() const { return _text; }
    const Attachments& attachments() const { return _attachments; }

private:
    QVRange _range;
    QString _text;
    Attachments _attachments;
};
