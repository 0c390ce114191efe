// A file's bytes to one request at a time per connection, each connection closed after its answer.
#include "platform/web/engine/QVPageFileServer.h"

#include <QDeadlineTimer>
#include <QtEndian>
#include <QFile>
#include <QHash>
#include <QMimeDatabase>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <dirent.h>
#include <limits>
#include <optional>
#include <fcntl.h>
#include <list>
#include <vector>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace {

constexpr qsizetype MaxRequest = 16 * 1024;
constexpr qint64 Chunk = 64 * 1024;

// File systems whose files claim a size they do not hold, or whose reads wait on the kernel
// (/proc/kmsg, a trace pipe): a page names none of them.
bool pseudoFileSystem(int fd) {
    struct statfs fs {};
    if (fstatfs(fd, &fs) != 0) return true;
    static constexpr unsigned long kinds[] = {
        0x9fa0,      // proc
        0x62656572,  // sysfs
        0x64626720,  // debugfs
        0x74726163,  // tracefs
        0x73636673,  // securityfs
        0x27e0eb,    // cgroup
        0x63677270,  // cgroup2
        0x62656570,  // configfs
        0x6165676c,  // pstore
        0xde5e81e4,  // efivarfs
        0xcafe4a11,  // bpf
    };
    for (const unsigned long kind : kinds)
        if (static_cast<unsigned long>(fs.f_type) == kind) return true;
    return false;
}

// Whether the other end of a connection to the server is a socket of this process: the web
// engine's network service runs here and asks for every file a page of ours is made of. Another
// program of this machine (a browser's page, another account) that learnt a capability gets
// nothing by it. The kernel's table of TCP sockets names the peer's socket; this process holds it
// when one of its descriptors is that socket.
bool peerIsThisProcess(const QTcpSocket* socket) {
    const auto hex = [](const QHostAddress& address, quint16 port) {
        // The table writes the address's bytes, in network order, read as a number of this machine.
        const quint32 stored = qToBigEndian(address.toIPv4Address());
        return QByteArray::number(stored, 16).rightJustified(8, '0').toUpper() + ':' +
               QByteArray::number(port, 16).rightJustified(4, '0').toUpper();
    };
    if (socket->peerAddress().protocol() != QAbstractSocket::IPv4Protocol) return false;
    const QByteArray peer = hex(socket->peerAddress(), socket->peerPort()), local = hex(socket->localAddress(), socket->localPort());
    QFile table(QStringLiteral("/proc/self/net/tcp"));
    if (!table.open(QIODevice::ReadOnly)) return false;
    QByteArray inode;
    for (const QByteArray& line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 9 && fields[1] == peer && fields[2] == local) {
            inode = fields[9];
            break;
        }
    }
    if (inode.isEmpty() || inode == "0") return false;
    const QByteArray link = "socket:[" + inode + ']';
    DIR* fds = ::opendir("/proc/self/fd");
    if (!fds) return false;
    bool ours = false;
    char target[64];
    while (const dirent* entry = ::readdir(fds)) {
        const ssize_t length = ::readlinkat(::dirfd(fds), entry->d_name, target, sizeof target);
        if (length == link.size() && link == QByteArrayView(target, length)) {
            ours = true;
            break;
        }
    }
    ::closedir(fds);
    return ours;
}

class Listener;

// One connection: reads the request, answers it, streams the file (or the range of it asked
// for) a chunk at a time as the socket drains, and closes. It lives on the server's thread.
class Exchange : public QObject {
public:
    Exchange(QTcpSocket* socket, const QVPageFileServer::Holds& holds, Listener* listener);
    ~Exchange() override {
        if (_fd >= 0) ::close(_fd);
    }
    bool unfinished() const { return !_answered; }
    bool ended() const { return !_listener; }
    // Takes in what has arrived of the request and not been read yet.
    void poll() {
        if (!ended() && !_answered) _socket->waitForReadyRead(0);
    }
    QHostAddress peer() const { return _peer; }
    void end();

private:
    void read() {
        if (_answered) return (void)_socket->readAll();
        _request += _socket->read(MaxRequest + 1 - _request.size());
        const qsizetype end = _request.indexOf("\r\n\r\n");
        if (end < 0) {
            if (_request.size() > MaxRequest) finish(431, "Request Header Fields Too Large");
            return;
        }
        _answered = true;
        _timer.start(QVPageFileServer::IdleMilliseconds);
        answer(_request.left(end).split('\n'));
    }

