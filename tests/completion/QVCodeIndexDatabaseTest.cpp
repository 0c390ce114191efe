// The index file on a real SQLite database: schema and upgrade, files that are no index, one
// transaction per file, references and tags, and the queries of completion.
#include "CodeIndexFixtures.h"

#include "completion/QVCodeIndexDatabase.h"
#include "shell/StringHashing.h"
#include "tests/support/LogCapture.h"

#include <QFileInfo>
#include <QRegularExpression>

#include <gtest/gtest.h>

using namespace codeindex;

namespace {

QVCodeIndexKey key(const QString& text, const QString& type, const QString& keyClass = u"text.t"_qs,
                   const QString& completion = {}) {
    QVCodeIndexKey found(text, completion.isNull() ? text + u"()"_qs : completion);
    found.setType(type);
    found.setClassString(keyClass);
    return found;
}

QVCodeIndexer::Output output(QList<QVCodeIndexKey> keys, QStringList files = {}, QStringList tags = {},
                             QStringList referencedTags = {}) {
    QVCodeIndexer::Output result;
    result.results = std::move(keys);
    result.referencedFiles = std::move(files);
    result.tags = std::move(tags);
    result.referencedTags = std::move(referencedTags);
    return result;
}

// "type key completion" of each key, sorted: the order of DISTINCT rows is SQLite's.
QStringList sorted(const std::optional<QList<QVCodeIndexKey>>& keys) {
    if (!keys) return {u"NONE"_qs};
    QStringList lines;
    for (const QVCodeIndexKey& k : *keys) lines << (k.type().isNull() ? u"-"_qs : k.type()) + u' ' + k.key() + u' ' + k.completion();
    lines.sort();
    return lines;
}

}  // namespace

class QVCodeIndexDatabaseTest : public CodeIndexSandbox {
protected:
    // Indexes the file (by path) with the output, as the index thread does.
    qint64 store(QVCodeIndexDatabase& database, const QString& path, const QVCodeIndexer::Output& found,
                 qint64 modified = 1) {
        const auto info = database.fileInfoForPath(path);
        EXPECT_TRUE(info);
        if (!info) return 0;
        EXPECT_TRUE(database.replaceFile(path, info->id, found, modified));
        return info->id;
    }
};

TEST_F(QVCodeIndexDatabaseTest, CreatesTheSchemaOnANewFile) {
    QVCodeIndexDatabase database(indexPath());
    EXPECT_FALSE(database.isOpen());
    ASSERT_TRUE(database.open());
    EXPECT_TRUE(database.open());
    EXPECT_TRUE(database.movedAsideFiles().isEmpty());

    RawDatabase raw(indexPath());
    EXPECT_EQ(raw.rows(u"SELECT name, sql FROM sqlite_master WHERE type='table' AND name NOT LIKE 'sqlite_%' ORDER BY rowid"_qs),
              QStringList({
                  u"files|CREATE TABLE files (id integer PRIMARY KEY AUTOINCREMENT, path text, last_update numeric)"_qs,
                  u"referencedFiles|CREATE TABLE referencedFiles (src_id integer, dst_id integer)"_qs,
                  u"keys|CREATE TABLE keys (id integer PRIMARY KEY AUTOINCREMENT, file_id integer, parent_id integer DEFAULT 0, key text, completion text, range text, type integer, class integer)"_qs,
                  u"types|CREATE TABLE types (id integer PRIMARY KEY AUTOINCREMENT, title text NOT NULL)"_qs,
                  u"classes|CREATE TABLE classes (id integer PRIMARY KEY AUTOINCREMENT, title text NOT NULL)"_qs,
                  u"tags|CREATE TABLE tags (id integer PRIMARY KEY AUTOINCREMENT, file_id integer DEFAULT 0, tag text NOT NULL)"_qs,
                  u"referencedTags|CREATE TABLE referencedTags (file_id integer, tag_id integer)"_qs,
                  u"config|CREATE TABLE config (version integer)"_qs,
              }));
    EXPECT_EQ(raw.rows(u"SELECT version FROM config"_qs), QStringList{u"2"_qs});
    EXPECT_EQ(raw.value(u"PRAGMA journal_mode"_qs), u"wal"_qs);
    EXPECT_TRUE(raw.rows(u"SELECT name FROM sqlite_master WHERE type='index'"_qs).contains(u"tag_index"_qs));

    // Ids of titles survive a new start: the caches are loaded from the file.
    const QString file = files.file(u"a.t"_qs);
    store(database, file, output({key(u"alpha"_qs, u"function"_qs)}));
    database.close();
    EXPECT_FALSE(database.isOpen());
    QVCodeIndexDatabase again(indexPath());
    ASSERT_TRUE(again.open());
    store(again, files.file(u"b.t"_qs), output({key(u"beta"_qs, u"function"_qs)}));
    EXPECT_EQ(raw.rows(u"SELECT title FROM types"_qs), QStringList{u"function"_qs});
    EXPECT_EQ(raw.rows(u"SELECT title FROM classes"_qs), QStringList{u"text.t"_qs});
    EXPECT_EQ(sorted(again.keysForType(u"function"_qs, u"text.t"_qs, QString())),
              QStringList({u"function alpha alpha()"_qs, u"function beta beta()"_qs}));
    EXPECT_TRUE(again.movedAsideFiles().isEmpty());
}

