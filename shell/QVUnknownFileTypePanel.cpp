// The unknown-file-type sheet's window: a message, the pop-up of choices, Choose and Cancel.
#include "shell/QVUnknownFileTypePanel.h"

#include "platform/AppBundle.h"
#include "shell/QVFileCategories.h"
#include "shell/QVUnknownFileTypeController.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

QVUnknownFileTypePanel::QVUnknownFileTypePanel(QVUnknownFileTypeController* controller, QWidget* parent)
    : QDialog(parent), _controller(controller) {
    setWindowModality(Qt::WindowModal);
    setWindowTitle(QVLocalized(QStringLiteral("Unknown File Type")));

    const QString path = controller->path();
    const QString extension = QVFileCategories::pathExtension(path);
    _message = new QLabel(
        QVLocalized(QStringLiteral("The type of \u201c%1\u201d is unknown. Open files ending in "
                                   "\u201c.%2\u201d as:"))
            .arg(QFileInfo(path).fileName(), extension),
        this);
    _message->setWordWrap(true);

    _popUpButton = new QComboBox(this);
    auto* buttons = new QDialogButtonBox(this);
    _chooseButton = buttons->addButton(QVLocalized(QStringLiteral("Choose")), QDialogButtonBox::AcceptRole);
    _cancelButton = buttons->addButton(QVLocalized(QStringLiteral("Cancel")), QDialogButtonBox::RejectRole);
    _chooseButton->setDefault(true);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(_message);
    layout->addWidget(_popUpButton);
    layout->addWidget(buttons);

    reloadPopUp();
    connect(controller, &QVUnknownFileTypeController::popUpChanged, this,
            &QVUnknownFileTypePanel::reloadPopUp);
    connect(_popUpButton, &QComboBox::activated, controller, &QVUnknownFileTypeController::selectType);
    connect(_chooseButton, &QPushButton::clicked, controller, &QVUnknownFileTypeController::choose);
    connect(_cancelButton, &QPushButton::clicked, controller, &QVUnknownFileTypeController::cancel);
}

void QVUnknownFileTypePanel::reject() {
    // Escape or the window's close box: the controller ends the sheet.
    if (_controller) _controller->cancel();
    else hide();
}

void QVUnknownFileTypePanel::reloadPopUp() {
    if (!_controller) return;
    const QSignalBlocker blocker(_popUpButton);
    _popUpButton->clear();
    const QList<QVUnknownFileTypeController::PopUpItem> items = _controller->popUpItems();
    for (int i = 0; i < items.size(); ++i) {
        if (items[i].isSeparator)
            _popUpButton->insertSeparator(i);
        else
            _popUpButton->addItem(items[i].title);
    }
    _popUpButton->setCurrentIndex(_controller->indexOfSelectedItem());
}