    void answer(const QList<QByteArray>& lines) {
        const QList<QByteArray> start = lines.value(0).trimmed().split(' ');
        if (start.size() != 3 || !start[1].startsWith('/')) return finish(400, "Bad Request");
        const QByteArray method = start[0];
        if (method != "GET" && method != "HEAD" && method != "OPTIONS") return finish(405, "Method Not Allowed");
        QByteArray mode, destination, range, mark, askedMethod, askedHeaders;
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const qsizetype colon = lines[i].indexOf(':');
            if (colon <= 0) continue;
            const QByteArray name = lines[i].left(colon).trimmed().toLower();
            const QByteArray value = lines[i].mid(colon + 1).trimmed();
            if (name == "sec-fetch-mode") mode = value;
            else if (name == "sec-fetch-dest") destination = value;
            else if (name == "range") range = value;
            else if (name == "qorvel-view") mark = value;
            else if (name == "access-control-request-method") askedMethod = value;
            else if (name == "access-control-request-headers") askedHeaders = value.toLower();
        }
        // A font is asked for as a read, and the view's mark on it makes the engine ask first
        // whether the mark may be sent: yes, to anyone, for a GET. The answer reads no file and
        // tells nothing; the GET that follows is judged by its mark.
        if (method == "OPTIONS") {
            if (askedMethod != "GET" || askedHeaders != "qorvel-view") return finish(405, "Method Not Allowed");
            _answered = true;
            _timer.start(QVPageFileServer::IdleMilliseconds);
            _socket->write("HTTP/1.1 204 No Content\r\nAccess-Control-Allow-Origin: *\r\nAccess-Control-Allow-Methods: GET\r\n"
                           "Access-Control-Allow-Headers: Qorvel-View\r\nAccess-Control-Max-Age: 600\r\nContent-Length: 0\r\n" +
                           commonHeaders());
            return (void)_socket->disconnectFromHost();
        }
        QByteArray target = start[1];
        for (const char end : {'?', '#'})
            if (const qsizetype at = target.indexOf(end); at >= 0) target.truncate(at);
        // Never a document: one served from here would be of this server's origin, and could read
        // every file through it. Never another program: a capability a page handed out may reach
        // a browser of this machine, or another account, while its page shows.
        const qsizetype step = target.indexOf('/', 1);
        if (step < 0 || !_holds(QByteArrayView(target).sliced(1, step - 1), mark) || mode == "navigate" || !peerIsThisProcess(_socket))
            return finish(403, "Forbidden");
        const QString path = QString::fromUtf8(QByteArray::fromPercentEncoding(target.mid(step)));
        const QVPageFileServer::Opened file = QVPageFileServer::openServed(path);
        if (file.fd < 0) return finish(file.error == EACCES || file.error == EPERM ? 403 : 404, file.error == EACCES || file.error == EPERM ? "Forbidden" : "Not Found");
        _fd = file.fd;
        // A page's own audio and video seek by asking for a range of bytes.
        qint64 first = 0, last = file.size - 1;
        const bool ranged = !range.isEmpty() && parseRange(range, file.size, &first, &last);
        if (!range.isEmpty() && !ranged && range.startsWith("bytes=")) {
            _socket->write("HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */" + QByteArray::number(file.size) +
                           "\r\nContent-Length: 0\r\n" + commonHeaders());
            return (void)_socket->disconnectFromHost();
        }
        _offset = first;
        _remaining = file.size == 0 ? 0 : last - first + 1;
        QByteArray head = ranged ? "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + QByteArray::number(first) + '-' +
                                       QByteArray::number(last) + '/' + QByteArray::number(file.size) + "\r\n"
                                 : QByteArray("HTTP/1.1 200 OK\r\n");
        head += "Content-Type: " + QVPageFileServer::servedType(path) + "\r\nContent-Length: " + QByteArray::number(_remaining) +
                "\r\nAccept-Ranges: bytes\r\n";
        // A browser loads a file: page's fonts, which it asks for as a read the server must
        // allow; a font shows only as the text drawn with it. The engine alone names what a
        // request is for: a page cannot.
        if (destination == "font") head += "Access-Control-Allow-Origin: *\r\n";
        head += commonHeaders();
        _socket->write(head);
        if (method == "HEAD") _remaining = 0;
        pump();
    }

    // A run of digits as a number, the largest there is for any larger (a range's end past the
    // file's, however far, is the file's end); nothing for anything but digits.
    static std::optional<qint64> digits(const QByteArray& text) {
        if (text.isEmpty()) return std::nullopt;
        qint64 value = 0;
        for (const char c : text) {
            if (c < '0' || c > '9') return std::nullopt;
            value = value > (std::numeric_limits<qint64>::max() - 9) / 10 ? std::numeric_limits<qint64>::max() : value * 10 + (c - '0');
        }
        return value;
    }

    // One range of "bytes=first-last", "bytes=first-" or "bytes=-suffix" within size.
    static bool parseRange(const QByteArray& value, qint64 size, qint64* first, qint64* last) {
        if (!value.startsWith("bytes=") || value.contains(',')) return false;
        const QByteArray range = value.mid(6).trimmed();
        const qsizetype dash = range.indexOf('-');
        if (dash < 0) return false;
        const QByteArray from = range.left(dash).trimmed(), to = range.mid(dash + 1).trimmed();
        if (from.isEmpty()) {
            const std::optional<qint64> suffix = digits(to);
            if (!suffix || *suffix <= 0 || size == 0) return false;
            *first = qMax<qint64>(0, size - *suffix);
            *last = size - 1;
            return true;
        }
        const std::optional<qint64> start = digits(from), end = to.isEmpty() ? std::optional<qint64>(size - 1) : digits(to);
        if (!start || !end) return false;
        *first = *start;
        *last = qMin(*end, size - 1);
        return *first < size && *end >= *first;
    }

    static QByteArray commonHeaders() {
        // A refresh of the preview must see an edited stylesheet; whatever is opened from here
        // as a document is of no origin and runs nothing. A stylesheet's own loads name it as
        // their referrer, under the page's policy (a page may ask for the whole address): the
        // address holds the capability, so they name nothing.
        return "Cache-Control: no-store\r\nContent-Security-Policy: sandbox\r\nReferrer-Policy: no-referrer\r\n"
               "Connection: close\r\n\r\n";
    }

    void finish(int status, const QByteArray& reason) {
        _answered = true;
        _timer.start(QVPageFileServer::IdleMilliseconds);
        const QByteArray body = reason + "\n";
        _socket->write("HTTP/1.1 " + QByteArray::number(status) + ' ' + reason + "\r\nContent-Type: text/plain\r\nContent-Length: " +
                       QByteArray::number(body.size()) + "\r\n" + commonHeaders() + body);
        _socket->disconnectFromHost();
    }

    // Never more than the length said: a file that grows while it is sent is cut there, one that
    // shrinks ends the connection short.
    void pump() {
        if (_answered) _timer.start(QVPageFileServer::IdleMilliseconds);
        if (_fd < 0) return;
        while (_remaining > 0 && _socket->bytesToWrite() < Chunk) {
            QByteArray bytes(qMin(Chunk, _remaining), Qt::Uninitialized);
            const ssize_t got = ::pread(_fd, bytes.data(), size_t(bytes.size()), _offset);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return end();
            _socket->write(bytes.constData(), got);
            _offset += got;
            _remaining -= got;
        }
        if (_remaining == 0) {
            ::close(_fd);
            _fd = -1;
            _socket->disconnectFromHost();
        }
    }

    QTcpSocket* _socket;
    const QVPageFileServer::Holds& _holds;
    Listener* _listener;
    QHostAddress _peer;
    QTimer _timer;
    QByteArray _request;
    bool _answered = false;
    int _fd = -1;
    qint64 _offset = 0;
    qint64 _remaining = 0;
};

