// What the analytics tests share: a controller over a private root, the packages read back with
// python's email and gzip modules, and waiting for the event queue.
#pragma once

#include "kits/tidings/TDGFileOperations.h"
#include "kits/tidings/TDGTidingsController.h"
#include "platform/UserDefaults.h"
#include "kits/trellis/Trellis.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QUuid>

#include <chrono>
#include <functional>
#include <thread>

// The suites' CMakeLists.txt names the checker's full path.
#ifndef TIDINGS_PACKAGE_CHECKER
#define TIDINGS_PACKAGE_CHECKER "tests/kits/tidings/check_package.py"
#endif

namespace tidings_test {

inline void setConsent(bool allowed) { UserDefaults::standard().setBool(allowed, "qvAnonymousUsageTracking"); }

// Each package file as python reads it (one JSON object per path).
inline QJsonArray readPackages(const QStringList& paths) {
    if (paths.isEmpty()) return {};
    QProcess p;
    p.start(QStringLiteral("python3"), QStringList{QStringLiteral(TIDINGS_PACKAGE_CHECKER)} + paths);
    p.waitForFinished(20000);
    return QJsonDocument::fromJson(p.readAllStandardOutput()).array();
}

inline QStringList filesIn(const QString& folder, const QString& extension = {}) {
    QStringList out;
    for (const QString& path : TDGFileUtils::allFilesInDirectory(folder))
        if (extension.isEmpty() || TDGFileUtils::extension(path) == extension) out << path;
    out.sort();
    return out;
}

inline bool waitFor(const std::function<bool()>& predicate, int ms = 15000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// An earlier run's rotated logs in folder: count logs of perLog "custom" events numbered from
// first on, each line as the writer makes it.
inline void plantLogs(const QString& folder, int count, int perLog, int first = 0) {
    QDir().mkpath(folder);
    for (int l = 0; l < count; ++l) {
        QFile f(folder + QStringLiteral("/%1.log").arg(QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper()));
        if (!f.open(QIODevice::WriteOnly)) return;
        for (int e = 0; e < perLog; ++e) {
            const QByteArray payload = R"({"custom_attributes":{"i":)" + QByteArray::number(first + l * perLog + e) + "}}";
            f.write("1700000000000\tcustom\t" + QByteArray::number(payload.size()) + '\t' + payload + '\n');
        }
    }
}

// The numbers of the "custom" events in packages (as readPackages gives them) whose lines parse.
inline QSet<int> customEventsIn(const QJsonArray& packages) {
    QSet<int> seen;
    for (const QJsonValue& package : packages)
        for (const QJsonValue& part : package[QStringLiteral("parts")].toArray())
            for (const QJsonValue& l : part[QStringLiteral("lines")].toArray())
                if (l[QStringLiteral("ok")].toBool() && l[QStringLiteral("name")].toString() == QLatin1String("custom"))
                    seen.insert(l[QStringLiteral("payload")][QStringLiteral("custom_attributes")][QStringLiteral("i")].toInt());
    return seen;
}

// A new controller over its own root, as a launch of Qorvel would make.
inline std::shared_ptr<TDGTidingsController> startController(const QString& root, const QString& betaToken = {}) {
    Trellis::sharedSDK().setAPIKey(QStringLiteral("test-api-key"));
    auto c = TDGTidingsController::make(betaToken, root);
    c->waitUntilIdle(std::chrono::milliseconds(10000));
    return c;
}

}  // namespace tidings_test
