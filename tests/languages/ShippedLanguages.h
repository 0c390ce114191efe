// The language bundles and themes the application ships, loaded as the editor loads them, and
// the reference renderings of highlighted samples that the shipped-language tests compare.
#pragma once

#include "languages/QVBundle.h"
#include "languages/QVBundleRepository.h"
#include "languages/QVParser.h"
#include "languages/QVTheme.h"
#include "platform/QVRange.h"
#include "platform/QVTextStorage.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <memory>

namespace shipped {

inline const QString LightThemeIdentifier = QStringLiteral("com.qorvel.Qorvel.themes.light");
inline const QString DarkThemeIdentifier = QStringLiteral("com.qorvel.Qorvel.themes.dark");

// The application's resource folders of bundles and themes.
QString bundlesFolder();
QString themesFolder();
// tests/languages/samples in the source tree.
QString samplesFolder();

// Every "*.qvbundle" folder of the shipped bundles, sorted.
QStringList bundlePaths();
// A shipped theme read from its file; null when it does not read.
std::shared_ptr<QVTheme> theme(const QString& identifier);

// The registry over the shipped bundles (the application-support folder of the test sandbox
// holds none), loaded once for the whole suite.
QVBundleRepository& repository();

// Every style identifier a syntax dictionary colours with: keyword groups, pattern keywords,
// comments, quotes and the tag styles.
QStringList referencedStyles(const QVariantMap& syntax);
// The same over every shipped bundle.
QStringList allReferencedStyles();

// A theme that gives every identifier of styles its own colour, so that a rendering can tell
// which style coloured a character; its text colour is one no style has.
struct ProbeTheme {
    std::shared_ptr<QVTheme> theme;
    QHash<QRgb, QString> styleOfColour;
};
ProbeTheme probeTheme(const QStringList& styles);

// Highlights text as the editor does (one batch: standard attributes, the bundle's parser,
// then the parser of each embedded stretch) and answers the storage.
std::unique_ptr<QVTextStorage> highlight(const QString& text, QVParser& parser, const QVTheme& theme);

// The reference rendering: one line per run of one language and one style,
// `start-end language style "text"`, with "-" for text no style colours and the text escaped
// (\n, \r, \t, \\, \"). lightTheme adds the colour the light theme gives each style.
QString rendering(const QVTextStorage& storage, const ProbeTheme& probe, const QVTheme& lightTheme);

// The code-navigation items of text, one line each: `start-end title`, or `start-end ----`
// for a separator.
QString codeNavigation(const QString& text, const QVParser& parser);

// Compares actual with the file at expectedPath. With QORVEL_UPDATE_GOLDEN=1 in the environment
// the file is (re)written instead and the comparison passes. Otherwise a mismatch answers a
// unified diff (expected -> actual); a match answers an empty string.
QString compareWithGolden(const QString& actual, const QString& expectedPath);

}  // namespace shipped
