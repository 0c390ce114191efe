// A project's front to Subversion: the documents and the project window ask it for status and the
// commands; it keeps the project's credentials (the name in the project, the password in the
// keyring when asked to), shows the commit-message and revision sheets, turns text results into
// documents named by what they show, opens comparisons in the compare tool and tells the
// project's window of results and errors. Made by the project for a folder inside a working copy.
#pragma once

#include "editor/QVProjectSCMController.h"
#include "scm/QVSCMInterface.h"

#include <QPointer>
#include <QString>

#include <functional>
#include <memory>

class QVProject;

class QVProjectSubversionController : public QVProjectSCMController {
public:
    // The controller of project, or nothing when its folder is in no working copy.
    static std::unique_ptr<QVProjectSCMController> create(QVProject& project);
    // Opens a new document showing text (annotations and differences), unedited and named by
    // title ("page.html — Diff with BASE"); installed by the application. Without one the
    // text goes nowhere.
    static void setResultOpener(std::function<void(const QString& title, const QString& text)> open);
    // The compare tool: the "QVSCMCompareTool" setting, else the first of meld, kdiff3 and
    // kompare found on the PATH; empty when there is none.
    static QString compareTool();
    // The name of a result document: the file, the command and the revision it shows.
    static QString resultTitle(const QVSCMOutputAction& action);

    QVProjectSubversionController(QVProject& project, std::shared_ptr<QVSCMInterface> interface);
    ~QVProjectSubversionController() override;

    void getStatusForPath(const QString& path, bool isDirectory, bool recursive) override;
    void addFilesToRepository(const QStringList& paths) override;
    void commitFiles(const QStringList& paths, QWidget* windowForSheet) override;
    void revertPath(const QString& path) override;
    void diffPath(const QString& path, const QString& revision) override;
    void comparePath(const QString& path, const QString& revision) override;
    void annotatePath(const QString& path, const QString& revision) override;
    void updatePath(const QString& path, const QString& revision) override;
    void getLogForPath(const QString& path, const QString& revision, LogTag tag, QWidget* window) override;

    QString username() override;
    QString password();
    void setCredentials(const QString& username, const QString& password, bool useKeychain) override;
    void credentialsCancelled() override;
    bool loginFailed() const override { return _interface->loginFailed(); }
    QString runningCommand() const override { return _interface->runningCommand(); }
    QString pendingChange() const override { return _interface->pendingChange(); }
    void finishCommands(bool stop, std::function<void()> done) override;
    bool cancelCommand() override { return _interface->cancelRunning(); }

    QVSCMInterface& interface() { return *_interface; }

private:
    class Listener;
    void needsCredentials();
    void presentError(const QVError& error);
    void runForRevision(const QString& path, const QString& revision, int tag);
    void openInCompareTool(const QString& path, const QString& revision, const QByteArray& bytes);

    QVProject& _project;
    std::shared_ptr<QVSCMInterface> _interface;
    std::shared_ptr<Listener> _listener;
    bool _sentCachedCredentials = false;
    QString _username, _password;
    bool _useKeychain = false;
};
