// The kits' own identity: the SDK identifier and versions sent with every request, the
// reverse-DNS prefix that names their queues, defaults keys and data folders, and the developer
// token. The SDK identifier and the prefix are Qorvel's own and deliberately differ.
#pragma once

inline constexpr const char* TRLSDKIdentifier = "com.qorvel.kits.sdk";
inline constexpr const char* TRLKitPrefix = "com.qorvel.kits";
inline constexpr const char* TRLSDKDisplayVersion = "1.6.11";
inline constexpr const char* TRLSDKBuildVersion = "60";
inline constexpr const char* TRLDeveloperToken = "5be81f3a07c94d26e1b8a0f57c3d92e64a1b08fc";
// Error domain of classified responses and of the network client.
inline constexpr const char* TRLNetworkErrorDomain = "TRLNetworkError";
inline constexpr const char* TRLSettingsAvailableNotification = "TRLSettingsAvailableNotification";
// What the kits read back is small (the settings document is the largest): a longer answer is
// cut off there, whatever its status, rather than filling the disk.
inline constexpr long long TRLMaximumAnswerBytes = 2 * 1024 * 1024;
// How long one request may take in all, when its sender names no limit of its own: a server that
// trickles bytes never trips the idle time-out.
inline constexpr int TRLRequestTimeLimitMs = 5 * 60 * 1000;
