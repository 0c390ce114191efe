#include "kits/faultline/FLTRecordReader.h"

#include "kits/faultline/FLTSDKLog.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <algorithm>

QVariantList FLTFileParseSections(const QByteArray& bytes,
                                  const std::function<QVariant(const QVariantMap&)>& transform) {
    QVariantList sections;
    qsizetype start = 0;
    while (start < bytes.size()) {
        qsizetype end = bytes.indexOf('\n', start);
        if (end < 0) end = bytes.size();
        const QByteArray line = bytes.mid(start, end - start);
        start = end + 1;
        if (line.trimmed().isEmpty()) continue;
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(line, &error);
        if (error.error != QJsonParseError::NoError || !document.isObject()) continue;
        const QVariantMap section = document.object().toVariantMap();
        if (transform) {
            const QVariant result = transform(section);
            if (result.isValid()) sections.append(result);
        } else {
            sections.append(section);
        }
    }
    return sections;
}

std::optional<QVariantList> FLTFileReadSections(const QString& path, bool deleteOnFailure,
                                                const std::function<QVariant(const QVariantMap&)>& transform) {
    if (path.isEmpty()) {
        FLTLogError("Error: input path is invalid\n");
        return std::nullopt;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        FLTLogWarn("Unable to read file %s\n", qPrintable(path));
        if (deleteOnFailure) QFile::remove(path);
        return std::nullopt;
    }
    return FLTFileParseSections(file.readAll(), transform);
}

QString FLTCrashRecordDamage(const QByteArray& bytes) {
    if (bytes.isEmpty()) return QStringLiteral("is empty");
    // Written at crash time after the crash's own line, each whatever the process could read
    // (its memory and task statistics may be missing; these never are).
    static const QStringList recorded{QStringLiteral("threads"), QStringLiteral("runtime"), QStringLiteral("dispatch_queue_names"),
                                      QStringLiteral("thread_names"), QStringLiteral("storage")};
    qsizetype lines = 0;
    for (const QByteArray& line : bytes.split('\n')) lines += line.trimmed().isEmpty() ? 0 : 1;
    const QVariantList sections = FLTFileParseSections(bytes);
    QStringList names;
    for (const QVariant& section : sections) names << section.toMap().firstKey();
    const bool whole = bytes.endsWith('\n') && sections.size() == lines && names.size() > recorded.size() &&
                       !recorded.contains(names.first()) &&
                       std::all_of(recorded.begin(), recorded.end(), [&](const QString& name) { return names.contains(name); });
    return whole ? QString() : QStringLiteral("is cut short");
}

QByteArray FLTFileHexEncodeString(const QByteArray& bytes) { return bytes.toHex(); }

QByteArray FLTFileHexDecodeString(const QByteArray& hex, bool* ok) {
    auto value = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    QByteArray bytes;
    bytes.reserve(hex.size() / 2);
    bool good = hex.size() % 2 == 0;
    for (qsizetype i = 0; i + 1 < hex.size(); i += 2) {
        const int high = value(hex[i]), low = value(hex[i + 1]);
        if (high < 0 || low < 0) {
            good = false;
            break;
        }
        bytes.append(char(high << 4 | low));
    }
    if (ok) *ok = good;
    return bytes;
}
