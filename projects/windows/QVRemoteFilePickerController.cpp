// The remote folder picker.
#include "projects/windows/QVRemoteFilePickerController.h"

#include "files/QVRemoteSiteQueue.h"
#include "platform/AppBundle.h"
#include "platform/MainQueue.h"
#include "projects/windows/QVBrowserCell.h"

#include <QColumnView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QProgressBar>
#include <QVBoxLayout>

// The queue's finish delegate for the picker's listings: hands each result to the main thread,
// where it reaches the picker only while the picker lives.
class QVRemoteFilePickerController::Lister : public QVRemoteSiteQueueDelegate {
public:
    explicit Lister(QVRemoteFilePickerController* picker) : _picker(picker), _identity(picker) {}
    const void* identity() const override { return _identity; }
    void queueRetrievedFiles(QVRemoteSiteQueue*, const QList<QVRemoteFile>& files, const QString& path) override {
        MainQueue::post([picker = _picker, files, path] {
            if (picker) picker->listingArrived(path, files);
        });
    }
    void queueActionFailed(QVRemoteSiteQueue*, QVRemoteFileAction*, const QVError& error) override {
        QString message = error.localizedRecoverySuggestion();
        if (message.isEmpty()) message = error.localizedDescription();
        MainQueue::post([picker = _picker, message] {
            if (picker) picker->listingFailed(message);
        });
    }

private:
    QPointer<QVRemoteFilePickerController> _picker;
    const void* _identity;
};

QVRemoteFilePickerController::QVRemoteFilePickerController(QWidget* parent)
    : QWidget(parent), _browser(new QColumnView(this)), _model(new QVRemoteFilePickerModel(this)),
      _statusLabel(new QLabel(this)), _progress(new QProgressBar(this)), _lister(std::make_shared<Lister>(this)) {
    _browser->setModel(_model);
    _browser->setItemDelegate(new QVBrowserCell(_browser));
    _browser->setSelectionMode(QAbstractItemView::SingleSelection);
    _browser->setMinimumSize(420, 200);
    _progress->setRange(0, 0);
    _progress->setMaximumWidth(80);
    _progress->setVisible(false);
    _statusLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* statusRow = new QHBoxLayout;
    statusRow->addWidget(_progress);
    statusRow->addWidget(_statusLabel, 1);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(_browser, 1);
    layout->addLayout(statusRow);
    connect(_browser->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& current) { browserAction(current); });
}

QVRemoteFilePickerController::~QVRemoteFilePickerController() {
    if (_queue) _queue->clearActionDelegate(this);
}

void QVRemoteFilePickerController::setQueue(const std::shared_ptr<QVRemoteSiteQueue>& queue) {
    if (queue == _queue) return;
    if (_queue) _queue->clearActionDelegate(this);
    _queue = queue;
}

void QVRemoteFilePickerController::setInitialDirectory(const QString& path) {
    _model->reset(path.isNull() ? QString(QLatin1String("")) : path);
    requestListing(_model->initialDirectory());
}

QString QVRemoteFilePickerController::selectedPath() const {
    // The last column shows the current item's folder, or the folder holding the current file.
    const QModelIndex current = _browser->currentIndex();
    QVRemoteFilePickerNode* node = _model->nodeForIndex(current);
    if (current.isValid() && !node->isDirectory()) node = node->parent();
    if (!node || !node->file()) return _model->initialDirectory();
    return node->file()->path();
}

void QVRemoteFilePickerController::setStatus(const QString& status) {
    if (status == _status) return;
    _status = status;
    _statusLabel->setText(status);
    Q_EMIT statusChanged(status);
}

void QVRemoteFilePickerController::setShowProgress(bool show) {
    _showProgress = show;
    _progress->setVisible(show);
}

void QVRemoteFilePickerController::browserAction(const QModelIndex& selected) {
    if (!selected.isValid()) return;
    const QVRemoteFilePickerNode* node = _model->nodeForIndex(selected);
    // An empty folder is asked again each time: it may have been filled since.
    if (node->file() && node->isDirectory() && node->countOfChildren() == 0) requestListing(node->file()->path());
}

void QVRemoteFilePickerController::requestListing(const QString& path) {
    if (!_queue) return;
    setShowProgress(true);
    _queue->getFileListing(path, _lister);
}

void QVRemoteFilePickerController::listingArrived(const QString& path, const QList<QVRemoteFile>& files) {
    setShowProgress(false);
    if (_model->applyListing(path, files)) Q_EMIT listed(path);
}

void QVRemoteFilePickerController::listingFailed(const QString& message) {
    setShowProgress(false);
    setStatus(message);
}
