// The files a page from the disk is made of (its stylesheets, scripts, images, fonts), served over
// HTTP on 127.0.0.1 to this process (the web engine's network service) asking with a capability
// that holds. Served from another origin than the
// page's, they are what they are for a file: page in a browser: they style, run and show, but a
// script's errors, a stylesheet's rules and an image's pixels stay closed to the page.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

class QThread;

class QVPageFileServer : public QObject {
public:
    // At most this many connections are open at once, so that the server never holds the file
    // descriptors a save needs; a connection whose request has not arrived in full is the first
    // to go for a new one.
    static constexpr int MaxConnections = 48;
    static constexpr int MaxUnfinishedPerPeer = 16;
    // A request must arrive whole within this, and an answer must move on within the second.
    static constexpr int RequestMilliseconds = 5000;
    static constexpr int IdleMilliseconds = 20000;
    // How long the end of Qorvel waits for a read under way (one stuck on a stalled disk never ends).
    static constexpr int ExitMilliseconds = 2000;

    // Whether a first step of an address is a capability that gives files now to the view whose
    // mark the request carries in its "Qorvel-View" header (asked on the server's thread).
    using Holds = std::function<bool(QByteArrayView capability, QByteArrayView mark)>;
    // Listens on a free port of 127.0.0.1, on a thread of its own (a slow disk never stalls the
    // window); when it cannot, isListening() is false. It answers only addresses whose first step
    // holds for the view that asks, a capability only a page from the disk has, and only
    // connections from this process (any other request, from another program, another view or a
    // web document, gets 403).
    QVPageFileServer(Holds holds, QObject* parent = nullptr);
    ~QVPageFileServer() override;

    bool isListening() const { return _port != 0; }
    // Where the file at the absolute path is served to the holder of capability.
    QUrl address(const QByteArray& capability, const QString& path) const;

    // The type a file is served as: what its name and content say, and text a browser would
    // not show itself (a PHP page, a log) as plain text rather than a download.
    static QByteArray servedType(const QString& path);

    // An open descriptor of the file at path when it is a regular file whose size is what it
    // holds (no FIFO, device, socket, nor a file of /proc or /sys, whose reads may never end),
    // opened without waiting on anything; else the errno why not.
    struct Opened {
        int fd = -1;
        qint64 size = 0;
        int error = 0;
    };
    static Opened openServed(const QString& path);
    // The whole of such a file, or nothing (read by the caller's thread; not the window's).
    static std::optional<QByteArray> readServed(const QString& path, qint64 limit);

private:
    quint16 _port = 0;
    QThread* _thread = nullptr;
};
