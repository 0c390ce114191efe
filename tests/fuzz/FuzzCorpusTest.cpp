// The inputs the fuzzers found (fuzz/corpus/<target>/), replayed through the same entry points:
// each passes its target's checks again. Several were hangs: what each costs now is
// bench/hostile's.
#include "fuzz/FuzzTargets.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

TEST(FuzzCorpus, KeptInputsPassTheirChecks) {
    int replayed = 0;
    for (const char* const* name = fuzz::targetNames(); *name; ++name) {
        const fuzz::Entry entry = fuzz::entryNamed(QLatin1String(*name));
        ASSERT_NE(entry, nullptr) << *name;
        const QDir folder(QStringLiteral(QORVEL_FUZZ_CORPUS "/") + QLatin1String(*name));
        for (const QString& file : folder.entryList(QDir::Files, QDir::Name)) {
            SCOPED_TRACE(folder.filePath(file).toStdString());
            QFile input(folder.filePath(file));
            ASSERT_TRUE(input.open(QIODevice::ReadOnly));
            EXPECT_EQ(entry(input.readAll()).toStdString(), "");
            ++replayed;
        }
    }
    EXPECT_GT(replayed, 0);
}
