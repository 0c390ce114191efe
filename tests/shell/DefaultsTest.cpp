// The settings registry: factory table, storing rule, typed getters, paths, resource shadowing,
// atomic plist writes, and the application-support tree made at launch.
#include "shell/Defaults.h"
#include "shell/QVSetupConfigurationDirectories.h"
#include "shell/ScratchFolder.h"

#include "platform/AppBundle.h"
#include "platform/Paths.h"
#include "platform/PropertyList.h"
#include "platform/UserDefaults.h"
#include "tests/support/TestSupport.h"

#include <QColor>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QProcess>
#include <QRegularExpression>

#include <gtest/gtest.h>

namespace {

QStringList entries(const QString& folder) {
    QStringList names = QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    names.sort();
    return names;
}

void clearKeys(UserDefaults& store, const QStringList& keys) {
    for (const QString& key : keys) store.removeObject(key);
}

}  // namespace

TEST(Defaults, FactoryTableOnAFreshStoreFollowsTheStoringRule) {
    TestDir dir;
    const QString file = dir.file(QStringLiteral("defaults.plist"));
    {
        UserDefaults store(file);
        Defaults::resetDefaults(store);
        ASSERT_TRUE(store.synchronize());
    }
    // Read back from disk, so the types survive the file and not just the memory.
    UserDefaults store(file);
    // Every value comes back from the file as what was stored: a small number as a boolean,
    // any other value as itself, with its type.
    for (const Defaults::FactoryValue& entry : Defaults::factoryTable()) {
        SCOPED_TRACE(entry.key.toStdString());
        const QVariant stored = store.objectForKey(entry.key);
        if (PropertyList::isFlag(entry.value) && entry.value.toLongLong() < 2) {
            EXPECT_EQ(stored.typeId(), int(QMetaType::Bool));
            EXPECT_EQ(stored.toBool(), entry.value.toLongLong() != 0);
            // and still reads as the number it stands for.
            EXPECT_EQ(store.integerForKey(entry.key), entry.value.toLongLong());
        } else {
            EXPECT_EQ(PropertyList::isInteger(stored), PropertyList::isInteger(entry.value));
            EXPECT_EQ(PropertyList::isFloatingPoint(stored), PropertyList::isFloatingPoint(entry.value));
            if (!PropertyList::isNumber(stored)) {
                EXPECT_EQ(stored.typeId(), entry.value.typeId());
            }
            EXPECT_EQ(stored, entry.value);
        }
    }
}

TEST(Defaults, StoredValuesOfAnyTypeAreNeverOverwritten) {
    TestDir dir;
    UserDefaults store(dir.file(QStringLiteral("defaults.plist")));
    store.setInteger(8, QVTabSizeKey);
    store.setBool(false, QVAutoComplete);
    store.setString(QStringLiteral("iso-8859-1"), QVTextEncoding);
    store.setInteger(2, QVLineBreak);                               // a number above the flag range
    store.setString(QStringLiteral("not a flag"), QVLineNums);      // a wrongly typed value
    for (int launch = 0; launch < 2; ++launch) Defaults::resetDefaults(store);

    EXPECT_EQ(store.objectForKey(QVTabSizeKey), QVariant(qint64(8)));
    EXPECT_EQ(store.objectForKey(QVAutoComplete), QVariant(false));
    EXPECT_EQ(store.objectForKey(QVTextEncoding), QVariant(QStringLiteral("iso-8859-1")));
    EXPECT_EQ(store.integerForKey(QVLineBreak), 2);
    EXPECT_EQ(store.objectForKey(QVLineNums), QVariant(QStringLiteral("not a flag")));
    // Keys without a value still got theirs.
    EXPECT_EQ(store.objectForKey(QVAutoTabKey), QVariant(true));
}

