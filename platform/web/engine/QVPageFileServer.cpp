// A file's bytes to one request at a time per connection, each connection closed after its answer.
#include "platform/web/engine/QVPageFileServer.h"

#include <QFile>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QRandomGenerator>
#include <QTcpSocket>

namespace {

constexpr qsizetype MaxRequest = 16 * 1024;
constexpr qint64 Chunk = 64 * 1024;

// One connection: reads the request, answers it, streams the file a chunk at a time as the
// socket drains, and closes.
class Exchange : public QObject {
public:
    Exchange(QTcpSocket* socket, const QByteArray& key) : QObject(socket), _socket(socket), _key(key) {
        connect(socket, &QTcpSocket::readyRead, this, &Exchange::read);
        connect(socket, &QTcpSocket::bytesWritten, this, &Exchange::pump);
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }

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
        answer(_request.left(end).split('\n'));
    }

    void answer(const QList<QByteArray>& lines) {
        const QList<QByteArray> start = lines.value(0).trimmed().split(' ');
        if (start.size() != 3 || !start[1].startsWith('/')) return finish(400, "Bad Request");
        const QByteArray method = start[0];
        // The key makes the engine ask before a font (below) is fetched; the answer opens
        // nothing: each response says itself whether the page may have it.
        if (method == "OPTIONS") {
            _socket->write("HTTP/1.1 204 No Content\r\nAccess-Control-Allow-Origin: *\r\nAccess-Control-Allow-Methods: GET\r\n"
                           "Access-Control-Allow-Headers: " +
                           QByteArray(QVPageFileServer::KeyHeader) + "\r\nAccess-Control-Max-Age: 600\r\n" + commonHeaders());
            _answered = true;
            return (void)_socket->disconnectFromHost();
        }
        if (method != "GET" && method != "HEAD") return finish(405, "Method Not Allowed");
        QByteArray key, mode, destination;
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const qsizetype colon = lines[i].indexOf(':');
            if (colon <= 0) continue;
            const QByteArray name = lines[i].left(colon).trimmed().toLower();
            if (name == QByteArray(QVPageFileServer::KeyHeader).toLower()) key = lines[i].mid(colon + 1).trimmed();
            else if (name == "sec-fetch-mode") mode = lines[i].mid(colon + 1).trimmed();
            else if (name == "sec-fetch-dest") destination = lines[i].mid(colon + 1).trimmed();
        }
        // Never a document: one served from here would be of this server's origin, and could read
        // every file through it.
        if (key != _key || mode == "navigate") return finish(403, "Forbidden");
        QByteArray target = start[1];
        for (const char end : {'?', '#'})
            if (const qsizetype at = target.indexOf(end); at >= 0) target.truncate(at);
        const QString path = QString::fromUtf8(QByteArray::fromPercentEncoding(target));
        const QFileInfo info(path);
        if (!info.isFile()) return finish(404, "Not Found");
        _file = new QFile(path, this);
        if (!_file->open(QIODevice::ReadOnly)) return finish(403, "Forbidden");
        QByteArray head = "HTTP/1.1 200 OK\r\nContent-Type: " + QVPageFileServer::servedType(path) +
                          "\r\nContent-Length: " + QByteArray::number(_file->size()) + "\r\n";
        // A browser loads a file: page's fonts, which it asks for as a read the server must
        // allow; a font shows only as the text drawn with it. The engine alone names what a
        // request is for: a page cannot.
        if (destination == "font") head += "Access-Control-Allow-Origin: *\r\n";
        head += commonHeaders();
        _socket->write(head);
        if (method == "HEAD") _file->close();
        pump();
    }

    static QByteArray commonHeaders() {
        // A refresh of the preview must see an edited stylesheet; whatever is opened from here
        // as a document is of no origin and runs nothing.
        return "Cache-Control: no-store\r\nContent-Security-Policy: sandbox\r\n"
               "Connection: close\r\n\r\n";
    }

    void finish(int status, const QByteArray& reason) {
        _answered = true;
        const QByteArray body = reason + "\n";
        _socket->write("HTTP/1.1 " + QByteArray::number(status) + ' ' + reason + "\r\nContent-Type: text/plain\r\nContent-Length: " +
                       QByteArray::number(body.size()) + "\r\n" + commonHeaders() + body);
        _socket->disconnectFromHost();
    }

    void pump() {
        if (!_file) return;
        while (_file->isOpen() && _socket->bytesToWrite() < Chunk) {
            const QByteArray bytes = _file->read(Chunk);
            if (bytes.isEmpty()) {
                _file->close();
                break;
            }
            _socket->write(bytes);
        }
        if (!_file->isOpen() && _socket->bytesToWrite() == 0) {
            _file = nullptr;
            _socket->disconnectFromHost();
        }
    }

    QTcpSocket* _socket;
    QByteArray _key;
    QByteArray _request;
    bool _answered = false;
    QFile* _file = nullptr;
};

}  // namespace

QVPageFileServer::QVPageFileServer(QObject* parent) : QObject(parent) {
    quint64 words[2];
    QRandomGenerator::system()->fillRange(words);
    _key = QByteArray(reinterpret_cast<const char*>(words), sizeof words).toHex();
    connect(&_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = _server.nextPendingConnection()) new Exchange(socket, _key);
    });
    _server.listen(QHostAddress::LocalHost);
}

QUrl QVPageFileServer::address(const QString& path) const {
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(QStringLiteral("127.0.0.1"));
    url.setPort(_server.serverPort());
    url.setPath(path);
    return url;
}

bool QVPageFileServer::serves(const QUrl& url) const {
    return isListening() && url.scheme() == QLatin1String("http") && url.host() == QLatin1String("127.0.0.1") &&
           url.port() == _server.serverPort();
}

QByteArray QVPageFileServer::servedType(const QString& path) {
    const QMimeType type = QMimeDatabase().mimeTypeForFile(path);
    static const QStringList shown{QStringLiteral("text/html"), QStringLiteral("application/xhtml+xml"), QStringLiteral("text/css"),
                                   QStringLiteral("application/javascript"), QStringLiteral("text/javascript"),
                                   QStringLiteral("application/json"), QStringLiteral("image/svg+xml"), QStringLiteral("application/xml"),
                                   QStringLiteral("text/xml")};
    if (!shown.contains(type.name()) && type.inherits(QStringLiteral("text/plain"))) return "text/plain";
    return type.name().toUtf8();
}
