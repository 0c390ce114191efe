// A stand-in for Qorvel ended by a logout: it commits a file of a working copy through the
// Subversion queue and takes SIGTERM the way Qorvel's entry point does, then exits.
// Arguments: the working copy, the file, the log message. Prints "committing" once the commit
// is queued.
#include "platform/UserDefaults.h"
#include "scm/QVSCMInterface.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 4) return 2;
    QVSCMInterface::quitOnTerminationSignal([] { QCoreApplication::exit(0); });
    UserDefaults::standard().setString(QStringLiteral("/usr/bin/svn"), QStringLiteral("QVSubversionExecPath"));
    const auto interface = QVSCMInterface::scmInterfaceForPath(QString::fromLocal8Bit(argv[1]));
    if (!interface) return 2;
    interface->commitFiles({QString::fromLocal8Bit(argv[2])}, QString::fromLocal8Bit(argv[3]));
    std::puts("committing");
    std::fflush(stdout);
    const int status = app.exec();
    UserDefaults::closeStandard();
    return status;
}
