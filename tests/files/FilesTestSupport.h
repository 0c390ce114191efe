// Shared by the file-tree tests: a representation delegate that writes down what it hears.
#pragma once

#include "files/QVFileRepresentation.h"
#include "tests/support/TestSupport.h"

#include <QStringList>

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
