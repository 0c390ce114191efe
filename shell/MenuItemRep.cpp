#include "shell/MenuItemRep.h"

#include "shell/WorkspaceUtilities.h"

namespace {
const QSize IconSize(16, 16);
}

MenuItemRep MenuItemRep::withTitle(const QString& title, const QString& action, const QString& keyEquivalent) {
    MenuItemRep rep;
    if (!title.isNull())
        rep.setTitle(title);
    if (!action.isEmpty())
        rep.setAction(action);
    if (!keyEquivalent.isNull())
        rep.setKeyEquivalent(keyEquivalent);
    return rep;
}

MenuItemRep MenuItemRep::separatorItem() {
    MenuItemRep rep;
    rep._values.insert(QStringLiteral("isSeparator"), true);
    return rep;
}

QImage MenuItemRep::image() const {
    const QVariant image = _values.value(QStringLiteral("image"));
    if (image.isValid())
        return image.value<QImage>();
    if (_values.value(QStringLiteral("imageIsFile")).toBool())
        return WorkspaceUtilities::fileIconOfSize(IconSize);
    if (_values.value(QStringLiteral("imageIsFolder")).toBool())
        return WorkspaceUtilities::folderIconOfSize(IconSize);
    const QString iconPath = _values.value(QStringLiteral("iconPath")).toString();
    if (!iconPath.isEmpty())
        return WorkspaceUtilities::iconForFile(iconPath, IconSize);
    return {};
}

void MenuItemRep::setImage(const QImage& image) {
    if (!image.isNull())
        _values.insert(QStringLiteral("image"), image);
}

void MenuItemRep::setIconPath(const QString& path) {
    if (!path.isNull())
        _values.insert(QStringLiteral("iconPath"), path);
}

void MenuItemRep::setRepresentedObject(const QVariant& object) {
    if (object.isValid())
        _values.insert(QStringLiteral("representedObject"), object);
}

bool MenuItemRep::titleLessThan(const MenuItemRep& a, const MenuItemRep& b) {
    return a.title().compare(b.title(), Qt::CaseInsensitive) < 0;
}
