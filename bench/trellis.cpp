// The kits' network client beside curl on one loopback HTTPS server (scripts/https-peer, started
// here when the program is not already run under it): a 256 MiB upload from a file against
// `curl --data-binary @file`, and 1,000 small GETs on one kept connection, both sides trusting
// only the server's root, against one curl given the same addresses in a config file.
// QORVEL_BENCH_ROUNDS (default 3) pairs of each; QORVEL_BENCH_UPLOAD_MB (default 256).
#include "bench/BenchSupport.h"
#include "bench/Paired.h"

#include "QorvelSourceTree.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (qEnvironmentVariableIntValue("QORVEL_HTTPS_PORT") <= 0) {
        return rerunBesideHttpsPeer(QORVEL_SOURCE_RESOURCES, argc, argv);
    }
    const int rounds = std::max(1, qEnvironmentVariableIntValue("QORVEL_BENCH_ROUNDS") ? qEnvironmentVariableIntValue("QORVEL_BENCH_ROUNDS") : 3);
    const int megabytes = qEnvironmentVariableIntValue("QORVEL_BENCH_UPLOAD_MB") ? qEnvironmentVariableIntValue("QORVEL_BENCH_UPLOAD_MB") : 256;
    const QString port = qEnvironmentVariable("QORVEL_HTTPS_PORT"), roots = qEnvironmentVariable("QORVEL_HTTPS_ROOT_PEM");
    const QString base = QStringLiteral("https://127.0.0.1:%1").arg(port);
    QTemporaryDir dir;
    // Each side gets its own settings folder, so the consent it writes stays out of the user's.
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.filePath(QStringLiteral("config"))));

    const QString upload = dir.filePath(QStringLiteral("upload.bin"));
    {
        QFile f(upload);
        if (!f.open(QIODevice::WriteOnly)) return 1;
        QByteArray chunk(1 << 20, Qt::Uninitialized);
        for (qsizetype i = 0; i < chunk.size(); ++i) chunk[i] = char((i * 131) ^ (i >> 9));
        for (int i = 0; i < megabytes; ++i) f.write(chunk);
    }
    const QString url = base + QStringLiteral("/upload");
    paired::addRow(paired::row(std::to_string(megabytes) + " MiB upload from a file",
                               paired::compare({paired::programFolder() + QStringLiteral("/qvtrellisdriver"), QStringLiteral("upload"), roots, url, upload},
                                               {QStringLiteral("curl"), QStringLiteral("-sS"), QStringLiteral("-f"), QStringLiteral("--cacert"), roots,
                                                QStringLiteral("-H"), QStringLiteral("Content-Type: application/octet-stream"),
                                                QStringLiteral("--data-binary"), QLatin1Char('@') + upload, url},
                                               rounds)));

    const QString urls = dir.filePath(QStringLiteral("urls.txt")), config = dir.filePath(QStringLiteral("curl.config"));
    {
        QFile u(urls), c(config);
        if (!u.open(QIODevice::WriteOnly) || !c.open(QIODevice::WriteOnly)) return 1;
        for (int i = 0; i < 1000; ++i) {
            const QByteArray address = QStringLiteral("%1/small/%2").arg(base).arg(i).toLatin1();
            u.write(address + '\n');
            c.write("url = \"" + address + "\"\noutput = \"/dev/null\"\n");
        }
    }
    paired::addRow(paired::row("1,000 pinned GETs on one connection",
                               paired::compare({paired::programFolder() + QStringLiteral("/qvtrellisdriver"), QStringLiteral("get"), roots, urls},
                                               {QStringLiteral("curl"), QStringLiteral("-sS"), QStringLiteral("-f"), QStringLiteral("--cacert"), roots,
                                                QStringLiteral("-K"), config},
                                               rounds)));
    paired::printTable("Kits' network client beside curl (loopback HTTPS)");
    return 0;
}
