#include "kits/tidings/TDGLogger.h"

#include "platform/SystemLog.h"
#include "kits/trellis/TRLHelpers.h"

TDGLogger& TDGLogger::sharedLogger() {
    static TDGLogger logger;
    return logger;
}

void TDGLogger::log(const QString& text) { internalLog(QStringLiteral("[Tidings] ") + text); }

void TDGLogger::logWithLabel(const QString& label, const QString& text) {
    internalLog(QStringLiteral("[Tidings:%1] %2").arg(label, text));
}

void TDGLogger::internalLog(const QString& line) {
    if (debugMode()) SystemLog::notice(line);
}

TDGApplication TDGApplication::hostApplication() { return TDGApplication(TRLInfoDictionary()); }

QString TDGApplication::bundleIdentifier() const { return _infoPlistDict.value(QStringLiteral("CFBundleIdentifier")).toString(); }
QString TDGApplication::bundleVersion() const { return _infoPlistDict.value(QStringLiteral("CFBundleVersion")).toString(); }
QString TDGApplication::shortVersionString() const {
    return _infoPlistDict.value(QStringLiteral("CFBundleShortVersionString")).toString();
}

QVariantMap TDGApplication::extensionDefinitionDictionary() const {
    const QVariant entry = _infoPlistDict.value(QStringLiteral("NSExtension"));
    if (!entry.isValid()) return {};
    if (entry.typeId() != QMetaType::QVariantMap) {
        TDGLogger::sharedLogger().log(QStringLiteral("Error: NSExtension Info.plist entry is mal-formed %1\n").arg(entry.toString()));
        return {};
    }
    return entry.toMap();
}

QString TDGApplication::extensionPointIdentifier() const {
    const QVariantMap definition = extensionDefinitionDictionary();
    if (definition.isEmpty()) return {};
    const QVariant point = definition.value(QStringLiteral("NSExtensionPointIdentifier"));
    if (point.typeId() != QMetaType::QString) {
        TDGLogger::sharedLogger().log(QStringLiteral("Error: NSExtensionPointIdentifier Info.plist entry is mal-formed\n"));
        return {};
    }
    return point.toString();
}
