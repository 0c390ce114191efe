// Base of the objects that an attachment character (U+FFFC) of a text storage stands for.
#pragma once

#include <QChar>

// Stored in a text storage under QVTextStorage::AttachmentAttribute as
// QVariant::fromValue(std::shared_ptr<QVTextAttachment>) over one U+FFFC character. Subclasses
// carry what the character hides or shows (a collapsed region's text, an image).
class QVTextAttachment {
public:
    static constexpr char16_t Character = u'\uFFFC';

    virtual ~QVTextAttachment() = default;
};
