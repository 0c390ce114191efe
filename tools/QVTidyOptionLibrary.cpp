#include "tools/QVTidyOptionLibrary.h"

#include "platform/Process.h"
#include "platform/PropertyList.h"
#include "shell/Defaults.h"
#include "tools/QVTidyRun.h"

#include <QRegularExpression>
#include <QXmlStreamReader>

#include <algorithm>
#include <mutex>

namespace {

const QString Miscellaneous = QStringLiteral("Miscellaneous");

// "TidyMarkupRepair" → "Markup Repair", "TidyDocumentIO" → "Document IO".
QString categoryTitle(QString tidyClass) {
    if (tidyClass.startsWith(QLatin1String("Tidy"))) tidyClass = tidyClass.mid(4);
    static const QRegularExpression wordStart(QStringLiteral("(?<=[a-z])(?=[A-Z])"));
    return tidyClass.isEmpty() ? Miscellaneous : tidyClass.split(wordStart).join(QLatin1Char(' '));
}

struct XmlOption {
    QString category, defaultValue, description;
};

// The categories, defaults and descriptions of tidy's XML listing, by option name.
QHash<QString, XmlOption> readXmlConfig(const QString& xml) {
    QHash<QString, XmlOption> options;
    QXmlStreamReader reader(xml);
    QString name;
    XmlOption option;
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement()) {
            const auto element = reader.name();
            if (element == QLatin1String("option")) {
                name.clear();
                option = {categoryTitle(reader.attributes().value(QLatin1String("class")).toString()), {}, {}};
            } else if (element == QLatin1String("name")) {
                name = reader.readElementText().trimmed();
            } else if (element == QLatin1String("default")) {
                option.defaultValue = reader.readElementText().trimmed();
            } else if (element == QLatin1String("description")) {
                option.description = reader.readElementText(QXmlStreamReader::IncludeChildElements).simplified();
            }
        } else if (reader.isEndElement() && reader.name() == QLatin1String("option") && !name.isEmpty()) {
            options.insert(name, option);
        }
    }
    return reader.hasError() ? QHash<QString, XmlOption>() : options;
}

// One row of the option table, continuation lines joined.
struct HelpRow {
    QString name, type, values;
};

// The rows of "tidy -help-config": columns are placed by the "====" rule under the header.
QList<HelpRow> readHelpConfig(const QString& text) {
    QList<HelpRow> rows;
    const QStringList lines = text.split(QLatin1Char('\n'));
    QList<qsizetype> starts;
    for (const QString& line : lines) {
        if (starts.isEmpty()) {
            if (!line.startsWith(QLatin1String("====="))) continue;
            for (qsizetype i = 0; i < line.size(); ++i)
                if (line[i] == QLatin1Char('=') && (i == 0 || line[i - 1] == QLatin1Char(' '))) starts.append(i);
            if (starts.size() != 3) return {};
            continue;
        }
        if (line.trimmed().isEmpty()) {
            if (!rows.isEmpty()) break;  // the table ends at its first blank line
            continue;
        }
        const QString name = line.left(starts[1]).trimmed();
        const QString type = line.mid(starts[1], starts[2] - starts[1]).trimmed();
        const QString values = line.mid(starts[2]).trimmed();
        if (!name.isEmpty()) {
            rows.append({name, type, values});
        } else if (!rows.isEmpty()) {
            // A type wrapped inside its column ("Attribute" / "s Names") joins without a blank.
            rows.last().type += type;
            if (!values.isEmpty()) rows.last().values += QLatin1Char(' ') + values;
        }
    }
    return rows;
}

QStringList valueList(const QString& values) {
    QStringList result;
    for (QString value : values.split(QLatin1Char(','))) {
        value = value.trimmed();
        // "0, 1, 2, ..." and "tagX, tagY, ..." are examples, not the values themselves.
        if (!value.isEmpty() && value != QLatin1String("...") && value != QLatin1String("-")) result.append(value);
    }
    return result;
}

QVariantMap definitionFromRow(const HelpRow& row, const XmlOption* xml) {
    QVariantMap definition{{QStringLiteral("flag"), row.name}};
    QStringList values = valueList(row.values);
    QString type;
    QVariant defaultValue = xml ? xml->defaultValue : QString();
    if (row.type == QLatin1String("Boolean")) {
        type = QStringLiteral("Boolean");
        values.clear();
        defaultValue = xml && xml->defaultValue == QLatin1String("yes");
    } else if (row.type == QLatin1String("Enum") || row.type == QLatin1String("Encoding")) {
        type = QStringLiteral("Enum");
        if (!xml && !values.isEmpty()) defaultValue = values.first();
    } else if (row.type == QLatin1String("Integer")) {
        // A number: the values tidy names are offered, any other can be typed.
        type = QStringLiteral("Combo");
        if (!xml) defaultValue = values.value(0, QStringLiteral("0"));
    } else {
        // Text and lists of names ("tagX, tagY" is only an example).
        type = QStringLiteral("String");
        values.clear();
    }
    definition.insert(QStringLiteral("type"), type);
    definition.insert(QStringLiteral("values"), values);
    definition.insert(QStringLiteral("default"), defaultValue);
    definition.insert(QStringLiteral("action"), xml ? xml->description : QString());
    return definition;
}

}  // namespace