// The listening socket and its connections, on the server's thread.
class Listener : public QObject {
public:
    explicit Listener(QVPageFileServer::Holds holds) : _server(this), _holds(std::move(holds)) {
        // What waits in the server's own queue holds descriptors too.
        _server.setMaxPendingConnections(4);
        connect(&_server, &QTcpServer::newConnection, this, &Listener::take);
        // Out of descriptors, the server stops accepting; it tries again a moment later.
        connect(&_server, &QTcpServer::acceptError, this, [this] {
            _server.pauseAccepting();
            QTimer::singleShot(200, this, [this] {
                if (!_full) _server.resumeAccepting();
                take();
            });
        });
    }
    ~Listener() override {
        for (Exchange* exchange : _open) delete exchange;
    }
    quint16 listen() { return _server.listen(QHostAddress::LocalHost) ? _server.serverPort() : 0; }

    void closed(Exchange* exchange) {
        _open.remove(exchange);
        exchange->deleteLater();
        if (_full) {
            _full = false;
            _server.resumeAccepting();
            take();
        }
    }

private:
    void take() {
        while (_server.hasPendingConnections()) {
            if (int(_open.size()) >= QVPageFileServer::MaxConnections && !dropUnfinished(nullptr)) {
                // Every connection is an answer on its way: the next waits for one to end.
                _full = true;
                _server.pauseAccepting();
                return;
            }
            QTcpSocket* socket = _server.nextPendingConnection();
            const QHostAddress peer = socket->peerAddress();
            if (std::count_if(_open.begin(), _open.end(), [&](Exchange* e) { return e->unfinished() && e->peer() == peer; }) >=
                QVPageFileServer::MaxUnfinishedPerPeer)
                dropUnfinished(&peer);
            _open.push_back(new Exchange(socket, _holds, this));
        }
    }
    // Ends the oldest connection (of peer, when given) whose request is not in yet, nor has
    // arrived unread: a view's request comes whole at once, and is not the one that goes.
    bool dropUnfinished(const QHostAddress* peer) {
        const std::vector<Exchange*> open(_open.begin(), _open.end());
        for (Exchange* exchange : open) {
            if (exchange->ended() || !exchange->unfinished() || (peer && exchange->peer() != *peer)) continue;
            exchange->poll();
            if (exchange->ended()) return true;
            if (!exchange->unfinished()) continue;
            exchange->end();
            return true;
        }
        return false;
    }

