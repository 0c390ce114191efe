// The code-completion and software-update panes.
#include "preferences/QVSimplePrefPanes.h"

#include "platform/AppBundle.h"
#include "preferences/QVDefaultsBinding.h"
#include "shell/Defaults.h"

#include <QCheckBox>
#include <QCoreApplication>
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

QString QVSoftwareUpdatePrefPane::updateText(const QString& programFolder) {
    const QString folder = programFolder.isEmpty() ? QCoreApplication::applicationDirPath() : programFolder;
    const QString version = AppBundle::main().shortVersion();
    // Debian's packages put programs under /usr (never /usr/local, where a source build installs).
    const bool packaged = folder.startsWith(QLatin1String("/usr/")) && !folder.startsWith(QLatin1String("/usr/local/"));
    if (packaged)
        return localized("Qorvel %1 does not update itself: it was installed from a package, and updates arrive with your "
                         "system's other packages.")
            .arg(version);
    return localized("Qorvel %1 does not update itself: this copy was built from source and runs from %2. To update it, "
                     "build a newer source.")
        .arg(version, folder);
}

QWidget* QVSoftwareUpdatePrefPane::loadView() {
    auto* view = new QWidget;
    view->setObjectName(QStringLiteral("SoftwareUpdatePrefPane"));
    auto* layout = new QVBoxLayout(view);
    auto* text = new QLabel(updateText(), view);
    text->setObjectName(QStringLiteral("updateText"));
    text->setWordWrap(true);
    text->setMinimumWidth(420);
    layout->addWidget(text);
    layout->addStretch();
    return view;
}
