// The shipped bundles and themes as the editor loads them, and reference renderings of samples.
#include "tests/languages/ShippedLanguages.h"

#include "tests/support/TestSupport.h"

#include "languages/QVBundleFileCategories.h"
#include "languages/QVCodeNavMenuItem.h"
#include "platform/AppBundle.h"
#include "platform/AtomicFile.h"
#include "platform/Process.h"
#include "platform/PropertyList.h"

#include <QColor>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include "QorvelSourceTree.h"

namespace shipped {

QString bundlesFolder() { return AppBundle::main().resourcePath() + QStringLiteral("/Bundles"); }
QString themesFolder() { return AppBundle::main().resourcePath() + QStringLiteral("/Themes"); }

QString samplesFolder() {
    // The sources' resources folder sits beside tests/.
    return QDir::cleanPath(QStringLiteral(QORVEL_SOURCE_RESOURCES "/../tests/languages/samples"));
}

QStringList bundlePaths() {
    QStringList paths;
    const QDir folder(bundlesFolder());
    for (const QString& name : folder.entryList({QStringLiteral("*.qvbundle")}, QDir::Dirs, QDir::Name))
        paths.append(folder.filePath(name));
    return paths;
}

std::shared_ptr<QVTheme> theme(const QString& identifier) {
    const QVariant plist = PropertyList::readFile(themesFolder() + QLatin1Char('/') + identifier + QStringLiteral(".plist"));
    if (plist.metaType() != QMetaType::fromType<QVariantMap>()) return nullptr;
    return std::make_shared<QVTheme>(plist.toMap());
}

QVBundleRepository& repository() {
    static QVBundleRepository* registry = [] {
        // The process-wide file-category model loads once, possibly while another test had
        // pointed the resources elsewhere; the bundles take their extensions from the shipped
        // store itself while they load, as they would from a fresh model.
        const QVariantMap store = PropertyList::readFile(AppBundle::main().resourcePath() + QStringLiteral("/data/fileCategories.plist")).toMap();
        QVBundleFileCategories::setLookup([store](const QString& title) -> std::optional<QStringList> {
            for (const char* kind : {"Text", "Image"}) {
                const QVariantMap categories = store.value(QLatin1String(kind)).toMap();
                for (auto it = categories.cbegin(); it != categories.cend(); ++it)
                    if (it.key().compare(title, Qt::CaseInsensitive) == 0) return it.value().toMap().value(QStringLiteral("types")).toStringList();
            }
            return std::nullopt;
        });
        auto* made = new QVBundleRepository();
        made->bundles();
        QVBundleFileCategories::setLookup({});
        return made;
    }();
    return *registry;
}

QStringList referencedStyles(const QVariantMap& syntax) {
    QStringList styles = syntax.value(QStringLiteral("keywords")).toMap().keys();
    for (const QVariant& keyword : syntax.value(QStringLiteral("regex-keywords")).toList())
        styles.append(keyword.toMap().value(QStringLiteral("id")).toString());
    for (const QVariant& comment : syntax.value(QStringLiteral("comments")).toList())
        styles.append(comment.toMap().value(QStringLiteral("id")).toString());
    for (const QVariant& style : syntax.value(QStringLiteral("quotes")).toMap()) styles.append(style.toString());
    for (const QVariant& style : syntax.value(QStringLiteral("style")).toMap()) styles.append(style.toString());
    for (const char* literal : {"regex-literals", "template-strings"})
        if (const QString style = syntax.value(QLatin1String(literal)).toString(); !style.isEmpty()) styles.append(style);
    styles.removeDuplicates();
    styles.sort();
    return styles;
}

QStringList allReferencedStyles() {
    QStringList styles;
    for (const QString& path : bundlePaths()) {
        const QVariant syntax = PropertyList::readFile(path + QStringLiteral("/Contents/syntax.plist"));
        styles.append(referencedStyles(syntax.toMap()));
    }
    styles.removeDuplicates();
    styles.sort();
    return styles;
}

ProbeTheme probeTheme(const QStringList& styles) {
    ProbeTheme probe;
    QVariantList list;
    int index = 1;
    for (const QString& style : styles) {
        // Colours spread over the cube so each identifier has its own; black is the text.
        const QColor colour = QColor::fromRgb((index * 37) % 256, (index * 91) % 256, (index * 151 + 1) % 256);
        ++index;
        if (probe.styleOfColour.contains(colour.rgba()) || colour == QColor(Qt::black)) continue;
        probe.styleOfColour.insert(colour.rgba(), style);
        list.append(QVariantMap{{QStringLiteral("id"), style}, {QStringLiteral("foreground"), colour.name()}});
    }
    probe.theme = std::make_shared<QVTheme>(QVariantMap{
        {QStringLiteral("id"), QStringLiteral("probe")},
        {QStringLiteral("global-settings"), QVariantMap{{QStringLiteral("background"), QStringLiteral("#ffffff")},
                                                         {QStringLiteral("foreground"), QStringLiteral("#000000")}}},
        {QStringLiteral("styles"), list}});
    return probe;
}

std::unique_ptr<QVTextStorage> highlight(const QString& text, QVParser& parser, const QVTheme& theme) {
    auto storage = std::make_unique<QVTextStorage>();
    storage->replaceCharacters(QVRange(0, 0), text);
    const QVRange all(0, storage->length());
    if (all.length == 0) return storage;
    storage->beginEditing();
    storage->addAttributes({{QVTextStorage::ForegroundColorAttribute, theme.textColor()},
                            {QVTextStorage::BackgroundColorAttribute, theme.backgroundColor()}},
                           all);
    storage->removeAttribute(QVTextStorage::MultiLineAttribute, all);
    for (const QVEmbeddedRange& embedded : parser.parseRange(all, *storage)) embedded.parser->parseRange(embedded.range, *storage);
    storage->endEditing();
    return storage;
}

namespace {

QString escaped(QStringView text) {
    QString out;
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '\n': out += QStringLiteral("\\n"); break;
        case '\r': out += QStringLiteral("\\r"); break;
        case '\t': out += QStringLiteral("\\t"); break;
        case '\\': out += QStringLiteral("\\\\"); break;
        case '"': out += QStringLiteral("\\\""); break;
        default: out += c;
        }
    }
    return out;
}