TEST(Defaults, TypedGettersFallBackOnMissingAndWronglyTypedValues) {
    UserDefaults& store = UserDefaults::standard();
    const QStringList keys = {QVUseSharedProjectLocation, QVDontPromptToSearchLocalCache,
                              QVSearchLocalCacheForRemoteProjects, QVTextEncoding};
    clearKeys(store, keys);

    struct Row {
        const char* what;
        std::function<void()> set;
        bool shared, prompt, searchCache;
        QString encoding;
    };
    const Row rows[] = {
        {"missing", [] {}, true, true, false, QStringLiteral("utf-8")},
        {"stored numbers",
         [&] {
             store.setBool(false, QVUseSharedProjectLocation);
             store.setBool(true, QVDontPromptToSearchLocalCache);
             store.setInteger(1, QVSearchLocalCacheForRemoteProjects);
             store.setString(QStringLiteral("shift-jis"), QVTextEncoding);
         },
         false, false, true, QStringLiteral("shift-jis")},
        {"zero as integer",
         [&] {
             store.setInteger(0, QVUseSharedProjectLocation);
             store.setInteger(0, QVDontPromptToSearchLocalCache);
             store.setDouble(0.0, QVSearchLocalCacheForRemoteProjects);
         },
         false, true, false, QStringLiteral("utf-8")},
        {"wrong types",
         [&] {
             store.setString(QStringLiteral("NO"), QVUseSharedProjectLocation);
             store.setObject(QVariantList{true}, QVDontPromptToSearchLocalCache);
             store.setString(QStringLiteral("YES"), QVSearchLocalCacheForRemoteProjects);
             store.setInteger(4, QVTextEncoding);
         },
         true, true, false, QStringLiteral("utf-8")},
        {"empty encoding name", [&] { store.setString(QString(), QVTextEncoding); }, true, true,
         false, QStringLiteral("utf-8")},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        clearKeys(store, keys);
        row.set();
        EXPECT_EQ(Defaults::useSharedProjectLocation(), row.shared);
        EXPECT_EQ(Defaults::promptToSearchLocalCache(), row.prompt);
        EXPECT_EQ(Defaults::searchLocalCacheForRemoteProjects(), row.searchCache);
        EXPECT_EQ(Defaults::textEncoding(), row.encoding);
    }
    clearKeys(store, keys);
}

TEST(Defaults, DefaultFontRoundTripsAndFallsBackToFixedPitch) {
    UserDefaults& store = UserDefaults::standard();
    store.removeObject(QVDefaultFontKey);
    EXPECT_FALSE(Defaults::storedDefaultFont().has_value());
    const QFont fallback = Defaults::defaultFont();
    EXPECT_EQ(fallback.pointSizeF(), 11.0);
    EXPECT_EQ(fallback.family(), QFontDatabase::systemFont(QFontDatabase::FixedFont).family());

    QFont font(QStringLiteral("DejaVu Sans Mono"));
    font.setPointSizeF(14.5);
    font.setBold(true);
    Defaults::setDefaultFont(font);
    EXPECT_EQ(store.objectForKey(QVDefaultFontKey).typeId(), int(QMetaType::QByteArray));
    ASSERT_TRUE(Defaults::storedDefaultFont().has_value());
    EXPECT_EQ(Defaults::defaultFont().family(), font.family());
    EXPECT_EQ(Defaults::defaultFont().pointSizeF(), 14.5);
    EXPECT_TRUE(Defaults::defaultFont().bold());

    for (const QVariant& bad : {QVariant(QByteArray("garbage")), QVariant(QStringLiteral("Mono 12")),
                                QVariant(QByteArray())}) {
        store.setObject(bad, QVDefaultFontKey);
        EXPECT_FALSE(Defaults::storedDefaultFont().has_value());
        EXPECT_EQ(Defaults::defaultFont().pointSizeF(), 11.0);
    }
    store.removeObject(QVDefaultFontKey);
}

TEST(Defaults, SupportPathsFollowTheDataHome) {
    const QString data = Paths::dataHome();
    EXPECT_EQ(Defaults::appSupportPath(), data);
    EXPECT_EQ(Defaults::appSupportPathForFile(), data + QStringLiteral("/Glimbo"));
    EXPECT_EQ(Defaults::appSupportPathForFile(QStringLiteral("snippets")),
              data + QStringLiteral("/Glimbo/snippets"));
    EXPECT_EQ(Defaults::appSupportPathForFile(QStringLiteral("projects.plist"), QStringLiteral("data")),
              data + QStringLiteral("/Glimbo/data/projects.plist"));
    EXPECT_FALSE(QFileInfo::exists(data + QStringLiteral("/Glimbo/nothing-made")));
    Defaults::appSupportPathForFile(QStringLiteral("nothing-made"));
    EXPECT_FALSE(QFileInfo::exists(data + QStringLiteral("/Glimbo/nothing-made")));
}

