// The editor's text storage: the visible text, in which each collapsed region stands as one
// attachment character, and the full text behind it.
#pragma once

#include "editor/QVFoldMarkerTextAttachment.h"
#include "platform/QVTextStorage.h"

#include <QImage>
#include <QString>

#include <memory>

// Collapsing and expanding are the editor's edits; this class answers what folding, saving and
// searching ask: the first, previous or next collapsed region, the full text of a range, and a
// text of the visible length in which each collapsed region counts as one blank.
//
// Collapsed regions are QVFoldMarkerTextAttachment values of the attachment attribute; other
// attachments, and U+FFFC characters without one, are ordinary characters here.
class QVFoldingTextStorage : public QVTextStorage {
public:
    // The editor reads "multi-line" marks only at line ends.
    QVFoldingTextStorage() { setMultiLineMarksAcrossLinesOnly(true); }

    // The picture of every collapsed region of this storage: the application resource
    // "Folding Ellipsis2.png", loaded on first use and shared; null when it is missing.
    const QImage& foldMarkerImage();

    // A new attachment, with this storage's picture, holding the full text of range (nested
    // regions expanded). The storage itself is not changed.
    std::shared_ptr<QVFoldMarkerTextAttachment> attachmentForRange(QVRange range);

    // The collapsed region at range's start; else the first one after the stretch without any
    // that starts there, when that stretch ends inside range; else null.
    std::shared_ptr<QVFoldMarkerTextAttachment> firstAttachmentInRange(QVRange range) const;
    // The nearest collapsed region at or before index (an index at or past the end looks from
    // the last character); *range receives the attribute run examined last.
    std::shared_ptr<QVFoldMarkerTextAttachment> previousAttachmentBeforeIndex(qint64 index, QVRange* range = nullptr) const;
    // The nearest collapsed region at or after index; null for an index at or past the end.
    std::shared_ptr<QVFoldMarkerTextAttachment> nextAttachmentAfterIndex(qint64 index, QVRange* range = nullptr) const;

    // The text of range with every collapsed region expanded; empty for a range starting at or
    // past the end (a range running past the end is cut there).
    QString fullStringInRange(QVRange range) const;
    QString fullString() const { return fullStringInRange(QVRange(0, length())); }
    // The text of range with every collapsed region as one blank: as long as range, so
    // positions in it are visible positions.
    QString stringWithoutAttachmentsInRange(QVRange range) const;

    enum class Replacement { FullText, Blank };
    // The walk behind the two above.
    QString stringInRange(QVRange range, Replacement replacement) const;

    // The collapsed region at index; null when the character there is not one.
    std::shared_ptr<QVFoldMarkerTextAttachment> foldMarkerAt(qint64 index, QVRange* run = nullptr) const;

private:
    QImage _foldMarkerImage;
    bool _imageLoaded = false;
};
