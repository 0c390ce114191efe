// What a project tells the one object that shows it (the project window, or a settings window or
// open-remote panel while it drives a connection of its own). Every callback is optional: a
// delegate says which it answers through respondsTo(), worked out once when it is set, and the
// project (and its Subversion controller, through delegateResponse()) sends only those.
#pragma once

#include "platform/QVError.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantList>

#include <memory>
#include <optional>

class QVProject;
class QVProjectSCMController;
class QVSCMStatusEntry;

class QVProjectDelegate {
public:
    // The callbacks by bit, bit 0 first.
    enum Response : unsigned {
        Status = 1u << 0,               // projectSetStatusString
        Progress = 1u << 1,             // projectShowProgress
        ConnectionOpen = 1u << 2,       // projectDidConnectToRemoteSite
        ConnectionClose = 1u << 3,      // projectClosedRemoteConnection
        RemoteCredentials = 1u << 4,    // projectNeedsRemoteCredentials
        PresentError = 1u << 5,         // presentErrorAlert
        OpenFileInformation = 1u << 6,  // openFileInformationForProject
        SCMCredentials = 1u << 7,       // projectNeedsSCMCredentials
        SCMCommand = 1u << 8,           // projectFinishedSCMCommand
        SCMStatus = 1u << 9,            // projectRetrievedStatus
        AllResponses = (1u << 10) - 1,
    };

    virtual ~QVProjectDelegate() = default;
    // The callbacks this delegate answers; a project reads it once, when the delegate is set.
    virtual unsigned respondsTo() const { return AllResponses; }

    virtual void projectSetStatusString(QVProject* project, const QString& status) { (void)project, (void)status; }
    virtual void projectShowProgress(QVProject* project, bool show) { (void)project, (void)show; }
    virtual void projectDidConnectToRemoteSite(QVProject* project, bool connected) { (void)project, (void)connected; }
    virtual void projectClosedRemoteConnection(QVProject* project) { (void)project; }
    virtual void projectNeedsRemoteCredentials(QVProject* project) { (void)project; }
    virtual void presentErrorAlert(const QVError& error) { (void)error; }
    // The open documents in tab order ("path" from the root plus the view's state); nothing
    // keeps the list stored before.
    virtual std::optional<QVariantList> openFileInformationForProject(QVProject* project) {
        (void)project;
        return std::nullopt;
    }
    // The Subversion callbacks name the controller, not the project.
    virtual void projectNeedsSCMCredentials(QVProjectSCMController* controller) { (void)controller; }
    virtual void projectFinishedSCMCommand(QVProjectSCMController* controller, int command, const QStringList& files) {
        (void)controller, (void)command, (void)files;
    }
    virtual void projectRetrievedStatus(QVProjectSCMController* controller,
                                        const QList<std::shared_ptr<QVSCMStatusEntry>>& entries, const QString& path,
                                        bool recursive) {
        (void)controller, (void)entries, (void)path, (void)recursive;
    }
};
