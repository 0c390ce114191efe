// The list of colour themes: loaded from the user's folder and the application's resources,
// the current theme remembered in the user defaults, duplicated, hidden when removed.
#pragma once

#include "languages/QVTheme.h"

#include <QList>
#include <QSet>
#include <QString>

#include <memory>

class UserDefaults;

// User default: identifiers of the themes the user removed (an array of strings).
inline constexpr const char* QVHiddenThemes = "QVHiddenThemes";

// Main thread only. The themes load on the first request; later requests see the same list.
class QVThemeRepository {
public:
    static QVThemeRepository& sharedRepository();
    // A repository over the given store (the standard one by default); tests make their own.
    explicit QVThemeRepository(UserDefaults* defaults = nullptr);

    const QList<std::shared_ptr<QVTheme>>& themes();
    qsizetype countOfThemes();
    // Null for an index outside the list.
    std::shared_ptr<QVTheme> objectInThemesAtIndex(qsizetype index);
    // Puts theme at index (clamped to the list) without sorting again.
    void insertObject(std::shared_ptr<QVTheme> theme, qsizetype index);
    // Hides the theme at index: its identifier joins QVHiddenThemes, it leaves the list (its file
    // stays), and when it was current the last theme of the list becomes current.
    void removeObjectFromThemesAtIndex(qsizetype index);

    std::shared_ptr<QVTheme> currentTheme();
    // Makes theme current and, when it is not null, stores its identifier as QVCurrentThemeID.
    void setCurrentTheme(std::shared_ptr<QVTheme> theme);

    // Appends a copy of theme titled "<title> copy" (modified, with a new identifier) and
    // answers it.
    std::shared_ptr<QVTheme> duplicateTheme(const std::shared_ptr<QVTheme>& theme);

    // Commits every theme in order and stops at the first failure (reported in error);
    // true when all succeeded, and for an empty list.
    bool commit(QVError* error = nullptr);
    bool modified() const;

    // Reads every "Themes/*.plist" of the application-support folder, then of the resources;
    // the first file of an identifier wins, hidden identifiers are skipped, files that are not
    // theme dictionaries are skipped. Sorted by title; the stored current theme, else the first,
    // becomes current. Does nothing once themes are loaded.
    void loadThemes();

private:
    UserDefaults& defaults() const;

    UserDefaults* _defaults;
    QList<std::shared_ptr<QVTheme>> _themes;
    QSet<QString> _hiddenThemes;
    std::shared_ptr<QVTheme> _currentTheme;
};
