// File-name filters: the built-in and shipped filters, user filters, validation, the store,
// the modified flags, filtering lists, and use from several threads.
#include "shell/QVFileFilter.h"
#include "shell/QVFileFilters.h"

#include "platform/PropertyList.h"
#include "shell/Defaults.h"
#include "tests/support/TestSupport.h"

#include <QFileInfo>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

QVariantMap filterPlist(const QVariant& title, const QVariant& regex, const QVariant& enabled) {
    QVariantMap plist;
    if (title.isValid()) plist.insert(QStringLiteral("Title"), title);
    if (regex.isValid()) plist.insert(QStringLiteral("Regex"), regex);
    if (enabled.isValid()) plist.insert(QStringLiteral("Enabled"), enabled);
    return plist;
}

std::shared_ptr<QVFileFilters> listWithStore(const TestDir& dir, const QVariant& store) {
    const QString path = dir.file(QStringLiteral("filters.plist"));
    EXPECT_TRUE(PropertyList::writeFile(store, path, PlistFormat::XML));
    return QVFileFilters::create(path, dir.file(QStringLiteral("written/filters.plist")));
}

}  // namespace

TEST(QVFileFilters, BuiltInFiltersAloneOnAnEmptyStore) {
    TestDir dir;
    const auto filters = QVFileFilters::create(dir.file(QStringLiteral("none.plist")),
                                               dir.file(QStringLiteral("out.plist")));
    EXPECT_EQ(filters->countOfFilters(), 0);
    EXPECT_EQ(filters->defaultFilters().size(), 2);
    const struct {
        const char* name;
        bool hidden;
    } rows[] = {
        {"x.DS_Store", true},   {".DS_Store", true},       {"X.ds_store", true},  // case-blind
        {"page.qvproj", true},  {"notes.Qorvel", true},    {"a.tmp_Qorvel42", true},
        {".svn", true},         {".git", true},            {"CVS", true},
        {"myCVS", true},        {"CVS.txt", false},        {"notes.gitignore.bak", true},
        {".cvsignore", true},   {"index.html", false},     {"git", false},
        {"page.qvproj.bak", false}, {"", false},
    };
    for (const auto& row : rows)
        EXPECT_EQ(filters->stringMatchesFilters(QLatin1String(row.name)), row.hidden) << row.name;
}

TEST(QVFileFilters, ShippedListLoads) {
    ASSERT_FALSE(QFileInfo::exists(Defaults::appSupportPathForFile(QStringLiteral("siteViewFiles.plist"),
                                                                   QStringLiteral("data"))));
    const auto filters = QVFileFilters::create();
    ASSERT_GT(filters->countOfFilters(), 0);
    for (const auto& filter : filters->filters()) {
        EXPECT_TRUE(filter->valid()) << filter->title().toStdString();
        EXPECT_FALSE(filter->modified());
    }
    const struct {
        const char* name;
        bool hidden;
    } rows[] = {
        {"index.html~", true}, {".index.html.swp", true}, {"Thumbs.db", true}, {".hg", true},
        {"._page.html", true}, {"node_modules", false},  // shipped disabled
        {"index.html", false}, {"style.css", false},     {"CVS.txt", false}, {".htaccess", false},
    };
    for (const auto& row : rows)
        EXPECT_EQ(filters->stringMatchesFilters(QLatin1String(row.name)), row.hidden) << row.name;
}