    QTcpServer _server;
    QVPageFileServer::Holds _holds;
    std::list<Exchange*> _open;
    bool _full = false;
};

Exchange::Exchange(QTcpSocket* socket, const QVPageFileServer::Holds& holds, Listener* listener)
    : _socket(socket), _holds(holds), _listener(listener), _peer(socket->peerAddress()), _timer(this) {
    socket->setParent(this);
    connect(socket, &QTcpSocket::readyRead, this, &Exchange::read);
    connect(socket, &QTcpSocket::bytesWritten, this, &Exchange::pump);
    connect(socket, &QTcpSocket::disconnected, this, &Exchange::end);
    _timer.setSingleShot(true);
    connect(&_timer, &QTimer::timeout, this, &Exchange::end);
    _timer.start(QVPageFileServer::RequestMilliseconds);
    if (socket->state() != QAbstractSocket::ConnectedState) QTimer::singleShot(0, this, &Exchange::end);
}

void Exchange::end() {
    if (!_listener) return;
    Listener* listener = std::exchange(_listener, nullptr);
    _timer.stop();
    disconnect(_socket, nullptr, this, nullptr);
    _socket->abort();
    if (_fd >= 0) ::close(_fd);
    _fd = -1;
    listener->closed(this);
}

}  // namespace

QVPageFileServer::QVPageFileServer(Holds holds, QObject* parent) : QObject(parent) {
    _thread = new QThread;
    _thread->setObjectName(QStringLiteral("Page file server"));
    auto* listener = new Listener(std::move(holds));
    listener->moveToThread(_thread);
    connect(_thread, &QThread::finished, listener, &QObject::deleteLater);
    _thread->start();
    QMetaObject::invokeMethod(listener, [listener] { return listener->listen(); }, Qt::BlockingQueuedConnection, &_port);
}

QVPageFileServer::~QVPageFileServer() {
    _thread->quit();
    // A read stuck on a stalled disk keeps the thread: Qorvel ends anyway, leaving it to the
    // process's end rather than waiting on it for good.
    if (_thread->wait(QDeadlineTimer(ExitMilliseconds))) delete _thread;
}

