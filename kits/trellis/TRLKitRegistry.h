// The kits that are present, by name: the one way the SDK core, the crash-reporting kit and the
// analytics kit find each other. A kit registers itself when its library starts; the core asks
// by name ("Faultline", "Tidings") instead of looking classes up.
#pragma once

#include <QDateTime>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <memory>
#include <stdexcept>

// A broken kit configuration: the one fault the kits raise instead of returning.
class TRLException : public std::runtime_error {
public:
    explicit TRLException(const QString& reason) : std::runtime_error(reason.toStdString()), _reason(reason) {}
    static QString name() { return QStringLiteral("TRLException"); }
    QString reason() const { return _reason; }

private:
    QString _reason;
};

class TRLKit {
public:
    virtual ~TRLKit() = default;
    virtual QString kitName() const = 0;  // the name it registers under ("Faultline")
    virtual QString bundleIdentifier() const = 0;
    virtual QString kitDisplayVersion() const = 0;
    virtual QString kitBuildVersion() const { return {}; }
    virtual void initializeIfNeeded() {}
};

// What the crash-reporting kit asks of the analytics kit, found in the registry under
// "Tidings": neither library links the other.
class TRLAnalyticsKit : public TRLKit {
public:
    // Starts the kit once, with the beta token of the crash-reporting kit (or none).
    virtual void startAnalytics(const QString& betaToken) = 0;
    // The previous run crashed; date: when that run started.
    virtual void logPreviousSessionCrashed(const QDateTime& date) = 0;
    // An event the application names, with its attributes in order (key, value).
    virtual void logCustomEvent(const QString& /*name*/, const QList<QPair<QVariant, QVariant>>& /*attributes*/) {}
};

// A kit of the older form: a shared instance that is started and reports its version.
class TRLLegacyKit {
public:
    virtual ~TRLLegacyKit() = default;
    virtual QString kitName() const = 0;
    virtual void start() = 0;
    virtual QString bundleIdentifier() const = 0;
    virtual QString version() const = 0;
};

class TRLKitRegistry {
public:
    TRLKitRegistry() = delete;
    static void registerKit(std::shared_ptr<TRLKit> kit);
    static void registerLegacyKit(std::shared_ptr<TRLLegacyKit> kit);
    // A name that is present but is no kit of either form.
    static void registerOther(const QString& name);
    static std::shared_ptr<TRLKit> kit(const QString& name);
    static std::shared_ptr<TRLLegacyKit> legacyKit(const QString& name);
    static bool exists(const QString& name);
    // For tests.
    static void clear();
};

// What a caller hands to Trellis::with: a kit by name, or a kit object.
struct TRLKitReference {
    TRLKitReference(const char* name) : name(QString::fromUtf8(name)) {}
    TRLKitReference(QString name) : name(std::move(name)) {}
    TRLKitReference(std::shared_ptr<TRLKit> kit) : name(kit ? kit->kitName() : QString()), instance(std::move(kit)) {}
    QString name;
    std::shared_ptr<TRLKit> instance;
};