TEST_F(QVCodeIndexDatabaseTest, UpgradesAVersionOneFileWithItsDataEmptied) {
    QDir().mkpath(QFileInfo(indexPath()).absolutePath());
    {
        RawDatabase old(indexPath());
        ASSERT_TRUE(old.exec(u"CREATE TABLE files (id integer PRIMARY KEY AUTOINCREMENT, path text, last_update numeric);"
                             "CREATE TABLE referencedFiles (src_id integer, dst_id integer);"
                             "CREATE TABLE keys (id integer PRIMARY KEY AUTOINCREMENT, file_id integer, parent_id integer "
                             "DEFAULT 0, key text, completion text, range text, type integer, class integer);"
                             "CREATE TABLE types (id integer PRIMARY KEY AUTOINCREMENT, title text NOT NULL);"
                             "CREATE TABLE classes (id integer PRIMARY KEY AUTOINCREMENT, title text NOT NULL);"
                             "INSERT INTO files (path, last_update) VALUES ('0123', 1000.0);"
                             "INSERT INTO referencedFiles VALUES (1, 1);"
                             "INSERT INTO types (title) VALUES ('function');"
                             "INSERT INTO classes (title) VALUES ('text.t');"
                             "INSERT INTO keys (file_id, key, completion, type, class) VALUES (1, 'old', 'old()', 1, 1);"_qs))
            << old.lastError.toStdString();
    }
    {
        QVCodeIndexDatabase database(indexPath());
        ASSERT_TRUE(database.open());
        EXPECT_TRUE(database.movedAsideFiles().isEmpty());
        RawDatabase raw(indexPath());
        EXPECT_EQ(raw.rows(u"SELECT version FROM config"_qs), QStringList{u"2"_qs});
        for (const QString& table : {u"files"_qs, u"referencedFiles"_qs, u"keys"_qs, u"types"_qs, u"classes"_qs,
                                     u"tags"_qs, u"referencedTags"_qs})
            EXPECT_EQ(raw.value(u"SELECT count(*) FROM "_qs + table), u"0"_qs) << table.toStdString();
        EXPECT_EQ(sorted(database.keysForType(QString(), QString(), QString())), QStringList());
        store(database, files.file(u"new.t"_qs), output({key(u"fresh"_qs, u"function"_qs)}));
    }
    // The next start reads version 2 and keeps what was written since.
    QVCodeIndexDatabase database(indexPath());
    ASSERT_TRUE(database.open());
    EXPECT_TRUE(database.movedAsideFiles().isEmpty());
    EXPECT_EQ(sorted(database.keysForType(QString(), u"text.t"_qs, files.file(u"new.t"_qs))),
              QStringList{u"function fresh fresh()"_qs});
}