QUrl QVPageFileServer::address(const QByteArray& capability, const QString& path) const {
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(QStringLiteral("127.0.0.1"));
    url.setPort(_port);
    url.setPath(QLatin1Char('/') + QString::fromLatin1(capability) + path);
    return url;
}

QVPageFileServer::Opened QVPageFileServer::openServed(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    // A decoded %00 would end the name early: "a.js%00.png" would open a.js as an image.
    if (name.contains('\0')) return {-1, 0, ENOENT};
    struct stat before {};
    // Looked at before it is opened: opening a device or a FIFO may do something of its own.
    if (::stat(name.constData(), &before) != 0) return {-1, 0, errno};
    if (!S_ISREG(before.st_mode)) return {-1, 0, ENOENT};
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return {-1, 0, errno};
    struct stat after {};
    if (::fstat(fd, &after) != 0 || !S_ISREG(after.st_mode) || after.st_dev != before.st_dev || after.st_ino != before.st_ino ||
        pseudoFileSystem(fd)) {
        ::close(fd);
        return {-1, 0, ENOENT};
    }
    return {fd, qint64(after.st_size), 0};
}

std::optional<QByteArray> QVPageFileServer::readServed(const QString& path, qint64 limit) {
    const Opened file = openServed(path);
    if (file.fd < 0) return std::nullopt;
    if (file.size > limit) {
        ::close(file.fd);
        return std::nullopt;
    }
    QByteArray bytes(file.size, Qt::Uninitialized);
    qint64 done = 0;
    while (done < file.size) {
        const ssize_t got = ::pread(file.fd, bytes.data() + done, size_t(file.size - done), done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += got;
    }
    ::close(file.fd);
    bytes.truncate(done);
    return bytes;
}

QByteArray QVPageFileServer::servedType(const QString& path) {
    const QMimeType type = QMimeDatabase().mimeTypeForFile(path);
    // Without the system's database of types (a session whose XDG_DATA_DIRS leaves it out), every
    // file would be a download and a page would show nothing; a browser knows a page's own kinds
    // of file by their names.
    if (!type.isValid() || type.isDefault()) {
        static const QHash<QString, QByteArray> known{
            {QStringLiteral("html"), "text/html"},         {QStringLiteral("htm"), "text/html"},
            {QStringLiteral("xhtml"), "application/xhtml+xml"}, {QStringLiteral("css"), "text/css"},
            {QStringLiteral("js"), "text/javascript"},     {QStringLiteral("mjs"), "text/javascript"},
            {QStringLiteral("json"), "application/json"},  {QStringLiteral("svg"), "image/svg+xml"},
            {QStringLiteral("xml"), "application/xml"},    {QStringLiteral("txt"), "text/plain"},
            {QStringLiteral("png"), "image/png"},          {QStringLiteral("jpg"), "image/jpeg"},
            {QStringLiteral("jpeg"), "image/jpeg"},        {QStringLiteral("gif"), "image/gif"},
            {QStringLiteral("webp"), "image/webp"},        {QStringLiteral("ico"), "image/vnd.microsoft.icon"},
            {QStringLiteral("woff"), "font/woff"},         {QStringLiteral("woff2"), "font/woff2"},
            {QStringLiteral("ttf"), "font/ttf"},           {QStringLiteral("otf"), "font/otf"},
            {QStringLiteral("mp4"), "video/mp4"},          {QStringLiteral("webm"), "video/webm"},
            {QStringLiteral("mp3"), "audio/mpeg"},         {QStringLiteral("ogg"), "audio/ogg"},
            {QStringLiteral("wav"), "audio/wav"},
        };
        const QString name = path.section(QLatin1Char('/'), -1);
        const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
        if (dot > 0) {
            const QByteArray byName = known.value(name.mid(dot + 1).toLower());
            if (!byName.isEmpty()) return byName;
        }
    }
    static const QStringList shown{QStringLiteral("text/html"), QStringLiteral("application/xhtml+xml"), QStringLiteral("text/css"),
                                   QStringLiteral("application/javascript"), QStringLiteral("text/javascript"),
                                   QStringLiteral("application/json"), QStringLiteral("image/svg+xml"), QStringLiteral("application/xml"),
                                   QStringLiteral("text/xml")};
    if (!shown.contains(type.name()) && type.inherits(QStringLiteral("text/plain"))) return "text/plain";
    return type.name().toUtf8();
}
