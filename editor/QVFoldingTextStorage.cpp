// The editor's text storage with collapsed regions.
#include "editor/QVFoldingTextStorage.h"

#include "shell/Defaults.h"

#include <algorithm>

const QImage& QVFoldingTextStorage::foldMarkerImage() {
    if (!_imageLoaded) {
        _imageLoaded = true;
        const QString path = Defaults::pathForResource(QStringLiteral("Folding Ellipsis2"), QStringLiteral("png"), QStringLiteral("Images"));
        if (!path.isEmpty()) _foldMarkerImage.load(path);
    }
    return _foldMarkerImage;
}

std::shared_ptr<QVFoldMarkerTextAttachment> QVFoldingTextStorage::attachmentForRange(QVRange range) {
    auto attachment = std::make_shared<QVFoldMarkerTextAttachment>(foldMarkerImage());
    attachment->setString(fullStringInRange(range));
    return attachment;
}

std::shared_ptr<QVFoldMarkerTextAttachment> QVFoldingTextStorage::foldMarkerAt(qint64 index, QVRange* run) const {
    return std::dynamic_pointer_cast<QVFoldMarkerTextAttachment>(attachmentAt(index, run));
}

std::shared_ptr<QVFoldMarkerTextAttachment> QVFoldingTextStorage::firstAttachmentInRange(QVRange range) const {
    const QVRange inside = range.intersection(QVRange(0, length()));
    if (inside.isNotFound() || inside.length == 0) return nullptr;
    if (auto found = foldMarkerAt(inside.location)) return found;
    // Walk the runs: a run of another attachment (or of none) may stand before the first region.
    qint64 index = inside.location;
    while (index < inside.end()) {
        QVRange run;
        attribute(AttachmentAttribute, index, &run, inside);
        if (run.length <= 0 || run.end() >= inside.end()) return nullptr;
        index = run.end();
        if (auto found = foldMarkerAt(index)) return found;
    }
    return nullptr;
}

std::shared_ptr<QVFoldMarkerTextAttachment> QVFoldingTextStorage::previousAttachmentBeforeIndex(qint64 index, QVRange* range) const {
    if (length() == 0) {
        if (range) *range = QVRange(0, 0);
        return nullptr;
    }
    qint64 at = std::clamp<qint64>(index, 0, length() - 1);
    for (;;) {
        QVRange run;
        auto found = foldMarkerAt(at, &run);
        if (range) *range = run;
        if (found) return found;
        if (run.location <= 0 || run.length <= 0) return nullptr;
        at = run.location - 1;
    }
}

std::shared_ptr<QVFoldMarkerTextAttachment> QVFoldingTextStorage::nextAttachmentAfterIndex(qint64 index, QVRange* range) const {
    if (index < 0) index = 0;
    if (index >= length()) {
        if (range) *range = QVRange(0, 0);
        return nullptr;
    }
    qint64 at = index;
    for (;;) {
        QVRange run;
        auto found = foldMarkerAt(at, &run);
        if (range) *range = run;
        if (found) return found;
        if (run.length <= 0 || run.end() >= length()) return nullptr;
        at = run.end();
    }
}

QString QVFoldingTextStorage::stringInRange(QVRange range, Replacement replacement) const {
    QString result;
    if (range.location < 0 || range.location >= length() || range.length <= 0) return result;
    const qint64 end = std::min(range.end(), length());
    qint64 index = range.location;
    while (index < end) {
        QVRange run;
        const QVariant value = attribute(AttachmentAttribute, index, &run);
        if (run.length <= 0) break;
        const qint64 runEnd = std::min(run.end(), end);
        auto* marker = dynamic_cast<QVFoldMarkerTextAttachment*>(objectOf<QVTextAttachment>(value));
        if (!marker && index == 0 && runEnd == length()) {
            // The whole text without a region: shared, not copied.
            return string();
        } else if (!marker) {
            result += substring(QVRange(index, runEnd - index));
        } else {
            // A run of one region's value covers its single character.
            for (qint64 i = index; i < runEnd; ++i) {
                if (characterAt(i) != QChar(QVTextAttachment::Character)) result += characterAt(i);
                else if (replacement == Replacement::FullText) result += marker->string();
                else result += QVFoldMarkerTextAttachment::emptyRepresentation();
            }
        }
        index = runEnd;
    }
    return result;
}

QString QVFoldingTextStorage::fullStringInRange(QVRange range) const { return stringInRange(range, Replacement::FullText); }

QString QVFoldingTextStorage::stringWithoutAttachmentsInRange(QVRange range) const {
    return stringInRange(range, Replacement::Blank);
}
