// A menu item described as plain values, so that menus built from files (special characters,
// encodings, snippets, scripts, Tidy operations, browsers) can be assembled on any thread; the
// main thread turns them into actions with MenuConstruction.
#pragma once

#include <QImage>
#include <QList>
#include <QString>
#include <QVariant>
#include <QVariantMap>

class MenuItemRep {
public:
    MenuItemRep() = default;
    // Holds "title", "action" and "keyEquivalent", each only when given (not empty).
    static MenuItemRep withTitle(const QString& title, const QString& action = {}, const QString& keyEquivalent = {});
    static MenuItemRep separatorItem();

    QString title() const { return _values.value(QStringLiteral("title")).toString(); }
    bool hasTitle() const { return _values.contains(QStringLiteral("title")); }
    void setTitle(const QString& title) { _values.insert(QStringLiteral("title"), title); }
    // The action's name, empty when none.
    QString action() const { return _values.value(QStringLiteral("action")).toString(); }
    void setAction(const QString& action) { _values.insert(QStringLiteral("action"), action); }
    QString keyEquivalent() const { return _values.value(QStringLiteral("keyEquivalent")).toString(); }
    void setKeyEquivalent(const QString& key) { _values.insert(QStringLiteral("keyEquivalent"), key); }
    // Qt::KeyboardModifiers bits; 0 when absent: an item without a mask has no modifier keys.
    quint32 keyEquivalentModifierMask() const { return _values.value(QStringLiteral("modifierMask")).toUInt(); }
    void setKeyEquivalentModifierMask(quint32 mask) { _values.insert(QStringLiteral("modifierMask"), mask); }
    qint64 indentation() const { return _values.value(QStringLiteral("indentation")).toLongLong(); }
    void setIndentation(quint32 level) { _values.insert(QStringLiteral("indentation"), level); }
    bool isSeparatorItem() const { return _values.value(QStringLiteral("isSeparator")).toBool(); }

    // "image" wins over "imageIsFile", over "imageIsFolder", over "iconPath"; 16 × 16 icons.
    // Icons are looked up when asked, so call it on the thread that shows the menu.
    QImage image() const;
    void setImage(const QImage& image);
    void setImageIsFile(bool isFile) { _values.insert(QStringLiteral("imageIsFile"), isFile); }
    void setImageIsFolder(bool isFolder) { _values.insert(QStringLiteral("imageIsFolder"), isFolder); }
    void setIconPath(const QString& path);

    QVariant representedObject() const { return _values.value(QStringLiteral("representedObject")); }
    void setRepresentedObject(const QVariant& object);
    QList<MenuItemRep> submenuReps() const { return _submenu; }
    void setSubmenuReps(const QList<MenuItemRep>& reps) { _submenu = reps; }

    // Case-insensitive order of titles, for alphabetical menus.
    static bool titleLessThan(const MenuItemRep& a, const MenuItemRep& b);

private:
    QVariantMap _values;
    QList<MenuItemRep> _submenu;
};
