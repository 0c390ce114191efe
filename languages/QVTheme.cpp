// One colour scheme of the editor and its theme file.
#include "languages/QVTheme.h"

#include "platform/PropertyList.h"
#include "platform/QVTextStorage.h"
#include "shell/ColorUtilities.h"
#include "shell/Defaults.h"
#include "shell/StringHashing.h"
#include "shell/StringUtilities.h"

#include <QCoreApplication>
#include <QDir>
#include <QGuiApplication>
#include <QPalette>

namespace {

const QString kId = QStringLiteral("id");
const QString kTitle = QStringLiteral("format-title");
const QString kVersion = QStringLiteral("format-version");
const QString kGlobal = QStringLiteral("global-settings");
const QString kStyles = QStringLiteral("styles");
const QString kForeground = QStringLiteral("foreground");
const QString kBackground = QStringLiteral("background");
const QString kInsertionPoint = QStringLiteral("insertion-point");
const QString kInvisibles = QStringLiteral("invisibles");
const QString kSelection = QStringLiteral("selection");

// A colour from a plist value; invalid for anything that is not a parsable colour string.
QColor colorFromValue(const QVariant& value) {
    if (value.metaType() != QMetaType::fromType<QString>()) return {};
    return ColorUtilities::colorFromStyleString(value.toString());
}

void putColor(QVariantMap& map, const QString& key, const QColor& color) {
    if (color.isValid()) map.insert(key, ColorUtilities::styleString(color, true));
}

QColor selectedControlColor() {
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        return QGuiApplication::palette().color(QPalette::Active, QPalette::Highlight);
    return QColor::fromRgbF(0.71f, 0.84f, 1.0f);
}

}  // namespace

QVTheme::QVTheme()
    : _title(QCoreApplication::translate("QVTheme", "New Theme")),
      _modified(true),
      _backgroundColor(QColor::fromRgbF(1, 1, 1, 1)),
      _textColor(QColor::fromRgbF(0, 0, 0, 1)),
      _insertionPointColor(_textColor),
      _invisiblesColor(_textColor),
      _selectionColor(selectedControlColor()) {}

QVTheme::QVTheme(const QVariantMap& plist) {
    const QVariant title = plist.value(kTitle);
    if (title.metaType() == QMetaType::fromType<QString>()) _title = title.toString();
    const QVariant identifier = plist.value(kId);
    if (identifier.metaType() == QMetaType::fromType<QString>()) _identifier = identifier.toString();
    const QVariantMap global = plist.value(kGlobal).toMap();
    _backgroundColor = colorFromValue(global.value(kBackground));
    _textColor = colorFromValue(global.value(kForeground));
    _insertionPointColor = colorFromValue(global.value(kInsertionPoint));
    _invisiblesColor = colorFromValue(global.value(kInvisibles));
    _selectionColor = colorFromValue(global.value(kSelection));
    loadStylesFromPlist(plist.value(kStyles).toList());
    _modified = false;
}

std::shared_ptr<QVTheme> QVTheme::copy() const {
    QVariantMap plist = plistRepresentation();
    plist.remove(kId);
    return std::make_shared<QVTheme>(plist);
}

void QVTheme::loadStylesFromPlist(const QVariantList& styles) {
    _styles.clear();
    for (const QVariant& entry : styles) {
        const QVariantMap style = entry.toMap();
        const QVariant identifier = style.value(kId);
        if (identifier.metaType() != QMetaType::fromType<QString>() || identifier.toString().isEmpty())
            continue;
        QVariantMap attributes;
        const QColor foreground = colorFromValue(style.value(kForeground));
        const QColor background = colorFromValue(style.value(kBackground));
        if (foreground.isValid()) attributes.insert(QVTextStorage::ForegroundColorAttribute, foreground);
        if (background.isValid()) attributes.insert(QVTextStorage::BackgroundColorAttribute, background);
        if (!attributes.isEmpty()) _styles.insert(identifier.toString(), attributes);
    }
}

QVariantMap QVTheme::plistRepresentation() const {
    QVariantMap plist;
    plist.insert(kId, identifier());
    if (!_title.isNull()) plist.insert(kTitle, _title);
    plist.insert(kVersion, QStringLiteral("1.0"));
    QVariantMap global;
    putColor(global, kBackground, _backgroundColor);
    putColor(global, kForeground, _textColor);
    putColor(global, kInsertionPoint, _insertionPointColor);
    putColor(global, kInvisibles, _invisiblesColor);
    putColor(global, kSelection, _selectionColor);
    plist.insert(kGlobal, global);
    QVariantList styles;
    for (auto it = _styles.cbegin(); it != _styles.cend(); ++it)
        styles.append(stylePlistForIdentifier(it.key()));
    plist.insert(kStyles, styles);
    return plist;
}

