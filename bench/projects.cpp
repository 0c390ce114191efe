// Projects side by side with peers, in turns: reading and writing a project file of 10,000
// per-file entries (a project read from the file and written back at once) against plistutil
// converting the same file (a whole process, start-up included; its start-up on a tiny file is
// printed too), both ways: XML read and binary written beside `plistutil -f bin`, binary read and
// XML written beside `plistutil -f xml`. (Asked for the format it was given, plistutil copies the
// bytes without parsing them, so XML to XML would time a copy.) Then projects.plist of 25,000
// and of 200,000 projects read and one project added (which writes the list), beside plistutil
// converting that list to XML, with the growth from the smaller list to the larger; and the
// project manager listing 1,000 projects until its first paint against a QListWidget of their
// names. Outputs are checked outside the timing.
#include "bench/BenchApplication.h"
#include "Paired.h"
#include "platform/AtomicFile.h"
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
#include <QUuid>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

namespace {

constexpr int FileEntries = 10000;
constexpr int ProjectCount = 1000;
constexpr int ListSizes[2] = {25000, 200000};
QTemporaryDir* g_dir = nullptr;
QString g_projectFile, g_tinyFile;

std::map<std::string, double>& results() {
    static std::map<std::string, double> values;
    return values;
}

QString g_binaryProjectFile;

void makeProjectFile() {
    auto project = QVProject::createWithRootDirectory(g_dir->filePath(QStringLiteral("site")));
    QDir().mkpath(project->rootDirectory());
    for (int i = 0; i < FileEntries; ++i)
        project->setConfigurationValue(QVariantMap{{QStringLiteral("QVFileEncoding"), 4 + i % 7}, {QStringLiteral("QVFileBundle"), QStringLiteral("HTML")}},
                                       QString(), QStringLiteral("folder%1/page%2.html").arg(i % 50).arg(i));
    g_projectFile = g_dir->filePath(QStringLiteral("site/site.qvproj"));
    PropertyList::writeFile(project->plistRepresentation(), g_projectFile, PlistFormat::XML);
    QDir().mkpath(g_dir->filePath(QStringLiteral("binary")));
    g_binaryProjectFile = g_dir->filePath(QStringLiteral("binary/site.qvproj"));
    PropertyList::writeFile(project->plistRepresentation(), g_binaryProjectFile, PlistFormat::Binary);
    g_tinyFile = g_dir->filePath(QStringLiteral("tiny.plist"));
    PropertyList::writeFile(QVariantMap{{QStringLiteral("a"), 1}}, g_tinyFile, PlistFormat::XML);
}

void paint(QWidget& widget) {
    QImage frame(widget.size(), QImage::Format_ARGB32_Premultiplied);
    widget.render(&frame);
    benchmark::DoNotOptimize(frame.constBits());
}

// range(0): 0 reads XML and writes binary, 1 reads binary and writes XML.
void BM_ProjectFile(benchmark::State& state) {
    const bool fromXml = state.range(0) == 0;
    const std::string key = fromXml ? "file/xml" : "file/binary";
    const QString input = fromXml ? g_projectFile : g_binaryProjectFile;
    const PlistFormat written = fromXml ? PlistFormat::Binary : PlistFormat::XML;
    std::vector<double> ours, peer, ratios;
    const QString out = g_dir->filePath(QStringLiteral("out.plist"));
    const QString copy = g_dir->filePath(QStringLiteral("site/copy.qvproj"));
    const QStringList plistutil{QStringLiteral("plistutil"), QStringLiteral("-i"), input, QStringLiteral("-o"), out,
                                QStringLiteral("-f"), fromXml ? QStringLiteral("bin") : QStringLiteral("xml")};
    paired::run(plistutil);
    for (auto _ : state) {
        // Each side goes first in every other round.
        paired::Run theirs;
        const bool peerFirst = ours.size() % 2 == 1;
        if (peerFirst) theirs = paired::run(plistutil);
        QElapsedTimer clock;
        clock.start();
        auto project = QVProject::createWithProjectFile(input);
        PropertyList::writeFile(project->plistRepresentation(), copy, written);
        const double mine = clock.nsecsElapsed() / 1e9;
        if (!peerFirst) theirs = paired::run(plistutil);
        if (project->fileConfigurationValues().size() != FileEntries) state.SkipWithError("entries lost");
        if (!theirs.ok) state.SkipWithError("plistutil failed (scripts/setup installs libplist-utils)");
        state.SetIterationTime(mine);
        ours.push_back(mine);
        peer.push_back(theirs.wall);
        ratios.push_back(mine / theirs.wall);
    }
    if (PropertyList::readFile(out).toMap().value(QStringLiteral("file-configuration")).toMap().size() != FileEntries ||
        PropertyList::readFile(copy).toMap().value(QStringLiteral("file-configuration")).toMap().size() != FileEntries)
        state.SkipWithError("an output lost entries");
    std::vector<double> startup;
    for (int i = 0; i < 10; ++i)
        startup.push_back(paired::run({QStringLiteral("plistutil"), QStringLiteral("-i"), g_tinyFile, QStringLiteral("-o"), out,
                                       QStringLiteral("-f"), QStringLiteral("bin")}).wall);
    results()[key + "/ours"] = paired::spread(ours).median;
    results()[key + "/peer"] = paired::spread(peer).median;
    results()[key + "/ratio/min"] = paired::spread(ratios).min;
    results()[key + "/ratio"] = paired::spread(ratios).median;
    results()[key + "/ratio/max"] = paired::spread(ratios).max;
    results()["file/peerStartup"] = paired::spread(startup).median;
}

// projects.plist of range(0) projects: the list read and one project added at its top (the list
// is written again), beside plistutil converting the same list to XML. The list is put back
// between rounds, outside the timing.
void BM_ProjectList(benchmark::State& state) {
    const int count = int(state.range(0));
    const QString path = QVProjectRepository::projectsPlistPath();
    QFile saved(path);
    const QByteArray before = saved.open(QIODevice::ReadOnly) ? saved.readAll() : QByteArray();
    saved.close();
    QVariantList entries;
    for (int i = 0; i < count; ++i)
        entries << QVariantMap{{QStringLiteral("path"), QStringLiteral("/srv/www/site-%1").arg(i)},
                               {QStringLiteral("uuid"), QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper()}};
    const QByteArray list = PropertyList::toData(QVariantMap{{QStringLiteral("FormatVersion"), QStringLiteral("3.0")},
                                                             {QStringLiteral("Projects"), entries}},
                                                 PlistFormat::Binary);
    const QString copy = g_dir->filePath(QStringLiteral("list-%1.plist").arg(count));
    const QString out = g_dir->filePath(QStringLiteral("list-out.plist"));
    AtomicFile::write(copy, list);
    const QStringList plistutil{QStringLiteral("plistutil"), QStringLiteral("-i"), copy, QStringLiteral("-o"), out,
                                QStringLiteral("-f"), QStringLiteral("xml")};
    const QString added = g_dir->filePath(QStringLiteral("added"));
    QDir().mkpath(added);
    std::vector<double> ours, peer, ratios;
    paired::run(plistutil);
    for (auto _ : state) {
        AtomicFile::write(path, list);
        QVProjectRepository::resetSharedInstance();
        paired::Run theirs;
        const bool peerFirst = ours.size() % 2 == 1;
        if (peerFirst) theirs = paired::run(plistutil);
        QElapsedTimer clock;
        clock.start();
        QVProjectRepository::sharedInstance().addProject(QVProject::createWithRootDirectory(added));
        const double mine = clock.nsecsElapsed() / 1e9;
        if (!peerFirst) theirs = paired::run(plistutil);
        if (QVProjectRepository::sharedInstance().countOfProjects() != count + 1) state.SkipWithError("projects lost");
        QVProjectRepository::resetSharedInstance();
        state.SetIterationTime(mine);
        ours.push_back(mine);
        peer.push_back(theirs.wall);
        ratios.push_back(mine / theirs.wall);
    }
    if (PropertyList::readFile(path).toMap().value(QStringLiteral("Projects")).toList().size() != count + 1)
        state.SkipWithError("the list written lost projects");
    AtomicFile::write(path, before);
    QVProjectRepository::resetSharedInstance();
    const std::string key = "list/" + std::to_string(count);
    results()[key + "/ours"] = paired::spread(ours).median;
    results()[key + "/peer"] = paired::spread(peer).median;
    results()[key + "/ratio/min"] = paired::spread(ratios).min;
    results()[key + "/ratio"] = paired::spread(ratios).median;
    results()[key + "/ratio/max"] = paired::spread(ratios).max;
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
    std::printf("  plistutil's start-up on a tiny file: %.1f ms (in every one of its times below)\n", get("file/peerStartup") * 1e3);
    for (const auto& [key, what] : {std::pair<std::string, const char*>{"file/xml", "XML read, binary written / plistutil -f bin"},
                                    {"file/binary", "binary read, XML written / plistutil -f xml"}})
        std::printf("  project file of %d entries, %s: %.1f ms vs %.1f ms, ratio %.2f [%.2f, %.2f] (goal 1.5)\n", FileEntries, what,
                    get(key + "/ours") * 1e3, get(key + "/peer") * 1e3, get(key + "/ratio"), get(key + "/ratio/min"),
                    get(key + "/ratio/max"));
    for (const int count : ListSizes)
        std::printf("  projects.plist of %d projects read and one added / plistutil to XML: %.1f ms vs %.1f ms, ratio %.2f [%.2f, %.2f]\n",
                    count, get("list/" + std::to_string(count) + "/ours") * 1e3, get("list/" + std::to_string(count) + "/peer") * 1e3,
                    get("list/" + std::to_string(count) + "/ratio"), get("list/" + std::to_string(count) + "/ratio/min"),
                    get("list/" + std::to_string(count) + "/ratio/max"));
    const double small = get("list/" + std::to_string(ListSizes[0]) + "/ours"), large = get("list/" + std::to_string(ListSizes[1]) + "/ours");
    if (small > 0)
        std::printf("  projects.plist growth: %dx the projects took %.2fx the time (linear: %d)\n", ListSizes[1] / ListSizes[0], large / small,
                    ListSizes[1] / ListSizes[0]);
    std::printf("  manager of %d projects to first paint: %.1f ms vs QListWidget %.1f ms, ratio %.2f [%.2f, %.2f]\n", ProjectCount,
                get("manager/ours") * 1e3, get("manager/peer") * 1e3, get("manager/ratio"), get("manager/ratio/min"),
                get("manager/ratio/max"));
}

}  // namespace

BENCHMARK(BM_ProjectFile)->Name("ProjectFile/QorvelVsPlistutil")->Arg(0)->Arg(1)->UseManualTime()->Iterations(15)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ProjectList)->Name("ProjectList/ReadAndAddVsPlistutil")->Arg(ListSizes[0])->Arg(ListSizes[1])->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
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
