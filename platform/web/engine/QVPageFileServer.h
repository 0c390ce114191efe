// The files a page from the disk is made of (its stylesheets, scripts, images, fonts), served over
// HTTP on 127.0.0.1 to the web views of this process alone. Served from another origin than the
// page's, they are what they are for a file: page in a browser: they style, run and show, but a
// script's errors, a stylesheet's rules and an image's pixels stay closed to the page.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTcpServer>
#include <QUrl>

class QVPageFileServer : public QObject {
public:
    // The request header every request must carry with key(); a request without it (from any
    // other program, or from a page the view did not take from the disk) is refused.
    static constexpr char KeyHeader[] = "Qorvel-Page-Key";

    // Listens on a free port of 127.0.0.1; when it cannot, isListening() is false.
    explicit QVPageFileServer(QObject* parent = nullptr);

    bool isListening() const { return _server.isListening(); }
    const QByteArray& key() const { return _key; }
    // Where the file at the absolute path is served.
    QUrl address(const QString& path) const;
    // Whether url names this server.
    bool serves(const QUrl& url) const;

    // The type a file is served as: what its name and content say, and text a browser would
    // not show itself (a PHP page, a log) as plain text rather than a download.
    static QByteArray servedType(const QString& path);

private:
    QTcpServer _server;
    QByteArray _key;
};