QVariantMap QVTheme::stylePlistForIdentifier(const QString& identifier) const {
    const auto it = _styles.constFind(identifier);
    if (it == _styles.cend()) return {};
    QVariantMap plist;
    plist.insert(kId, identifier);
    putColor(plist, kForeground, it->value(QVTextStorage::ForegroundColorAttribute).value<QColor>());
    putColor(plist, kBackground, it->value(QVTextStorage::BackgroundColorAttribute).value<QColor>());
    return plist;
}

bool QVTheme::commit(QVError* error) {
    if (!_modified) return true;
    const QString name = identifier();
    if (name.isEmpty() || name.contains(QLatin1Char('/')) || name.contains(QChar(0))) {
        qvSetError(error, QVError::app(0, QStringLiteral("The theme could not be saved."),
                                       QStringLiteral("Its identifier \"%1\" cannot name a file.").arg(name)));
        return false;
    }
    const QString folder = StringUtilities::tildePath() + QStringLiteral("/Themes");
    if (!QDir().mkpath(folder)) {
        qvSetError(error, QVError::posix(errno ? errno : EACCES, QStringLiteral("create folder"), folder));
        return false;
    }
    // Cleared only once the file is safely on disk, so a failed save can be tried again.
    if (!Defaults::writePlist(plistRepresentation(), folder + QLatin1Char('/') + name + QStringLiteral(".plist"),
                              static_cast<int>(PlistFormat::XML), error))
        return false;
    _modified = false;
    return true;
}

QString QVTheme::identifier() const {
    if (_identifier.isNull()) _identifier = StringHashing::uuid();
    return _identifier;
}

bool QVTheme::setValue(const QVariant& value, const QString& key) {
    const bool isString = value.metaType() == QMetaType::fromType<QString>();
    const bool isColor = value.metaType() == QMetaType::fromType<QColor>();
    QColor QVTheme::*color = nullptr;
    if (key == QLatin1String("title") && isString) _title = value.toString();
    else if (key == QLatin1String("identifier") && isString) _identifier = value.toString();
    else if (key == QLatin1String("backgroundColor")) color = &QVTheme::_backgroundColor;
    else if (key == QLatin1String("textColor")) color = &QVTheme::_textColor;
    else if (key == QLatin1String("insertionPointColor")) color = &QVTheme::_insertionPointColor;
    else if (key == QLatin1String("invisiblesColor")) color = &QVTheme::_invisiblesColor;
    else if (key == QLatin1String("selectionColor")) color = &QVTheme::_selectionColor;
    else return false;
    if (color) {
        if (!isColor && value.isValid()) return false;
        this->*color = value.value<QColor>();
    }
    _modified = true;
    return true;
}

int QVTheme::compareTitle(const QVTheme& other) const {
    return _title.compare(other._title, Qt::CaseInsensitive);
}

QVariantMap QVTheme::attributesForIdentifier(const QString& identifier) const {
    QStringView name(identifier);
    for (;;) {
        const auto it = _styles.constFind(name.toString());
        if (it != _styles.cend()) return *it;
        const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
        if (dot < 0) return {};
        name = name.left(dot);
    }
}

void QVTheme::addStyle(const QString& identifier, const QVariantMap& attributes) {
    if (identifier.isEmpty() || _styles.contains(identifier)) return;
    _styles.insert(identifier, attributes);
    _modified = true;
}

void QVTheme::changeIdentifier(const QString& oldIdentifier, const QString& newIdentifier) {
    const QVariantMap attributes = attributesForIdentifier(oldIdentifier);
    _styles.remove(oldIdentifier);
    if (!newIdentifier.isEmpty()) _styles.insert(newIdentifier, attributes);
    _modified = true;
}

void QVTheme::changeStyle(const QString& identifier, const QVariantMap& attributes) {
    if (identifier.isEmpty()) return;
    _styles.insert(identifier, attributes);
    _modified = true;
}

void QVTheme::removeStyle(const QString& identifier) {
    _styles.remove(identifier);
    _modified = true;
}
