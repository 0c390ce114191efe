#include "kits/faultline/reports/FLTKitIdentity.h"

#include "platform/HttpEngine.h"

#include <QLocale>

#include "platform/SystemLog.h"
#include "kits/trellis/Trellis.h"

bool FLTDebugMode() { return Trellis::sharedSDK().debug(); }

void FLTDebugLog(const QString& line) {
    if (FLTDebugMode()) SystemLog::notice(line);
}

void FLTSetKitRequestHeaders(HttpRequest& request, const char* clientIdentifier, const QString& APIKey) {
    const QByteArray locale = QLocale().name().toUtf8();
    request.setHeader("User-Agent", FLTKitUserAgent);
    request.setHeader("Accept", "application/json");
    request.setHeader("Accept-Charset", "utf-8");
    request.setHeader("Accept-Language", locale);
    request.setHeader("Content-Language", locale);
    request.setHeader("X-Faultline-Developer-Token", TRLDeveloperToken);
    request.setHeader("X-Faultline-API-Client-Id", clientIdentifier);
    request.setHeader("X-Faultline-API-Client-Display-Version", FLTKitDisplayVersion);
    request.setHeader("X-Faultline-API-Client-Build-Version", FLTKitBuildVersion);
    request.setHeader("X-Faultline-API-Key", APIKey.toUtf8());
}
