// Where the scripted HTTPS servers started by scripts/https-peer listen, how a test scripts their
// answers and how it reads the requests they logged.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>
#include <QTcpSocket>
#include <QUrl>
#include <QtGlobal>

#include <optional>

class HttpsPeer {
public:
    enum Server { Trusted, Untrusted, Expired, WrongHost };

    // One scripted answer; requests for a path take the script's answers in turn, the last repeats.
    struct Answer {
        int status = 200;
        QList<QPair<QByteArray, QByteArray>> headers;
        QByteArray body;
        bool gzip = false;     // compressed, with Content-Encoding: gzip
        double delay = 0;      // seconds before anything is sent
        bool stall = false;    // the headers and half the body, then silence for stallFor seconds
        double stallFor = 30;
        QString cut;           // "before": closed unanswered; "body": closed after half the body;
                               // "reset": the connection is reset
        bool endless = false;  // the body repeated, with no length, until the client goes away
        double trickle = 0;    // the body one byte every that many seconds (30 s at most)
    };

    // A request as the servers logged it.
    struct Logged {
        QString server;  // "trusted", "untrusted", "expired", "wronghost"
        QByteArray method;
        QString path;    // with its query
        QList<QPair<QByteArray, QByteArray>> headers;
        qint64 bodyLength = 0;
        QByteArray body;  // empty beyond 4 MiB
        QByteArray sha256;
        double time = 0;
        int clientPort = 0;  // the same on every request of one kept-alive connection
        QByteArray header(const QByteArray& name) const {
            for (const auto& h : headers)
                if (h.first.compare(name, Qt::CaseInsensitive) == 0) return h.second;
            return {};
        }
    };

    // Nothing when the test does not run under scripts/https-peer.
    static std::optional<HttpsPeer> fromEnvironment() {
        HttpsPeer p;
        p._ports[Trusted] = qEnvironmentVariableIntValue("QORVEL_HTTPS_PORT");
        p._ports[Untrusted] = qEnvironmentVariableIntValue("QORVEL_HTTPS_UNTRUSTED_PORT");
        p._ports[Expired] = qEnvironmentVariableIntValue("QORVEL_HTTPS_EXPIRED_PORT");
        p._ports[WrongHost] = qEnvironmentVariableIntValue("QORVEL_HTTPS_WRONGHOST_PORT");
        p._control = qEnvironmentVariableIntValue("QORVEL_HTTPS_CONTROL_PORT");
        p.rootPem = qEnvironmentVariable("QORVEL_HTTPS_ROOT_PEM");
        p.otherRootPem = qEnvironmentVariable("QORVEL_HTTPS_OTHER_ROOT_PEM");
        p.logPath = qEnvironmentVariable("QORVEL_HTTPS_LOG");
        p.folder = qEnvironmentVariable("QORVEL_HTTPS_DIR");
        if (p._ports[Trusted] <= 0 || p._control <= 0) return std::nullopt;
        return p;
    }

    QString rootPem;       // the root that signed the trusted, expired and wrong-host leaves
    QString otherRootPem;  // a root that signed nothing the servers show
    QString logPath;
    QString folder;

    int port(Server s = Trusted) const { return _ports[s]; }
    QUrl url(const QString& path, Server s = Trusted) const {
        return QUrl(QStringLiteral("https://127.0.0.1:%1%2").arg(_ports[s]).arg(path));
    }

    bool script(const QString& path, const QList<Answer>& answers) const {
        QJsonArray list;
        for (const Answer& a : answers) {
            QJsonObject o;
            o["status"] = a.status;
            QJsonArray headers;
            for (const auto& h : a.headers)
                headers.append(QJsonArray{QString::fromLatin1(h.first), QString::fromLatin1(h.second)});
            o["headers"] = headers;
            o["bodyBase64"] = QString::fromLatin1(a.body.toBase64());
            o["gzip"] = a.gzip;
            o["delay"] = a.delay;
            o["stall"] = a.stall;
            o["stallFor"] = a.stallFor;
            if (!a.cut.isEmpty()) o["cut"] = a.cut;
            o["endless"] = a.endless;
            o["trickle"] = a.trickle;
            list.append(o);
        }
        return control("/script", QJsonDocument(QJsonObject{{"path", path}, {"answers", list}}).toJson());
    }
    // Forgets every script and empties the log.
    bool reset() const { return control("/reset", "{}"); }

    // The logged requests, oldest first; only those for the path (query left out) when given.
    QList<Logged> requests(const QString& path = {}) const {
        QList<Logged> out;
        QFile file(logPath);
        if (!file.open(QIODevice::ReadOnly)) return out;
        for (const QByteArray& line : file.readAll().split('\n')) {
            const QJsonObject o = QJsonDocument::fromJson(line).object();
            if (o.isEmpty()) continue;
            Logged l;
            l.server = o["kind"].toString();
            l.method = o["method"].toString().toLatin1();
            l.path = o["path"].toString();
            for (const QJsonValue& h : o["headers"].toArray())
                l.headers.append({h[0].toString().toLatin1(), h[1].toString().toLatin1()});
            l.bodyLength = qint64(o["bodyLength"].toDouble());
            l.body = QByteArray::fromBase64(o["body"].toString().toLatin1());
            l.sha256 = o["sha256"].toString().toLatin1();
            l.time = o["time"].toDouble();
            l.clientPort = o["client"].toInt();
            if (!path.isEmpty() && l.path.section('?', 0, 0) != path) continue;
            out.append(l);
        }
        return out;
    }

private:
    bool control(const char* path, const QByteArray& body) const {
        QTcpSocket socket;
        socket.connectToHost(QStringLiteral("127.0.0.1"), quint16(_control));
        if (!socket.waitForConnected(5000)) return false;
        QByteArray request = QByteArray("POST ") + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" +
                             "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
        socket.write(request);
        if (!socket.waitForBytesWritten(5000)) return false;
        QByteArray reply;
        while (!reply.contains("\r\n") && socket.waitForReadyRead(5000)) reply += socket.readAll();
        return reply.startsWith("HTTP/1.1 200") || reply.startsWith("HTTP/1.0 200");
    }

    int _ports[4] = {};
    int _control = 0;
};
