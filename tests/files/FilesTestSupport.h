// Shared by the file-tree tests: a representation delegate that writes down what it hears.
#pragma once

#include "files/QVFileRepresentation.h"
#include "tests/support/TestSupport.h"

#include <QStringList>

#include <optional>
#include <utility>

#include <memory>

class RecordingRepresentationDelegate : public QVFileRepresentationDelegate {
public:
    QString path;
    QStringList events;
    std::shared_ptr<QVFileRepresentation> copy;
    QVFileRepresentationList children;

    QVFileType typeForFileRepresentation(QVFileRepresentation*) override { return QVFileTypeFile; }
    QString pathForFileRepresentation(QVFileRepresentation*) override { return path; }
    QString pathFromRootForFileRepresentation(QVFileRepresentation*) override { return path; }
    QString pathFromRootForPath(const QString& p) override { return p; }
    QString pathForRemoteFileRepresentation(QVFileRepresentation*, QVError*) override { return path; }
    void fileRepresentationContentBecameAvailable(QVFileRepresentation*) override { events << "available"; }
    void fileRepresentationContentChangeFinished(QVFileRepresentation*) override { events << "changed"; }
    void fileRepresentationHadError(QVFileRepresentation*, const QVError& e) override {
        events << QStringLiteral("error %1").arg(e.code());
    }
    void fileRepresentationDidDelete(QVFileRepresentation*, bool ok) override { events << QStringLiteral("delete %1").arg(ok); }
    void fileRepresentationDidDuplicate(QVFileRepresentation*, const std::shared_ptr<QVFileRepresentation>& c) override {
        copy = c;
        events << QStringLiteral("duplicate %1").arg(c ? c->name() : QStringLiteral("-"));
    }
    void fileRepresentationDidMove(QVFileRepresentation*, bool ok, const QVFileContext&) override {
        events << QStringLiteral("move %1").arg(ok);
    }
    void fileRepresentationDidMoveToTrash(QVFileRepresentation*, bool ok) override { events << QStringLiteral("trash %1").arg(ok); }
    void fileRepresentationDidRename(QVFileRepresentation*, bool ok, const QVFileContext&) override {
        events << QStringLiteral("rename %1").arg(ok);
    }
    void fileRepresentationDidLoadChildren(QVFileRepresentation*, const QVFileRepresentationList& list) override {
        children = list;
        events << QStringLiteral("load %1").arg(list.size());
    }
    void fileRepresentationDidReloadChildren(QVFileRepresentation*, const QVFileRepresentationList& list) override {
        children = list;
        events << QStringLiteral("reload %1").arg(list.size());
    }
    void fileRepresentationFailed(QVFileRepresentation*, QVFileOperation, const QVError& e) override {
        events << QStringLiteral("failed %1").arg(e.code());
    }
};

// Runs a shell command line; answers its standard output (the test fails on a non-zero exit).
QString runCommand(const QString& command);
// Writes the bytes to the path (folders made as needed); answers the path.
QString writeFile(const QString& path, const QByteArray& bytes);

#include "files/QVFile.h"
#include "files/QVRemoteFileRepresentation.h"
#include "files/QVRemoteFilesQueue.h"

// A remote site's queue that writes down each request; tests answer them by hand.
class FakeQueue : public QVRemoteFilesQueue {
public:
    QStringList requests;
    bool online = true;
    int detached = 0;
    std::shared_ptr<QVRemoteFileRepresentation> newRepresentation(const QString& path) override;
    void clearActionDelegate(const void*) override { ++detached; }
    bool isOnline() override { return online; }
};

class FakeRemote : public QVRemoteFileRepresentation {
public:
    FakeRemote(const QString& path, quint16 mode = 0) : QVRemoteFileRepresentation(path) { _mode = mode; }
    QVFileContext context;
    QString target;

