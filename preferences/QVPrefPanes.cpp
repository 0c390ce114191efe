// Registration of the pane classes by name.
#include "preferences/QVPrefPanes.h"

#include "preferences/QVColorsPrefPane.h"
#include "preferences/QVFilesPrefPane.h"
#include "preferences/QVGeneralPrefPane.h"
#include "preferences/QVLanguagesPrefPane.h"
#include "preferences/QVPreviewPrefPane.h"
#include "preferences/QVSimplePrefPanes.h"
#include "preferences/QVSiteViewPrefPane.h"
#include "preferences/QVTextEditingPrefPane.h"

namespace QVPrefPanes {

namespace {

template <class Pane>
void add(const char* name) {
    QVPrefPane::registerClass(QString::fromLatin1(name), [](const QString& displayName) -> std::unique_ptr<QVPrefPane> {
        return std::make_unique<Pane>(displayName);
    });
}

}  // namespace

void registerStandardPanes() {
    add<QVGeneralPrefPane>("QVGeneralPrefPane");
    add<QVTextEditingPrefPane>("QVTextEditingPrefPane");
    add<QVFilesPrefPane>("QVFilesPrefPane");
    add<QVColorsPrefPane>("QVColorsPrefPane");
    add<QVSiteViewPrefPane>("QVSiteViewPrefPane");
    add<QVPreviewPrefPane>("QVPreviewPrefPane");
    add<QVCodeCompletionPrefPane>("QVCodeCompletionPrefPane");
    add<QVLanguagesPrefPane>("QVLanguagesPrefPane");
    add<QVSoftwareUpdatePrefPane>("QVSoftwareUpdatePrefPane");
}

}  // namespace QVPrefPanes