TEST(QVFileFilters, UserFiltersMatchWhenEnabledAndValid) {
    TestDir dir;
    const auto filters = listWithStore(
        dir, QVariantList{
                 filterPlist(QStringLiteral("Logs"), QStringLiteral("\\.log$"), true),
                 filterPlist(QStringLiteral("Off"), QStringLiteral("\\.txt$"), false),
                 filterPlist(QStringLiteral("Absent flag"), QStringLiteral("\\.md$"), {}),
                 filterPlist(QStringLiteral("No pattern"), {}, true),
                 filterPlist(QStringLiteral("Empty pattern"), QString(QLatin1String("")), true),
                 filterPlist(QStringLiteral("Broken"), QStringLiteral("(unclosed"), true),
                 filterPlist({}, QStringLiteral("^secret"), true),
                 filterPlist(QStringLiteral("Numbered flag"), QStringLiteral("\\.bak$"), 1),
                 filterPlist(QStringLiteral("Lines"), QStringLiteral("a.b"), true),
                 // Alternatives of their own, a group number and an option of their own: each means
                 // what it means alone beside the others.
                 filterPlist(QStringLiteral("Either"), QStringLiteral("^x$|^y$"), true),
                 filterPlist(QStringLiteral("Doubled"), QStringLiteral("^(q)\\1$"), true),
                 filterPlist(QStringLiteral("Cased"), QStringLiteral("(?-i)^Zz$"), true),
                 filterPlist(QStringLiteral("Committed"), QStringLiteral("^c(*COMMIT)d$"), true),
                 QStringLiteral("not a dictionary"),
             });
    ASSERT_EQ(filters->countOfFilters(), 13) << "elements that are not dictionaries are skipped";
    const struct {
        const char* name;
        bool hidden;
    } rows[] = {
        {"server.log", true},  {"SERVER.LOG", true}, {"notes.txt", false}, {"readme.md", false},
        {"plain", false},      {"(unclosed", false}, {"Secret.key", true}, {"old.bak", true},
        {"a\nb", true},  // "." matches a line break too
        {"x", true},           {"y", true},          {"xy", false},        {"qq", true},
        {"q", false},          {"Zz", true},         {"zz", false},        {"cd", true},
        {"c.log", true},  // "c" commits the verb's own pattern only, not the others
    };
    for (const auto& row : rows)
        EXPECT_EQ(filters->stringMatchesFilters(QLatin1String(row.name)), row.hidden) << row.name;
    // A name that no filter hides costs one expression for each pattern that cannot combine (the
    // group number, the option, the verb), not one per filter; the plain patterns (every other
    // one here) cost none for a name in ASCII, and one combined expression beyond it.
    const QVFileFilters::Matcher matcher = filters->matcher();
    quint64 before = QVFileFilters::expressionsRun();
    EXPECT_FALSE(matcher.matches(QStringLiteral("index.html")));
    EXPECT_EQ(QVFileFilters::expressionsRun() - before, 3u);
    before = QVFileFilters::expressionsRun();
    EXPECT_FALSE(matcher.matches(QStringLiteral("ïndex.html")));
    EXPECT_EQ(QVFileFilters::expressionsRun() - before, 4u);

    const QList<std::shared_ptr<QVFileFilter>> list = filters->filters();
    EXPECT_FALSE(list[2]->enabled()) << "an absent flag is off";
    EXPECT_TRUE(list[3]->valid()) << "a title without pattern is valid";
    EXPECT_FALSE(list[5]->valid());
    EXPECT_FALSE(list[6]->valid()) << "a pattern without title is not";
    EXPECT_TRUE(list[0]->valid());
}