TEST(Defaults, SupportCopiesShadowBuiltInResources) {
    const QString builtIn = AppBundle::main().pathForResource(QStringLiteral("IndentMarkup"),
                                                              QStringLiteral("tidy"), QStringLiteral("Tidy"));
    ASSERT_FALSE(builtIn.isEmpty()) << "the seed Tidy folder is missing from the resources";
    EXPECT_EQ(Defaults::pathForResource(QStringLiteral("IndentMarkup"), QStringLiteral("tidy"),
                                        QStringLiteral("Tidy")),
              builtIn);

    const QString userFolder = Defaults::appSupportPathForFile(QStringLiteral("Tidy"));
    ASSERT_TRUE(QDir().mkpath(userFolder + QStringLiteral("/nested")));
    const QString userCopy = userFolder + QStringLiteral("/IndentMarkup.tidy");
    QFile f(userCopy);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("indent: no\n");
    f.close();
    QFile nested(userFolder + QStringLiteral("/nested/Deep.tidy"));
    ASSERT_TRUE(nested.open(QIODevice::WriteOnly));
    nested.close();

    EXPECT_EQ(Defaults::pathForResource(QStringLiteral("IndentMarkup"), QStringLiteral("tidy"),
                                        QStringLiteral("Tidy")),
              userCopy);
    // A type-less name is taken whole.
    EXPECT_EQ(Defaults::pathForResource(QStringLiteral("IndentMarkup.tidy"), QString(),
                                        QStringLiteral("Tidy")),
              userCopy);

    const QStringList listed = Defaults::pathsForResourcesOfType(QStringLiteral("tidy"), QStringLiteral("Tidy"));
    const QStringList builtIns = AppBundle::main().pathsForResourcesOfType(QStringLiteral("tidy"),
                                                                           QStringLiteral("Tidy"));
    QStringList expected = {userCopy, userFolder + QStringLiteral("/nested/Deep.tidy")};
    expected += builtIns;
    EXPECT_EQ(listed, expected);
    EXPECT_TRUE(builtIns.contains(builtIn));

    // Outside the asked folder the top-level resource is still found; nothing at all gives "".
    const QString info = Defaults::pathForResource(QStringLiteral("Info"), QStringLiteral("plist"),
                                                   QStringLiteral("NoSuchFolder"));
    EXPECT_EQ(info, AppBundle::main().pathForResource(QStringLiteral("Info"), QStringLiteral("plist")));
    EXPECT_FALSE(info.isEmpty());
    EXPECT_TRUE(Defaults::pathForResource(QStringLiteral("NoSuchThing"), QStringLiteral("plist"),
                                          QStringLiteral("data")).isEmpty());
    QDir(userFolder).removeRecursively();
}

TEST(Defaults, WritePlistReplacesAtomicallyAndKeepsTheOldFileOnFailure) {
    TestDir dir;
    const QString path = dir.file(QStringLiteral("list.plist"));
    const QVariantMap first = {{QStringLiteral("FormatVersion"), qint64(1)},
                               {QStringLiteral("Projects"), QVariantList{QStringLiteral("a"), QStringLiteral("b")}}};
    ASSERT_TRUE(Defaults::writePlist(first, path, 200));
    EXPECT_TRUE(readAll(path).startsWith("bplist00"));
    EXPECT_EQ(PropertyList::readFile(path), QVariant(first));

    const QVariantMap second = {{QStringLiteral("Enabled"), true}};
    ASSERT_TRUE(Defaults::writePlist(second, path, 100));
    EXPECT_TRUE(readAll(path).startsWith("<?xml"));
    EXPECT_EQ(PropertyList::readFile(path), QVariant(second));
    const QByteArray before = readAll(path);

    struct Failure {
        const char* what;
        QVariant value;
        QString path;
        int format;
    };
    const Failure failures[] = {
        {"unknown format", QVariant(first), path, 150},
        {"value without a plist form", QVariant(QVariantMap{{QStringLiteral("c"), QColor(Qt::red)}}), path, 200},
        {"missing folder", QVariant(first), dir.file(QStringLiteral("no/such/list.plist")), 200},
    };
    for (const Failure& failure : failures) {
        SCOPED_TRACE(failure.what);
        QVError error;
        EXPECT_FALSE(Defaults::writePlist(failure.value, failure.path, failure.format, &error));
        EXPECT_FALSE(error.isNull());
        EXPECT_EQ(readAll(path), before);
    }
    // A folder in the way is left alone.
    const QString folder = dir.file(QStringLiteral("folder.plist"));
    ASSERT_TRUE(QDir().mkpath(folder + QStringLiteral("/inside")));
    EXPECT_FALSE(Defaults::writePlist(first, folder, 200));
    EXPECT_TRUE(QFileInfo(folder + QStringLiteral("/inside")).isDir());
    // No temporary file is left behind by successes or failures.
    EXPECT_EQ(entries(dir.path()), (QStringList{QStringLiteral("folder.plist"), QStringLiteral("list.plist")}));
}

