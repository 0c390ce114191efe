// The kits' services and the paths of their requests. Their base addresses are deployment values
// that a default install leaves unset; any server that answers these requests serves.
#pragma once

#include <QString>

namespace TRLRemoteServices {

// Settings: GET <SettingsEndpoint> + this + the escaped bundle identifier + "/settings" + query;
// a JSON object, cached whole. "app" → "status" "new" asks for a create, "update_required" for an update.
inline QString settingsPathPrefix() { return QStringLiteral("/spi/v2/platforms/mac/apps/"); }
// API: POST <ConfigureEndpoint> + this to create, PUT + "/" + the escaped bundle identifier to
// update, multipart body; a success status only.
inline QString appsPath() { return QStringLiteral("/spi/v1/platforms/mac/apps"); }
// Reports: POST base + this with the bundle identifier, one report package; removed only after success.
inline QString reportsPath(const QString& bundleIdentifier) {
    return QStringLiteral("/sdk-api/v1/platforms/mac/apps/%1/reports").arg(bundleIdentifier);
}
// Beta: GET base + this with the escaped bundle identifier; a JSON object with "url", maybe "version_string".
inline QString betaCheckPath(const QString& escapedBundleIdentifier) {
    return QStringLiteral("/spi/v2/platforms/mac/apps/%1/beta_update_check").arg(escapedBundleIdentifier);
}
// Events: POST to the settings' "analytics" → "url", by default base + this; a success status.
inline QString defaultEventsPath() { return QStringLiteral("/spi/v2/events"); }

}  // namespace TRLRemoteServices