// Patterns matched in the plain form give what their expressions give, name by name: anchors,
// "$" before a final line break, ".", classes, repetition, escaped signs, case, groups that are
// whole alternatives; and patterns of other forms are left to the expressions.
TEST(QVFileFilters, PlainPatternsMatchAsTheirExpressions) {
    const QStringList plain = {QString::fromLatin1(QVFileFilters::BuiltInPattern1), QString::fromLatin1(QVFileFilters::BuiltInPattern2),
                               "~$", "(^\\..*\\.sw[op]$)|(^#.*#$)", "(^\\.hg$)|(^\\.hgignore$)|(^\\.bzr$)|(^_darcs$)",
                               "(^Thumbs\\.db$)|(^desktop\\.ini$)|(^\\._)", "^node_modules$", "a.b", "^x$|^y$", "(?:ab)|c*d",
                               "x*", "^$", "\\.LOG$", "a|", "()", "[Mm]ake.*file"};
    const QStringList other = {"^(q)\\1$", "(?-i)^Zz$", "a+", "b?c", "[^a]", "[a-z]x", "\\d", "^a(b|c)$", "a{2}", "x*y*z*w",
                               "é$", "a$b", "(unclosed"};
    for (const QString& pattern : other) EXPECT_FALSE(QVFileFilters::Matcher::plainForm(pattern).has_value()) << pattern.toStdString();
    const QStringList names = {"index.html", ".DS_Store", "x.ds_store", "a.qorvel", "file.tmp_Qorvel.1", ".svn", ".SVN", "cvs", "mycvs",
                               ".gitignore.bak", "notes~", "notes~\n", "~notes", ".main.swp", ".main.swo", "main.swp", ".swp", "#draft#",
                               "#draft", ".hg", ".hgx", "_darcs", "thumbs.DB", "desktop.ini", "._resource", ".x", "node_modules",
                               "node_modules\n", "node_modulesx", "axb", "a\nb", "ab", "x", "y", "xy", "ab", "zcd", "ccd", "", "\n",
                               "x.log", "X.LOG\n", "x.log.1", "Makefile", "makeAfile", "cmake.file", "MAKE"};
    for (const QString& pattern : plain) {
        ASSERT_TRUE(QVFileFilters::Matcher::plainForm(pattern).has_value()) << pattern.toStdString();
        TestDir dir;
        const auto filters = listWithStore(dir, QVariantList{filterPlist(QStringLiteral("one"), pattern, true)});
        const auto regex = QVRegex::create(pattern, QVFileFilter::MatchOptions);
        const auto builtIn1 = QVRegex::create(QString::fromLatin1(QVFileFilters::BuiltInPattern1), QVFileFilter::MatchOptions);
        const auto builtIn2 = QVRegex::create(QString::fromLatin1(QVFileFilters::BuiltInPattern2), QVFileFilter::MatchOptions);
        const QVFileFilters::Matcher matcher = filters->matcher();
        const quint64 before = QVFileFilters::expressionsRun();
        for (const QString& name : names) {
            const bool expected = regex->copyMatchForString(name).has_value() || builtIn1->copyMatchForString(name).has_value() ||
                                  builtIn2->copyMatchForString(name).has_value();
            EXPECT_EQ(matcher.matches(name), expected) << pattern.toStdString() << " on " << name.toStdString();
        }
        EXPECT_EQ(QVFileFilters::expressionsRun(), before) << pattern.toStdString();
    }
}

TEST(QVFileFilters, FilterFieldsValidationAndEdits) {
    QVFileFilter fresh;
    EXPECT_FALSE(fresh.title().isEmpty());
    EXPECT_TRUE(fresh.pattern().isNull());
    EXPECT_TRUE(fresh.enabled());
    EXPECT_TRUE(fresh.valid());
    EXPECT_FALSE(fresh.matchesString(QStringLiteral("anything")));

    const auto byPattern = QVFileFilter::filterWithPattern(QStringLiteral("x"));
    EXPECT_TRUE(byPattern->title().isNull());
    EXPECT_FALSE(byPattern->valid()) << "not validated";
    EXPECT_TRUE(byPattern->matchesString(QStringLiteral("box")));

    const struct {
        const char* title;
        const char* pattern;
        bool valid;
    } rows[] = {
        {"T", "", true}, {"T", nullptr, true}, {"", "x", false}, {nullptr, "x", false},
        {"T", "[a-", false}, {"T", "^a.*b$", true}, {"", "", false},
    };
    for (const auto& row : rows) {
        QVFileFilter filter;
        filter.setTitle(row.title ? QString::fromLatin1(row.title) : QString());
        filter.setPattern(row.pattern ? QString::fromLatin1(row.pattern) : QString());
        filter.validate();
        EXPECT_EQ(filter.valid(), row.valid) << (row.title ? row.title : "null") << " / "
                                             << (row.pattern ? row.pattern : "null");
    }

    // Edits by key validate and mark the filter; a new pattern takes effect at once.
    QVFileFilter edited;
    EXPECT_FALSE(edited.modified());
    EXPECT_TRUE(edited.setValue(QStringLiteral("\\.o$"), QStringLiteral("pattern")));
    EXPECT_TRUE(edited.modified());
    EXPECT_TRUE(edited.matchesString(QStringLiteral("main.o")));
    EXPECT_TRUE(edited.setValue(QStringLiteral("\\.obj$"), QStringLiteral("pattern")));
    EXPECT_FALSE(edited.matchesString(QStringLiteral("main.o")));
    EXPECT_TRUE(edited.setValue(QStringLiteral("(bad"), QStringLiteral("pattern")));
    EXPECT_FALSE(edited.valid());
    EXPECT_TRUE(edited.setValue(QString(), QStringLiteral("title")));
    EXPECT_FALSE(edited.valid());
    EXPECT_TRUE(edited.setValue(QStringLiteral("Objects"), QStringLiteral("title")));
    EXPECT_TRUE(edited.setValue(QStringLiteral("\\.obj$"), QStringLiteral("pattern")));
    EXPECT_TRUE(edited.valid());
    EXPECT_TRUE(edited.setValue(false, QStringLiteral("enabled")));
    EXPECT_FALSE(edited.matchesString(QStringLiteral("a.obj")));
    EXPECT_FALSE(edited.setValue(1, QStringLiteral("colour")));
    EXPECT_FALSE(edited.setValue(QStringLiteral("yes"), QStringLiteral("enabled")));
    EXPECT_FALSE(edited.enabled());

    const auto copy = edited.copy();
    EXPECT_EQ(copy->plistRepresentation(), edited.plistRepresentation());
    EXPECT_EQ(copy->valid(), edited.valid());
    EXPECT_FALSE(copy->modified());
}

