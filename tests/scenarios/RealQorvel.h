// The real qorvel started on a private X server in a home of its own, and driven there as a user
// would with xdotool: the scenarios of sessions that end without quitting, and of sites.
#pragma once

#include "platform/AppBundle.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <thread>

namespace realqorvel {

using namespace std::chrono_literals;

// One home for the editor: its settings (no consent question, no information window), its
// folders and the session's environment on the screen.
struct Home {
    TestDir dir;
    QProcessEnvironment env;

    Home(const QString& display, const QByteArray& settings) {
        dir.write(QStringLiteral("config/Glimbo/com.qorvel.Qorvel.plist"),
                  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                  "<key>qvAnonymousUsageTracking</key><false/>"
                  "<key>qvDisplayInfoView</key><string>" + AppBundle::main().shortVersion().toUtf8() + "</string>" +
                      settings + "</dict></plist>\n");
        QDir().mkpath(dir.file(QStringLiteral("run")));
        QFile::setPermissions(dir.file(QStringLiteral("run")), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), display);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("QT_XCB_GL_INTEGRATION"), QStringLiteral("none"));
        env.insert(QStringLiteral("HOME"), dir.path());
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.file(QStringLiteral("run")));
        for (const char* folder : {"CACHE", "CONFIG", "DATA"})
            env.insert(QStringLiteral("XDG_%1_HOME").arg(QLatin1String(folder)), dir.file(QString::fromLatin1(folder).toLower()));
    }

    // xdotool's answer (its standard output), run on the screen.
    QString xdotool(const QStringList& arguments) const {
        QProcess tool;
        tool.setProcessEnvironment(env);
        tool.start(QStringLiteral("xdotool"), arguments);
        if (!tool.waitForFinished(30000)) tool.kill(), tool.waitForFinished();
        return QString::fromUtf8(tool.readAllStandardOutput()).trimmed();
    }
    // Focuses the window of qorvel whose title matches name (waiting for it) and types keys or text.
    void to(qint64 pid, const QString& name, const QString& command, const QStringList& what) const {
        // --all: the process and the title both (xdotool takes a window matching either by default,
        // and the last of those is whichever window is on top).
        const QString window = xdotool({QStringLiteral("search"), QStringLiteral("--all"), QStringLiteral("--sync"), QStringLiteral("--onlyvisible"), QStringLiteral("--pid"),
                                        QString::number(pid), QStringLiteral("--name"), name})
                                   .split(u'\n')
                                   .last();  // the newest: a window's other names match too
        xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), window});
        std::this_thread::sleep_for(300ms);
        // Keys go to the focused window: given a window, xdotool would send them as synthetic events.
        xdotool(QStringList{command} + what);
    }

    // The texts kept in the recovery folders: "name: text", sorted.
    QStringList keptTexts() const {
        QStringList texts;
        const QString root = dir.file(QStringLiteral("data/Glimbo/Recovery"));
        for (const QString& run : QDir(root).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            for (const QFileInfo& file : QDir(root + QLatin1Char('/') + run).entryInfoList({QStringLiteral("*.json")}, QDir::Files)) {
                const QJsonObject entry = QJsonDocument::fromJson(readAll(file.filePath())).object();
                texts << entry.value(QStringLiteral("name")).toString() + QStringLiteral(": ") + entry.value(QStringLiteral("text")).toString();
            }
        texts.sort();
        return texts;
    }
    // The names of qorvel's visible windows matching name, in stacking order.
    QStringList windows(qint64 pid, const QString& name = QStringLiteral(".")) const {
        const QString ids = xdotool({QStringLiteral("search"), QStringLiteral("--all"), QStringLiteral("--onlyvisible"), QStringLiteral("--pid"),
                                     QString::number(pid), QStringLiteral("--name"), name});
        QStringList names;
        for (const QString& id : ids.split(u'\n', Qt::SkipEmptyParts)) names << xdotool({QStringLiteral("getwindowname"), id});
        return names;
    }
    QString activeWindow() const { return xdotool({QStringLiteral("getactivewindow"), QStringLiteral("getwindowname")}); }
    // Another launch, which hands its arguments to the running qorvel.
    void handOver(const QStringList& arguments) const {
        QProcess later;
        later.setProcessEnvironment(env);
        later.setWorkingDirectory(dir.path());
        later.start(QStringLiteral(QORVEL_EXECUTABLE), arguments);
        if (!later.waitForFinished(30000)) later.kill(), later.waitForFinished();
    }
    int runFolders() const {
        return int(QDir(dir.file(QStringLiteral("data/Glimbo/Recovery"))).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
    }
};

inline bool eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

// captureErrors: its standard error is read here instead of passed on.
inline void start(QProcess& qorvel, const Home& home, const QStringList& arguments = {}, bool captureErrors = false) {
    qorvel.setProcessEnvironment(home.env);
    qorvel.setWorkingDirectory(home.dir.path());
    qorvel.setProcessChannelMode(captureErrors ? QProcess::SeparateChannels : QProcess::ForwardedErrorChannel);
    qorvel.start(QStringLiteral(QORVEL_EXECUTABLE), arguments);
    ASSERT_TRUE(qorvel.waitForStarted(10000));
}

inline void end(QProcess& qorvel, int signal) {
    // A process already gone has no id: kill(0) would reach the whole group.
    if (qorvel.state() == QProcess::NotRunning) return;
    ::kill(pid_t(qorvel.processId()), signal);
    if (!qorvel.waitForFinished(30000)) qorvel.kill(), qorvel.waitForFinished(5000);
}

}  // namespace realqorvel