QString colourOf(const QVariantMap& attributes) {
    const QColor colour = attributes.value(QVTextStorage::ForegroundColorAttribute).value<QColor>();
    return colour.isValid() ? colour.name() : QStringLiteral("none");
}

}  // namespace

QString rendering(const QVTextStorage& storage, const ProbeTheme& probe, const QVTheme& lightTheme) {
    QString out;
    const QString text = storage.string();
    qint64 position = 0;
    while (position < storage.length()) {
        QVRange colourRun, parserRun;
        const QColor colour = storage.attribute(QVTextStorage::ForegroundColorAttribute, position, &colourRun).value<QColor>();
        const QVParser* parser = QVTextStorage::objectOf<QVParser>(storage.attribute(QVTextStorage::ParserAttribute, position, &parserRun));
        const qint64 end = std::min(colourRun.end(), parserRun.end());
        const QString style = probe.styleOfColour.value(colour.rgba(), QStringLiteral("-"));
        QString line = QStringLiteral("%1-%2 %3 %4").arg(position).arg(end)
                           .arg(parser ? parser->identifier() : QStringLiteral("none"), style);
        if (style != QStringLiteral("-")) line += QLatin1Char(' ') + colourOf(lightTheme.attributesForIdentifier(style));
        out += line + QStringLiteral(" \"") + escaped(QStringView(text).mid(position, end - position)) + QStringLiteral("\"\n");
        position = end;
    }
    return out;
}

QString codeNavigation(const QString& text, const QVParser& parser) {
    QString out;
    for (const QVCodeNavMenuItem& item : parser.codeNavItemsForString(text, QVRange(0, text.size()))) {
        out += QStringLiteral("%1-%2 %3\n").arg(item.range().location).arg(item.range().end())
                   .arg(item.isSeparator() ? QStringLiteral("----") : item.title());
    }
    return out;
}

QString compareWithGolden(const QString& actual, const QString& expectedPath) {
    if (qEnvironmentVariable("QORVEL_UPDATE_GOLDEN") == QStringLiteral("1")) {
        QVError error;
        if (!AtomicFile::write(expectedPath, actual.toUtf8(), &error))
            return QStringLiteral("cannot write %1: %2").arg(expectedPath, error.localizedDescription());
        return {};
    }
    QFile file(expectedPath);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("no expected file %1 (QORVEL_UPDATE_GOLDEN=1 writes it)").arg(expectedPath);
    const QString expected = QString::fromUtf8(file.readAll());
    if (expected == actual) return {};
    TestDir scratch;
    const QString actualPath = scratch.write(QFileInfo(expectedPath).fileName(), actual.toUtf8());
    const ProcessResult diff = Process::run(QStringLiteral("diff"),
                                            {QStringLiteral("-u"), QStringLiteral("--label"), expectedPath,
                                             QStringLiteral("--label"), QStringLiteral("actual"), expectedPath, actualPath});
    if (diff.started && !diff.standardOutput.isEmpty()) return QString::fromUtf8(diff.standardOutput);
    return QStringLiteral("%1 differs (diff could not run: %2)\n--- actual\n%3").arg(expectedPath, diff.errorString, actual);
}

}  // namespace shipped
