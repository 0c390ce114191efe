// A private X server for tests that drive the real editor on a screen: Xvfb on a display it
// picks itself, stopped with the object.
#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

class XvfbDisplay {
public:
    explicit XvfbDisplay(const QString& screen = QStringLiteral("1024x768x24")) {
        _server.start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"), QStringLiteral("0"),
                                               screen, QStringLiteral("-nolisten"), QStringLiteral("tcp")});
        if (!_server.waitForStarted(10000)) return;
        for (int i = 0; i < 100 && !_server.canReadLine(); ++i) _server.waitForReadyRead(100);
        const QByteArray number = _server.readLine().trimmed();
        if (!number.isEmpty()) _display = QStringLiteral(":") + QString::fromLatin1(number);
    }
    ~XvfbDisplay() {
        if (_server.state() == QProcess::NotRunning) return;
        _server.terminate();
        if (!_server.waitForFinished(5000)) _server.kill(), _server.waitForFinished(5000);
    }
    XvfbDisplay(const XvfbDisplay&) = delete;
    XvfbDisplay& operator=(const XvfbDisplay&) = delete;

    // ":N", or empty when Xvfb did not start (scripts/setup installs it).
    QString display() const { return _display; }

private:
    QProcess _server;
    QString _display;
};
