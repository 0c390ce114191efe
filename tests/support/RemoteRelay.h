// scripts/remote-relay in front of a real server, for the faults a server cannot be asked for:
// it slows, stalls, cuts or drips what passes.
#pragma once

#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class Relay {
public:
    Relay(int target, int bytesPerSecond, bool ftp) : _command(_dir.filePath("command")) {
        QStringList arguments{QString::number(target), QString::number(bytesPerSecond), _command};
        if (ftp) arguments << "ftp";
        _process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        _process.start(qEnvironmentVariable("QORVEL_RELAY"), arguments);
        if (_process.waitForReadyRead(10000)) port = _process.readLine().trimmed().toInt();
    }
    ~Relay() {
        _process.kill();
        _process.waitForFinished();
    }
    void command(const char* word) {
        QFile f(_command);
        if (f.open(QIODevice::WriteOnly)) f.write(word);
    }
    // How many connections drip the server's answer now.
    int dripping() {
        QFile f(_command + ".dripping");
        return f.open(QIODevice::ReadOnly) ? f.readAll().toInt() : 0;
    }
    // How many uploads a put word reached are still on their way to the server or its answer.
    int puts() {
        QFile f(_command + ".puts");
        return f.open(QIODevice::ReadOnly) ? f.readAll().toInt() : 0;
    }
    int port = 0;

private:
    QTemporaryDir _dir;
    QString _command;
    QProcess _process;
};
