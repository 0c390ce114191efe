// The crash-reporting kit as the SDK core starts it: one shared object, registered under
// "Faultline", whose start makes the report store, starts crash reporting (capture for this run,
// submission of earlier runs' reports) and then the analytics kit when one is registered. It
// answers the crash-reporting controller's questions from the SDK core and from the application's
// delegate, and records user identity, custom keys and errors with the next report.
#pragma once

#include "kits/faultline/reports/FLTCrashReportingController.h"
#include "kits/trellis/TRLKitRegistry.h"

#include <QVariant>

#include <functional>
#include <memory>
#include <mutex>

class FLTBetaController;
class FLTFileManager;
class FLTReport;
class QVError;

// What the application may decide about crash reporting; every operation is optional.
class FaultlineDelegate {
public:
    virtual ~FaultlineDelegate() = default;
    // Answering at all makes the kit ask: submit (true) or discard (false), exactly once.
    virtual bool implementsDidDetectReportWithCompletion() const { return false; }
    virtual void faultlineDidDetectReportForLastExecution(const std::shared_ptr<FLTReport>&, std::function<void(bool)> completion) { completion(true); }
    virtual std::optional<bool> faultlineCanUseBackgroundSessions() { return std::nullopt; }
    virtual bool implementsDidDetectCrash() const { return false; }
    virtual void faultlineDidDetectCrash() {}
    virtual std::optional<bool> faultlineEnsureDeliveryOfUnixSignal(int /*signal*/) { return std::nullopt; }
};

class Faultline : public TRLKit, public FLTCrashReportingControllerDelegate, public std::enable_shared_from_this<Faultline> {
public:
    static std::shared_ptr<Faultline> sharedInstance();
    // Puts the shared instance into the SDK core's kit registry under "Faultline".
    static void registerKit();

    QString kitName() const override { return QStringLiteral("Faultline"); }
    QString bundleIdentifier() const override;
    QString kitDisplayVersion() const override;
    QString kitBuildVersion() const override;
    void initializeIfNeeded() override { start(); }

    // Runs the start once per process, whoever calls first.
    void start();
    bool isFaultlineStarted() const;
    std::shared_ptr<FLTCrashReportingController> crashReportingController() const;

    QString APIKey();
    QString installID();
    bool isFirstInstall();
    void setDebugMode(bool debug);
    bool debugMode() const;
    void setDelegate(std::shared_ptr<FaultlineDelegate> delegate);
    std::shared_ptr<FaultlineDelegate> delegate() const;

    void setUserIdentifier(const QString& value);
    void setUserName(const QString& value);
    void setUserEmail(const QString& value);
    void setObjectValue(const QVariant& value, const QString& key);
    void setIntValue(int value, const QString& key) { setObjectValue(value, key); }
    void setBoolValue(bool value, const QString& key) { setObjectValue(value, key); }
    void setFloatValue(float value, const QString& key) { setObjectValue(value, key); }
    void recordError(const QVError& error, const QVariantMap& additionalUserInfo = {});
    [[noreturn]] void crash();

    // The crash-reporting controller's questions.
    bool shouldInstallCrashCallback() override;
    void detectedCrash() override;
    bool reportingControllerCanUseBackgroundSessions() override;
    bool reportingControllerMustInformDelegateOfReports() override;
    void reportingControllerDidDetectReportForLastExecution(const std::shared_ptr<FLTInternalReport>& report, std::function<void(bool)> completion) override;
    // A crash of the last run becomes the analytics kit's previous-crash event.
    void reportingControllerInternalDidDetectReportForLastExecution(const std::shared_ptr<FLTInternalReport>& report) override;
    bool reportingControllerEnsureDeliveryOfUnixSignal(int signal) override;
    QString APIKeyForCrashReportingController() override { return APIKey(); }
    QString installIDForCrashReportingController() override { return installID(); }
    bool isFirstInstallForCrashReportingController() override { return isFirstInstall(); }
    FLTSettings settingsForCrashReportingController() override;
    QString executionIdentifierForCrashReportingController() override;

    // For tests: a fresh instance, as a new launch would have.
    static void resetSharedForTests();

private:
    void startOnce();
    mutable std::mutex _lock;
    std::shared_ptr<std::once_flag> _once = std::make_shared<std::once_flag>();
    std::shared_ptr<FaultlineDelegate> _delegate;
    std::shared_ptr<FLTFileManager> _fileManager;
    std::shared_ptr<FLTCrashReportingController> _controller;
    std::shared_ptr<FLTBetaController> _betaController;
};
