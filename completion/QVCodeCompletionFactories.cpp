#include "completion/QVCSSCodeCompletion.h"
#include "completion/QVCodeCompletion.h"
#include "completion/QVKeywordCodeCompletion.h"
#include "completion/QVTagCodeCompletion.h"
#include "languages/QVBundle.h"

#include <mutex>

void QVCodeCompletion::registerFactories() {
    static std::once_flag once;
    std::call_once(once, [] {
        QVBundle::registerCompletionFactory(
            QStringLiteral("keyword"),
            [](const std::shared_ptr<QVBundle>& bundle, const QVariantMap& plist) -> std::shared_ptr<QVBundleComponent> {
                return std::make_shared<QVKeywordCodeCompletion>(bundle, plist);
            });
        QVBundle::registerCompletionFactory(
            QStringLiteral("tag"),
            [](const std::shared_ptr<QVBundle>& bundle, const QVariantMap& plist) -> std::shared_ptr<QVBundleComponent> {
                return std::make_shared<QVTagCodeCompletion>(bundle, plist);
            });
        QVBundle::registerCompletionFactory(
            QVCSSCodeCompletion::ClassName,
            [](const std::shared_ptr<QVBundle>& bundle, const QVariantMap& plist) -> std::shared_ptr<QVBundleComponent> {
                return std::make_shared<QVCSSCodeCompletion>(bundle, plist);
            });
    });
}