TEST(QVFileFilters, StoreRoundTripAndModifiedFlags) {
    TestDir dir;
    const auto filters = listWithStore(dir, QVariantList{filterPlist(QStringLiteral("Logs"),
                                                                     QStringLiteral("\\.log$"), true)});
    EXPECT_FALSE(filters->modified());
    EXPECT_TRUE(filters->insertObject(QVFileFilter::filterWithPattern(QStringLiteral("^tmp")), 1));
    EXPECT_TRUE(filters->modified());
    EXPECT_FALSE(filters->insertObject(QVFileFilter::filterWithPattern(QStringLiteral("x")), 3));
    EXPECT_FALSE(filters->insertObject(nullptr, 0));
    filters->setModified(false);
    EXPECT_FALSE(filters->modified());

    const auto fresh = std::make_shared<QVFileFilter>();
    filters->insertObject(fresh, 0);
    filters->setModified(false);
    fresh->setValue(QStringLiteral("\\.cache$"), QStringLiteral("pattern"));
    EXPECT_TRUE(filters->modified()) << "a filter's own edit counts";
    filters->setModified(false);
    EXPECT_FALSE(fresh->modified());

    const QVariantList expected{
        QVariantMap{{"Title", fresh->title()}, {"Regex", "\\.cache$"}, {"Enabled", true}},
        QVariantMap{{"Title", "Logs"}, {"Regex", "\\.log$"}, {"Enabled", true}},
        QVariantMap{{"Regex", "^tmp"}, {"Enabled", true}},
    };
    EXPECT_EQ(filters->plistRepresentation(), expected);
    QVError error;
    ASSERT_TRUE(filters->commit(&error)) << error.localizedDescription().toStdString();
    const auto again = QVFileFilters::create(dir.file(QStringLiteral("written/filters.plist")));
    EXPECT_EQ(again->plistRepresentation(), expected);
    EXPECT_TRUE(again->stringMatchesFilters(QStringLiteral("tmpfile")));

    // Matching follows every edit of the list and of its filters, whatever was matched before.
    EXPECT_TRUE(filters->stringMatchesFilters(QStringLiteral("tmpfile")));
    EXPECT_TRUE(filters->removeObjectFromFiltersAtIndex(2));
    EXPECT_FALSE(filters->removeObjectFromFiltersAtIndex(2));
    EXPECT_FALSE(filters->objectInFiltersAtIndex(2));
    EXPECT_TRUE(filters->modified());
    EXPECT_FALSE(filters->stringMatchesFilters(QStringLiteral("tmpfile")));
    EXPECT_TRUE(filters->stringMatchesFilters(QStringLiteral("a.cache")));
    fresh->setEnabled(false);
    EXPECT_FALSE(filters->stringMatchesFilters(QStringLiteral("a.cache")));
    fresh->setEnabled(true);
    fresh->setValue(QStringLiteral("\\.tmp$"), QStringLiteral("pattern"));
    EXPECT_FALSE(filters->stringMatchesFilters(QStringLiteral("a.cache")));
    EXPECT_TRUE(filters->stringMatchesFilters(QStringLiteral("a.tmp")));

    // A failed write answers false and leaves the file that was there.
    const QString blocker = dir.write(QStringLiteral("plainfile"), "x");
    const auto unwritable = QVFileFilters::create(dir.file(QStringLiteral("filters.plist")),
                                                  blocker + QStringLiteral("/filters.plist"));
    EXPECT_FALSE(unwritable->commit(&error));
    EXPECT_FALSE(error.isNull());
    EXPECT_EQ(readAll(blocker), QByteArray("x"));
}

