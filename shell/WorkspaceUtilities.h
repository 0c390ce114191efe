// Icons from the desktop's icon theme: generic document and folder icons, icons by file-type
// code and per-file icons, rendered at a requested size.
#pragma once

#include <QIcon>
#include <QImage>
#include <QSize>
#include <QString>

// A four-character file-type code as its number ('docu' is 0x646F6375).
constexpr quint32 QVFileTypeCode(const char (&code)[5]) {
    return (quint32(quint8(code[0])) << 24) | (quint32(quint8(code[1])) << 16) |
           (quint32(quint8(code[2])) << 8) | quint32(quint8(code[3]));
}

class WorkspaceUtilities {
public:
    WorkspaceUtilities() = delete;

    static constexpr quint32 GenericDocumentType = QVFileTypeCode("docu");
    static constexpr quint32 GenericFolderType = QVFileTypeCode("fldr");

    // The generic document / folder icon at the size. Never null: when the desktop has no icon
    // theme, a drawn icon stands in. The last image is kept and returned again for the same size.
    static QImage fileIconOfSize(const QSize& size);
    static QImage folderIconOfSize(const QSize& size);

    // The icon of a file-type code at the size; icons are fetched once per code and kept.
    // Codes without a desktop counterpart get the generic document icon. Never null.
    static QImage iconWithHFSType(quint32 typeCode, const QSize& size);

    // The file's own icon (by its kind, from the desktop), asked afresh, scaled to the size; the
    // generic document or folder icon when the desktop gives none. Null for an empty path.
    static QImage iconForFile(const QString& path, const QSize& size);

    // The desktop's icon for the file as it comes, before any resizing (the generic icon of its
    // kind when the desktop has none); null for an empty path.
    static QIcon workspaceIconForFile(const QString& path);
    // The icon rendered into a transparent image of exactly the size, scaled to fit with its
    // proportions kept and centred. Null for a null icon or an empty size.
    static QImage imageFromIcon(const QIcon& icon, const QSize& size);
    // Asks the desktop's file manager to show the file selected; without one its folder opens.
    static void revealInFileManager(const QString& path);
};