    void log(const QString& request) {
        if (auto* queue = dynamic_cast<FakeQueue*>(_remoteQueue.get())) queue->requests << request;
    }
    QString remotePath() {
        const auto d = delegate();
        return d ? d->pathFromRootForFileRepresentation(this) : QString();
    }
    bool loadChildren() override {
        QVFileRepresentation::loadChildren();
        log("list " + remotePath());
        return true;
    }
    bool reloadChildren() override {
        log("relist " + remotePath());
        return true;
    }
    void upload() override { log("put " + remotePath()); }
    void makeDirectory() override { log("mkdir " + remotePath()); }
    void download() override {
        QVError error;
        _localPath = delegate()->pathForRemoteFileRepresentation(this, &error);
        log("get " + remotePath());
    }
    void deleteFile(bool) override { log("rm " + remotePath()); }
    void rename(const QString& name, const QVFileContext& c) override {
        context = c;
        target = name;
        log("rename " + remotePath() + " " + name);
    }
    bool moveToPath(const QString& path, const QVFileContext& c) override {
        context = c;
        target = QVFileRepresentation(path).name();
        log("move " + remotePath() + " " + delegate()->pathFromRootForPath(path));
        return true;
    }
    // The queue's success reports, as the main thread receives them.
    void renamed() {
        _name = target;
        delegate()->fileRepresentationDidRename(this, true, std::exchange(context, nullptr));
    }
    void moved() {
        _name = target;
        delegate()->fileRepresentationDidMove(this, true, std::exchange(context, nullptr));
    }
};

inline std::shared_ptr<QVRemoteFileRepresentation> FakeQueue::newRepresentation(const QString& path) {
    return std::make_shared<FakeRemote>(path);
}

// A listing entry of the remote site.
inline std::shared_ptr<QVFileRepresentation> remoteEntry(const QString& name, bool folder = false) {
    return std::make_shared<FakeRemote>(name, folder ? 0x41ED : 0x81A4);
}

class RecordingTreeDelegate : public QVFileTreeDelegate {
public:
    QStringList events;
    bool shouldUpload = false;
    std::optional<bool> overwrite;
    std::shared_ptr<QVFile> lastCopy;
    void fileNeedsRefresh(const std::shared_ptr<QVFile>& f) override { events << "refresh " + f->name(); }
    void fileRemovedChild(const std::shared_ptr<QVFile>& p, const std::shared_ptr<QVFile>& c) override {
        events << "removed " + p->name() + "/" + c->name();
    }
    void fileWasDuplicatedToFile(const std::shared_ptr<QVFile>& f, const std::shared_ptr<QVFile>& c) override {
        lastCopy = c;
        events << "duplicated " + f->name() + " " + c->name();
    }
    void fileContentBecameAvailable(const std::shared_ptr<QVFile>& f) override { events << "available " + f->name(); }
    bool fileShouldUpload(const std::shared_ptr<QVFile>&) override { return shouldUpload; }
    std::optional<bool> downloadShouldOverwriteLocalFile(const std::shared_ptr<QVFile>&) override { return overwrite; }
    void presentErrorAlert(const QVError& e) override { events << QStringLiteral("error %1").arg(e.code()); }
};

class RecordingDocument : public QVFileDocumentCallbacks {
public:
    QStringList events;
    void filePathDidChange() override { events << "path"; }
    void fileContentsChangedExternally() override { events << "changed"; }
    void fileContentsDisappeared() override { events << "disappeared"; }
    void fileContentChangeFinished(quint64 save) override {
        events << (save ? QStringLiteral("finished %1").arg(save) : QStringLiteral("finished"));
    }
    void fileContentChangeFailed(quint64, const QVError& e) override { events << QStringLiteral("failed %1").arg(e.code()); }
};

// The loaded tree below the node, one line per node: indentation, name, indicator in brackets.
inline QString dumpTree(const std::shared_ptr<QVFile>& node, int depth = 0) {
    QString out;
    if (!node->childrenListed()) return out;
    for (const auto& child : node->children(false)) {
        out += QString(depth * 2, ' ') + child->name() + "[" + child->indicator() + "]\n";
        out += dumpTree(child, depth + 1);
    }
    return out;
}
