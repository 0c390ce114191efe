// One running Qorvel per user and display: the first instance listens on a local socket in the
// runtime folder; a later launch hands its arguments (and its working folder, so relative paths
// still mean what the user typed) to it and exits. This is how files and qvdt: addresses opened
// from the desktop reach the application on Linux.
#pragma once

#include <QObject>
#include <QStringList>

class QLocalServer;

class QVInstanceChannel : public QObject {
    Q_OBJECT
public:
    explicit QVInstanceChannel(QObject* parent = nullptr);
    ~QVInstanceChannel() override;

    // The socket's path: in $XDG_RUNTIME_DIR, named after the display so that two desktop
    // sessions of one user each get their own instance.
    static QString socketPath();

    enum class Role { Primary, Handed, Failed };
    // Becomes the instance, or hands the arguments to the one already running. Launches racing
    // each other are serialised by a lock file beside the socket; a socket left by a crashed
    // instance (nobody answers) is replaced. Handed is answered only after the running instance
    // took the arguments.
    Role claimOrHand(const QStringList& arguments, const QString& workingDirectory, int timeoutMs = 5000);
    // The quick way for a later launch, before any application object (or display connection)
    // is made: true only when a running instance took the arguments. Anything else (nobody
    // listening, no answer within timeoutMs) leaves the decision to claimOrHand.
    static bool handToRunning(const QStringList& arguments, const QString& workingDirectory, int timeoutMs = 2000);

Q_SIGNALS:
    // In the primary instance, for each later launch.
    void argumentsReceived(const QStringList& arguments, const QString& workingDirectory);

private:
    void acceptConnections();

    QLocalServer* _server = nullptr;
};
