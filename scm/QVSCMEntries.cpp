#include "scm/QVSCMEntries.h"

#include "platform/AppBundle.h"

#include <QXmlStreamReader>

namespace {

struct Word {
    const char* word;
    const char* letter;
    const char* name;
};
// In code order from 1. "missing" (a versioned file gone from the disk) is shown, not passed
// over as unchanged.
constexpr Word words[] = {
    {"added", "A", "Added"},           {"conflicted", "C", "Conflicted"}, {"deleted", "D", "Deleted"},
    {"ignored", "I", "Ignored"},       {"modified", "M", "Modified"},     {"replaced", "R", "Replaced"},
    {"external", "X", "External"},     {"unversioned", "?", "Unversioned"}, {"incomplete", "!", "Incomplete"},
    {"obstructed", "~", "Obstructed"}, {"missing", "!", "Missing"},
};

// The status of one "entry" element, the reader on its start.
std::shared_ptr<QVSCMStatusEntry> readEntry(QXmlStreamReader& xml) {
    const QString path = xml.attributes().value(QStringLiteral("path")).toString();
    int wc = 0, repository = 0;
    bool sawWc = false, sawRepository = false;
    while (xml.readNextStartElement()) {
        if (xml.name() == QLatin1String("wc-status") && !sawWc) {
            wc = QVSubversionStatusEntry::codeForWord(xml.attributes().value(QStringLiteral("item")).toString());
            sawWc = true;
        } else if (xml.name() == QLatin1String("repos-status") && !sawRepository) {
            repository = QVSubversionStatusEntry::codeForWord(xml.attributes().value(QStringLiteral("item")).toString());
            sawRepository = true;
        }
        xml.skipCurrentElement();
    }
    if (path.isEmpty()) return nullptr;
    return std::make_shared<QVSubversionStatusEntry>(path, wc, repository);
}

}  // namespace

int QVSubversionStatusEntry::codeForWord(const QString& word) {
    for (int i = 0; i < int(std::size(words)); ++i)
        if (word == QLatin1String(words[i].word)) return i + 1;
    return None;
}

QString QVSubversionStatusEntry::letter(int code) {
    return code >= 1 && code <= int(std::size(words)) ? QString::fromLatin1(words[code - 1].letter) : QString();
}

QString QVSubversionStatusEntry::displayName(int code) {
    return code >= 1 && code <= int(std::size(words)) ? QVLocalized(QString::fromLatin1(words[code - 1].name)) : QString();
}

QList<QVSCMLogEntry> QVSCMXml::logEntries(const QString& document) {
    QList<QVSCMLogEntry> entries;
    QXmlStreamReader xml(document);
    if (!xml.readNextStartElement()) return entries;
    while (xml.readNextStartElement()) {
        if (xml.name() != QLatin1String("logentry")) {
            xml.skipCurrentElement();
            continue;
        }
        QVSCMLogEntry entry;
        entry.revision = xml.attributes().value(QStringLiteral("revision")).toString();
        bool author = false, message = false, date = false;
        while (xml.readNextStartElement()) {
            const auto name = xml.name();
            if (name == QLatin1String("author") && !author) {
                entry.author = xml.readElementText(QXmlStreamReader::IncludeChildElements);
                author = true;
            } else if (name == QLatin1String("msg") && !message) {
                entry.message = xml.readElementText(QXmlStreamReader::IncludeChildElements);
                message = true;
            } else if (name == QLatin1String("date") && !date) {
                entry.dateString = xml.readElementText(QXmlStreamReader::IncludeChildElements);
                date = true;
            } else {
                xml.skipCurrentElement();
            }
        }
        if (xml.hasError()) break;
        entries << entry;
    }
    return entries;
}

QList<std::shared_ptr<QVSCMStatusEntry>> QVSCMXml::statusEntries(const QString& document) {
    QList<std::shared_ptr<QVSCMStatusEntry>> entries;
    QXmlStreamReader xml(document);
    if (!xml.readNextStartElement()) return entries;
    bool sawTarget = false;
    while (xml.readNextStartElement()) {
        const bool target = xml.name() == QLatin1String("target") && !sawTarget;
        // Files in a change list are listed apart from their target, each list after it.
        const bool changelist = xml.name() == QLatin1String("changelist");
        if (!target && !changelist) {
            xml.skipCurrentElement();
            continue;
        }
        sawTarget = sawTarget || target;
        while (xml.readNextStartElement()) {
            if (xml.name() == QLatin1String("entry")) {
                if (auto entry = readEntry(xml)) entries << entry;
            } else {
                xml.skipCurrentElement();
            }
        }
    }
    return entries;
}
