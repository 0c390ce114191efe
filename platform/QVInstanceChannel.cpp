#include "platform/QVInstanceChannel.h"

#include "platform/Paths.h"
#include "platform/SystemLog.h"

#include <QDataStream>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>

#include <cstring>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

constexpr quint32 Magic = 0x51564931;  // "QVI1"
constexpr char Taken = 'T';

QString displayName() {
    QString display = qEnvironmentVariable("WAYLAND_DISPLAY");
    if (display.isEmpty()) display = qEnvironmentVariable("DISPLAY");
    if (display.isEmpty()) return QStringLiteral("console");
    for (QChar& c : display)
        if (!c.isLetterOrNumber()) c = QLatin1Char('_');
    return display;
}

// Holds an exclusive lock on a file for the life of the object.
class LockFile {
public:
    explicit LockFile(const QString& path) {
        _fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (_fd >= 0 && ::flock(_fd, LOCK_EX) != 0) {
            ::close(_fd);
            _fd = -1;
        }
    }
    ~LockFile() {
        if (_fd >= 0) ::close(_fd);
    }
    bool held() const { return _fd >= 0; }

private:
    int _fd = -1;
};

bool readAll(QLocalSocket& socket, qint64 size, int timeoutMs) {
    while (socket.bytesAvailable() < size)
        if (!socket.waitForReadyRead(timeoutMs)) return false;
    return true;
}

// One request as the running instance reads it: a length-prefixed message of the magic
// number, the arguments and the folder they are relative to.
QByteArray request(const QStringList& arguments, const QString& workingDirectory) {
    QByteArray message;
    QDataStream out(&message, QIODevice::WriteOnly);
    out << Magic << arguments << workingDirectory;
    QByteArray frame;
    QDataStream framed(&frame, QIODevice::WriteOnly);
    framed << message;
    return frame;
}

}  // namespace

QVInstanceChannel::QVInstanceChannel(QObject* parent) : QObject(parent) {}

QVInstanceChannel::~QVInstanceChannel() {
    if (_server) _server->close();  // removes the socket file
}

bool QVInstanceChannel::handToRunning(const QStringList& arguments, const QString& workingDirectory, int timeoutMs) {
    const QByteArray path = QFile::encodeName(socketPath());
    sockaddr_un address{};
    if (path.size() >= qsizetype(sizeof address.sun_path)) return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    bool taken = false;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        const QByteArray frame = request(arguments, workingDirectory);
        qsizetype sent = 0;
        while (sent < frame.size()) {
            const ssize_t n = ::send(fd, frame.constData() + sent, size_t(frame.size() - sent), MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += n;
        }
        char answer = 0;
        taken = sent == frame.size() && ::recv(fd, &answer, 1, 0) == 1 && answer == Taken;
    }
    ::close(fd);
    return taken;
}

QString QVInstanceChannel::socketPath() {
    QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (runtime.isEmpty()) runtime = Paths::prepareSessionEnvironment();
    return QDir(runtime).filePath(QStringLiteral("qorvel-%1.socket").arg(displayName()));
}

QVInstanceChannel::Role QVInstanceChannel::claimOrHand(const QStringList& arguments, const QString& workingDirectory, int timeoutMs) {
    const QString path = socketPath();
    LockFile lock(path + QStringLiteral(".lock"));
    if (!lock.held()) {
        SystemLog::warning(QStringLiteral("Cannot lock %1.lock: running as a separate instance").arg(path));
        return Role::Failed;
    }

    QLocalSocket socket;
    socket.connectToServer(path);
    if (socket.waitForConnected(timeoutMs)) {
        socket.write(request(arguments, workingDirectory));
        if (!socket.waitForBytesWritten(timeoutMs) && socket.bytesToWrite() > 0) return Role::Failed;
        char answer = 0;
        if (readAll(socket, 1, timeoutMs) && socket.getChar(&answer) && answer == Taken) return Role::Handed;
        return Role::Failed;
    }

    // Nobody answers: a socket left by a crashed instance goes, and this launch takes its place.
    QLocalServer::removeServer(path);
    _server = new QLocalServer(this);
    _server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!_server->listen(path)) {
        SystemLog::warning(QStringLiteral("Cannot listen on %1: %2").arg(path, _server->errorString()));
        delete _server;
        _server = nullptr;
        return Role::Failed;
    }
    connect(_server, &QLocalServer::newConnection, this, &QVInstanceChannel::acceptConnections);
    return Role::Primary;
}

void QVInstanceChannel::acceptConnections() {
    while (QLocalSocket* socket = _server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        // A frame is the byte array of one message; anything malformed or oversized is dropped.
        connect(socket, &QLocalSocket::readyRead, socket, [this, socket] {
            QDataStream in(socket);
            in.startTransaction();
            QByteArray message;
            in >> message;
            if (!in.commitTransaction()) {
                if (socket->bytesAvailable() > 64 * 1024 * 1024) socket->abort();
                return;
            }
            QDataStream fields(message);
            quint32 magic = 0;
            QStringList arguments;
            QString workingDirectory;
            fields >> magic >> arguments >> workingDirectory;
            if (magic != Magic || fields.status() != QDataStream::Ok) {
                SystemLog::warning(QStringLiteral("Ignored a malformed request from another launch"));
                socket->abort();
                return;
            }
            socket->putChar(Taken);
            socket->flush();
            Q_EMIT argumentsReceived(arguments, workingDirectory);
        });
    }
}