TEST(QVSetupConfigurationDirectories, BuildsTheTreeAndNeverTouchesExistingFolders) {
    const QString support = Defaults::appSupportPathForFile();
    QDir(support).removeRecursively();
    EXPECT_FALSE(QVSetupConfigurationDirectories::hasUI());
    EXPECT_TRUE(QVSetupConfigurationDirectories::needsToRun());

    QVSetupConfigurationDirectories().run();
    const QStringList expected = {QStringLiteral("Bundles"), QStringLiteral("Projects"),
                                  QStringLiteral("Themes"), QStringLiteral("TidyConfigFiles"),
                                  QStringLiteral("backups"), QStringLiteral("codecompletion"),
                                  QStringLiteral("data"), QStringLiteral("highlighting"),
                                  QStringLiteral("snippets"), QStringLiteral("userscripts")};
    EXPECT_EQ(entries(support), expected);  // no staging folder left behind
    for (const char* empty : {"data", "snippets", "Bundles", "Projects"})
        EXPECT_TRUE(entries(support + QLatin1Char('/') + QLatin1String(empty)).isEmpty()) << empty;

    const QString resources = AppBundle::main().resourcePath();
    EXPECT_EQ(entries(support + QStringLiteral("/TidyConfigFiles")), entries(resources + QStringLiteral("/Tidy")));
    EXPECT_EQ(entries(support + QStringLiteral("/userscripts")), entries(resources + QStringLiteral("/User Scripts")));
    EXPECT_FALSE(entries(support + QStringLiteral("/userscripts")).isEmpty());
    for (const QString& name : entries(support + QStringLiteral("/userscripts")))
        EXPECT_TRUE(QFileInfo(support + QStringLiteral("/userscripts/") + name).isExecutable()) << name.toStdString();
    EXPECT_TRUE(QFileInfo(ScratchFolder::defaultPath()).isDir());

    // The user edits the copies; a second launch leaves them as they are.
    const QString script = support + QStringLiteral("/userscripts/10-Sort Lines.sh");
    QFile edit(script);
    ASSERT_TRUE(edit.open(QIODevice::WriteOnly | QIODevice::Truncate));
    edit.write("#!/bin/sh\ncat\n");
    edit.close();
    ASSERT_TRUE(QFile::remove(support + QStringLiteral("/TidyConfigFiles/IndentMarkup.tidy")));
    QVSetupConfigurationDirectories().run();
    EXPECT_EQ(readAll(script), QByteArray("#!/bin/sh\ncat\n"));
    EXPECT_FALSE(QFileInfo::exists(support + QStringLiteral("/TidyConfigFiles/IndentMarkup.tidy")));
    EXPECT_EQ(entries(support), expected);
}

TEST(QVSetupConfigurationDirectories, SeedFilesAreValidOperationsAndScripts) {
    const QString resources = AppBundle::main().resourcePath();
    const QRegularExpression tidyName(QStringLiteral("%%%\\{QVTidyName=([^\\}]+)\\}%%%"));
    const QRegularExpression tidyOption(QStringLiteral("^([a-z0-9-]+):\\s+([^\\s]+)$"),
                                        QRegularExpression::CaseInsensitiveOption |
                                            QRegularExpression::MultilineOption);
    const QStringList tidy = entries(resources + QStringLiteral("/Tidy"));
    ASSERT_FALSE(tidy.isEmpty());
    for (const QString& name : tidy) {
        SCOPED_TRACE(name.toStdString());
        const QString text = QString::fromUtf8(readAll(resources + QStringLiteral("/Tidy/") + name));
        EXPECT_TRUE(name.endsWith(QStringLiteral(".tidy")));
        EXPECT_TRUE(tidyName.match(text).hasMatch());
        EXPECT_TRUE(tidyOption.match(text).hasMatch());
        EXPECT_TRUE(text.endsWith(QLatin1Char('\n')));
    }

    const QRegularExpression directive(
        QStringLiteral("%%%\\{PBX((Name)|(KeyEquivalent)|(Input)|(Output)|(Argument)|(NewScript))(=([^\\}]+))?\\}"),
        QRegularExpression::CaseInsensitiveOption);
    // Each seed script, run as the Scripts menu runs it, on a small selection.
    struct Run {
        const char* file;
        QStringList arguments;
        QByteArray input, output;
    };
    const Run runs[] = {
        {"10-Sort Lines.sh", {}, "pear\napple\nfig", "apple\nfig\npear\n"},
        {"20-Change Case.pl", {QStringLiteral("upper")}, "Grüße", "GRÜSSE"},
        {"20-Change Case.pl", {QStringLiteral("lower")}, "ÄB", "äb"},
    };
    for (const Run& run : runs) {
        SCOPED_TRACE(run.file);
        const QString path = resources + QStringLiteral("/User Scripts/") + QLatin1String(run.file);
        const QString text = QString::fromUtf8(readAll(path));
        EXPECT_TRUE(text.contains(QStringLiteral("%%%{PBXName=")));
        EXPECT_TRUE(directive.match(text).hasMatch());
        QProcess process;
        process.start(path, run.arguments);
        ASSERT_TRUE(process.waitForStarted());
        process.write(run.input);
        process.closeWriteChannel();
        ASSERT_TRUE(process.waitForFinished(10000));
        EXPECT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
        EXPECT_EQ(process.readAllStandardOutput(), run.output);
    }
}
