// The qorvel executable answers questions about itself on the command line.
#include "platform/AppBundle.h"
#include "platform/Process.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include "QorvelSourceTree.h"

TEST(CommandLine, HelpAndVersionAreAnsweredWithoutADisplay) {
    struct Case {
        QStringList args;
        QString output;  // what standard output holds
    };
    const QString version = QStringLiteral("Qorvel ") + AppBundle::main().shortVersion();
    const Case cases[] = {
        {{"--help"}, "Usage: "},
        {{"-h", "page.html"}, "[files...]"},
        {{"--version"}, version},
        {{"page.html", "-v"}, version},
    };
    // A display that cannot be reached: opening a window would end the program with an error.
    ProcessOptions options;
    options.timeoutMs = 20000;
    options.extraEnvironment = {"QT_QPA_PLATFORM=xcb", "DISPLAY=:65000", "WAYLAND_DISPLAY="};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join(u' ').toStdString());
        const ProcessResult result = Process::run(QStringLiteral(QORVEL_EXECUTABLE), c.args, options);
        EXPECT_TRUE(result.succeeded()) << result.standardError.toStdString();
        EXPECT_TRUE(QString::fromUtf8(result.standardOutput).contains(c.output)) << result.standardOutput.toStdString();
    }
}

// scripts/install-desktop makes the built executable the desktop's handler of qvdt: links, with
// a launcher entry the desktop's own validator accepts.
TEST(CommandLine, DesktopEntryInstallsAndHandlesQvdtLinks) {
    const QString source = QFileInfo(QStringLiteral(QORVEL_SOURCE_RESOURCES)).absolutePath();
    const QString build = QFileInfo(QFileInfo(QStringLiteral(QORVEL_EXECUTABLE)).absolutePath()).absolutePath();
    QTemporaryDir home;
    ProcessOptions options;
    options.timeoutMs = 60000;
    options.extraEnvironment = {"XDG_DATA_HOME=" + home.filePath("data"), "XDG_CONFIG_HOME=" + home.filePath("config"),
                                "QORVEL_BUILD_DIR=" + build, "XDG_CURRENT_DESKTOP=", "DE="};
    const ProcessResult installed = Process::run(source + QStringLiteral("/scripts/install-desktop"), {}, options);
    ASSERT_TRUE(installed.succeeded()) << installed.standardError.toStdString();
    const QString entry = home.filePath(QStringLiteral("data/applications/com.qorvel.Qorvel.desktop"));
    for (const QString& file : {source + QStringLiteral("/resources/desktop/com.qorvel.Qorvel.desktop"), entry}) {
        const ProcessResult valid = Process::run(QStringLiteral("desktop-file-validate"), {file}, options);
        EXPECT_TRUE(valid.succeeded() && valid.standardOutput.isEmpty()) << valid.standardOutput.toStdString();
    }
    QFile launcher(entry);
    ASSERT_TRUE(launcher.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(launcher.readAll());
    EXPECT_TRUE(text.contains(QStringLiteral("Exec=\"%1\" %U").arg(QStringLiteral(QORVEL_EXECUTABLE)))) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("x-scheme-handler/qvdt;")));
    const ProcessResult handler = Process::run(QStringLiteral("xdg-mime"), {QStringLiteral("query"), QStringLiteral("default"), QStringLiteral("x-scheme-handler/qvdt")}, options);
    EXPECT_EQ(QString::fromUtf8(handler.standardOutput).trimmed(), QStringLiteral("com.qorvel.Qorvel.desktop")) << handler.standardError.toStdString();
}
