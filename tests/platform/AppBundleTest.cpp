// The application bundle: identity, resource folder and lookup, string tables, helper programs.
#include "platform/AppBundle.h"

#include "platform/PropertyList.h"
#include "tests/support/TestSupport.h"

#include "QorvelSourceTree.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QRegularExpression>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

// Points QORVEL_RESOURCES somewhere else for one scope.
class ResourceOverride {
public:
    explicit ResourceOverride(const QByteArray& value) : _saved(qgetenv("QORVEL_RESOURCES")), _had(qEnvironmentVariableIsSet("QORVEL_RESOURCES")) {
        if (value.isNull()) qunsetenv("QORVEL_RESOURCES");
        else qputenv("QORVEL_RESOURCES", value);
    }
    ~ResourceOverride() {
        if (_had) qputenv("QORVEL_RESOURCES", _saved);
        else qunsetenv("QORVEL_RESOURCES");
    }

private:
    QByteArray _saved;
    bool _had;
};

TEST(AppBundle, IdentityComesFromTheInfoDictionary) {
    const AppBundle& bundle = AppBundle::main();
    EXPECT_EQ(bundle.bundleIdentifier(), QStringLiteral("com.qorvel.Qorvel"));
    EXPECT_EQ(bundle.bundleName(), QStringLiteral("Qorvel"));
    EXPECT_EQ(bundle.shortVersion(), QStringLiteral("0.1"));
    EXPECT_EQ(bundle.version(), QStringLiteral("1"));
    EXPECT_EQ(bundle.objectForInfoDictionaryKey(QStringLiteral("CFBundleExecutable")).toString(), QStringLiteral("qorvel"));
    EXPECT_FALSE(bundle.objectForInfoDictionaryKey(QStringLiteral("NoSuchKey")).isValid());
    EXPECT_EQ(bundle.infoDictionary().value(QStringLiteral("CFBundleIdentifier")).toString(), bundle.bundleIdentifier());
    EXPECT_EQ(QFileInfo(bundle.executablePath()).canonicalFilePath(),
              QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath());
}

TEST(AppBundle, ResourceFolderIsTheOverrideElseBesideTheExecutable) {
    TestDir dir;
    {
        ResourceOverride override(QFile::encodeName(dir.path()));
        EXPECT_EQ(AppBundle::main().resourcePath(), dir.path());
        // Without an Info.plist there the built-in identity still answers.
        EXPECT_EQ(AppBundle::main().bundleIdentifier(), QStringLiteral("com.qorvel.Qorvel"));
        EXPECT_EQ(AppBundle::main().bundleName(), QStringLiteral("Qorvel"));
        EXPECT_TRUE(AppBundle::main().shortVersion().isEmpty());
    }
    {
        ResourceOverride unset{QByteArray()};
        const QString beside = QDir::cleanPath(QFileInfo(AppBundle::main().executablePath()).absolutePath() +
                                               QStringLiteral("/../share/qorvel"));
        ASSERT_TRUE(QFileInfo(beside).isDir()) << "the build copies resources beside bin/";
        EXPECT_EQ(AppBundle::main().resourcePath(), beside);
        EXPECT_EQ(AppBundle::main().shortVersion(), QStringLiteral("0.1"));
    }
}

