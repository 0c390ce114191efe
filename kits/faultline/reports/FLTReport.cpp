#include "kits/faultline/reports/FLTReport.h"

#include "kits/faultline/FLTContext.h"
#include "kits/faultline/FLTRecordReader.h"
#include "kits/faultline/FLTUserLogging.h"
#include "platform/SystemLog.h"
#include "kits/trellis/TRLConstants.h"

#include <QFileInfo>
#include <QTimeZone>

namespace {
// The compaction figures of the user and internal key-value files the capture writes.
constexpr uint32_t kCompactionThreshold = 64;
constexpr uint32_t kEntryLimit = 64;
}  // namespace

std::shared_ptr<FLTInternalReport> FLTInternalReport::reportWithPath(const QString& path) {
    std::shared_ptr<FLTInternalReport> report(new FLTInternalReport(path, {}));
    const QVariant id = report->metadataValue("identity", "session_id");
    if (id.typeId() != QMetaType::QString || id.toString().isEmpty()) {
        SystemLog::warning(QStringLiteral("[Faultline:Crash] Unable to read identifier at path %1").arg(path));
        return nullptr;
    }
    report->_identifier = id.toString();
    return report;
}

std::shared_ptr<FLTInternalReport> FLTInternalReport::reportWithPath(const QString& path, const QString& executionIdentifier) {
    if (path.isEmpty() || executionIdentifier.isEmpty()) return nullptr;
    return std::shared_ptr<FLTInternalReport>(new FLTInternalReport(path, executionIdentifier));
}

QString FLTInternalReport::directoryName() const { return QFileInfo(_path).fileName(); }

bool FLTInternalReport::checkExistenceOfAtLeastOnceFileInArray(const QStringList& names) const {
    for (const QString& name : names)
        if (QFileInfo::exists(pathForContentFile(name))) return true;
    return false;
}

bool FLTInternalReport::needsToBeSubmitted() const {
    static const QStringList names = {"exception.fltrecord", "signal.fltrecord", "custom_exception_a.fltrecord", "custom_exception_b.fltrecord",
                                      "mach_exception.fltrecord", "errors_a.fltrecord", "errors_b.fltrecord"};
    return checkExistenceOfAtLeastOnceFileInArray(names);
}

const QStringList& FLTInternalReport::crashFilenames() {
    static const QStringList names = {"exception.fltrecord", "mach_exception.fltrecord", "signal.fltrecord"};
    return names;
}

bool FLTInternalReport::isCrash() const { return checkExistenceOfAtLeastOnceFileInArray(crashFilenames()); }

QStringList FLTInternalReport::symbolicatableFiles() const {
    QStringList out;
    for (const QString& name : crashFilenames()) out.append(pathForContentFile(name));
    return out;
}

std::optional<QVariantList> FLTInternalReport::readCLSFileAtPath(const QString& path) {
    auto sections = FLTFileReadSections(path, false);
    if (!sections || sections->isEmpty()) return std::nullopt;
    return sections;
}

QVariant FLTInternalReport::metadataValue(const char* section, const char* key) const {
    if (!_metadata) {
        _metadata = QVariantMap();
        if (auto sections = readCLSFileAtPath(metadataPath()))
            for (const QVariant& s : *sections) {
                const QVariantMap m = s.toMap();
                for (auto it = m.begin(); it != m.end(); ++it)
                    if (!_metadata->contains(it.key())) _metadata->insert(it.key(), it.value());
            }
    }
    const QVariant value = _metadata->value(QLatin1String(section));
    return value.typeId() == QMetaType::QVariantMap ? value.toMap().value(QLatin1String(key)) : QVariant();
}

QString FLTInternalReport::metadataString(const char* section, const char* key) const {
    const QVariant v = metadataValue(section, key);
    if (v.typeId() != QMetaType::QString) return {};
    // An empty value is still a value: only a missing or mistyped one answers a null string.
    const QString text = v.toString();
    return text.isNull() ? QStringLiteral("") : text;
}

