// Launch: a cold start of Qorvel to the first paint of a 1 MB page beside a bare QApplication
// showing the same file in a QPlainTextEdit, run in turns; then a later `qorvel FILE` handing the
// file to the running Qorvel, timed until its tab's text is painted, as a ratio to the cold start.
// Both run on the offscreen platform in a private home and runtime folder.
//
// Then whole programs on a screen: the real `qorvel FILE`, kate, mousepad and geany (those
// installed; scripts/setup installs them) each open the same page under a private Xvfb, in turns,
// each in a home of its own that outlives the rounds (a first run's questions are answered once,
// in a warm-up run, as a user's would be). The screen is read as it is drawn: the time counted
// is from the start of the process to the first frame that already shows the page the program
// settles on (its dark pixels, counted in cells of 8 by 8, within 2% of the settled frame's),
// the settled frame being the first after which nothing but a caret changes for 0.6 s.
// QORVEL_BENCH_SCREEN_ROUNDS sets its rounds (default 4); QORVEL_BENCH_SCREEN=0 leaves it out.
#include "BenchSupport.h"
#include "Paired.h"
#include "platform/AppBundle.h"
#include "platform/PropertyList.h"
#include "shell/Defaults.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <signal.h>
#include <xcb/xcb.h>

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

// --- Whole programs on a screen ---------------------------------------------------------------

constexpr int kWidth = 1280, kHeight = 800, kCell = 8;

struct Frame {
    double time = 0;                // seconds since the program was started
    std::vector<quint16> dark;      // dark pixels per cell
    qint64 total = 0;
};

class Screen {
public:
    explicit Screen(int display) {
        _connection = xcb_connect(QStringLiteral(":%1").arg(display).toLatin1().constData(), nullptr);
        if (xcb_connection_has_error(_connection)) return;
        _root = xcb_setup_roots_iterator(xcb_get_setup(_connection)).data->root;
        _ok = true;
    }
    ~Screen() {
        if (_connection) xcb_disconnect(_connection);
    }
    bool ok() const { return _ok; }

    // Dark pixels (text on the light backgrounds every one of these programs starts with),
    // counted per cell; the image itself when asked.
    Frame grab(double since, QImage* image = nullptr) {
        Frame f;
        xcb_get_image_reply_t* reply = xcb_get_image_reply(
            _connection, xcb_get_image(_connection, XCB_IMAGE_FORMAT_Z_PIXMAP, _root, 0, 0, kWidth, kHeight, ~0U), nullptr);
        f.time = paired::now() - since;
        if (!reply) return f;
        const uchar* data = xcb_get_image_data(reply);
        const int length = xcb_get_image_data_length(reply);
        f.dark.assign(size_t((kWidth / kCell) * (kHeight / kCell)), 0);
        if (length >= kWidth * kHeight * 4) {
            for (int y = 0; y < kHeight; ++y) {
                const uchar* row = data + size_t(y) * kWidth * 4;
                for (int x = 0; x < kWidth; ++x) {
                    const uchar* px = row + x * 4;  // B, G, R, unused
                    if (px[0] * 114 + px[1] * 587 + px[2] * 299 < 110 * 1000) {
                        ++f.dark[size_t((y / kCell) * (kWidth / kCell) + x / kCell)];
                        ++f.total;
                    }
                }
            }
            if (image) *image = QImage(data, kWidth, kHeight, kWidth * 4, QImage::Format_RGB32).copy();
        }
        std::free(reply);
        return f;
    }

private:
    xcb_connection_t* _connection = nullptr;
    xcb_window_t _root = 0;
    bool _ok = false;
};

qint64 difference(const Frame& a, const Frame& b) {
    if (a.dark.size() != b.dark.size()) return std::max(a.total, b.total);
    qint64 d = 0;
    for (size_t i = 0; i < a.dark.size(); ++i) d += std::abs(int(a.dark[i]) - int(b.dark[i]));
    return d;
}

