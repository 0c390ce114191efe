// Language bundles with small indexing rules, written into a private application-support folder
// for each test, and a direct look into an index file with SQLite.
#pragma once

#include "tests/support/TestSupport.h"

#include "completion/QVCodeIndexer.h"
#include "languages/QVBundleFileCategories.h"
#include "languages/QVBundleRepository.h"
#include "platform/PropertyList.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"
#include "shell/QVFileCategories.h"
#include "shell/QVFileCategory.h"

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QVariantMap>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>
#include "QorvelSourceTree.h"

namespace codeindex {

// One key rule of "indexer.plist".
inline QVariantMap keyRule(const QString& pattern, const QString& type = {}, int key = 1, int completion = 1) {
    QVariantMap rule{{QStringLiteral("pattern"), pattern},
                     {QStringLiteral("key"), key},
                     {QStringLiteral("completion"), completion}};
    if (!type.isNull()) rule.insert(QStringLiteral("type"), type);
    return rule;
}

inline QVariantMap includeRule(const QString& parserIdentifier, const QString& begin, const QString& end) {
    return {{QStringLiteral("id"), parserIdentifier}, {QStringLiteral("begin"), begin}, {QStringLiteral("end"), end}};
}

// A folder of bundles standing in for the application's, a private application-support folder
// (with its "Bundles"), and a settings store with indexing on; all put back after the test.
class CodeIndexSandbox : public ::testing::Test {
protected:
    void SetUp() override {
        _savedData = qgetenv("XDG_DATA_HOME");
        _savedResources = qgetenv("QORVEL_RESOURCES");
        qputenv("XDG_DATA_HOME", QFile::encodeName(_data.path()));
        qputenv("QORVEL_RESOURCES", QFile::encodeName(_resources.path()));
        QVCodeIndexer::registerFactory();
        // Bundles claim the extensions their Info.plist lists, whatever the shared categories say.
        QVBundleFileCategories::setLookup([](const QString&) -> std::optional<QStringList> { return std::nullopt; });
        defaults = std::make_unique<UserDefaults>(_settings.file(QStringLiteral("defaults.plist")));
        defaults->setBool(true, QString::fromLatin1(QVCodeIndexingEnabled));
    }
    void TearDown() override {
        QVBundleFileCategories::setLookup({});
        qputenv("XDG_DATA_HOME", _savedData);
        qputenv("QORVEL_RESOURCES", _savedResources);
    }

    QString userBundles() const { return Defaults::appSupportPathForFile(QStringLiteral("Bundles")); }
    QString indexPath() const { return Defaults::appSupportPathForFile(QStringLiteral("index.db")); }
    // Uses the application's shipped bundles, with the shipped file categories, instead of an
    // empty folder.
    void useShippedBundles() {
        qputenv("QORVEL_RESOURCES", QORVEL_SOURCE_RESOURCES);
        const auto model = QVFileCategories::create(QStringLiteral(QORVEL_SOURCE_RESOURCES "/data/fileCategories.plist"),
                                                    _settings.file(QStringLiteral("fileCategories.plist")));
        QVBundleFileCategories::setLookup([model](const QString& title) -> std::optional<QStringList> {
            const auto category = model->categoryForTitle(title);
            if (!category) return std::nullopt;
            return category->typeTitles();
        });
    }

    // Writes a user bundle claiming the extensions, with the parser identifier and the rules;
    // answers its folder.
    QString writeBundle(const QString& name, const QString& parserIdentifier, const QStringList& extensions,
                        const QVariantMap& rules) const {
        const QString contents = userBundles() + QLatin1Char('/') + name + QStringLiteral(".qvbundle/Contents");
        EXPECT_TRUE(QDir().mkpath(contents));
        const QVariantMap info{{QStringLiteral("CFBundleIdentifier"), QStringLiteral("com.example.") + name},
                               {QStringLiteral("CFBundleName"), name},
                               {QStringLiteral("file-types"), extensions}};
        EXPECT_TRUE(PropertyList::writeFile(info, contents + QStringLiteral("/Info.plist"), PlistFormat::XML));
        const QVariantMap syntax{{QStringLiteral("format-type"), QStringLiteral("keyword")},
                                 {QStringLiteral("format-id"), parserIdentifier}};
        EXPECT_TRUE(PropertyList::writeFile(syntax, contents + QStringLiteral("/syntax.plist"), PlistFormat::XML));
        writeRules(name, rules);
        return contents.chopped(9);
    }
    void writeRules(const QString& name, const QVariantMap& rules) const {
        const QString path = userBundles() + QLatin1Char('/') + name + QStringLiteral(".qvbundle/Contents/indexer.plist");
        EXPECT_TRUE(PropertyList::writeFile(rules, path, PlistFormat::XML));
    }

    // A registry over the bundles written so far, loaded now.
    std::unique_ptr<QVBundleRepository> makeRepository() const {
        auto repository = std::make_unique<QVBundleRepository>(defaults.get());
        repository->bundles();
        return repository;
    }

    std::unique_ptr<UserDefaults> defaults;
    TestDir files;  // the files to index

private:
    TestDir _data;
    TestDir _resources;
    TestDir _settings;
    QByteArray _savedData;
    QByteArray _savedResources;
};

// A connection of the test's own to an index file, for looking at it and changing it behind the
// index's back.
class RawDatabase {
public:
    explicit RawDatabase(const QString& path) {
        EXPECT_EQ(sqlite3_open(QFile::encodeName(path).constData(), &_db), SQLITE_OK);
        sqlite3_busy_timeout(_db, 5000);
    }
    ~RawDatabase() { sqlite3_close(_db); }
    RawDatabase(const RawDatabase&) = delete;
    RawDatabase& operator=(const RawDatabase&) = delete;

    bool exec(const QString& sql) {
        char* message = nullptr;
        const int rc = sqlite3_exec(_db, sql.toUtf8().constData(), nullptr, nullptr, &message);
        if (rc != SQLITE_OK) lastError = QString::fromUtf8(message ? message : "");
        sqlite3_free(message);
        return rc == SQLITE_OK;
    }
    // Every row, its columns joined by "|" (NULL as "NULL").
    QStringList rows(const QString& sql) {
        QStringList result;
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(_db, sql.toUtf8().constData(), -1, &statement, nullptr) != SQLITE_OK) {
            lastError = QString::fromUtf8(sqlite3_errmsg(_db));
            return {QStringLiteral("ERROR")};
        }
        while (sqlite3_step(statement) == SQLITE_ROW) {
            QStringList columns;
            for (int i = 0; i < sqlite3_column_count(statement); ++i) {
                const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, i));
                columns << (text ? QString::fromUtf8(text) : QStringLiteral("NULL"));
            }
            result << columns.join(QLatin1Char('|'));
        }
        sqlite3_finalize(statement);
        return result;
    }
    QString value(const QString& sql) {
        const QStringList all = rows(sql);
        return all.isEmpty() ? QString() : all.first();
    }
    sqlite3* handle() const { return _db; }
    QString lastError;

private:
    sqlite3* _db = nullptr;
};

}  // namespace codeindex
