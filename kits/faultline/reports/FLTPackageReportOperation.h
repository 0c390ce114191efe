// One report folder becomes one multipart/form-data file in the store's prepared folder: the API
// key, the report identifier and every file of the folder compressed with gzip. The package is
// written under a hidden name, every write checked, synced and only then renamed to its boundary
// with the extension "multipartmime": a full disk or a kill never leaves a package that looks whole.
#pragma once

#include "platform/Operation.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>

class FLTFileManager;
class FLTInternalReport;

class FLTPackageReportOperation : public Operation {
public:
    FLTPackageReportOperation(std::shared_ptr<FLTInternalReport> report, std::shared_ptr<FLTFileManager> fileManager)
        : _report(std::move(report)), _fileManager(std::move(fileManager)) {}

    QString reportPath() const;
    QString destinationDirectory() const;
    QString packagedPathWithName(const QString& name) const;
    // The package's path once it is complete; empty before and after a failure.
    QString finalPath() const { return _finalPath; }

    // The bytes in gzip form at level 6; nothing when zlib refuses them.
    static std::optional<QByteArray> compressData(const QByteArray& data);

protected:
    void main() override;

private:
    std::shared_ptr<FLTInternalReport> _report;
    std::shared_ptr<FLTFileManager> _fileManager;
    QString _finalPath;
};
