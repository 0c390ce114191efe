// What the report-side tests share: running a crashing child into a folder, reading packages the
// way the service does (python's email and gzip, through check-package.py) and a crash-reporting
// delegate whose answers a test sets.
#pragma once

#include "kits/faultline/reports/FLTCrashReportingController.h"
#include "kits/faultline/reports/FLTSettings.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QVariantList>

#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace reports_test {

// The child's wait status.
inline int runCrasher(const char* program, const QString& folder, const char* kind) {
    const QByteArray folderBytes = folder.toUtf8();
    char* argv[] = {const_cast<char*>(program), const_cast<char*>(folderBytes.constData()), const_cast<char*>(kind), nullptr};
    pid_t pid = 0;
    int status = 0;
    if (::posix_spawn(&pid, program, nullptr, nullptr, argv, environ) != 0) return -1;
    ::waitpid(pid, &status, 0);
    return status;
}

// Each package's parts (name, filename, type, text); an empty list when python refused one.
inline QList<QVariantList> parsePackages(const QStringList& paths, QString* failure = nullptr) {
    QProcess python;
    python.start(QStringLiteral("/usr/bin/python3"), QStringList{QStringLiteral(FAULTLINE_CHECK_PACKAGE)} + paths);
    python.waitForFinished(60000);
    QList<QVariantList> out;
    if (python.exitCode() != 0) {
        if (failure) *failure = QString::fromUtf8(python.readAllStandardError());
        return out;
    }
    for (const QByteArray& line : python.readAllStandardOutput().split('\n'))
        if (!line.trimmed().isEmpty()) out.append(QJsonDocument::fromJson(line).object().value(QStringLiteral("parts")).toArray().toVariantList());
    return out;
}

inline QVariantMap part(const QVariantList& parts, const QString& name) {
    for (const QVariant& p : parts)
        if (p.toMap().value(QStringLiteral("name")).toString() == name) return p.toMap();
    return {};
}

class Delegate : public FLTCrashReportingControllerDelegate {
public:
    QString APIKeyForCrashReportingController() override { return apiKey; }
    QString installIDForCrashReportingController() override { return QStringLiteral("install-1"); }
    bool isFirstInstallForCrashReportingController() override { return false; }
    FLTSettings settingsForCrashReportingController() override { return FLTSettings(server); }
    QString executionIdentifierForCrashReportingController() override { return QStringLiteral("run-now"); }
    bool reportingControllerCanUseBackgroundSessions() override { return false; }
    void reportingControllerInternalDidDetectReportForLastExecution(const std::shared_ptr<FLTInternalReport>&) override { ++detected; }

    QString apiKey = QStringLiteral("key-1");
    std::optional<QVariantMap> server;
    int detected = 0;
};

}  // namespace reports_test
