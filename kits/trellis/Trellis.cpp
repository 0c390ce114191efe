#include "kits/trellis/Trellis.h"

#include "platform/SystemLog.h"
#include "kits/trellis/FLTUserDefaults.h"
#include "kits/trellis/TRLConstants.h"
#include "kits/trellis/TRLHelpers.h"
#include "kits/trellis/TRLSettingsOnboardingManager.h"

namespace {

QMutex g_sharedLock;
std::unique_ptr<Trellis> g_shared;
std::vector<std::unique_ptr<Trellis>> g_retired;  // references handed out before a test reset
bool g_started = false;

const QString className = QStringLiteral("Trellis");

}  // namespace

QString Trellis::installationUUIDKey() { return QLatin1String(TRLKitPrefix) + QStringLiteral(".iuuid"); }

Trellis& Trellis::sharedSDK() {
    QMutexLocker locker(&g_sharedLock);
    if (!g_shared) g_shared = std::make_unique<Trellis>(FLTUserDefaults::standardUserDefaults());
    return *g_shared;
}

void Trellis::resetSharedForTests() {
    QMutexLocker locker(&g_sharedLock);
    if (g_shared) g_retired.push_back(std::move(g_shared));
    g_started = false;
}

Trellis::Trellis(FLTUserDefaults& defaults) {
    const QVariant stored = defaults.objectForKeyByMigratingFromNSUserDefaults(installationUUIDKey());
    if (stored.typeId() == QMetaType::QString && !stored.toString().isEmpty()) {
        _installID = stored.toString();
    } else {
        _isFirstInstall = true;
        _installID = TRLGenerateUUIDString();
        defaults.setObject(_installID, installationUUIDKey());
        defaults.synchronize();
    }
    _executionIdentifier = TRLGenerateUUIDString().remove(QLatin1Char('-')).toLower();
    _applicationIdentifierModel = TRLApplicationIdentiferModel::make(_installID);
    TRLSettingsOnboardingManager::Hooks hooks;
    hooks.advertisingToken = [this] { return advertisingToken(); };
    hooks.debug = [this] { return debug(); };
    _settingsAndOnboardingManager = TRLSettingsOnboardingManager::make(_applicationIdentifierModel, hooks);
}

Trellis::~Trellis() = default;

Trellis& Trellis::with(const QList<TRLKitReference>& kits) {
    Trellis& shared = sharedSDK();
    {
        QMutexLocker locker(&g_sharedLock);
        if (g_started) {
            SystemLog::warning(QStringLiteral("[Trellis] [Trellis +with] called multiple times. Only the first call is honored, please pass all kits you wish to initialize"));
            return shared;
        }
        // A first call consumes the start even when it stops early (no key, a fault).
        g_started = true;
    }
    shared.start(kits);
    return shared;
}

bool Trellis::startFromLaunch(const QList<TRLKitReference>& kits) noexcept {
    try {
        with(kits);
        return !sharedSDK().kitClasses().isEmpty();
    } catch (const TRLException& e) {
        SystemLog::error(QStringLiteral("[Trellis] %1: %2").arg(TRLException::name(), e.reason()));
    } catch (const std::exception& e) {
        SystemLog::error(QStringLiteral("[Trellis] could not start the kits: %1").arg(QString::fromUtf8(e.what())));
    }
    return false;
}

void Trellis::start(const QList<TRLKitReference>& kits) {
    // An empty key (present, so the configuration stands) still starts the kits, crash capture
    // above all; only the conversation with the service needs the key.
    const bool keyed = !APIKey().isEmpty();
    // Each element becomes its kit by name; an object not registered stands for itself.
    QStringList names;
    QList<std::shared_ptr<TRLKit>> unregistered;
    for (const TRLKitReference& k : kits) {
        if (k.instance && !TRLKitRegistry::kit(k.name)) unregistered.append(k.instance);
        names.append(k.name);
    }
    auto kitNamed = [&](const QString& name) -> std::shared_ptr<TRLKit> {
        if (auto k = TRLKitRegistry::kit(name)) return k;
        for (const auto& k : unregistered)
            if (k->kitName() == name) return k;
        return nullptr;
    };
    for (const QString& name : names) {
        if (kitNamed(name)) continue;
        if (TRLKitRegistry::legacyKit(name)) {
            SystemLog::warning(QStringLiteral("[%1] Please upgrade to the latest version of \"%2\"").arg(className, name));
            continue;
        }
        throw TRLException(QStringLiteral("[%1] It appears that \"%2\" is not a valid Trellis Kit. Please make sure you only pass Trellis Kits to [Trellis with:].")
                               .arg(className, name));
    }
    if (TRLKitRegistry::exists(QStringLiteral("Digits")) && !names.contains(QStringLiteral("Digits"))) names.append(QStringLiteral("Digits"));
    if (TRLKitRegistry::exists(QStringLiteral("Faultline")) && TRLKitRegistry::kit(QStringLiteral("Tidings")) &&
        names.contains(QStringLiteral("Faultline")) && !names.contains(QStringLiteral("Tidings")))
        names.append(QStringLiteral("Tidings"));
    if (TRLKitRegistry::exists(QStringLiteral("Appsee")) && names.contains(QStringLiteral("Appsee"))) {
        names.removeAll(QStringLiteral("Appsee"));
        names.prepend(QStringLiteral("Appsee"));
    }
    {
        QMutexLocker locker(&_lock);
        _kitClasses = names;
    }
    for (const QString& name : names) {
        if (auto kit = kitNamed(name))
            kit->initializeIfNeeded();
        else if (auto legacy = TRLKitRegistry::legacyKit(name))
            legacy->start();
    }
    if (keyed) onboardAppAndDownloadSettings();
}

