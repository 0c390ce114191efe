// Projects side by side with peers, in turns: reading and writing a project file of 10,000
// per-file entries (a project read from the file and written back at once) against plistutil
// converting the same XML file to XML (a whole process, start-up included; its start-up on a
// tiny file is printed too), and the project manager listing 1,000 projects until its first
// paint against a QListWidget of their names. Outputs are checked outside the timing.
#include "bench/BenchApplication.h"
#include "Paired.h"
#include "platform/PropertyList.h"
#include "platform/UserDefaults.h"
#include "projects/QVProject.h"
#include "projects/QVProjectRepository.h"
#include "projects/windows/QVProjectManager.h"
#include "shell/Defaults.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QListWidget>
#include <QTableView>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

namespace {

constexpr int FileEntries = 10000;
constexpr int ProjectCount = 1000;
QTemporaryDir* g_dir = nullptr;
QString g_projectFile, g_tinyFile;

std::map<std::string, double>& results() {
    static std::map<std::string, double> values;
    return values;
}

void makeProjectFile() {
    auto project = QVProject::createWithRootDirectory(g_dir->filePath(QStringLiteral("site")));
    QDir().mkpath(project->rootDirectory());
    for (int i = 0; i < FileEntries; ++i)
        project->setConfigurationValue(QVariantMap{{QStringLiteral("QVFileEncoding"), 4 + i % 7}, {QStringLiteral("QVFileBundle"), QStringLiteral("HTML")}},
                                       QString(), QStringLiteral("folder%1/page%2.html").arg(i % 50).arg(i));
    g_projectFile = g_dir->filePath(QStringLiteral("big.qvproj"));
    PropertyList::writeFile(project->plistRepresentation(), g_projectFile, PlistFormat::XML);
    g_tinyFile = g_dir->filePath(QStringLiteral("tiny.plist"));
    PropertyList::writeFile(QVariantMap{{QStringLiteral("a"), 1}}, g_tinyFile, PlistFormat::XML);
}

void paint(QWidget& widget) {
    QImage frame(widget.size(), QImage::Format_ARGB32_Premultiplied);
    widget.render(&frame);
    benchmark::DoNotOptimize(frame.constBits());
}

void BM_ProjectFile(benchmark::State& state) {
    std::vector<double> ours, peer, ratios;
    const QString out = g_dir->filePath(QStringLiteral("out.plist"));
    const QString copy = g_dir->filePath(QStringLiteral("site/copy.qvproj"));
    for (auto _ : state) {
        QElapsedTimer clock;
        clock.start();
        auto project = QVProject::createWithProjectFile(g_projectFile);
        PropertyList::writeFile(project->plistRepresentation(), copy, PlistFormat::XML);
        const double mine = clock.nsecsElapsed() / 1e9;
        if (project->fileConfigurationValues().size() != FileEntries) state.SkipWithError("entries lost");
        const paired::Run theirs = paired::run({QStringLiteral("plistutil"), QStringLiteral("-i"), g_projectFile, QStringLiteral("-o"), out,
                                                QStringLiteral("-f"), QStringLiteral("xml")});
        if (!theirs.ok) state.SkipWithError("plistutil failed (scripts/setup installs libplist-utils)");
        state.SetIterationTime(mine);
        ours.push_back(mine);
        peer.push_back(theirs.wall);
        ratios.push_back(mine / theirs.wall);
    }
    if (PropertyList::readFile(out).toMap().value(QStringLiteral("file-configuration")).toMap().size() != FileEntries)
        state.SkipWithError("plistutil's output differs");
    std::vector<double> startup;
    for (int i = 0; i < 10; ++i)
        startup.push_back(paired::run({QStringLiteral("plistutil"), QStringLiteral("-i"), g_tinyFile, QStringLiteral("-o"), out}).wall);
    results()["file/ours"] = paired::spread(ours).median;
    results()["file/peer"] = paired::spread(peer).median;
    results()["file/ratio/min"] = paired::spread(ratios).min;
    results()["file/ratio"] = paired::spread(ratios).median;
    results()["file/ratio/max"] = paired::spread(ratios).max;
    results()["file/peerStartup"] = paired::spread(startup).median;
}

void BM_Manager(benchmark::State& state) {
    std::vector<double> ours, peer, ratios;
    QStringList names;
    for (int i = 0; i < ProjectCount; ++i) names << QVProjectRepository::sharedInstance().projectAtIndex(i)->displayName();
    for (auto _ : state) {
        // A fresh list each time: the manager reads projects.plist and the project files it shows.
        QVProjectRepository::resetSharedInstance();
        QElapsedTimer clock;
        clock.start();
        QVProjectManager* manager = QVProjectManager::sharedInstance();
        manager->resize(420, 600);
        manager->show();
        paint(*manager);
        const double mine = clock.nsecsElapsed() / 1e9;
        if (manager->model()->rowCount() != ProjectCount) state.SkipWithError("rows lost");
        delete manager;

        clock.restart();
        QListWidget list;
        list.resize(420, 600);
        list.addItems(names);
        list.show();
        paint(list);
        const double theirs = clock.nsecsElapsed() / 1e9;
        state.SetIterationTime(mine);
        ours.push_back(mine);
        peer.push_back(theirs);
        ratios.push_back(mine / theirs);
    }
    results()["manager/ours"] = paired::spread(ours).median;
    results()["manager/peer"] = paired::spread(peer).median;
    results()["manager/ratio/min"] = paired::spread(ratios).min;
    results()["manager/ratio"] = paired::spread(ratios).median;
    results()["manager/ratio/max"] = paired::spread(ratios).max;
}

void makeProjects() {
    QVProjectRepository& list = QVProjectRepository::sharedInstance();
    for (int i = 0; i < ProjectCount; ++i) {
        auto project = QVProject::createWithRootDirectory(g_dir->filePath(QStringLiteral("projects/p%1").arg(i)));
        QDir().mkpath(project->rootDirectory());
        project->setDisplayName(QStringLiteral("Project %1").arg(ProjectCount - i));
        project->commit(true);
        list.insertProjectSorted(project, true);
    }
}

void printSummary() {
    auto get = [](const std::string& key) { return results().count(key) ? results().at(key) : 0.0; };
    std::printf("\nSummary (ratios are Qorvel / peer, paired by turn, median [min, max]; below 1 is faster)\n");
    std::printf("  project file of %d entries read and written: %.1f ms vs plistutil %.1f ms (its start-up %.1f ms), ratio %.2f [%.2f, %.2f]\n",
                FileEntries, get("file/ours") * 1e3, get("file/peer") * 1e3, get("file/peerStartup") * 1e3, get("file/ratio"),
                get("file/ratio/min"), get("file/ratio/max"));
    std::printf("  manager of %d projects to first paint: %.1f ms vs QListWidget %.1f ms, ratio %.2f [%.2f, %.2f]\n", ProjectCount,
                get("manager/ours") * 1e3, get("manager/peer") * 1e3, get("manager/ratio"), get("manager/ratio/min"),
                get("manager/ratio/max"));
}

}  // namespace

BENCHMARK(BM_ProjectFile)->Name("ProjectFile/QorvelVsPlistutil")->UseManualTime()->Iterations(15)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Manager)->Name("Manager/QorvelVsQListWidget")->UseManualTime()->Iterations(15)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    BenchApplication bench(argc, argv);
    g_dir = new QTemporaryDir;
    makeProjectFile();
    makeProjects();
    const int status = bench.runBenchmarks(argc, argv, printSummary);
    delete g_dir;
    return status;
}
