// One code-navigation search: pattern, title template, icon and font flags.
#include "languages/QVCodeNavItem.h"

#include "languages/QVBundle.h"

#include <QFontDatabase>
#include <QGuiApplication>
#include <QHash>
#include <QIcon>

#include <mutex>

namespace {

// The point size of the small system font that menus of places use.
constexpr qreal SmallSystemFontSize = 11.0;

QString stringValue(const QVariantMap& plist, const QString& key) {
    const QVariant value = plist.value(key);
    return value.typeId() == QMetaType::QString ? value.toString() : QString();
}

bool boolValue(const QVariantMap& plist, const QString& key) {
    const QVariant value = plist.value(key);
    return value.typeId() == QMetaType::Bool && value.toBool();
}

// Icons by name, shared by every item of every bundle for the life of the process.
struct IconCache {
    std::mutex lock;
    QHash<QString, QImage> images;
};

IconCache& iconCache() {
    static IconCache cache;
    return cache;
}

QImage systemImageNamed(const QString& name) {
    // Theme icons need the GUI application's platform integration.
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance())) return {};
    const QIcon icon = QIcon::fromTheme(name);
    if (icon.isNull()) return {};
    const QList<QSize> sizes = icon.availableSizes();
    const QSize size = sizes.isEmpty() ? QSize(16, 16) : sizes.last();
    return icon.pixmap(size).toImage();
}

}  // namespace

QVCodeNavItem::QVCodeNavItem(std::weak_ptr<QVBundle> bundle) : _bundle(std::move(bundle)) {}

QVCodeNavItem::QVCodeNavItem(const QVariantMap& plist, std::weak_ptr<QVBundle> bundle) : _bundle(std::move(bundle)) {
    setSearchExpression(stringValue(plist, PatternKey));
    _search.setReplaceString(stringValue(plist, DisplayKey));
    _iconName = stringValue(plist, IconKey);
    _bold = boolValue(plist, BoldKey);
    _italic = boolValue(plist, ItalicKey);
}

void QVCodeNavItem::setSearchExpression(const QString& pattern) {
    const QString replace = _search.replaceString();
    _pattern = pattern;
    // Places are found whatever the case of the text.
    _search = pattern.isEmpty() ? QVSearch() : QVSearch::withExpressionString(pattern, false);
    _search.setReplaceString(replace);
}

void QVCodeNavItem::setIconName(const QString& name) {
    if (name == _iconName) return;
    _iconName = name;
    _icon = QImage();
}

QImage QVCodeNavItem::icon() const {
    if (!_icon.isNull() || _iconName.isEmpty()) return _icon;
    IconCache& cache = iconCache();
    {
        std::lock_guard locker(cache.lock);
        const auto found = cache.images.constFind(_iconName);
        if (found != cache.images.constEnd()) return _icon = *found;
    }
    QImage image;
    if (const std::shared_ptr<QVBundle> owner = _bundle.lock()) image = owner->imageNamed(_iconName);
    if (image.isNull()) image = systemImageNamed(_iconName);
    if (image.isNull()) return {};
    if (image.width() > IconSize || image.height() > IconSize)
        image = image.scaled(IconSize, IconSize, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    std::lock_guard locker(cache.lock);
    cache.images.insert(_iconName, image);
    return _icon = image;
}

QFont QVCodeNavItem::titleFont() const {
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPointSizeF(SmallSystemFontSize);
    // Qt emboldens or slants the regular face itself when the family has no such face.
    font.setBold(_bold);
    font.setItalic(_italic);
    return font;
}

QString QVCodeNavItem::truncatedTitleForTitle(const QString& title) {
    if (title.size() <= MaximumTitleLength) return title;
    return title.left(TitleEndLength) + QChar(0x2026) + title.right(TitleEndLength);
}

QVariantMap QVCodeNavItem::plistRepresentation() const {
    QVariantMap plist;
    plist.insert(PatternKey, _pattern);
    plist.insert(DisplayKey, menuTitle());
    if (_bold) plist.insert(BoldKey, true);
    if (_italic) plist.insert(ItalicKey, true);
    if (!_iconName.isEmpty()) plist.insert(IconKey, _iconName);
    return plist;
}
