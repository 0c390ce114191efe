// Picks a folder of a live remote site: a column browser over a connected site queue. The
// first column lists the initial folder (the login folder for ""); selecting a folder whose
// entries are not known yet lists it into the next column. The answer is the folder the last
// column shows. Listings arrive on the queue's thread and are applied on the main thread.
#pragma once

#include "projects/QVRemoteFilePickerNode.h"

#include <QPointer>
#include <QString>
#include <QWidget>

#include <memory>

class QColumnView;
class QLabel;
class QProgressBar;
class QVRemoteSiteQueue;
class QVRemoteSiteQueueDelegate;

class QVRemoteFilePickerController : public QWidget {
    Q_OBJECT

public:
    explicit QVRemoteFilePickerController(QWidget* parent = nullptr);
    ~QVRemoteFilePickerController() override;

    // Another queue: the old one stops reporting to the picker.
    void setQueue(const std::shared_ptr<QVRemoteSiteQueue>& queue);
    const std::shared_ptr<QVRemoteSiteQueue>& queue() const { return _queue; }
    // Starts over at the folder (null: the login folder) and asks the queue for its listing.
    void setInitialDirectory(const QString& path);
    QString initialDirectory() const { return _model->initialDirectory(); }
    // The folder the browser's last column shows; the initial folder while nothing is selected.
    QString selectedPath() const;

    QString status() const { return _status; }
    void setStatus(const QString& status);
    bool showProgress() const { return _showProgress; }
    void setShowProgress(bool show);

    QColumnView* browser() const { return _browser; }
    QVRemoteFilePickerModel* model() const { return _model; }
    // The browser's action: the selected folder is listed when none of its entries are known.
    void browserAction(const QModelIndex& selected);

Q_SIGNALS:
    // A listing was applied (the path the queue answered for).
    void listed(const QString& path);
    void statusChanged(const QString& status);

private:
    class Lister;
    void requestListing(const QString& path);
    void listingArrived(const QString& path, const QList<QVRemoteFile>& files);
    void listingFailed(const QString& message);

    QColumnView* _browser;
    QVRemoteFilePickerModel* _model;
    QLabel* _statusLabel;
    QProgressBar* _progress;
    std::shared_ptr<QVRemoteSiteQueue> _queue;
    std::shared_ptr<Lister> _lister;
    QString _status;
    bool _showProgress = false;
};
