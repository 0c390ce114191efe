// The close sheet.
#include "editor/windows/QVMultiFileCloseController.h"

#include "editor/QVFileDocument.h"
#include "platform/AppBundle.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

QVMultiFileCloseController::QVMultiFileCloseController(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("MultiFileCloseConfirm"));
    setWindowTitle(QVLocalized(QStringLiteral("Close")));
    auto* layout = new QVBoxLayout(this);
    auto* message = new QLabel(QVLocalized(QStringLiteral("Some documents have unsaved changes. Do you want to save them before closing?")), this);
    message->setWordWrap(true);
    layout->addWidget(message);
    _list = new QListWidget(this);
    _list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    layout->addWidget(_list);
    auto* buttons = new QHBoxLayout();
    struct Button {
        const char* title;
        int tag;
    };
    const Button titles[] = {{"Don't Save", CloseWithoutSaving}, {"Cancel", Cancel}, {"Save Selected", SaveSelected}, {"Save All", SaveAll}};
    for (const Button& b : titles) {
        auto* button = new QPushButton(QVLocalized(QString::fromLatin1(b.title)), this);
        button->setProperty("tag", b.tag);
        button->setAutoDefault(false);
        if (b.tag == SaveAll) button->setDefault(true);
        if (b.tag == SaveSelected) _saveSelected = button;
        if (b.tag == Cancel) buttons->addStretch();
        buttons->addWidget(button);
        connect(button, &QPushButton::clicked, this, [this, tag = b.tag] { close(tag); });
    }
    layout->addLayout(buttons);
    connect(_list, &QListWidget::itemSelectionChanged, this, &QVMultiFileCloseController::updateButtons);
    resize(420, 300);
}

QVMultiFileCloseController::~QVMultiFileCloseController() = default;

void QVMultiFileCloseController::displayOnWindow(QWidget* window, const QList<QVFileDocument*>& documents, Answer answer) {
    _documents = documents;
    _answer = std::move(answer);
    _list->clear();
    for (QVFileDocument* document : documents) {
        auto* row = new QListWidgetItem(document->displayName(), _list);
        row->setToolTip(document->fileName());
    }
    updateButtons();
    if (window && parentWidget() != window) setParent(window, windowFlags());
    setWindowModality(Qt::WindowModal);
    open();
}

void QVMultiFileCloseController::updateButtons() {
    // Saving the selected documents needs a selection: with none it would wait for nothing.
    _saveSelected->setEnabled(!_list->selectedItems().isEmpty());
}

void QVMultiFileCloseController::close(int tag) {
    QList<QVFileDocument*> chosen;
    if (tag == SaveAll) chosen = _documents;
    else if (tag == SaveSelected)
        for (int row = 0; row < _list->count(); ++row)
            if (_list->item(row)->isSelected()) chosen << _documents.value(row);
    done(tag == Cancel ? Rejected : Accepted);
    // Answered once: a second close (Escape after a button) finds no answer left.
    if (Answer answer = std::exchange(_answer, {})) answer(this, tag, chosen);
    _documents.clear();
}

void QVMultiFileCloseController::reject() {
    // Escape and the window's close button cancel.
    close(Cancel);
}