// A private X server on a free display (it names the display it took).
struct Xvfb {
    pid_t pid = 0;
    int display = -1;
    Xvfb() {
        int fds[2];
        if (pipe(fds) != 0) return;
        const QByteArray fd = QByteArray::number(fds[1]);
        const QByteArray screen = QByteArray::number(kWidth) + "x" + QByteArray::number(kHeight) + "x24";
        const char* argv[] = {"Xvfb", "-displayfd", fd.constData(), "-screen", "0", screen.constData(), "-nolisten", "tcp", nullptr};
        if (posix_spawnp(&pid, "Xvfb", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
            pid = 0;
            return;
        }
        close(fds[1]);
        char buffer[32] = {};
        FILE* in = fdopen(fds[0], "r");
        if (in && std::fgets(buffer, sizeof buffer, in)) display = std::atoi(buffer);
        if (in) fclose(in);
    }
    ~Xvfb() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
};

struct Program {
    QString name;
    QStringList argv;  // the file is appended
    QString home;
};

// One launch: the time to the first frame of the settled page, or a negative number when the
// screen never settled on something drawn within the time allowed.
double launchOnScreen(Screen& screen, int display, const Program& program, const QString& file, QImage* settledImage) {
    const Frame blank = screen.grab(paired::now());
    QStringList environment;
    for (char** e = environ; *e; ++e) {
        const QString entry = QString::fromLocal8Bit(*e);
        if (!entry.startsWith(QLatin1String("DISPLAY=")) && !entry.startsWith(QLatin1String("HOME=")) &&
            !entry.startsWith(QLatin1String("XDG_")) && !entry.startsWith(QLatin1String("QT_QPA_PLATFORM=")) &&
            !entry.startsWith(QLatin1String("DBUS_SESSION_BUS_ADDRESS=")))
            environment << entry;
    }
    environment << QStringLiteral("DISPLAY=:%1").arg(display) << QStringLiteral("HOME=") + program.home
                << QStringLiteral("XDG_CONFIG_HOME=") + program.home + QStringLiteral("/.config")
                << QStringLiteral("XDG_DATA_HOME=") + program.home + QStringLiteral("/.local/share")
                << QStringLiteral("XDG_CACHE_HOME=") + program.home + QStringLiteral("/.cache")
                << QStringLiteral("XDG_RUNTIME_DIR=") + program.home + QStringLiteral("/.run")
                << QStringLiteral("QT_QPA_PLATFORM=xcb") << QStringLiteral("NO_AT_BRIDGE=1")
                << QStringLiteral("DBUS_SESSION_BUS_ADDRESS=disabled:");
    std::vector<QByteArray> envBytes, argBytes;
    for (const QString& e : environment) envBytes.push_back(e.toLocal8Bit());
    for (const QString& a : program.argv + QStringList{file}) argBytes.push_back(a.toLocal8Bit());
    std::vector<char*> envp, argv;
    for (QByteArray& b : envBytes) envp.push_back(b.data());
    for (QByteArray& b : argBytes) argv.push_back(b.data());
    envp.push_back(nullptr);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t pid = 0;
    const double start = paired::now();
    const int failed = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (failed) return -1;
    std::vector<Frame> frames;
    double settledSince = -1;
    while (paired::now() - start < 30) {
        Frame f = screen.grab(start);
        const bool drawn = difference(f, blank) > 2000;
        if (!frames.empty() && drawn && difference(f, frames.back()) <= 150) {
            if (settledSince < 0) settledSince = frames.back().time;
            if (f.time - settledSince >= 0.6) {
                frames.push_back(std::move(f));
                break;
            }
        } else {
            settledSince = -1;
        }
        frames.push_back(std::move(f));
    }
    double firstPage = -1;
    if (settledSince >= 0) {
        const Frame& settled = frames.back();
        for (const Frame& f : frames)
            if (difference(f, blank) > 2000 && difference(f, settled) <= settled.total / 50) {
                firstPage = f.time;
                break;
            }
        if (settledImage) screen.grab(start, settledImage);
    }
    kill(-pid, SIGTERM);
    for (int i = 0; i < 100 && waitpid(pid, nullptr, WNOHANG) == 0; ++i) usleep(20000);
    kill(-pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    // The next program starts on a bare screen.
    for (int i = 0; i < 100 && difference(screen.grab(paired::now()), blank) > 0; ++i) usleep(20000);
    return firstPage;
}

void programsOnScreen(const QString& file, const QString& sandbox, int rounds) {
    Xvfb server;
    if (server.display < 0) {
        std::printf("whole programs on a screen: Xvfb did not start, not measured\n");
        return;
    }
    Screen screen(server.display);
    if (!screen.ok()) {
        std::printf("whole programs on a screen: cannot reach the Xvfb display, not measured\n");
        return;
    }
    std::vector<Program> programs;
    const QString home = sandbox + QStringLiteral("/screen-homes/");
    const auto add = [&](const QString& name, const QStringList& argv) {
        if (!QFileInfo(argv.first()).isExecutable() && QStandardPaths::findExecutable(argv.first()).isEmpty()) {
            std::printf("whole programs on a screen: %s is not installed, left out\n", qPrintable(name));
            return;
        }
        Program p{name, argv, home + name};
        for (const char* sub : {"/.config", "/.local/share", "/.cache"}) QDir().mkpath(p.home + QLatin1String(sub));
        QDir().mkpath(p.home + QStringLiteral("/.run"));
        QFile::setPermissions(p.home + QStringLiteral("/.run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        programs.push_back(p);
    };
    add(QStringLiteral("qorvel"), {QStringLiteral(QORVEL_EXECUTABLE)});
    add(QStringLiteral("kate"), {QStringLiteral("kate"), QStringLiteral("-n")});
    add(QStringLiteral("mousepad"), {QStringLiteral("mousepad")});
    add(QStringLiteral("geany"), {QStringLiteral("geany"), QStringLiteral("-i")});
    if (programs.empty() || programs.front().name != QLatin1String("qorvel")) return;
    {
        // Qorvel's first launch asks whether to send anonymous usage figures and shows what this
        // version does: the question answered "no" and the window seen, in its settings
        // beforehand, as after a first run.
        const QString settings = programs.front().home + QStringLiteral("/.config/Glimbo/") + AppBundle::main().bundleIdentifier() +
                                 QStringLiteral(".plist");
        QDir().mkpath(QFileInfo(settings).absolutePath());
        PropertyList::writeFile(QVariantMap{{QLatin1String(qvAnonymousUsageTracking), false},
                                            {QStringLiteral("qvDisplayInfoView"), AppBundle::main().shortVersion()}},
                                settings, PlistFormat::XML);
    }
    std::vector<std::vector<double>> times(programs.size());
    const QString shots = qEnvironmentVariable("QORVEL_BENCH_SHOTS");
    for (size_t p = 0; p < programs.size(); ++p) {
        QImage image;
        launchOnScreen(screen, server.display, programs[p], file, shots.isEmpty() ? nullptr : &image);  // warm-up
        if (!shots.isEmpty()) image.save(shots + QLatin1Char('/') + programs[p].name + QStringLiteral(".png"));
    }
    for (int round = 0; round < rounds; ++round)
        for (size_t k = 0; k < programs.size(); ++k) {
            // Each round starts with another program.
            const size_t p = (k + size_t(round)) % programs.size();
            times[p].push_back(launchOnScreen(screen, server.display, programs[p], file, nullptr));
        }
    for (size_t p = 1; p < programs.size(); ++p) {
        std::vector<double> ratios, ours, theirs;
        int failed = 0;
        for (int r = 0; r < rounds; ++r) {
            if (times[0][size_t(r)] <= 0 || times[p][size_t(r)] <= 0) {
                ++failed;
                continue;
            }
            ours.push_back(times[0][size_t(r)]);
            theirs.push_back(times[p][size_t(r)]);
            ratios.push_back(times[0][size_t(r)] / times[p][size_t(r)]);
        }
        const paired::Spread o = paired::spread(ours), t = paired::spread(theirs), q = paired::spread(ratios);
        char row[512];
        std::snprintf(row, sizeof row, "| `qorvel FILE` / `%s FILE` to the first frame of the settled page, under Xvfb | %.1f ms | %.1f ms | "
                      "%.2f / **%.2f** / %.2f | |%s",
                      qPrintable(programs[p].name), o.median * 1e3, t.median * 1e3, q.min, q.median, q.max,
                      failed ? qPrintable(QStringLiteral(" (%1 rounds never settled)").arg(failed)) : "");
        paired::addRow(row);
    }
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
    const int screenRounds = qEnvironmentVariableIntValue("QORVEL_BENCH_SCREEN_ROUNDS") > 0 ? qEnvironmentVariableIntValue("QORVEL_BENCH_SCREEN_ROUNDS") : 4;
    if (qgetenv("QORVEL_BENCH_SCREEN") != "0") programsOnScreen(file, sandbox.path(), screenRounds);
    paired::printTable("Launch");
    return ok && cold.ok ? 0 : 1;
}
