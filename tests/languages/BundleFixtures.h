// Bundle folders on disk for the bundle and registry tests: a private application-support
// folder and resource folder per test, and writers of small bundles into them.
#pragma once

#include "tests/support/TestSupport.h"

#include "languages/QVBundle.h"
#include "languages/QVBundleComponent.h"
#include "languages/QVBundleFileCategories.h"
#include "platform/PropertyList.h"
#include "shell/Defaults.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QVariantMap>

#include <gtest/gtest.h>

namespace bundles {

// One definition file of a bundle: its name in "Contents", its list, and how it is stored.
struct Definition {
    QString name;
    QVariant plist;
    PlistFormat format = PlistFormat::XML;
};

inline QVariantMap info(const QString& identifier, const QString& title, const QStringList& fileTypes = {}) {
    QVariantMap map;
    if (!identifier.isNull()) map.insert(QStringLiteral("CFBundleIdentifier"), identifier);
    if (!title.isNull()) map.insert(QStringLiteral("CFBundleName"), title);
    if (!fileTypes.isEmpty()) map.insert(QStringLiteral("file-types"), fileTypes);
    return map;
}

// Writes "<folder>/<name>/Contents/..." and answers the bundle folder.
inline QString writeBundle(const QString& folder, const QString& name, const QVariantMap& infoPlist,
                           const QList<Definition>& definitions = {}) {
    const QString path = folder + QLatin1Char('/') + name;
    const QString contents = path + QStringLiteral("/Contents");
    EXPECT_TRUE(QDir().mkpath(contents));
    EXPECT_TRUE(PropertyList::writeFile(infoPlist, contents + QStringLiteral("/Info.plist"), PlistFormat::XML));
    for (const Definition& definition : definitions)
        EXPECT_TRUE(PropertyList::writeFile(definition.plist, contents + QLatin1Char('/') + definition.name, definition.format));
    return path;
}

inline QVariant readPlist(const QString& path, PlistFormat* format = nullptr) {
    return PropertyList::readFile(path, nullptr, format);
}

// A completion engine or indexer as a later subsystem would make it: it edits "keys" and
// "enabled", and keeps the definition it was made from.
class RecordingComponent : public QVBundleComponent {
public:
    explicit RecordingComponent(QVariantMap definition) : definition(std::move(definition)) {}
    QVariantMap plistRepresentation() const override {
        QVariantMap plist;
        for (const QString& key : definitionKeys())
            if (definition.contains(key)) plist.insert(key, definition.value(key));
        return plist;
    }
    QStringList definitionKeys() const override { return {QStringLiteral("keys"), QStringLiteral("enabled")}; }
    QVariantMap definition;
};

// Points the application-support folder and the application's resources at fresh folders for
// one test, and gives bundles a fixed set of file categories; everything is put back after.
class BundleSandbox : public ::testing::Test {
protected:
    void SetUp() override {
        _savedData = qgetenv("XDG_DATA_HOME");
        _savedResources = qgetenv("QORVEL_RESOURCES");
        qputenv("XDG_DATA_HOME", QFile::encodeName(_data.path()));
        qputenv("QORVEL_RESOURCES", QFile::encodeName(_resources.path()));
        QVBundleFileCategories::setLookup([this](const QString& title) -> std::optional<QStringList> {
            for (auto it = categories.constBegin(); it != categories.constEnd(); ++it)
                if (it.key().compare(title, Qt::CaseInsensitive) == 0) return it.value();
            return std::nullopt;
        });
    }
    void TearDown() override {
        QVBundleFileCategories::setLookup({});
        QVBundle::registerCompletionFactory(QStringLiteral("keyword"), {});
        QVBundle::registerCompletionFactory(QStringLiteral("tag"), {});
        QVBundle::registerCompletionFactory(QStringLiteral("QVCSSCodeCompletion"), {});
        QVBundle::registerIndexerFactory({});
        qputenv("XDG_DATA_HOME", _savedData);
        qputenv("QORVEL_RESOURCES", _savedResources);
    }

    // The user's bundles, and the application's built-in ones.
    QString userBundles() const { return Defaults::appSupportPathForFile(QStringLiteral("Bundles")); }
    QString builtInBundles() const { return _resources.path() + QStringLiteral("/Bundles"); }
    // Names in the user's Bundles folder, hidden ones included.
    QStringList userBundleEntries() const {
        return QDir(userBundles()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
    }

    // File categories by title and their extensions.
    QHash<QString, QStringList> categories;

private:
    TestDir _data;
    TestDir _resources;
    QByteArray _savedData;
    QByteArray _savedResources;
};

}  // namespace bundles
