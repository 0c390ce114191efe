// A libFuzzer program for one entry point (named by QORVEL_FUZZ_TARGET): an input that fails a
// check aborts with what failed, so libFuzzer keeps it.
#include "fuzz/FuzzTargets.h"

#include <QGuiApplication>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A private home, so no user bundle, theme or setting takes part, and no display.
    static QTemporaryDir home;
    const QByteArray root = home.path().toLocal8Bit();
    qputenv("HOME", root);
    qputenv("XDG_DATA_HOME", root + "/data");
    qputenv("XDG_CONFIG_HOME", root + "/config");
    qputenv("XDG_CACHE_HOME", root + "/cache");
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "qorvel-fuzz";
    static char* argv[] = {name, nullptr};
    static QGuiApplication* app = new QGuiApplication(argc, argv);
    Q_UNUSED(app);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const fuzz::Entry entry = fuzz::entryNamed(QStringLiteral(QORVEL_FUZZ_TARGET));
    const QString failure = entry(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));
    if (!failure.isEmpty()) {
        std::fprintf(stderr, "%s: %s\n", QORVEL_FUZZ_TARGET, qPrintable(failure));
        std::abort();
    }
    return 0;
}