TEST(QVFileFilters, FilterArrayKeepsWhatNoFilterHides) {
    TestDir dir;
    const auto filters = QVFileFilters::create(dir.file(QStringLiteral("none.plist")));
    struct Entry {
        QString name;
        int size;
    };
    const QList<Entry> none;
    EXPECT_TRUE(filters->filterArray(none, [](const Entry& e) { return e.name; }).isEmpty());

    const QList<Entry> entries{{"index.html", 1}, {".svn", 2}, {"style.css", 3}, {"CVS", 4},
                               {".DS_Store", 5},  {"app.js", 6}};
    const QList<Entry> kept = filters->filterArray(entries, [](const Entry& e) { return e.name; });
    QStringList names;
    for (const Entry& e : kept) names.append(e.name);
    EXPECT_EQ(names, (QStringList{"index.html", "style.css", "app.js"}));

    // Any key will do: here a name made from another field.
    const QStringList plain{"a.git", "b", "c.qvproj"};
    EXPECT_EQ(filters->filterArray(plain, [](const QString& s) { return s; }), QStringList{"b"});
}

TEST(QVFileFilters, SharedListFromManyThreads) {
    std::vector<std::thread> threads;
    std::vector<QVFileFilters*> seen(8);
    std::atomic<int> wrong{0};
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&, i] {
            const auto shared = QVFileFilters::sharedFilters();
            seen[i] = shared.get();
            for (int n = 0; n < 200; ++n) {
                if (!shared->stringMatchesFilters(QStringLiteral(".svn"))) ++wrong;
                if (shared->stringMatchesFilters(QStringLiteral("index.html"))) ++wrong;
            }
        });
    }
    // The editor changes the list meanwhile.
    const auto shared = QVFileFilters::sharedFilters();
    for (int n = 0; n < 200; ++n) {
        auto filter = QVFileFilter::filterWithPattern(QStringLiteral("\\.tmp%1$").arg(n));
        shared->insertObject(filter, 0);
        filter->setPattern(QStringLiteral("\\.other$"));
        shared->removeObjectFromFiltersAtIndex(0);
    }
    for (std::thread& thread : threads) thread.join();
    for (QVFileFilters* list : seen) EXPECT_EQ(list, seen.front());
    EXPECT_EQ(wrong.load(), 0);
}

TEST(QVFileFilter, AnyNumberStandsForTheFlag) {
    // Lists built in memory hold numbers of every width; each means what its value says.
    const QVariant yes[] = {true, 1, 1u, qint64(1), quint64(1), 1.0, QVariant(1.0f), QVariant(short(1)), QVariant::fromValue(1L)};
    const QVariant no[] = {false, 0, QVariant(0.0f), QVariant(short(0)), QStringLiteral("1"), QVariantList{true}, QVariant()};
    for (const QVariant& value : yes)
        EXPECT_TRUE(QVFileFilter::filterWithPlist({{"Regex", "x"}, {"Enabled", value}})->enabled()) << value.typeName();
    for (const QVariant& value : no)
        EXPECT_FALSE(QVFileFilter::filterWithPlist({{"Regex", "x"}, {"Enabled", value}})->enabled()) << value.typeName();
}
