// The start and end every widget benchmark program shares: an offscreen platform unless one is
// named, settings in a private folder that goes with the program, the application with Qorvel's
// organisation and its defaults reset; then Google Benchmark's run, and the program's own
// summary after it.
#pragma once

#include "shell/Defaults.h"

#include <QApplication>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <functional>

class BenchApplication {
public:
    BenchApplication(int& argc, char** argv) : _app(argc, argv) {
        QApplication::setOrganizationName(QStringLiteral("Glimbo"));
        Defaults::resetDefaults();
    }

    // Runs the registered benchmarks, then summary; the program's exit status.
    int runBenchmarks(int& argc, char** argv, const std::function<void()>& summary = {}) {
        benchmark::Initialize(&argc, argv);
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
        if (summary) summary();
        return 0;
    }

private:
    // Made before the application: the platform, and where settings go.
    struct Sandbox {
        Sandbox() {
            if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
            qputenv("XDG_CONFIG_HOME", (folder.path() + QStringLiteral("/config")).toLocal8Bit());
            qputenv("XDG_DATA_HOME", (folder.path() + QStringLiteral("/data")).toLocal8Bit());
        }
        QTemporaryDir folder;
    };
    Sandbox _sandbox;
    QApplication _app;
};
