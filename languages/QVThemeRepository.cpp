// The list of colour themes, the current theme and the hidden ones.
#include "languages/QVThemeRepository.h"

#include "platform/PropertyList.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"

#include <QCoreApplication>

#include <algorithm>

QVThemeRepository& QVThemeRepository::sharedRepository() {
    static QVThemeRepository repository;
    return repository;
}

QVThemeRepository::QVThemeRepository(UserDefaults* defaults) : _defaults(defaults) {
    for (const QVariant& identifier : this->defaults().arrayForKey(QLatin1String(QVHiddenThemes)))
        if (identifier.metaType() == QMetaType::fromType<QString>()) _hiddenThemes.insert(identifier.toString());
}

UserDefaults& QVThemeRepository::defaults() const {
    return _defaults ? *_defaults : UserDefaults::standard();
}

const QList<std::shared_ptr<QVTheme>>& QVThemeRepository::themes() {
    loadThemes();
    return _themes;
}

qsizetype QVThemeRepository::countOfThemes() {
    loadThemes();
    return _themes.size();
}

std::shared_ptr<QVTheme> QVThemeRepository::objectInThemesAtIndex(qsizetype index) {
    loadThemes();
    return index >= 0 && index < _themes.size() ? _themes.at(index) : nullptr;
}

void QVThemeRepository::insertObject(std::shared_ptr<QVTheme> theme, qsizetype index) {
    loadThemes();
    if (!theme) return;
    _themes.insert(std::clamp<qsizetype>(index, 0, _themes.size()), std::move(theme));
}

void QVThemeRepository::removeObjectFromThemesAtIndex(qsizetype index) {
    loadThemes();
    if (index < 0 || index >= _themes.size()) return;
    const std::shared_ptr<QVTheme> theme = _themes.takeAt(index);
    _hiddenThemes.insert(theme->identifier());
    QStringList hidden(_hiddenThemes.begin(), _hiddenThemes.end());
    hidden.sort();
    defaults().setObject(hidden, QLatin1String(QVHiddenThemes));
    if (theme == _currentTheme) setCurrentTheme(_themes.isEmpty() ? nullptr : _themes.last());
}

std::shared_ptr<QVTheme> QVThemeRepository::currentTheme() {
    loadThemes();
    return _currentTheme;
}

void QVThemeRepository::setCurrentTheme(std::shared_ptr<QVTheme> theme) {
    if (theme == _currentTheme) return;
    _currentTheme = std::move(theme);
    if (_currentTheme) defaults().setString(_currentTheme->identifier(), QLatin1String(QVCurrentThemeID));
}

std::shared_ptr<QVTheme> QVThemeRepository::duplicateTheme(const std::shared_ptr<QVTheme>& theme) {
    if (!theme) return nullptr;
    loadThemes();
    std::shared_ptr<QVTheme> copy = theme->copy();
    copy->setValue(QCoreApplication::translate("QVThemeRepository", "%1 copy").arg(theme->title()),
                   QStringLiteral("title"));
    _themes.append(copy);
    return copy;
}

bool QVThemeRepository::commit(QVError* error) {
    for (const std::shared_ptr<QVTheme>& theme : std::as_const(_themes))
        if (!theme->commit(error)) return false;
    return true;
}

bool QVThemeRepository::modified() const {
    return std::any_of(_themes.cbegin(), _themes.cend(), [](const auto& theme) { return theme->modified(); });
}

void QVThemeRepository::loadThemes() {
    if (!_themes.isEmpty()) return;
    const QString currentIdentifier = defaults().stringForKey(QLatin1String(QVCurrentThemeID));
    QSet<QString> seen;
    std::shared_ptr<QVTheme> current;
    for (const QString& path : Defaults::pathsForResourcesOfType(QStringLiteral("plist"), QStringLiteral("Themes"))) {
        const QVariant plist = PropertyList::readFile(path);
        // A file that is no dictionary is not a theme at all; listing it would offer an
        // empty, nameless entry.
        if (plist.metaType() != QMetaType::fromType<QVariantMap>()) continue;
        auto theme = std::make_shared<QVTheme>(plist.toMap());
        const QString identifier = theme->identifier();
        if (_hiddenThemes.contains(identifier) || seen.contains(identifier)) continue;
        seen.insert(identifier);
        _themes.append(theme);
        if (!current && identifier == currentIdentifier) current = theme;
    }
    std::stable_sort(_themes.begin(), _themes.end(),
                     [](const auto& a, const auto& b) { return a->compareTitle(*b) < 0; });
    if (current) _currentTheme = current;
    else if (!_themes.isEmpty()) {
        _currentTheme = nullptr;
        setCurrentTheme(_themes.first());
    }
}