TEST_F(QVCodeIndexDatabaseTest, MovesAsideFilesThatAreNoIndexAndStartsAgain) {
    struct Case {
        const char* name;
        std::function<void(const QString& path)> make;
    };
    const auto writeBytes = [](const QByteArray& bytes) {
        return [bytes](const QString& path) {
            QFile file(path);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(bytes);
        };
    };
    const auto sql = [](const QString& statements) {
        return [statements](const QString& path) {
            RawDatabase raw(path);
            ASSERT_TRUE(raw.exec(statements)) << raw.lastError.toStdString();
        };
    };
    const Case cases[] = {
        {"an empty file", writeBytes(QByteArray())},
        {"text that is no database", writeBytes(QByteArray("this is not a database\n").repeated(200))},
        {"a database cut short", [](const QString& path) {
             {
                 RawDatabase raw(path);
                 raw.exec(u"CREATE TABLE notes (body text); INSERT INTO notes VALUES (hex(randomblob(20000)));"_qs);
             }
             QFile::resize(path, 1500);
         }},
        {"another program's database", sql(u"CREATE TABLE notes (id integer, body text)"_qs)},
        {"an index without a column", sql(u"CREATE TABLE files (id integer PRIMARY KEY, path text);"
                                          "CREATE TABLE referencedFiles (src_id integer, dst_id integer);"
                                          "CREATE TABLE keys (id integer, file_id integer, parent_id integer, key text, "
                                          "completion text, range text, type integer, class integer);"
                                          "CREATE TABLE types (id integer, title text);"
                                          "CREATE TABLE classes (id integer, title text);"_qs)},
        {"version 2 without its tags", sql(u"CREATE TABLE files (id integer PRIMARY KEY, path text, last_update numeric);"
                                           "CREATE TABLE referencedFiles (src_id integer, dst_id integer);"
                                           "CREATE TABLE keys (id integer, file_id integer, parent_id integer, key text, "
                                           "completion text, range text, type integer, class integer);"
                                           "CREATE TABLE types (id integer, title text);"
                                           "CREATE TABLE classes (id integer, title text);"
                                           "CREATE TABLE config (version integer); INSERT INTO config VALUES (2);"_qs)},
        {"a folder", [](const QString& path) { ASSERT_TRUE(QDir().mkpath(path + u"/inside"_qs)); }},
    };
    QDir().mkpath(QFileInfo(indexPath()).absolutePath());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QString path = indexPath();
        c.make(path);
        const bool folder = QFileInfo(path).isDir();
        const QByteArray before = folder ? QByteArray() : readAll(path);
        // A journal left beside the bad file must not be applied to the new one.
        if (!folder) {
            QFile journal(path + u"-journal"_qs);
            ASSERT_TRUE(journal.open(QIODevice::WriteOnly));
            journal.write(QByteArray("stale journal").repeated(100));
        }

        QVCodeIndexDatabase database(path);
        ASSERT_TRUE(database.open());
        const QString aside = path + u".bad"_qs;
        EXPECT_EQ(database.movedAsideFiles(), QStringList{aside});
        EXPECT_EQ(QFileInfo(aside).isDir(), folder);
        if (!folder) {
            EXPECT_EQ(readAll(aside), before);
        }
        EXPECT_FALSE(QFileInfo::exists(path + u"-journal"_qs));
        store(database, files.file(u"x.t"_qs), output({key(u"works"_qs, u"function"_qs)}));
        EXPECT_EQ(sorted(database.keysForType(u"function"_qs, QString(), files.file(u"x.t"_qs))),
                  QStringList{u"function works works()"_qs});
        database.close();

        // Cleared for the next case.
        QDir(aside).removeRecursively();
        for (const QString& name : {path, aside, path + u"-wal"_qs, path + u"-shm"_qs, aside + u"-journal"_qs})
            QFile::remove(name);
    }

    // A second bad file does not replace the first one moved aside.
    QFile::remove(indexPath());
    writeBytes("first bad file")(indexPath());
    {
        QVCodeIndexDatabase database(indexPath());
        ASSERT_TRUE(database.open());
    }
    QFile::remove(indexPath());
    QFile::remove(indexPath() + u"-wal"_qs);
    QFile::remove(indexPath() + u"-shm"_qs);
    writeBytes("second bad file")(indexPath());
    QVCodeIndexDatabase database(indexPath());
    ASSERT_TRUE(database.open());
    EXPECT_EQ(database.movedAsideFiles(), QStringList{indexPath() + u".bad2"_qs});
    EXPECT_EQ(readAll(indexPath() + u".bad"_qs), QByteArray("first bad file"));
    EXPECT_EQ(readAll(indexPath() + u".bad2"_qs), QByteArray("second bad file"));
}

