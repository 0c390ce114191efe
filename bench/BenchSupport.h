// Pieces shared by the benchmark programs.
#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <cstdio>
#include <unistd.h>
#include <vector>

// Runs this program again under scripts/https-peer (found beside the source resources), whose
// certificates and log live only for the run; returns only when that cannot start.
[[nodiscard]] inline int rerunBesideHttpsPeer(const char* sourceResources, int argc, char** argv) {
    const QByteArray peer = QByteArray(sourceResources) + "/../scripts/https-peer";
    std::vector<char*> args{const_cast<char*>(peer.constData())};
    for (int i = 0; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    execv(peer.constData(), args.data());
    std::perror("https-peer");
    return 1;
}

// A deterministic generator, so every run and every peer tool sees the same generated input.
class BenchRandom {
public:
    explicit BenchRandom(quint64 seed = 0x5eed) : _state(seed) {}
    quint32 next() {
        _state = _state * 6364136223846793005ULL + 1442695040888963407ULL;
        return quint32(_state >> 33);
    }
    int below(int n) { return int(next() % quint32(n)); }

private:
    quint64 _state;
};

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QString>
#include <QStringList>

// Real web files nobody here wrote, from the Debian packages scripts/setup installs
// (node-typescript, libjs-three, libjs-pdf, libjs-bootstrap5, php-tcpdf) and the installed
// documentation's HTML pages: every .html, .htm, .css, .js and .php file under them, copied once
// into folder/real (links followed, each file once), so that every program walks plain files.
// Answers the tree's root, empty when none of it is installed. QORVEL_REAL_TREE names a folder
// to use instead of the given one, which then stays for later runs.
inline QString realWebTree(QString folder) {
    if (!qEnvironmentVariableIsEmpty("QORVEL_REAL_TREE")) folder = qEnvironmentVariable("QORVEL_REAL_TREE");
    const QString root = folder + QStringLiteral("/real");
    const QString marker = folder + QStringLiteral("/real.complete");
    if (QFile::exists(marker)) return root;
    const QStringList sources{QStringLiteral("/usr/share/javascript"), QStringLiteral("/usr/share/php"),
                              QStringLiteral("/usr/share/nodejs/typescript"), QStringLiteral("/usr/share/bootstrap-html"),
                              QStringLiteral("/usr/share/doc")};
    const QStringList filters{QStringLiteral("*.html"), QStringLiteral("*.htm"), QStringLiteral("*.css"), QStringLiteral("*.js"),
                              QStringLiteral("*.php")};
    QSet<QString> seen;
    int copied = 0;
    for (const QString& source : sources) {
        if (!QFileInfo(source).isDir()) continue;
        for (QDirIterator it(source, filters, QDir::Files, QDirIterator::Subdirectories | QDirIterator::FollowSymlinks); it.hasNext();) {
            it.next();
            const QString real = it.fileInfo().canonicalFilePath();
            // Of the documentation only the HTML manuals.
            if (source.endsWith(QStringLiteral("/doc")) && !it.filePath().contains(QStringLiteral("/html/"))) continue;
            if (real.isEmpty() || seen.contains(real)) continue;
            seen.insert(real);
            const QString target = root + it.filePath();
            QDir().mkpath(QFileInfo(target).path());
            if (QFile::copy(real, target)) ++copied;
        }
    }
    if (copied == 0) return QString();
    QFile(marker).open(QIODevice::WriteOnly);
    return root;
}
