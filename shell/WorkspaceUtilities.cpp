// Icons from the desktop's icon theme, with drawn stand-ins where the desktop has none.
#include "shell/WorkspaceUtilities.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QUrl>

#include <QAbstractFileIconProvider>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <memory>

namespace {

struct IconState {
    QMutex lock;
    QImage fileIcon;
    QImage folderIcon;
    QHash<quint32, QIcon> typeIcons;
    std::unique_ptr<QAbstractFileIconProvider> provider;

    QAbstractFileIconProvider& fileIconProvider() {
        if (!provider) provider = std::make_unique<QAbstractFileIconProvider>();
        return *provider;
    }
};

IconState& state() {
    static IconState s;
    return s;
}

QIcon firstThemeIcon(std::initializer_list<const char*> names) {
    for (const char* name : names) {
        QIcon icon = QIcon::fromTheme(QLatin1String(name));
        if (!icon.isNull()) return icon;
    }
    return {};
}

// A plain page with a folded corner, or a folder with a tab: used only when neither the icon
// theme nor the widget style can give one, so callers always get an image.
QIcon drawnIcon(bool folder) {
    QImage image(64, 64, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(90, 90, 90), 2));
    if (folder) {
        QPainterPath path;
        path.moveTo(4, 14);
        path.lineTo(24, 14);
        path.lineTo(29, 20);
        path.lineTo(60, 20);
        path.lineTo(60, 56);
        path.lineTo(4, 56);
        path.closeSubpath();
        p.setBrush(QColor(120, 170, 230));
        p.drawPath(path);
    } else {
        QPainterPath path;
        path.moveTo(12, 4);
        path.lineTo(42, 4);
        path.lineTo(54, 16);
        path.lineTo(54, 60);
        path.lineTo(12, 60);
        path.closeSubpath();
        p.setBrush(Qt::white);
        p.drawPath(path);
        p.drawLine(42, 4, 42, 16);
        p.drawLine(42, 16, 54, 16);
    }
    p.end();
    return QIcon(QPixmap::fromImage(image));
}

// Called with the state's lock held.
QIcon fetchTypeIcon(IconState& s, quint32 code) {
    using WU = WorkspaceUtilities;
    QIcon icon;
    if (code == WU::GenericFolderType) {
        icon = firstThemeIcon({"folder"});
        if (icon.isNull()) icon = s.fileIconProvider().icon(QAbstractFileIconProvider::Folder);
        if (icon.isNull()) icon = drawnIcon(true);
        return icon;
    }
    if (code == QVFileTypeCode("APPL"))
        icon = firstThemeIcon({"application-x-executable"});
    else if (code == QVFileTypeCode("trsh"))
        icon = firstThemeIcon({"user-trash"});
    else if (code == QVFileTypeCode("hdsk"))
        icon = firstThemeIcon({"drive-harddisk"});
    else if (code == QVFileTypeCode("TEXT"))
        icon = firstThemeIcon({"text-x-generic"});
    if (icon.isNull()) icon = firstThemeIcon({"text-x-generic", "application-x-generic"});
    if (icon.isNull()) icon = s.fileIconProvider().icon(QAbstractFileIconProvider::File);
    if (icon.isNull()) icon = drawnIcon(false);
    return icon;
}

QImage cachedGenericIcon(QImage IconState::*slot, quint32 code, const QSize& size) {
    IconState& s = state();
    QMutexLocker locker(&s.lock);
    QImage& kept = s.*slot;
    if (!kept.isNull() && kept.size() == size) return kept;
    kept = WorkspaceUtilities::imageFromIcon(fetchTypeIcon(s, code), size);
    return kept;
}

// Called with the state's lock held.
const QIcon& keptTypeIcon(IconState& s, quint32 typeCode) {
    auto it = s.typeIcons.find(typeCode);
    if (it == s.typeIcons.end()) it = s.typeIcons.insert(typeCode, fetchTypeIcon(s, typeCode));
    return *it;
}

}  // namespace

QImage WorkspaceUtilities::fileIconOfSize(const QSize& size) {
    return cachedGenericIcon(&IconState::fileIcon, GenericDocumentType, size);
}

QImage WorkspaceUtilities::folderIconOfSize(const QSize& size) {
    return cachedGenericIcon(&IconState::folderIcon, GenericFolderType, size);
}

QImage WorkspaceUtilities::iconWithHFSType(quint32 typeCode, const QSize& size) {
    IconState& s = state();
    QMutexLocker locker(&s.lock);
    return imageFromIcon(keptTypeIcon(s, typeCode), size);
}

QImage WorkspaceUtilities::iconForFile(const QString& path, const QSize& size) {
    return imageFromIcon(workspaceIconForFile(path), size);
}

QIcon WorkspaceUtilities::workspaceIconForFile(const QString& path) {
    if (path.isEmpty()) return {};
    IconState& s = state();
    QMutexLocker locker(&s.lock);
    const QFileInfo info(path);
    // Without an icon theme (a bare desktop, or no widget style to draw one) a file still shows
    // the generic icon of its kind.
    QIcon icon = s.fileIconProvider().icon(info);
    if (icon.isNull()) icon = keptTypeIcon(s, info.isDir() ? GenericFolderType : GenericDocumentType);
    return icon;
}

QImage WorkspaceUtilities::imageFromIcon(const QIcon& icon, const QSize& size) {
    if (icon.isNull() || size.isEmpty()) return {};
    QImage source = icon.pixmap(size, 1.0).toImage();
    if (source.isNull()) return {};
    source.setDevicePixelRatio(1.0);
    if (source.size() == size) return source.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const QImage scaled = source.scaled(size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.drawImage((size.width() - scaled.width()) / 2, (size.height() - scaled.height()) / 2,
                      scaled);
    painter.end();
    return image;
}

void WorkspaceUtilities::revealInFileManager(const QString& path) {
    if (path.isEmpty()) return;
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
                                                       QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList{QUrl::fromLocalFile(path).toString()} << QString();
    const QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 3000);
    if (reply.type() != QDBusMessage::ReplyMessage) QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(path).path()));
}
