// HTML Tidy over a site of 100 generated pages: Qorvel's runner (the site scope's worker: the
// merged configuration, one tidy per page, each page replaced atomically when tidy made one)
// beside tidy called directly, page by page, with the same arguments on a copy of the same pages.
// Rounds alternate (ours, then tidy) on fresh copies, and the pages each side leaves are compared
// byte for byte: a difference fails the run.
//
// QORVEL_BENCH_ROUNDS (default 5), QORVEL_BENCH_PAGES (default 100), QORVEL_BENCH_DIR (below).
#include "bench/Paired.h"
#include "tools/QVTidyRun.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <atomic>
#include <cstdio>

namespace {

// A page of about 20 KB with what tidy mends: unclosed paragraphs and items, a missing doctype,
// upper-case tags, bare ampersands, a table without a body.
QByteArray makePage(int n) {
    QByteArray page = "<HTML><head><title>Page " + QByteArray::number(n) + "</title>\n<style>p { margin: 0 }</style></head>\n<BODY>\n";
    for (int section = 0; section < 40; ++section) {
        page += "<h2>Section " + QByteArray::number(section) + "</h2>\n<p>Text & more text with <b>bold <i>and italic</b></i> words";
        page += " and a <a href=\"page" + QByteArray::number((n + section) % 100) + ".html\">link</a>\n";
        page += "<ul><li>one<li>two<li>three &copy; 2026</ul>\n";
        if (section % 5 == 0) page += "<table><tr><td>a<td>b</tr><tr><td>c<td>d</table>\n";
        page += "<p>Another paragraph that is not closed\n";
    }
    return page + "</BODY></HTML>\n";
}

void writeSite(const QString& folder, int pages) {
    QDir().mkpath(folder + QStringLiteral("/sub"));
    for (int i = 0; i < pages; ++i) {
        QFile file(QStringLiteral("%1/%2page%3.html").arg(folder, i % 4 == 0 ? QStringLiteral("sub/") : QString()).arg(i));
        file.open(QIODevice::WriteOnly);
        file.write(makePage(i));
    }
}

std::shared_ptr<QVTidyOperation> operation() {
    auto indent = std::make_shared<QVTidyOperation>();
    indent->setTitle(QStringLiteral("Indent"));
    indent->setActions({{QStringLiteral("indent"), true}, {QStringLiteral("indent-spaces"), QStringLiteral("2")},
                        {QStringLiteral("clean"), true}});
    return indent;
}

// Runs tidy as the peer: its standard error goes to the messages file too.
bool runTidy(const QStringList& argv, const QString& messages) {
    std::vector<QByteArray> bytes;
    for (const QString& a : argv) bytes.push_back(QFile::encodeName(a));
    std::vector<char*> args;
    for (QByteArray& b : bytes) args.push_back(b.data());
    args.push_back(nullptr);
    const QByteArray messagesPath = QFile::encodeName(messages);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, messagesPath.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    const int error = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) return false;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) <= 1;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (QVTidyRun::tidyProgram().isEmpty()) return std::fprintf(stderr, "tidy is not installed\n"), 1;
    const int rounds = qEnvironmentVariableIsSet("QORVEL_BENCH_ROUNDS") ? std::max(1, qEnvironmentVariableIntValue("QORVEL_BENCH_ROUNDS")) : 5;
    const int pages = qEnvironmentVariableIsSet("QORVEL_BENCH_PAGES") ? std::max(1, qEnvironmentVariableIntValue("QORVEL_BENCH_PAGES")) : 100;
    // QORVEL_BENCH_DIR: where the pages go (the default temporary folder otherwise); on a tmpfs
    // the runner's fsyncs cost nothing, which shows what the durable replacement costs elsewhere.
    QTemporaryDir work(qEnvironmentVariableIsSet("QORVEL_BENCH_DIR") ? qEnvironmentVariable("QORVEL_BENCH_DIR") + QStringLiteral("/tidy-XXXXXX")
                                                                     : QDir::tempPath() + QStringLiteral("/tidy-XXXXXX"));
    const QString source = work.filePath(QStringLiteral("source"));
    writeSite(source, pages);
    const QStringList sourcePages = QVTidyRun::pagesBelow(source);

    // The peer's configuration: the same merged text the runner writes.
    const QString config = work.filePath(QStringLiteral("tidy.cfg"));
    {
        QFile file(config);
        file.open(QIODevice::WriteOnly);
        file.write(QVTidyOperation::mergedOperations({operation()}).toUtf8());
    }

    std::vector<double> ours, peer;
    bool same = true;
    for (int round = -1; round < rounds; ++round) {  // round -1 warms both up
        const QString oursFolder = work.filePath(QStringLiteral("ours%1").arg(round));
        const QString peerFolder = work.filePath(QStringLiteral("peer%1").arg(round));
        writeSite(oursFolder, pages);
        writeSite(peerFolder, pages);

        std::atomic<bool> cancelled = false;
        double start = paired::now();
        QVTidyRun run({operation()});
        const QVTidyRun::TreeReport report = run.tidyTree(oursFolder, cancelled);
        const double oursTime = paired::now() - start;
        if (report.replaced.size() != pages) return std::fprintf(stderr, "the runner tidied %lld pages of %d\n", qlonglong(report.replaced.size()), pages), 1;

        start = paired::now();
        for (const QString& page : QVTidyRun::pagesBelow(peerFolder)) {
            const QString output = page + QStringLiteral(".out");
            const QString messages = page + QStringLiteral(".messages");
            if (!runTidy(QStringList{QVTidyRun::tidyProgram()} + QVTidyRun::arguments(config, output, page, false, messages), messages))
                return std::fprintf(stderr, "tidy failed on %s\n", qPrintable(page)), 1;
        }
        const double peerTime = paired::now() - start;

        for (const QString& page : QVTidyRun::pagesBelow(peerFolder)) {
            QFile direct(page + QStringLiteral(".out")), runner(QString(page).replace(peerFolder, oursFolder));
            direct.open(QIODevice::ReadOnly);
            runner.open(QIODevice::ReadOnly);
            const QByteArray expected = direct.readAll();
            if (expected.isEmpty() || expected != runner.readAll()) {
                std::fprintf(stderr, "the outputs differ for %s\n", qPrintable(page));
                same = false;
            }
        }
        if (round >= 0) {
            ours.push_back(oursTime);
            peer.push_back(peerTime);
        }
        QDir(oursFolder).removeRecursively();
        QDir(peerFolder).removeRecursively();
    }
    std::vector<double> ratios;
    for (size_t i = 0; i < ours.size(); ++i) ratios.push_back(ours[i] / peer[i]);
    const paired::Spread r = paired::spread(ratios);
    std::printf("## HTML Tidy over a site\n\n| comparison | pages | Qorvel (median) | tidy (median) | ratio, median (min to max) |\n"
                "|---|---|---|---|---|\n| runner vs tidy on copies | %d (%lld KB) | %.3f s | %.3f s | **%.2f** (%.2f to %.2f) |\n",
                pages, qlonglong(makePage(0).size() * pages / 1024), paired::spread(ours).median, paired::spread(peer).median,
                r.median, r.min, r.max);
    std::printf("\nOutputs byte for byte: %s\n", same ? "identical" : "DIFFERENT");
    return same ? 0 : 1;
}