QDateTime FLTInternalReport::dateCreated() const {
    bool ok = false;
    const qint64 seconds = metadataValue("identity", "started_at").toLongLong(&ok);
    return ok ? QDateTime::fromSecsSinceEpoch(seconds, QTimeZone::utc()) : QDateTime();
}

QDateTime FLTInternalReport::timeFromCrashContentFile(const QString& name, const char* section) const {
    const auto sections = readCLSFileAtPath(pathForContentFile(name));
    if (!sections) return {};
    for (const QVariant& s : *sections) {
        const QVariant value = s.toMap().value(QLatin1String(section));
        if (value.typeId() != QMetaType::QVariantMap) continue;
        bool ok = false;
        const qint64 seconds = value.toMap().value(QStringLiteral("time")).toLongLong(&ok);
        if (ok) return QDateTime::fromSecsSinceEpoch(seconds, QTimeZone::utc());
    }
    return {};
}

QDateTime FLTInternalReport::crashedOnDate() const {
    if (!isCrash()) return {};
    const QDateTime mach = timeFromCrashContentFile(QStringLiteral("mach_exception.fltrecord"), "mach_exception");
    return mach.isValid() ? mach : timeFromCrashContentFile(QStringLiteral("signal.fltrecord"), "signal");
}

FLTReport::FLTReport(std::shared_ptr<FLTInternalReport> report, bool prefetchData) : _report(std::move(report)), _readOnly(prefetchData) {
    if (prefetchData) _customKeys = customKeys();
}

QVariantMap FLTReport::customKeys() const {
    if (_customKeys) return *_customKeys;
    const QByteArray incremental = _report->pathForContentFile(QStringLiteral("user_incremental_kv.fltrecord")).toLocal8Bit();
    const QByteArray compacted = _report->pathForContentFile(QStringLiteral("user_compacted_kv.fltrecord")).toLocal8Bit();
    const FLTKeyValueStore store{incremental.constData(), compacted.constData(), kCompactionThreshold, kEntryLimit};
    return FLTUserLoggingGetCompactedKVEntries(&store, true);
}

void FLTReport::record(const QString& incremental, const QString& compacted, const QString& key, const QVariant& value, std::atomic<uint32_t>* counter) {
    if (_readOnly) return;
    const QByteArray inc = _report->pathForContentFile(incremental).toLocal8Bit();
    const QByteArray com = _report->pathForContentFile(compacted).toLocal8Bit();
    const FLTKeyValueStore store{inc.constData(), com.constData(), kCompactionThreshold, kEntryLimit};
    FLTUserLoggingRecordKeyValue(key, value, &store, counter);
}

void FLTReport::setObjectValue(const QVariant& value, const QString& key) {
    record(QStringLiteral("user_incremental_kv.fltrecord"), QStringLiteral("user_compacted_kv.fltrecord"), key, value, &_userCounter);
}

void FLTReport::setUserIdentifier(const QString& value) {
    record(QStringLiteral("internal_incremental_kv.fltrecord"), QStringLiteral("internal_compacted_kv.fltrecord"),
           QLatin1String(TRLKitPrefix) + QStringLiteral(".user-id"), value, &_internalCounter);
}
void FLTReport::setUserName(const QString& value) {
    record(QStringLiteral("internal_incremental_kv.fltrecord"), QStringLiteral("internal_compacted_kv.fltrecord"),
           QLatin1String(TRLKitPrefix) + QStringLiteral(".user-name"), value, &_internalCounter);
}
void FLTReport::setUserEmail(const QString& value) {
    record(QStringLiteral("internal_incremental_kv.fltrecord"), QStringLiteral("internal_compacted_kv.fltrecord"),
           QLatin1String(TRLKitPrefix) + QStringLiteral(".user-email"), value, &_internalCounter);
}