QStringList Trellis::kitClasses() const {
    QMutexLocker locker(&_lock);
    return _kitClasses;
}

QVariantMap Trellis::trellisConfig() {
    {
        QMutexLocker locker(&_lock);
        if (_trellisConfig) return *_trellisConfig;
    }
    const QVariantMap info = TRLInfoDictionary();
    if (info.isEmpty()) throw TRLException(QStringLiteral("[%1] Cannot find Info.plist.").arg(className));
    const QVariant config = info.value(className);
    if (config.typeId() != QMetaType::QVariantMap)
        throw TRLException(QStringLiteral("[%1] Value of Info.plist key \"%2\" must be a NSDictionary.").arg(className, className));
    const QVariantMap map = config.toMap();
    if (map.value(QStringLiteral("Kits")).typeId() != QMetaType::QVariantList)
        SystemLog::warning(QStringLiteral("[Trellis] [%1] Value of Info.plist[%2][%3] should be a NSArray.").arg(className, className, QStringLiteral("Kits")));
    if (map.value(QStringLiteral("APIKey")).typeId() != QMetaType::QString)
        throw TRLException(QStringLiteral("[%1] Value of Info.plist[%2][%3] must contain your %4 API Key.")
                               .arg(className, className, QStringLiteral("APIKey"), className));
    QMutexLocker locker(&_lock);
    _trellisConfig = map;
    return map;
}

QString Trellis::APIKey() {
    {
        QMutexLocker locker(&_lock);
        if (!_APIKey.isEmpty()) return _APIKey;
    }
    const QString key = trellisConfig().value(QStringLiteral("APIKey")).toString();
    if (key.isEmpty()) {
        SystemLog::warning(QStringLiteral("[Trellis] Trellis API Key is nil! Trellis won't work unless there is a valid API Key setup in Info.plist"));
        return {};
    }
    QMutexLocker locker(&_lock);
    _APIKey = key;
    return key;
}

void Trellis::setAPIKey(const QString& key) {
    QMutexLocker locker(&_lock);
    _APIKey = key;
}

QString Trellis::advertisingToken() const {
    QMutexLocker locker(&_lock);
    return _advertisingToken;
}

void Trellis::setAdvertisingToken(const QString& token) {
    QMutexLocker locker(&_lock);
    _advertisingToken = token;
}

std::optional<QVariantMap> Trellis::settings() const { return _settingsAndOnboardingManager->settingsModel().settingsDictionary(); }

QString Trellis::instanceIdentifier() const {
    return _applicationIdentifierModel ? _applicationIdentifierModel->instanceIdentifier() : QString();
}

bool Trellis::debug() const {
    QMutexLocker locker(&_lock);
    return _debug;
}

void Trellis::setDebug(bool debug) {
    QMutexLocker locker(&_lock);
    _debug = debug;
}

std::optional<QVariantMap> Trellis::configurationDictionaryForKitClass(const QString& kitName) {
    for (const QVariant& entry : trellisConfig().value(QStringLiteral("Kits")).toList()) {
        const QVariantMap kit = entry.toMap();
        if (kit.value(QStringLiteral("KitName")).toString() != kitName) continue;
        const QVariant info = kit.value(QStringLiteral("KitInfo"));
        return info.typeId() == QMetaType::QVariantMap ? info.toMap() : QVariantMap();
    }
    return std::nullopt;
}

TRLKitVersions Trellis::kitVersionsByKitBundleIdentifier() const {
    TRLKitVersions versions;
    for (const QString& name : kitClasses()) {
        if (auto kit = TRLKitRegistry::kit(name))
            versions.append({kit->bundleIdentifier(), kit->kitDisplayVersion()});
        else if (auto legacy = TRLKitRegistry::legacyKit(name))
            versions.append({legacy->bundleIdentifier(), legacy->version()});
    }
    versions.append({QLatin1String(TRLSDKIdentifier), QLatin1String(TRLSDKDisplayVersion)});
    if (debug()) {
        QStringList shown;
        for (const auto& [id, v] : versions) shown << id + QStringLiteral(" = ") + v;
        SystemLog::notice(QStringLiteral("[Trellis] Initialized with kit versions: %1").arg(shown.join(QStringLiteral(", "))));
    }
    return versions;
}

void Trellis::onboardAppAndDownloadSettings() {
    _settingsAndOnboardingManager->beginSettingsAndOnboardingOperationsWithAPIKey(APIKey(), kitVersionsByKitBundleIdentifier());
}
