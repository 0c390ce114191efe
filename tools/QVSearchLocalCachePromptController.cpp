// The local-cache question.
#include "tools/QVSearchLocalCachePromptController.h"

#include "platform/AppBundle.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"

#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

QVSearchLocalCachePromptController::QVSearchLocalCachePromptController() = default;

QVSearchLocalCachePromptController::~QVSearchLocalCachePromptController() { delete _sheet.data(); }

void QVSearchLocalCachePromptController::displayOnWindow(QWidget* window) {
    auto* sheet = new QDialog(window);
    _sheet = sheet;
    sheet->setObjectName(QStringLiteral("SearchLocalCachePrompt"));
    sheet->setWindowModality(Qt::WindowModal);
    auto* layout = new QVBoxLayout(sheet);
    auto* title = new QLabel(QVLocalized(QStringLiteral("Search the local copies of this remote project?")));
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);
    layout->addWidget(title);
    auto* text = new QLabel(QVLocalized(QStringLiteral(
        "The project's files live on a remote site. Only the files already copied to this computer can be "
        "searched; nothing is downloaded.")));
    text->setWordWrap(true);
    layout->addWidget(text);
    auto* dontAsk = new QCheckBox(QVLocalized(QStringLiteral("Do not ask again")));
    dontAsk->setChecked(!Defaults::promptToSearchLocalCache());
    connect(dontAsk, &QCheckBox::toggled, this, [](bool on) {
        UserDefaults::standard().setBool(on, QString::fromLatin1(QVDontPromptToSearchLocalCache));
    });
    layout->addWidget(dontAsk);
    auto* buttons = new QDialogButtonBox;
    QPushButton* dont = buttons->addButton(QVLocalized(QStringLiteral("Don't Search")), QDialogButtonBox::RejectRole);
    QPushButton* search = buttons->addButton(QVLocalized(QStringLiteral("Search Local Copies")), QDialogButtonBox::AcceptRole);
    search->setDefault(true);
    connect(dont, &QPushButton::clicked, this, [this] { buttonAction(DontSearchTag); });
    connect(search, &QPushButton::clicked, this, [this] { buttonAction(SearchTag); });
    layout->addWidget(buttons);
    connect(sheet, &QDialog::rejected, this, [this] { buttonAction(DontSearchTag); });
    sheet->open();
}

void QVSearchLocalCachePromptController::buttonAction(int tag) {
    if (!_sheet) return;
    QDialog* sheet = _sheet;
    _sheet = nullptr;
    sheet->hide();
    sheet->deleteLater();
    UserDefaults::standard().setBool(tag == SearchTag, QString::fromLatin1(QVSearchLocalCacheForRemoteProjects));
    if (auto finished = std::move(_finished)) finished(tag == SearchTag);
}
