#include "app/CrashReporting.h"

#include "kits/faultline/FLTWebView.h"
#include "kits/faultline/reports/FLTPermissionAlert.h"
#include "kits/faultline/reports/Faultline.h"
#include "platform/web/QVWebView.h"
#include "shell/QVOutsideServices.h"
#include "kits/trellis/Trellis.h"

namespace {

// Every web page Qorvel shows (the preview, the information window) reports its uncaught script
// errors to crash capture.
class WebViewContent : public FLTWebViewUserContent {
public:
    void addUserScript(const QString& source) override { QVWebView::addPageScript(source); }
    void addMessageHandler(const QString& name, std::function<void(const QVariant&)> handler) override {
        QVWebView::addMessageHandler(name, std::move(handler));
    }
};

class FaultlineCrashKits : public QVCrashKits {
public:
    void start() override {
        Faultline::registerKit();
        FLTInstallPermissionAlert();
        Trellis::startFromLaunch({TRLKitReference(Faultline::sharedInstance())});
        WebViewContent webViews;
        Faultline::sharedInstance()->monitorErrorsForWebView(&webViews);
    }
};

}  // namespace

void installCrashReporting() { QVOutsideServices::setCrashKits(std::make_unique<FaultlineCrashKits>()); }