TEST_F(QVCodeIndexDatabaseTest, AFileThatFailsHalfWayKeepsItsPreviousState) {
    QVCodeIndexDatabase database(indexPath());
    ASSERT_TRUE(database.open());
    const QString a = files.file(u"a.t"_qs);
    const QString b = files.file(u"b.t"_qs);

    const auto info = database.fileInfoForPath(a);
    ASSERT_TRUE(info);
    EXPECT_FALSE(info->lastUpdate);
    EXPECT_EQ(database.fileInfoForPath(a)->id, info->id);

    store(database, a, output({key(u"one"_qs, u"function"_qs), key(u"two"_qs, u"function"_qs)}, {b}, {u"ModA"_qs},
                              {u"Other"_qs}),
          1700000000123456789LL);
    EXPECT_EQ(database.fileInfoForPath(a)->lastUpdate, std::optional<qint64>(1700000000123456789LL));

    RawDatabase raw(indexPath());
    const auto state = [&] {
        return QStringList{
            raw.rows(u"SELECT key, completion FROM keys ORDER BY id"_qs).join(u','),
            raw.rows(u"SELECT src_id, dst_id FROM referencedFiles"_qs).join(u','),
            raw.rows(u"SELECT file_id, tag FROM tags ORDER BY id"_qs).join(u','),
            raw.rows(u"SELECT file_id, tag_id FROM referencedTags"_qs).join(u','),
            raw.rows(u"SELECT id, last_update FROM files ORDER BY id"_qs).join(u','),
            raw.rows(u"SELECT title FROM types ORDER BY id"_qs).join(u','),
        };
    };
    const QStringList before = state();
    EXPECT_EQ(before.at(0), u"one|one(),two|two()"_qs);
    EXPECT_EQ(before.at(4), QStringLiteral("%1|1700000000123456789,%2|NULL").arg(info->id).arg(info->id + 1));

    // A key the database refuses in the middle of the file: nothing of the new state stays, not
    // even the new type title.
    ASSERT_TRUE(raw.exec(u"CREATE TRIGGER poison BEFORE INSERT ON keys WHEN NEW.key='poison' "
                         "BEGIN SELECT RAISE(ABORT, 'poisoned key'); END"_qs));
    EXPECT_FALSE(database.replaceFile(
        a, info->id, output({key(u"three"_qs, u"constant"_qs), key(u"poison"_qs, u"function"_qs), key(u"four"_qs, u"function"_qs)},
                         {}, {u"ModB"_qs}),
        1700000000999999999LL));
    EXPECT_EQ(state(), before);
    EXPECT_EQ(database.fileInfoForPath(a)->lastUpdate, std::optional<qint64>(1700000000123456789LL));
    // A new file that fails does not even keep the row made for it.
    const QString c = files.file(u"c.t"_qs);
    EXPECT_FALSE(database.replaceFile(c, 0, output({key(u"poison"_qs, u"function"_qs)}), 5));
    EXPECT_EQ(database.fileInfoForPath(c, false)->id, 0);
    EXPECT_EQ(state(), before);

    // The id the failed transaction gave "constant" is gone with it; the next file gets a real one.
    ASSERT_TRUE(raw.exec(u"DROP TRIGGER poison"_qs));
    store(database, b, output({key(u"five"_qs, u"constant"_qs)}));
    EXPECT_EQ(raw.value(u"SELECT types.title FROM keys JOIN types ON keys.type=types.id WHERE key='five'"_qs),
              u"constant"_qs);
    EXPECT_EQ(sorted(database.keysForType(u"constant"_qs, u"text.t"_qs, QString())),
              QStringList{u"constant five five()"_qs});
}