TEST(AppBundle, FindsResourcesByNameTypeAndFolder) {
    TestDir dir;
    dir.write(QStringLiteral("Info.plist"), PropertyList::toData(QVariantMap{{QStringLiteral("CFBundleName"),
                                                                             QStringLiteral("Other")}},
                                                                 PlistFormat::XML));
    dir.write(QStringLiteral("theme.plist"), "x");
    dir.write(QStringLiteral("b.tidy"), "x");
    dir.write(QStringLiteral("a.tidy"), "x");
    dir.write(QStringLiteral("C.tidy"), "x");
    dir.write(QStringLiteral("readme"), "x");
    dir.write(QStringLiteral("Bundles/HTML.bundle/Info.plist"), "x");
    dir.write(QStringLiteral("Bundles/CSS.bundle/Info.plist"), "x");
    dir.write(QStringLiteral("Bundles/notes.txt"), "x");
    ResourceOverride override(QFile::encodeName(dir.path()));
    const AppBundle& bundle = AppBundle::main();
    EXPECT_EQ(bundle.bundleName(), QStringLiteral("Other"));  // the Info dictionary follows the folder

    const QString root = dir.path() + QLatin1Char('/');
    struct Row {
        const char* name;
        const char* type;
        const char* folder;
        QString expected;
    };
    const Row rows[] = {
        {"theme", "plist", "", root + QStringLiteral("theme.plist")},
        {"theme", ".plist", "", root + QStringLiteral("theme.plist")},
        {"theme.plist", "", "", root + QStringLiteral("theme.plist")},
        {"readme", "", "", root + QStringLiteral("readme")},
        {"HTML", "bundle", "Bundles", root + QStringLiteral("Bundles/HTML.bundle")},
        {"HTML.bundle/Info", "plist", "Bundles", root + QStringLiteral("Bundles/HTML.bundle/Info.plist")},
        {"theme", "plist", "Bundles", QString()},
        {"missing", "plist", "", QString()},
        {"", "", "", QString()},
        {"../Info", "plist", "Bundles", QString()},
        {"Info", "plist", "..", QString()},
        {"/etc/passwd", "", "", QString()},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.name) + " | " + row.type + " | " + row.folder);
        EXPECT_EQ(bundle.pathForResource(QLatin1String(row.name), QLatin1String(row.type), QLatin1String(row.folder)),
                  row.expected);
    }
    EXPECT_EQ(bundle.pathsForResourcesOfType(QStringLiteral("tidy")),
              (QStringList{root + QStringLiteral("a.tidy"), root + QStringLiteral("b.tidy"), root + QStringLiteral("C.tidy")}));
    EXPECT_EQ(bundle.pathsForResourcesOfType(QStringLiteral("bundle"), QStringLiteral("Bundles")),
              (QStringList{root + QStringLiteral("Bundles/CSS.bundle"), root + QStringLiteral("Bundles/HTML.bundle")}));
    EXPECT_EQ(bundle.pathsForResourcesOfType(QString(), QStringLiteral("Bundles")).size(), 3);
    EXPECT_TRUE(bundle.pathsForResourcesOfType(QStringLiteral("tidy"), QStringLiteral("None")).isEmpty());
}

