// A crash report as the report side sees it: a folder of record files with an identifier, its
// metadata values (sections found by name, so a missing or damaged line costs only its own values)
// and the tests whether it holds a crash and whether it needs submission. FLTReport is the face the
// application's delegate is shown.
#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <atomic>
#include <memory>
#include <optional>

class FLTInternalReport {
public:
    // Nothing when the folder's metadata holds no identifier ("identity" / "session_id").
    static std::shared_ptr<FLTInternalReport> reportWithPath(const QString& path);
    static std::shared_ptr<FLTInternalReport> reportWithPath(const QString& path, const QString& executionIdentifier);

    QString identifier() const { return _identifier; }
    QString path() const { return _path; }
    void setPath(const QString& path) { _path = path; }
    QString directoryName() const;
    QString pathForContentFile(const QString& name) const { return _path + QLatin1Char('/') + name; }
    QString metadataPath() const { return pathForContentFile(QStringLiteral("metadata.fltrecord")); }
    QString binaryImagePath() const { return pathForContentFile(QStringLiteral("binary_images.fltrecord")); }

    bool needsToBeSubmitted() const;
    static const QStringList& crashFilenames();
    bool isCrash() const;
    bool checkExistenceOfAtLeastOnceFileInArray(const QStringList& names) const;
    // The three crash files' full paths, in order, whether or not they exist.
    QStringList symbolicatableFiles() const;

    // The sections of a record file; nothing when it has none.
    static std::optional<QVariantList> readCLSFileAtPath(const QString& path);

    QString APIKey() const { return metadataString("identity", "api_key"); }
    QString bundleVersion() const { return metadataString("application", "build_version"); }
    QString bundleShortVersionString() const { return metadataString("application", "display_version"); }
    QDateTime dateCreated() const;
    QString OSVersion() const { return metadataString("host", "os_display_version"); }
    QString OSBuildVersion() const { return metadataString("host", "os_build_version"); }
    QDateTime crashedOnDate() const;

private:
    FLTInternalReport(QString path, QString identifier) : _identifier(std::move(identifier)), _path(std::move(path)) {}
    QVariant metadataValue(const char* section, const char* key) const;
    QString metadataString(const char* section, const char* key) const;
    QDateTime timeFromCrashContentFile(const QString& name, const char* section) const;

    QString _identifier;
    QString _path;
    mutable std::optional<QVariantMap> _metadata;  // section name -> its first value
};

// What the application's delegate is shown of an earlier report. A prefetched report is read
// once and never written; a writable one records custom keys into its own key-value files.
class FLTReport {
public:
    explicit FLTReport(std::shared_ptr<FLTInternalReport> report, bool prefetchData = false);

    QString identifier() const { return _report->identifier(); }
    QString bundleVersion() const { return _report->bundleVersion(); }
    QString bundleShortVersionString() const { return _report->bundleShortVersionString(); }
    QDateTime dateCreated() const { return _report->dateCreated(); }
    QDateTime crashedOnDate() const { return _report->crashedOnDate(); }
    QString OSVersion() const { return _report->OSVersion(); }
    QString OSBuildVersion() const { return _report->OSBuildVersion(); }
    bool isCrash() const { return _report->isCrash(); }
    QVariantMap customKeys() const;

    bool canRecordNewValues() const { return !_readOnly; }
    void setObjectValue(const QVariant& value, const QString& key);
    void setUserIdentifier(const QString& value);
    void setUserName(const QString& value);
    void setUserEmail(const QString& value);
    QString userIdentifier() const { return {}; }

private:
    void record(const QString& incremental, const QString& compacted, const QString& key, const QVariant& value, std::atomic<uint32_t>* counter);
    std::shared_ptr<FLTInternalReport> _report;
    bool _readOnly;
    std::atomic<uint32_t> _internalCounter{0}, _userCounter{0};
    std::optional<QVariantMap> _customKeys;
};
