// The file tree beside the tools that list folders: a 10,000-entry folder's children with their
// attributes beside `ls -la`, and breadth-first walks beside `find` of a generated 30,000-file web
// tree, of a copy of /usr/share/doc and /usr/share/javascript with links resolved (as find and
// rg see them), and of a generated tree of many small folders. Both sides run as whole processes
// in turns on the same input; each walk is also given with the start-up taken off both sides (the
// same program walking an empty folder, in the same round). This program is its own Qorvel side
// ("bench_files list FOLDER" / "bench_files walk FOLDER"); "bench_files make FOLDER" only makes the
// three trees in FOLDER, for bench/crosscheck to time the same walks with another harness.
// find runs as a user runs it, `find DIR > /dev/null`: its output fully buffered by stdio, as
// ours is.
#include "bench/BenchSupport.h"
#include "bench/Paired.h"
#include "files/QVFileEnumerator.h"
#include "files/QVLocalFileRepresentation.h"
#include "files/QVRootFile.h"
#include "platform/FileName.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

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
    QByteArray path;
    while (enumerator.nextObject()) {
        FileName::encode(enumerator.path(), path);
        std::fwrite(path.constData(), 1, size_t(path.size()), stdout);
        std::fputc('\n', stdout);
        ++count;
    }
    std::fflush(stdout);
    // The walk is what is measured: the tree is let go with the process, as find lets go of its own.
    std::_Exit(count > 0 ? 0 : 2);
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

// 6,000 folders three deep, two small pages in each: the walk's cost per folder, not per file.
void makeSmallFolders(const QString& root) {
    for (int a = 0; a < 25; ++a)
        for (int b = 0; b < 20; ++b)
            for (int c = 0; c < 12; ++c) {
                const QString folder = root + QStringLiteral("/a%1/b%2/c%3").arg(a).arg(b).arg(c);
                QDir().mkpath(folder);
                write(folder + QStringLiteral("/index.html"), "<p>");
                write(folder + QStringLiteral("/site.css"), "p{}");
            }
}

// Each round walks the tree and an empty folder with both programs, in turns; the second row
// divides what the tree cost beyond the empty walk on each side.
void walkRows(const QString& name, const QString& self, const QString& tree, const QString& empty, int rounds, bool* ok) {
    const QStringList ours{self, QStringLiteral("walk"), tree}, peer{QStringLiteral("find"), tree};
    const QStringList oursEmpty{self, QStringLiteral("walk"), empty}, peerEmpty{QStringLiteral("find"), empty};
    const paired::BesideEmpty c = paired::compareBesideEmpty(ours, peer, oursEmpty, peerEmpty, rounds);
    paired::addRow(paired::row(name.toStdString() + " / find DIR > /dev/null, whole process", c.whole));
    paired::addRow(paired::row(name.toStdString() + " / find DIR > /dev/null, the walk alone (goal 1.3)", c.alone));
    *ok = *ok && c.whole.ok && c.alone.ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && !std::strcmp(argv[1], "list")) return list(QString::fromLocal8Bit(argv[2]));
    if (argc == 3 && !std::strcmp(argv[1], "walk")) return walk(QString::fromLocal8Bit(argv[2]));
    QCoreApplication app(argc, argv);
    const bool makeOnly = argc == 3 && !std::strcmp(argv[1], "make");
    const int rounds = argc > 1 && !makeOnly ? std::atoi(argv[1]) : 15;
    QTemporaryDir temporary;
    QDir scratch(makeOnly ? QString::fromLocal8Bit(argv[2]) : temporary.path());
    const QString flat = scratch.filePath(QStringLiteral("flat"));
    QDir().mkpath(flat);
    for (int i = 0; i < 10000; ++i) write(flat + QStringLiteral("/file-%1.html").arg(i, 5, 10, QLatin1Char('0')), QByteArray(i % 700, 'x'));
    const QString site = scratch.filePath(QStringLiteral("site"));
    QDir().mkpath(site);
    makeWebTree(site, 30000);

    // /usr/share/doc and /usr/share/javascript as find and rg see them: links resolved. A link
    // that leads nowhere makes cp complain but leaves the rest copied.
    const QString real = scratch.filePath(QStringLiteral("real"));
    QDir().mkpath(real);
    QProcess::execute(QStringLiteral("cp"), {QStringLiteral("-rL"), QStringLiteral("/usr/share/doc"), QStringLiteral("/usr/share/javascript"), real});
    const QString small = scratch.filePath(QStringLiteral("small"));
    makeSmallFolders(small);
    const QString empty = scratch.filePath(QStringLiteral("empty"));
    QDir().mkpath(empty);
    // The trees were just written: their pages and inodes go to the disk now, not while a walk
    // is timed (a walk of a tree still being written back took a third more or less processor).
    ::sync();
    if (makeOnly) return 0;

    const QString self = QCoreApplication::applicationFilePath();
    const auto listing = paired::compare({self, QStringLiteral("list"), flat}, {QStringLiteral("ls"), QStringLiteral("-la"), flat}, rounds);
    paired::addRow(paired::row("children with attributes of 10,000 entries / ls -la (goal 1.5)", listing));
    bool ok = listing.ok;
    walkRows(QStringLiteral("walk of a generated 30,000-file web tree"), self, site, empty, rounds, &ok);
    if (QDir(real).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot))
        std::fprintf(stderr, "no /usr/share/doc to copy: the real tree's rows are left out\n");
    else
        walkRows(QStringLiteral("walk of /usr/share/doc + /usr/share/javascript, links resolved"), self, real, empty, rounds, &ok);
    walkRows(QStringLiteral("walk of 6,000 folders of two files"), self, small, empty, rounds, &ok);
    paired::printTable("File tree");
    return ok ? 0 : 1;
}
