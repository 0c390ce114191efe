#include "faultline/reports/FLTKitIdentity.h"

#include "platform/SystemLog.h"
#include "trellis/Trellis.h"

bool FLTDebugMode() { return Trellis::sharedSDK().debug(); }

void FLTDebugLog(const QString& line) {
    if (FLTDebugMode()) SystemLog::notice(line);
}