TEST_F(QVCodeIndexDatabaseTest, AFileThatFailsInABatchLeavesTheOthersWhole) {
    QVCodeIndexDatabase database(indexPath());
    ASSERT_TRUE(database.open());
    RawDatabase raw(indexPath());
    ASSERT_TRUE(raw.exec(u"CREATE TRIGGER poison BEFORE INSERT ON keys WHEN NEW.key='poison' "
                         "BEGIN SELECT RAISE(ABORT, 'poisoned key'); END"_qs));
    const QString a = files.file(u"a.t"_qs);
    const QString b = files.file(u"b.t"_qs);
    const QString c = files.file(u"c.t"_qs);
    store(database, a, output({key(u"old"_qs, u"function"_qs)}));

    ASSERT_TRUE(database.beginBatch());
    EXPECT_TRUE(database.inBatch());
    EXPECT_FALSE(database.batchIsDue());
    EXPECT_TRUE(database.replaceFile(a, database.fileInfoForPath(a, false)->id,
                                     output({key(u"new"_qs, u"tagged"_qs)}, {}, {u"TA"_qs}), 2));
    EXPECT_FALSE(database.replaceFile(b, 0, output({key(u"fine"_qs, u"function"_qs), key(u"poison"_qs, u"kind"_qs)}), 3));
    EXPECT_TRUE(database.replaceFile(c, 0, output({key(u"other"_qs, u"function"_qs)}, {a}), 4));
    // Nothing of the batch is visible before it is committed.
    EXPECT_EQ(sorted(database.keysForType(QString(), u"text.t"_qs, QString())), QStringList{u"function old old()"_qs});
    ASSERT_TRUE(database.commitBatch());
    EXPECT_FALSE(database.inBatch());
    EXPECT_TRUE(database.commitBatch());

    EXPECT_EQ(sorted(database.keysForType(QString(), u"text.t"_qs, c)),
              QStringList({u"function other other()"_qs, u"tagged new new()"_qs}));
    EXPECT_EQ(database.fileInfoForPath(b, false)->id, 0);
    EXPECT_EQ(raw.rows(u"SELECT title FROM types ORDER BY id"_qs), QStringList({u"function"_qs, u"tagged"_qs}));
    EXPECT_EQ(database.fileInfoForPath(a, false)->lastUpdate, std::optional<qint64>(2));
}

TEST_F(QVCodeIndexDatabaseTest, FilesSeeWhatTheyReferToThroughFilesAndTags) {
    QVCodeIndexDatabase database(indexPath());
    ASSERT_TRUE(database.open());
    const auto path = [this](const char* name) { return files.file(QString::fromLatin1(name)); };
    // A refers to B; B declares T and refers back to A; C refers to T; D refers to U, which
    // nobody declares yet.
    store(database, path("a.t"), output({key(u"inA"_qs, u"function"_qs)}, {path("b.t")}));
    store(database, path("b.t"), output({key(u"inB"_qs, u"function"_qs)}, {path("a.t")}, {u"T"_qs}));
    store(database, path("c.t"), output({key(u"inC"_qs, u"function"_qs)}, {}, {}, {u"T"_qs}));
    store(database, path("d.t"), output({key(u"inD"_qs, u"function"_qs)}, {}, {}, {u"U"_qs}));

    const auto visible = [&](const char* name) {
        return sorted(database.keysForType(u"function"_qs, u"text.t"_qs, path(name)));
    };
    EXPECT_EQ(visible("a.t"), QStringList({u"function inA inA()"_qs, u"function inB inB()"_qs}));
    EXPECT_EQ(visible("b.t"), QStringList({u"function inA inA()"_qs, u"function inB inB()"_qs}));
    // Through T to B, and through B on to A.
    EXPECT_EQ(visible("c.t"), QStringList({u"function inA inA()"_qs, u"function inB inB()"_qs, u"function inC inC()"_qs}));
    EXPECT_EQ(visible("d.t"), QStringList({u"function inD inD()"_qs}));
    const auto ids = database.fileIDsForPath(path("d.t"));
    ASSERT_TRUE(ids);
    EXPECT_TRUE(ids->contains(0));  // the unclaimed tag
    EXPECT_FALSE(database.fileIDsForPath(path("never.t")));

    // A file declaring U claims the placeholder that D refers to.
    store(database, path("e.t"), output({key(u"inE"_qs, u"function"_qs)}, {}, {u"U"_qs}));
    EXPECT_EQ(visible("d.t"), QStringList({u"function inD inD()"_qs, u"function inE inE()"_qs}));

    // B indexed again: C, which has not changed, still sees it; once B stops declaring T, not.
    store(database, path("b.t"), output({key(u"inB2"_qs, u"function"_qs)}, {}, {u"T"_qs}), 2);
    EXPECT_EQ(visible("c.t"), QStringList({u"function inB2 inB2()"_qs, u"function inC inC()"_qs}));
    EXPECT_EQ(visible("a.t"), QStringList({u"function inA inA()"_qs, u"function inB2 inB2()"_qs}));
    store(database, path("b.t"), output({key(u"inB3"_qs, u"function"_qs)}), 3);
    EXPECT_EQ(visible("c.t"), QStringList({u"function inC inC()"_qs}));
}

