// The file tree beside the tools that list folders: a 10,000-entry folder's children with their
// attributes beside `ls -la`, and a breadth-first walk of a 30,000-file web tree beside `find`.
// Both sides run as whole processes in turns on the same input; this program is its own
// Qorvel side ("bench_files list FOLDER" / "bench_files walk FOLDER").
#include "bench/BenchSupport.h"
#include "bench/Paired.h"
#include "files/QVFileEnumerator.h"
#include "files/QVLocalFileRepresentation.h"
#include "files/QVRootFile.h"
#include "platform/FileName.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// What ls -la prints of each entry, from the nodes' attributes.
int list(const QString& folder) {
    const auto root = QVRootFile::create(folder, false);
    QByteArray out;
    for (const auto& child : root->children(true)) {
        const auto local = child->localRepresentation();
        out += QByteArray::number(local->mode(), 8) + ' ' + local->owner().toUtf8() + ' ' + local->group().toUtf8() + ' ' +
               QByteArray::number(local->size()) + ' ' + QByteArray::number(local->modificationDate().toSecsSinceEpoch()) + ' ' +
               child->name().toUtf8() + '\n';
    }
    std::fwrite(out.constData(), 1, size_t(out.size()), stdout);
    return root->countOfChildren() > 0 ? 0 : 2;
}

// Every node's path, as find prints them.
int walk(const QString& folder) {
    const auto root = QVRootFile::create(folder, false);
    QVFileEnumerator enumerator(root);
    // Written as the walk goes, through stdio's buffer, as find writes.
    static char buffer[1 << 16];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    int count = 0;
    while (enumerator.nextObject()) {
        const QByteArray path = FileName::encode(enumerator.path());
        std::fwrite(path.constData(), 1, size_t(path.size()), stdout);
        std::fputc('\n', stdout);
        ++count;
    }
    std::fflush(stdout);
    // The walk is what is measured: the tree is let go with the process, as find lets go of its own.
    std::_Exit(count > 1 ? 0 : 2);
}

void write(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (file.open(QIODevice::WriteOnly)) file.write(bytes);
}

// A web site's tree: folders three deep, pages, style sheets, scripts and images.
void makeWebTree(const QString& root, int files) {
    BenchRandom random;
    const char* extensions[] = {".html", ".css", ".js", ".php", ".png", ".svg"};
    QStringList folders{root};
    int made = 0;
    while (made < files) {
        const QString folder = folders.at(random.below(int(folders.size())));
        if (folders.size() < files / 25 && random.below(8) == 0 && folder.count('/') - root.count('/') < 4) {
            const QString sub = folder + QStringLiteral("/section-%1").arg(folders.size());
            QDir().mkpath(sub);
            folders << sub;
            continue;
        }
        write(folder + QStringLiteral("/page-%1%2").arg(made).arg(QLatin1String(extensions[random.below(6)])),
              QByteArray(random.below(400), 'x'));
        ++made;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && !std::strcmp(argv[1], "list")) return list(QString::fromLocal8Bit(argv[2]));
    if (argc == 3 && !std::strcmp(argv[1], "walk")) return walk(QString::fromLocal8Bit(argv[2]));
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 15;
    QTemporaryDir scratch;
    const QString flat = scratch.filePath(QStringLiteral("flat"));
    QDir().mkpath(flat);
    for (int i = 0; i < 10000; ++i) write(flat + QStringLiteral("/file-%1.html").arg(i, 5, 10, QLatin1Char('0')), QByteArray(i % 700, 'x'));
    const QString site = scratch.filePath(QStringLiteral("site"));
    QDir().mkpath(site);
    makeWebTree(site, 30000);

    const QString self = QCoreApplication::applicationFilePath();
    const auto listing = paired::compare({self, QStringLiteral("list"), flat}, {QStringLiteral("ls"), QStringLiteral("-la"), flat}, rounds);
    paired::addRow(paired::row("children with attributes of 10,000 entries / ls -la (goal 1.5)", listing));
    const auto walking = paired::compare({self, QStringLiteral("walk"), site}, {QStringLiteral("find"), site}, rounds);
    paired::addRow(paired::row("enumerator walk of a 30,000-file web tree / find (goal 1.5)", walking));
    paired::printTable("File tree");
    return listing.ok && walking.ok ? 0 : 1;
}