const QVTidyOptionLibrary& QVTidyOptionLibrary::shared() {
    static QVTidyOptionLibrary library;
    static std::once_flag once;
    std::call_once(once, [] {
        const QString list = Defaults::pathForResource(QStringLiteral("ValidTidyOperations"), QStringLiteral("plist"));
        if (!list.isEmpty()) {
            QVError error;
            const QVariant plist = PropertyList::readFile(list, &error);
            library = fromPlist(plist);
            if (library.count() > 0) return;
        }
        library = fromProgram();
    });
    return library;
}

QVTidyOptionLibrary QVTidyOptionLibrary::fromProgram(const QString& program) {
    const QString tidy = program.isEmpty() ? QVTidyRun::tidyProgram() : program;
    QVTidyOptionLibrary library;
    if (tidy.isEmpty()) {
        library._error = QVError::app(QVTidyRun::TidyMissingError, QStringLiteral("HTML Tidy could not be found."),
                                      QStringLiteral("Install the \"tidy\" program (Debian package \"tidy\") to list its options."));
        return library;
    }
    ProcessOptions options;
    options.timeoutMs = 10000;
    const ProcessResult help = Process::run(tidy, {QStringLiteral("-help-config")}, options);
    const ProcessResult xml = Process::run(tidy, {QStringLiteral("-xml-config")}, options);
    library = fromTidyOutput(help.succeeded() ? QString::fromUtf8(help.standardOutput) : QString(),
                             xml.succeeded() ? QString::fromUtf8(xml.standardOutput) : QString());
    if (library.count() == 0)
        library._error = QVError::app(QVTidyRun::TidyFailedError, QStringLiteral("HTML Tidy did not list its options."),
                                      help.started ? QString::fromUtf8(help.standardError).trimmed() : help.errorString);
    return library;
}

QVTidyOptionLibrary QVTidyOptionLibrary::fromTidyOutput(const QString& helpConfig, const QString& xmlConfig) {
    QVTidyOptionLibrary library;
    const QHash<QString, XmlOption> xml = readXmlConfig(xmlConfig);
    for (const HelpRow& row : readHelpConfig(helpConfig)) {
        const auto found = xml.constFind(row.name);
        const XmlOption* details = found == xml.constEnd() ? nullptr : &*found;
        library.add(details ? details->category : Miscellaneous, definitionFromRow(row, details));
    }
    return library;
}

QVTidyOptionLibrary QVTidyOptionLibrary::fromPlist(const QVariant& plist) {
    QVTidyOptionLibrary library;
    const QVariantMap categories = plist.toMap();
    for (auto it = categories.constBegin(); it != categories.constEnd(); ++it) {
        for (const QVariant& entry : it.value().toList()) {
            const QVariantMap definition = entry.toMap();
            if (definition.value(QStringLiteral("flag")).toString().isEmpty()) continue;
            library.add(it.key(), definition);
        }
    }
    return library;
}

void QVTidyOptionLibrary::add(const QString& category, const QVariantMap& definition) {
    const QString flag = definition.value(QStringLiteral("flag")).toString();
    if (_byFlag.contains(flag)) return;  // one definition per option: the first one listed
    if (!_byCategory.contains(category)) {
        _categories.append(category);
        std::sort(_categories.begin(), _categories.end(),
                  [](const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive) < 0; });
    }
    _byCategory[category].append(definition);
    _byFlag.insert(flag, definition);
}

QList<QVariantMap> QVTidyOptionLibrary::definitions(const QString& category) const {
    if (!category.isEmpty()) return _byCategory.value(category);
    QList<QVariantMap> all = _byFlag.values();
    std::sort(all.begin(), all.end(), [](const QVariantMap& a, const QVariantMap& b) {
        return a.value(QStringLiteral("flag")).toString().compare(b.value(QStringLiteral("flag")).toString(), Qt::CaseInsensitive) < 0;
    });
    return all;
}

QList<QVariantMap> QVTidyOptionLibrary::filtered(const QList<QVariantMap>& definitions, const QString& text) {
    if (text.isEmpty()) return definitions;
    QList<QVariantMap> kept;
    for (const QVariantMap& definition : definitions)
        if (definition.value(QStringLiteral("flag")).toString().contains(text, Qt::CaseInsensitive)) kept.append(definition);
    return kept;
}