TEST_F(QVCodeIndexDatabaseTest, AnswersQueriesByTypeAndClass) {
    QVCodeIndexDatabase database(indexPath());
    EXPECT_FALSE(database.keysForType(u"function"_qs, QString(), QString()));
    EXPECT_EQ(sorted(database.keysForType(QString(), QString(), QString())), QStringList());
    ASSERT_TRUE(database.open());
    const QString a = files.file(u"a.t"_qs);
    const QString b = files.file(u"b.t"_qs);
    store(database, a,
          output({key(u"go"_qs, u"function"_qs), key(u"Cart"_qs, u"class"_qs), key(u"id1"_qs, u"id"_qs, u"text.html"_qs),
                  key(u"bare"_qs, QString())},
                 {b}));
    store(database, b, output({key(u"go"_qs, u"function"_qs), key(u"stop"_qs, u"function"_qs)}));
    store(database, files.file(u"elsewhere.t"_qs), output({key(u"far"_qs, u"function"_qs)}));

    struct Case {
        const char* name;
        QString type;
        QString keyClass;
        QString file;
        QStringList expected;
    };
    const Case cases[] = {
        {"type, class and file", u"function"_qs, u"text.t"_qs, a,
         {u"function go go()"_qs, u"function stop stop()"_qs}},
        {"class and file, types from the rows", QString(), u"text.t"_qs, a,
         {u"- bare bare()"_qs, u"class Cart Cart()"_qs, u"function go go()"_qs, u"function stop stop()"_qs}},
        {"type only, every file", u"function"_qs, QString(), QString(),
         {u"function far far()"_qs, u"function go go()"_qs, u"function stop stop()"_qs}},
        {"another class", QString(), u"text.html"_qs, a, {u"id id1 id1()"_qs}},
        {"a file without a row", QString(), u"text.t"_qs, files.file(u"unknown.t"_qs), {}},
        {"a type never seen", u"macro"_qs, u"text.t"_qs, a, {}},
        {"a class never seen", QString(), u"text.none"_qs, QString(), {}},
        {"nothing asked", QString(), QString(), b, {u"function go go()"_qs, u"function stop stop()"_qs}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(sorted(database.keysForType(c.type, c.keyClass, c.file)), c.expected);
    }
    RawDatabase raw(indexPath());
    EXPECT_EQ(raw.rows(u"SELECT title FROM types WHERE title='macro'"_qs), QStringList{u"macro"_qs});
    EXPECT_EQ(raw.rows(u"SELECT title FROM classes WHERE title='text.none'"_qs), QStringList{u"text.none"_qs});
    EXPECT_EQ(database.typeStringForID(raw.value(u"SELECT id FROM types WHERE title='class'"_qs).toLongLong()), u"class"_qs);
    EXPECT_TRUE(database.typeStringForID(9999).isNull());
}

TEST_F(QVCodeIndexDatabaseTest, QueriesDoNotWaitForAnotherWriter) {
    QVCodeIndexDatabase database(indexPath());
    ASSERT_TRUE(database.open());
    const QString a = files.file(u"a.t"_qs);
    store(database, a, output({key(u"seen"_qs, u"function"_qs)}));

    // Another connection holds the write lock, as the index thread does during a file.
    RawDatabase writer(indexPath());
    ASSERT_TRUE(writer.exec(u"BEGIN IMMEDIATE; INSERT INTO keys (file_id, key) VALUES (1, 'uncommitted');"_qs));
    EXPECT_EQ(sorted(database.keysForType(QString(), u"text.t"_qs, a)), QStringList{u"function seen seen()"_qs});
    // A new title cannot get its row now: the query gives up at once instead of waiting.
    LogCapture log;
    EXPECT_FALSE(database.keysForType(u"brand-new"_qs, QString(), a));
    EXPECT_TRUE(log.containsMatch(QStringLiteral(".*Database busy \\(%1\\) after 0 tries").arg(QRegularExpression::escape(indexPath()))))
        << log.lines().join(u'\n').toStdString();
    ASSERT_TRUE(writer.exec(u"COMMIT"_qs));
    EXPECT_EQ(sorted(database.keysForType(u"brand-new"_qs, QString(), a)), QStringList());
}
