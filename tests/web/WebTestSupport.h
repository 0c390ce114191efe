// What the web suites share: WebEngine may run unsandboxed here (tests run as root), a helper
// that answers the modal panels a page opens, the seam that sees what reaches the desktop, and
// the kernel's record of what was read from a folder, and a site on loopback.
#pragma once

#include <QApplication>
#include <QDesktopServices>
#include <QFile>
#include <QHash>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#include <functional>

#include <sys/inotify.h>
#include <unistd.h>

// The WebEngine view inside a web view, found by its class name: it is the library's, and the
// suites link none of it. Null in a plain view.
inline QWidget* webEngineViewIn(QWidget* view) {
    for (QWidget* child : view->findChildren<QWidget*>())
        if (child->inherits("QWebEngineView")) return child;
    return nullptr;
}

// Clicks, in turn, the button titled by each answer on the modal message boxes that appear.
class PanelAnswerer : public QObject {
public:
    explicit PanelAnswerer(QStringList answers) : _answers(std::move(answers)) {
        _timer.setInterval(20);
        QObject::connect(&_timer, &QTimer::timeout, this, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box || _answers.isEmpty()) return;
            titles.append(box->windowTitle() + QLatin1Char(':') + box->text());
            const QString answer = _answers.takeFirst();
            for (QAbstractButton* button : box->buttons())
                if (button->text() == answer) return button->click();
            box->reject();
        });
        _timer.start();
    }
    QStringList titles;  // "title:message" of each panel answered

private:
    QStringList _answers;
    QTimer _timer;
};

// What views hand to the desktop, caught at Qt's own hand-off (QDesktopServices), so no browser
// or other program starts.
class DesktopSeam : public QObject {
    Q_OBJECT
public:
    DesktopSeam() {
        for (const char* scheme : schemes) QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), this, "open");
    }
    ~DesktopSeam() override {
        for (const char* scheme : schemes) QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
    }
    QStringList opened;  // in order
public Q_SLOTS:
    void open(const QUrl& url) { opened.append(url.toString()); }

private:
    static constexpr const char* schemes[] = {"http", "https", "mailto", "file", "qvdt", "ftp"};
};

// Every open and read of a file in a folder, as the kernel reports them: what any process, ours or
// the web engine's, took from the folder's files, whoever asked.
class FileReads {
public:
    explicit FileReads(const QString& folder) : _fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        if (_fd >= 0) _watch = ::inotify_add_watch(_fd, QFile::encodeName(folder).constData(), IN_OPEN | IN_ACCESS);
    }
    ~FileReads() {
        if (_fd >= 0) ::close(_fd);
    }
    FileReads(const FileReads&) = delete;
    FileReads& operator=(const FileReads&) = delete;
    bool watching() const { return _fd >= 0 && _watch >= 0; }
    // The files opened or read since the last call (the folder's own listing aside).
    QStringList taken() {
        QStringList names;
        alignas(inotify_event) char buffer[8192];
        for (ssize_t got; (got = ::read(_fd, buffer, sizeof buffer)) > 0;)
            for (ssize_t at = 0; at < got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                if (event->len) names << QFile::decodeName(event->name);
                at += ssize_t(sizeof(inotify_event) + event->len);
            }
        return names;
    }

private:
    int _fd;
    int _watch = -1;
};

inline const QByteArray pixel = QByteArray::fromBase64(
    "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mP8z8BQDwAEhQGAhKmMIQAAAABJRU5ErkJggg==");

// A site on loopback: a stylesheet, a script and an image a page may take from it, a page of
// its own, pages made when asked for, and the paths asked for.
class LoopbackSite : public QObject {
public:
    LoopbackSite() {
        _server.listen(QHostAddress::LocalHost);
        connect(&_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = _server.nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { answer(socket); });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }
    QString address() const { return QStringLiteral("http://127.0.0.1:%1").arg(_server.serverPort()); }
    quint16 port() const { return _server.serverPort(); }
    QStringList paths;
    QList<QByteArray> requests;        // each whole, with its headers
    QByteArray page;                   // "/page.html"
    QHash<QString, QByteArray> pages;  // any other page, by path (with its query, or without)
    QHash<QString, QByteArray> headers;  // more header lines of a page, by path without query
    QByteArray always;                   // header lines of every answer
    // A script or page made at the moment it is asked for (by path, with its query): its type
    // and body ("no content": a 204), or a null body to leave the path to the tables above.
    std::function<std::pair<QByteArray, QByteArray>(const QString& path)> made;

private:
    void answer(QTcpSocket* socket) {
        QByteArray& request = _requests[socket];
        request += socket->readAll();
        if (!request.contains("\r\n\r\n")) return;
        const QString path = QString::fromLatin1(request.split(' ').value(1));
        const QString bare = path.section('?', 0, 0);
        requests.append(request);
        _requests.remove(socket);
        paths.append(path);
        QByteArray type = "text/plain", body = "ok";
        if (path == QLatin1String("/cdn.css")) type = "text/css", body = "body { background-color: rgb(4, 5, 6); }";
        else if (path == QLatin1String("/cdn.js")) type = "text/javascript", body = "window.cdnScript = true;";
        else if (path == QLatin1String("/cdn.png")) type = "image/png", body = pixel;
        else if (path == QLatin1String("/page.html")) type = "text/html", body = page;
        else if (pages.contains(path)) type = "text/html", body = pages.value(path);
        else if (pages.contains(bare)) type = "text/html", body = pages.value(bare);
        if (made) {
            if (const auto [madeType, madeBody] = made(path); !madeBody.isNull()) type = madeType, body = madeBody;
        }
        if (type == "no content") {
            socket->write("HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n");
            return socket->disconnectFromHost();
        }
        socket->write("HTTP/1.1 200 OK\r\nContent-Type: " + type + "\r\nContent-Length: " + QByteArray::number(body.size()) +
                      "\r\n" + headers.value(bare) + always + "Connection: close\r\n\r\n" + body);
        socket->disconnectFromHost();
    }
    QTcpServer _server;
    QHash<QTcpSocket*, QByteArray> _requests;
};
