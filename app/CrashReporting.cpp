#include "app/CrashReporting.h"

#include "faultline/reports/FLTPermissionAlert.h"
#include "faultline/reports/Faultline.h"
#include "shell/QVOutsideServices.h"
#include "trellis/Trellis.h"

namespace {

class FaultlineCrashKits : public QVCrashKits {
public:
    void start() override {
        Faultline::registerKit();
        FLTInstallPermissionAlert();
        Trellis::startFromLaunch({TRLKitReference(Faultline::sharedInstance())});
    }
};

}  // namespace

void installCrashReporting() { QVOutsideServices::setCrashKits(std::make_unique<FaultlineCrashKits>()); }