TEST(AppBundle, StringTablesFallBackToTheValueThenTheKey) {
    TestDir dir;
    dir.write(QStringLiteral("Localizable.strings"),
              PropertyList::toData(QVariantMap{{QStringLiteral("Open"), QStringLiteral("Öffnen")},
                                               {QStringLiteral("Count"), qint64(3)}},
                                   PlistFormat::XML));
    dir.write(QStringLiteral("Menus.strings"),
              PropertyList::toData(QVariantMap{{QStringLiteral("Open"), QStringLiteral("Open…")}}, PlistFormat::Binary));
    dir.write(QStringLiteral("Broken.strings"), "\"Open\" = \"not a plist\";");
    ResourceOverride override(QFile::encodeName(dir.path()));
    const AppBundle& bundle = AppBundle::main();
    struct Row {
        const char* key;
        const char* value;
        const char* table;
        const char* expected;
    };
    const Row rows[] = {
        {"Open", "", "", "Öffnen"},
        {"Open", "ignored", "Localizable", "Öffnen"},
        {"Open", "", "Menus", "Open…"},
        {"Save", "Sichern", "", "Sichern"},
        {"Save", "", "", "Save"},
        {"Count", "", "", "Count"},  // not a string in the table
        {"Open", "", "Missing", "Open"},
        {"Open", "Fallback", "Broken", "Fallback"},
        {"Open", "", "../Localizable", "Open"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.key) + " | " + row.table);
        EXPECT_EQ(bundle.localizedString(QString::fromUtf8(row.key), QString::fromUtf8(row.value),
                                         QString::fromUtf8(row.table)),
                  QString::fromUtf8(row.expected));
    }
    EXPECT_EQ(QVLocalized(QStringLiteral("Open")), QStringLiteral("Öffnen"));

    // Many threads reading tables and the identity at once see consistent answers.
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                if (bundle.localizedString(QStringLiteral("Open"), {}, QStringLiteral("Menus")) != QStringLiteral("Open…"))
                    ++wrong;
                if (bundle.bundleIdentifier() != QStringLiteral("com.qorvel.Qorvel")) ++wrong;
            }
        });
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(AppBundle, EveryKeyTheCodeLooksUpHasAText) {
    // Every literal key the sources look up in the main string table: the shipped table gives
    // it a text, or the key reads as its own text (code names such as "DISABLE_SCM" do not).
    const QString resources = QStringLiteral(QORVEL_SOURCE_RESOURCES);
    const QVariant table = PropertyList::readFile(resources + QStringLiteral("/Localizable.strings"));
    ASSERT_EQ(table.typeId(), QMetaType::QVariantMap) << "resources/Localizable.strings is not a dictionary";
    const QVariantMap texts = table.toMap();
    for (auto it = texts.cbegin(); it != texts.cend(); ++it)
        EXPECT_FALSE(it.value().toString().trimmed().isEmpty()) << it.key().toStdString();
    const QRegularExpression lookup(QStringLiteral(
        R"re((?:\bQVLocalized\(\s*|\blocalizedString\(\s*|\bL\()(?:QStringLiteral\(|QString::fromUtf8\(|QString::fromLatin1\(|u)?"((?:[^"\\]|\\.)*)")re"));
    const QRegularExpression readable(QStringLiteral("^(?=.*[a-z])[^_]*$"));
    QDir tree(resources);
    ASSERT_TRUE(tree.cdUp());
    int keys = 0;
    QStringList missing;
    for (const char* folder : {"app", "platform", "shell", "languages", "completion", "database", "files", "editor",
                               "projects", "tools", "scm", "preferences"}) {
        QDirIterator it(tree.filePath(QString::fromLatin1(folder)), {QStringLiteral("*.cpp"), QStringLiteral("*.h")},
                        QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            QFile file(path);
            ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
            const QString source = QString::fromUtf8(file.readAll());
            for (const QRegularExpressionMatch& match : lookup.globalMatch(source)) {
                const QString key = match.captured(1);
                ++keys;
                if (!texts.contains(key) && !readable.match(key).hasMatch())
                    missing << QStringLiteral("%1 in %2").arg(key, tree.relativeFilePath(path));
            }
        }
    }
    EXPECT_GT(keys, 100);
    EXPECT_TRUE(missing.isEmpty()) << missing.join(QStringLiteral(", ")).toStdString();
}

TEST(AppBundle, AuxiliaryExecutablesBesideTheProgramOrInTheResourceBin) {
    TestDir dir;
    const QString tool = dir.write(QStringLiteral("bin/qorvel-helper-test"), "#!/bin/sh\n");
    dir.write(QStringLiteral("bin/not-executable"), "data");
    ASSERT_TRUE(QFile::setPermissions(tool, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    ResourceOverride override(QFile::encodeName(dir.path()));
    const AppBundle& bundle = AppBundle::main();
    EXPECT_EQ(bundle.pathForAuxiliaryExecutable(QStringLiteral("qorvel-helper-test")), tool);
    EXPECT_TRUE(bundle.pathForAuxiliaryExecutable(QStringLiteral("not-executable")).isEmpty());
    EXPECT_TRUE(bundle.pathForAuxiliaryExecutable(QStringLiteral("absent")).isEmpty());
    EXPECT_TRUE(bundle.pathForAuxiliaryExecutable(QStringLiteral("../bin/qorvel-helper-test")).isEmpty());
    // The test program itself sits beside... itself.
    const QString self = QFileInfo(bundle.executablePath()).fileName();
    EXPECT_EQ(bundle.pathForAuxiliaryExecutable(self), QFileInfo(bundle.executablePath()).absoluteFilePath());
}

}  // namespace
