// The qorvel executable answers questions about itself on the command line.
#include "platform/AppBundle.h"
#include "platform/Process.h"

#include <gtest/gtest.h>

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
