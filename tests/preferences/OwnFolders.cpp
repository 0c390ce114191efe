// Each test of the suite gets data, configuration and cache folders of its own (the
// application-support folder and the settings store among them): the bundles, themes, categories,
// lists and settings one test saves are never read by the next when the whole suite runs in one
// process, in any order.
#include "platform/UserDefaults.h"
#include "tests/support/TestSupport.h"

#include <QDir>

#include <gtest/gtest.h>

namespace {

class OwnFolders : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo& test) override {
        // Kept until the sandbox goes: a store writing late must not recreate a removed folder.
        const QString root = testSandbox() + QStringLiteral("/tests/%1.%2").arg(QString::fromUtf8(test.test_suite_name()),
                                                                               QString::fromUtf8(test.name()));
        for (const char* variable : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"}) {
            const QString folder = root + QLatin1Char('/') + QString::fromLatin1(variable);
            QDir().mkpath(folder);
            _saved.append({variable, qgetenv(variable)});
            qputenv(variable, folder.toLocal8Bit());
        }
        UserDefaults::resetStandard();
    }
    void OnTestEnd(const ::testing::TestInfo&) override {
        for (const auto& [variable, value] : _saved) qputenv(variable, value);
        _saved.clear();
        UserDefaults::resetStandard();
    }
    QList<std::pair<const char*, QByteArray>> _saved;
};

// Installed before the first test starts; gtest owns the listener.
const bool installed = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new OwnFolders);
    return true;
}();

}  // namespace
