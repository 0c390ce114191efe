// The project outline side by side with a QFileSystemModel in a QTreeView on one generated
// project of 50,000 files in 5,000 folders: the first painted outline (the top folder listed and
// drawn), and every folder listed and expanded until painted; `find` walks the same tree as a
// floor. Neither side watches the folders; each iteration makes its model afresh after the
// first run has warmed the disk cache.
#include "bench/BenchApplication.h"
#include "Paired.h"
#include "files/QVRootFile.h"
#include "projects/windows/QVProjectOutlineModel.h"
#include "projects/windows/QVProjectView.h"
#include "shell/Defaults.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileSystemModel>
#include <QImage>
#include <QTemporaryDir>
#include <QTreeView>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

namespace {

constexpr int TopFolders = 100;
constexpr int SubFolders = 49;  // 100 + 100 * 49 = 5,000 folders
constexpr int FilesPerFolder = 10;
const QSize ViewSize(320, 900);
QTemporaryDir* g_tree = nullptr;
QString g_root;

std::map<std::string, double>& results() {
    static std::map<std::string, double> values;
    return values;
}

void makeTree() {
    g_root = g_tree->filePath(QStringLiteral("site"));
    auto fill = [](const QString& folder) {
        QDir().mkpath(folder);
        for (int f = 0; f < FilesPerFolder; ++f) {
            QFile file(folder + QStringLiteral("/page%1.html").arg(f));
            if (!file.open(QIODevice::WriteOnly) || file.write("<p>x</p>\n") < 0) std::abort();
        }
    };
    for (int t = 0; t < TopFolders; ++t) {
        const QString top = g_root + QStringLiteral("/section%1").arg(t, 3, 10, QLatin1Char('0'));
        fill(top);
        for (int s = 0; s < SubFolders; ++s) fill(top + QStringLiteral("/part%1").arg(s, 2, 10, QLatin1Char('0')));
    }
}

void paint(QWidget& widget) {
    QImage frame(widget.size(), QImage::Format_ARGB32_Premultiplied);
    widget.render(&frame);
    benchmark::DoNotOptimize(frame.constBits());
}

// Every folder below the index listed; answers the number of rows. The view then expands
// them all in one layout.
int fetchOurs(QVProjectOutlineModel& model, const QModelIndex& parent) {
    if (model.canFetchMore(parent)) model.fetchMore(parent);
    int rows = model.rowCount(parent);
    for (int r = 0, n = rows; r < n; ++r) {
        const QModelIndex child = model.index(r, 0, parent);
        if (model.hasChildren(child)) rows += fetchOurs(model, child);
    }
    return rows;
}

struct Ours {
    std::shared_ptr<QVRootFile> root = QVRootFile::create(g_root, false);
    QVProjectOutlineModel model;
    QVProjectView view;
    Ours() {
        model.setRoot(root);
        view.setModel(&model);
        view.resize(ViewSize);
        view.show();
    }
};

struct Peer {
    QFileSystemModel model;
    QTreeView view;
    int loaded = 0;
    Peer() {
        model.setOption(QFileSystemModel::DontWatchForChanges);
        QObject::connect(&model, &QFileSystemModel::directoryLoaded, [this](const QString&) { ++loaded; });
        view.setModel(&model);
        view.setUniformRowHeights(true);
        view.resize(ViewSize);
        view.show();
    }
    QModelIndex start() {
        const QModelIndex root = model.setRootPath(g_root);
        view.setRootIndex(root);
        return root;
    }
    bool waitForLoads(int count) {
        QElapsedTimer limit;
        limit.start();
        while (loaded < count && limit.elapsed() < 120000) QApplication::processEvents(QEventLoop::AllEvents, 5);
        return loaded >= count;
    }
};

void BM_FirstPaint_Qorvel(benchmark::State& state) {
    double total = 0;
    for (auto _ : state) {
        QElapsedTimer clock;
        clock.start();
        Ours ours;
        ours.model.fetchMore({});
        paint(ours.view);
        const double seconds = clock.nsecsElapsed() / 1e9;
        if (ours.model.rowCount() != TopFolders) state.SkipWithError("top folder not listed");
        state.SetIterationTime(seconds);
        total += seconds;
    }
    results()["first/qorvel"] = total / double(state.iterations());
}

void BM_FirstPaint_QFileSystemModel(benchmark::State& state) {
    double total = 0;
    for (auto _ : state) {
        QElapsedTimer clock;
        clock.start();
        Peer peer;
        const QModelIndex root = peer.start();
        if (!peer.waitForLoads(1)) state.SkipWithError("no listing");
        QApplication::processEvents();
        paint(peer.view);
        const double seconds = clock.nsecsElapsed() / 1e9;
        if (peer.model.rowCount(root) != TopFolders) state.SkipWithError("top folder not listed");
        state.SetIterationTime(seconds);
        total += seconds;
    }
    results()["first/peer"] = total / double(state.iterations());
}

void BM_FullFetch_Qorvel(benchmark::State& state) {
    double total = 0;
    for (auto _ : state) {
        QElapsedTimer clock;
        clock.start();
        Ours ours;
        const int rows = fetchOurs(ours.model, {});
        ours.view.expandAll();
        paint(ours.view);
        const double seconds = clock.nsecsElapsed() / 1e9;
        if (rows != TopFolders + TopFolders * (SubFolders + FilesPerFolder) + TopFolders * SubFolders * FilesPerFolder)
            state.SkipWithError("not every row listed");
        state.SetIterationTime(seconds);
        total += seconds;
    }
    results()["full/qorvel"] = total / double(state.iterations());
}

void BM_FullFetch_QFileSystemModel(benchmark::State& state) {
    double total = 0;
    for (auto _ : state) {
        QElapsedTimer clock;
        clock.start();
        Peer peer;
        const QModelIndex root = peer.start();
        if (!peer.waitForLoads(1)) state.SkipWithError("no listing");
        // Level by level: each folder fetched once its parent is listed; then one expansion of all,
        // as on our side.
        int folders = 1, rows = peer.model.rowCount(root);
        QList<QModelIndex> level{root};
        while (!level.isEmpty()) {
            QList<QModelIndex> next;
            for (const QModelIndex& folder : level)
                for (int r = 0; r < peer.model.rowCount(folder); ++r) {
                    const QModelIndex child = peer.model.index(r, 0, folder);
                    if (!peer.model.isDir(child)) continue;
                    peer.model.fetchMore(child);
                    next.append(child);
                }
            folders += int(next.size());
            if (!peer.waitForLoads(folders)) state.SkipWithError("listings missing");
            for (const QModelIndex& folder : next) rows += peer.model.rowCount(folder);
            level = next;
        }
        peer.view.expandAll();
        paint(peer.view);
        const double seconds = clock.nsecsElapsed() / 1e9;
        if (rows != TopFolders + TopFolders * (SubFolders + FilesPerFolder) + TopFolders * SubFolders * FilesPerFolder)
            state.SkipWithError("not every row listed");
        state.SetIterationTime(seconds);
        total += seconds;
    }
    results()["full/peer"] = total / double(state.iterations());
}

void BM_Find(benchmark::State& state) {
    double total = 0;
    for (auto _ : state) {
        const paired::Run run = paired::run({QStringLiteral("find"), g_root});
        if (!run.ok) state.SkipWithError("find failed");
        state.SetIterationTime(run.wall);
        total += run.wall;
    }
    results()["full/find"] = total / double(state.iterations());
}

void printSummary() {
    const auto& r = results();
    auto get = [&](const std::string& key) { auto it = r.find(key); return it == r.end() ? 0.0 : it->second; };
    std::printf("\nSummary (ratios are Qorvel's outline / QFileSystemModel in a QTreeView; below 1 is faster)\n");
    if (get("first/peer") > 0)
        std::printf("  first painted outline: %.1f ms vs %.1f ms, ratio %.2f\n", get("first/qorvel") * 1e3, get("first/peer") * 1e3,
                    get("first/qorvel") / get("first/peer"));
    if (get("full/peer") > 0)
        std::printf("  every folder listed and expanded: %.0f ms vs %.0f ms, ratio %.2f (find: %.0f ms)\n", get("full/qorvel") * 1e3,
                    get("full/peer") * 1e3, get("full/qorvel") / get("full/peer"), get("full/find") * 1e3);
}

}  // namespace

BENCHMARK(BM_FirstPaint_Qorvel)->Name("FirstPaint/Qorvel")->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FirstPaint_QFileSystemModel)->Name("FirstPaint/QFileSystemModel")->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FullFetch_Qorvel)->Name("FullFetch/Qorvel")->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FullFetch_QFileSystemModel)->Name("FullFetch/QFileSystemModel")->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Find)->Name("FullFetch/find")->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    BenchApplication bench(argc, argv);
    g_tree = new QTemporaryDir;
    makeTree();
    paired::run({QStringLiteral("find"), g_root});  // the disk cache warm for every side
    const int status = bench.runBenchmarks(argc, argv, printSummary);
    delete g_tree;
    return status;
}
