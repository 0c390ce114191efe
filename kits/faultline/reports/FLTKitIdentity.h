// The crash-reporting kit's identity (bundle identifier, versions, the client identifier its
// requests carry) and the SDK core's debug switch as the kit reads it.
#pragma once

#include "kits/trellis/TRLConstants.h"

#include <QString>

struct HttpRequest;

inline constexpr const char* FLTKitBundleIdentifier = "com.qorvel.kits.faultline";
inline constexpr const char* FLTKitDisplayVersion = "3.8.4";
inline constexpr const char* FLTKitBuildVersion = "121";
inline constexpr const char* FLTKitClientIdentifier = "com.qorvel.kits.faultline.mac";
inline constexpr const char* FLTKitUserAgent = "Faultline Mac SDK/3.8.4";

// The SDK core's debug mode (pinning off, more log lines).
bool FLTDebugMode();
// A line for the system log, written only in debug mode.
void FLTDebugLog(const QString& line);

// The header set every request of the kit carries: agent, JSON, the user's language, the kit's
// identity (clientIdentifier: the client name the service knows that request by) and the API key.
void FLTSetKitRequestHeaders(HttpRequest& request, const char* clientIdentifier, const QString& APIKey);
