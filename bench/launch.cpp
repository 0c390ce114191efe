// Launch: a cold start of Qorvel to the first paint of a 1 MB page beside a bare QApplication
// showing the same file in a QPlainTextEdit, run in turns; then a later `qorvel FILE` handing the
// file to the running Qorvel, timed until its tab's text is painted, as a ratio to the cold start.
// Both run on the offscreen platform in a private home and runtime folder.
#include "BenchSupport.h"
#include "Paired.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <signal.h>

namespace {

// About 1 MB of ordinary markup: sections of headings, paragraphs, lists, tables and links.
QByteArray page() {
    BenchRandom random;
    const char* words[] = {"editor", "site", "remote", "style", "script", "folder", "project", "snippet", "query", "table"};
    QByteArray html = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>Launch</title>\n"
                      "<link rel=\"stylesheet\" href=\"site.css\">\n</head>\n<body>\n";
    for (int section = 0; html.size() < 1024 * 1024; ++section) {
        html += "<section id=\"s" + QByteArray::number(section) + "\">\n  <h2>Section " + QByteArray::number(section) + "</h2>\n";
        for (int p = 0; p < 3; ++p) {
            html += "  <p class=\"text\">";
            for (int w = 0; w < 24; ++w) html += QByteArray(words[random.below(10)]) + (w % 7 == 6 ? ", " : " ");
            html += "<a href=\"page" + QByteArray::number(random.below(500)) + ".html\">more</a></p>\n";
        }
        html += "  <ul>\n";
        for (int i = 0; i < 4; ++i) html += "    <li>" + QByteArray(words[random.below(10)]) + " &amp; " + words[random.below(10)] + "</li>\n";
        html += "  </ul>\n  <table><tr><td>" + QByteArray::number(random.below(1000)) + "</td><td>" + words[random.below(10)] + "</td></tr></table>\n</section>\n";
    }
    return html + "</body>\n</html>\n";
}

}  // namespace

int main() {
    const int rounds = qEnvironmentVariableIntValue("QORVEL_BENCH_ROUNDS") > 0 ? qEnvironmentVariableIntValue("QORVEL_BENCH_ROUNDS") : 10;
    QTemporaryDir sandbox;
    for (const char* folder : {"home", "config", "data", "cache", "runtime"}) QDir().mkpath(sandbox.filePath(QString::fromLatin1(folder)));
    QFile::setPermissions(sandbox.filePath(QStringLiteral("runtime")), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("HOME", sandbox.filePath(QStringLiteral("home")).toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", sandbox.filePath(QStringLiteral("config")).toLocal8Bit());
    qputenv("XDG_DATA_HOME", sandbox.filePath(QStringLiteral("data")).toLocal8Bit());
    qputenv("XDG_CACHE_HOME", sandbox.filePath(QStringLiteral("cache")).toLocal8Bit());
    qputenv("XDG_RUNTIME_DIR", sandbox.filePath(QStringLiteral("runtime")).toLocal8Bit());
    qputenv("QT_QPA_PLATFORM", "offscreen");
    const QString file = sandbox.filePath(QStringLiteral("page.html"));
    QFile out(file);
    if (!out.open(QIODevice::WriteOnly) || out.write(page()) <= 0) return 1;
    out.close();

    const QString folder = paired::programFolder();
    const paired::Comparison cold = paired::compare({folder + QStringLiteral("/qvlaunch"), QStringLiteral("open"), file},
                                                    {folder + QStringLiteral("/qvlaunchpeer"), file}, rounds);
    paired::addRow(paired::row("cold launch to the first painted 1 MB page vs QPlainTextEdit", cold));

    // The running instance, then each `qorvel COPY` handed to it until the copy's text is painted.
    int fromServer[2];
    if (pipe(fromServer) != 0) return 1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fromServer[1], 1);
    posix_spawn_file_actions_addclose(&actions, fromServer[0]);
    const QByteArray serve = (folder + QStringLiteral("/qvlaunch")).toLocal8Bit();
    char* serveArgs[] = {const_cast<char*>(serve.constData()), const_cast<char*>("serve"), nullptr};
    pid_t server = 0;
    if (posix_spawn(&server, serve.constData(), &actions, nullptr, serveArgs, environ) != 0) return 1;
    posix_spawn_file_actions_destroy(&actions);
    close(fromServer[1]);
    FILE* lines = fdopen(fromServer[0], "r");
    char line[256];
    // Ready, then the untitled window's first paint.
    int waited = 0;
    while (waited < 2 && std::fgets(line, sizeof line, lines)) ++waited;
    std::vector<double> handoffs;
    bool ok = waited == 2;
    for (int i = 0; ok && i < rounds + 1; ++i) {
        const QString copy = sandbox.filePath(QStringLiteral("copy%1.html").arg(i));
        QFile::copy(file, copy);
        const double start = paired::now();
        const paired::Run handed = paired::run({QStringLiteral(QORVEL_EXECUTABLE), copy});
        long long painted = 0;
        ok = handed.ok && std::fgets(line, sizeof line, lines) && std::sscanf(line, "painted %lld", &painted) == 1;
        if (ok && i > 0) handoffs.push_back(double(painted) / 1e9 - start);  // the first is the warm-up
    }
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
    fclose(lines);
    const paired::Spread handoff = paired::spread(handoffs);
    const double coldMedian = paired::Comparison::side(cold.ours, false).median;
    char row[512];
    std::snprintf(row, sizeof row, "| later `qorvel FILE` to its painted tab in the running instance | %.1f ms (p50; %.1f to %.1f) | "
                  "cold launch %.1f ms | **%.2f** of the cold launch | |%s",
                  handoff.median * 1e3, handoff.min * 1e3, handoff.max * 1e3, coldMedian * 1e3,
                  coldMedian > 0 ? handoff.median / coldMedian : 0.0, ok ? "" : " (a run failed)");
    paired::addRow(row);
    paired::printTable("Launch");
    return ok && cold.ok ? 0 : 1;
}
