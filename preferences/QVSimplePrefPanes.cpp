// The code-completion and software-update panes.
#include "preferences/QVSimplePrefPanes.h"

#include "platform/AppBundle.h"
#include "preferences/QVDefaultsBinding.h"
#include "shell/Defaults.h"

#include <QCheckBox>
#include <QLabel>
#include <QVBoxLayout>

namespace {

QString localized(const char* text) { return QVLocalized(QString::fromUtf8(text)); }

}  // namespace

QWidget* QVCodeCompletionPrefPane::loadView() {
    auto* view = new QWidget;
    view->setObjectName(QStringLiteral("CodeCompletionPrefPane"));
    auto* layout = new QVBoxLayout(view);
    QCheckBox* first = nullptr;
    for (const auto& [key, title] : {std::pair{QVAutoComplete, "Complete tags and keywords"},
                                     std::pair{QVAutoCompleteOnType, "Close the open element when \"</\" is typed"},
                                     std::pair{QVSuggestElementsAutomatically, "Suggest elements automatically"},
                                     std::pair{QVSuggestKeywordsAutomatically, "Suggest keywords automatically"},
                                     std::pair{QVAutoSpecChars, "Close quotes and brackets"},
                                     std::pair{QVXHTMLTags, "Close empty tags the XHTML way"},
                                     std::pair{QVCodeIndexingEnabled, "Index the code of projects"}}) {
        auto* box = new QCheckBox(localized(title), view);
        box->setObjectName(QString::fromLatin1(key));
        QVDefaultsBinding::bind(box, QString::fromLatin1(key));
        layout->addWidget(box);
        if (!first) first = box;
    }
    layout->addStretch();
    setFirstResponder(first);
    return view;
}

QWidget* QVSoftwareUpdatePrefPane::loadView() {
    auto* view = new QWidget;
    view->setObjectName(QStringLiteral("SoftwareUpdatePrefPane"));
    auto* layout = new QVBoxLayout(view);
    auto* text = new QLabel(localized("Qorvel %1 is kept up to date by your system's package manager: updates arrive with the "
                                      "system's other updates.")
                                .arg(AppBundle::main().shortVersion()),
                            view);
    text->setWordWrap(true);
    text->setMinimumWidth(420);
    layout->addWidget(text);
    layout->addStretch();
    return view;
}
