// Reference renderings of sample pages highlighted with the shipped bundles: the style of every
// run and its colour in the light theme, and the code-navigation items, against committed
// expected files. A change to a definition shows as a diff.
//
// To accept new output, run the suite with QORVEL_UPDATE_GOLDEN=1, e.g.
//   QORVEL_UPDATE_GOLDEN=1 build/bin/languages_tests --gtest_filter='*ShippedSamples*'
// which rewrites tests/languages/samples/<language>/<sample>.expected and .codenav; review the
// diff before committing it.
#include "tests/languages/ShippedLanguages.h"
#include "tests/support/TestSupport.h"

#include <QColor>
#include <QDir>
#include <QFileInfo>
#include <QSet>

#include <gtest/gtest.h>

using namespace shipped;

namespace {

// Every sample file: samples/<language>/<name>, the expected files excepted.
std::vector<std::string> samples() {
    std::vector<std::string> list;
    const QDir root(samplesFolder());
    for (const QString& language : root.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        const QDir folder(root.filePath(language));
        for (const QString& name : folder.entryList(QDir::Files, QDir::Name)) {
            if (name.endsWith(QStringLiteral(".expected")) || name.endsWith(QStringLiteral(".codenav"))) continue;
            list.push_back((language + QLatin1Char('/') + name).toStdString());
        }
    }
    return list;
}

// The parser identifier each sample folder is about.
QString languageOfFolder(const QString& folder) {
    static const QHash<QString, QString> languages{
        {QStringLiteral("css"), QStringLiteral("text.css")},   {QStringLiteral("html"), QStringLiteral("text.html")},
        {QStringLiteral("js"), QStringLiteral("text.js")},     {QStringLiteral("php"), QStringLiteral("text.php")},
        {QStringLiteral("xml"), QStringLiteral("text.xml")},   {QStringLiteral("plain"), QStringLiteral("text.plain")},
    };
    return languages.value(folder);
}

class ShippedSamples : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        path = samplesFolder() + QLatin1Char('/') + QString::fromStdString(GetParam());
        text = QString::fromUtf8(readAll(path));
        ASSERT_FALSE(text.isEmpty()) << path.toStdString();
        // The editor's choice: the bundle that claims the extension, else the HTML bundle.
        auto bundle = repository().bundleForFileCategory({}, QFileInfo(path).suffix());
        if (!bundle) bundle = repository().bundleForIdentifier(QStringLiteral("text.html"));
        ASSERT_TRUE(bundle);
        parser = bundle->parser();
        ASSERT_TRUE(parser);
    }

    QString path;
    QString text;
    std::shared_ptr<QVParser> parser;
};

}  // namespace

TEST_P(ShippedSamples, HighlightingMatchesTheReferenceRendering) {
    const ProbeTheme probe = probeTheme(allReferencedStyles());
    const auto light = theme(LightThemeIdentifier);
    ASSERT_TRUE(light);
    parser->setTheme(probe.theme);
    const auto storage = highlight(text, *parser, *probe.theme);
    const QString failure = compareWithGolden(rendering(*storage, probe, *light), path + QStringLiteral(".expected"));
    EXPECT_TRUE(failure.isEmpty()) << failure.toStdString();
}

TEST_P(ShippedSamples, CodeNavigationMatchesTheReferenceItems) {
    const QString failure = compareWithGolden(codeNavigation(text, *parser), path + QStringLiteral(".codenav"));
    EXPECT_TRUE(failure.isEmpty()) << failure.toStdString();
}

// The light and the dark theme colour every styled run with that style's colour, and the
// sample's own language colours something in both.
TEST_P(ShippedSamples, BothThemesColourEveryStyledRun) {
    const ProbeTheme probe = probeTheme(allReferencedStyles());
    parser->setTheme(probe.theme);
    const auto probed = highlight(text, *parser, *probe.theme);
    const QString folder = QString::fromStdString(GetParam()).section(QLatin1Char('/'), 0, 0);
    const QString language = languageOfFolder(folder);
    ASSERT_FALSE(language.isEmpty()) << "no language for the sample folder " << folder.toStdString();

    for (const QString& identifier : {LightThemeIdentifier, DarkThemeIdentifier}) {
        SCOPED_TRACE(identifier.toStdString());
        const auto current = theme(identifier);
        ASSERT_TRUE(current);
        parser->setTheme(current);
        const auto coloured = highlight(text, *parser, *current);
        QSet<QString> languagesColoured;
        for (qint64 i = 0; i < probed->length(); ++i) {
            const QColor probeColour = probed->attribute(QVTextStorage::ForegroundColorAttribute, i).value<QColor>();
            const QString style = probe.styleOfColour.value(probeColour.rgba());
            const QColor colour = coloured->attribute(QVTextStorage::ForegroundColorAttribute, i).value<QColor>();
            const QColor wanted = style.isEmpty() ? current->textColor()
                                                  : current->attributesForIdentifier(style).value(QVTextStorage::ForegroundColorAttribute).value<QColor>();
            ASSERT_EQ(colour.rgba(), wanted.rgba()) << "at " << i << " (" << style.toStdString() << ")";
            if (!style.isEmpty()) {
                const auto* owner = QVTextStorage::objectOf<QVParser>(coloured->attribute(QVTextStorage::ParserAttribute, i));
                if (owner) languagesColoured.insert(owner->identifier());
            }
        }
        if (language != QStringLiteral("text.plain")) {
            EXPECT_TRUE(languagesColoured.contains(language)) << language.toStdString();
        }
        // A page with scripts, style sheets and PHP colours all four languages.
        if (QFileInfo(path).completeBaseName() == QStringLiteral("page")) {
            for (const char* embedded : {"text.html", "text.css", "text.js", "text.php"})
                EXPECT_TRUE(languagesColoured.contains(QLatin1String(embedded))) << embedded;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Shipped, ShippedSamples, ::testing::ValuesIn(samples()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             std::string name;
                             for (const char c : info.param) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             return name;
                         });
