// Snippets: expansion of bodies, the folder tree with its menus and triggers, adding a snippet
// and the one-time migration of the older lists, on real folders.
#include "editor/QVSnippetRepository.h"
#include "platform/NotificationCenter.h"
#include "platform/PropertyList.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QMenu>

#include <gtest/gtest.h>

namespace {

QString write(const TestDir& dir, const QString& name, const QString& text) {
    return dir.write(name, QVSnippet::fileData(text));
}

QStringList titles(const QMenu& menu) {
    QStringList result;
    for (QAction* item : menu.actions()) result << (item->isSeparator() ? QStringLiteral("-") : item->text());
    return result;
}

}  // namespace

TEST(QVSnippet, ExpandsBodies) {
    struct Case {
        const char* body;
        const char* selection;
        std::optional<QString> expected;
        qint64 offset;
        const char* indentation = "";
    };
    const Case cases[] = {
        {"<b>[*sel]</b>", "x", "<b>x</b>", 8},
        {"<ul>\n[*<line>]<li>[*sel]</li>[*</line>]\n</ul>", "a\r\n\nb", "<ul>\n<li>a</li>\n<li>b</li>\n</ul>", 32},
        {"[*<line>]x", "a", std::nullopt, 0},
        {"# %%%{QVKeywordComplete=b}%%%\r\n#\n#\tnote\n#!/bin/sh\n#id { }\na # b", "", "#!/bin/sh\n#id { }\na # b", 23},
        {"a[*cur]b[*cur]", "", "ab[*cur]", 1},
        {"<p>[*<line>]<i>[*sel]</i>[*</line>][*sel]</p>", "", "<p></p>", 7},
        // The selection goes in verbatim: its markers are neither blocks nor the caret.
        {"[*<line>]<li>[*sel]</li>[*</line>]|[*sel]|[*cur]", "[*<line>]\r[*cur]", "<li>[*<line>]</li>\n<li>[*cur]</li>|[*<line>]\r[*cur]|", 52},
        {"[*sel][*cur]", "a\rb", "a\rb", 3},
        // The body's lines take the indentation, a blank one excepted; the selection's keep theirs.
        {"<ul>\r\n[*<line>]\t<li>[*sel]</li>[*</line>]\n\n</ul>[*cur]", "a\n  b", "<ul>\r\n  \t<li>a</li>\n  \t<li>  b</li>\n\n  </ul>", 44, "  "},
        {"<p>\r[*sel][*cur]\r</p>", "x\n\ty", "<p>\r\tx\n\ty\r\t</p>", 9, "\t"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        qint64 offset = -1;
        EXPECT_EQ(QVSnippet::expand(QString::fromUtf8(c.body), QString::fromUtf8(c.selection), &offset, QString::fromUtf8(c.indentation)),
                  c.expected);
        if (c.expected) {
            EXPECT_EQ(offset, c.offset);
        }
    }
    // Without an offset asked for, "[*cur]" stays.
    EXPECT_EQ(QVSnippet::expand("a[*cur]", "", nullptr), "a[*cur]");

    TestDir dir;
    const QString utf16 = write(dir, "s16", QStringLiteral("# %%%{QVKeyEquivalent=@$K}%%%\n\u00e9[*sel]"));
    const QString utf8 = dir.write("s8", QStringLiteral("\u00e9[*sel]").toUtf8());
    EXPECT_EQ(QVSnippet(utf16, false).stringWithSelection("!", nullptr), QStringLiteral("\u00e9!"));
    EXPECT_EQ(QVSnippet(utf8, false).stringWithSelection("!", nullptr), QStringLiteral("\u00e9!"));
    EXPECT_EQ(QVSnippet(dir.file("missing"), false).stringWithSelection("", nullptr), std::nullopt);
    QVSnippet withKey(utf16, false);
    EXPECT_EQ(withKey.keyEquivalent(), "K");
    EXPECT_EQ(withKey.keyEquivalentModifiers(), 0x100000u | 0x20000u);
    const MenuItemRep rep = withKey.menuItemRepWithIndentation(0, true);
    EXPECT_EQ(rep.action(), "insertSnippet:");
    EXPECT_EQ(rep.keyEquivalent(), "K");
    EXPECT_EQ(rep.keyEquivalentModifierMask(), quint32(Qt::ControlModifier | Qt::ShiftModifier));
    EXPECT_EQ(withKey.menuItemRepWithIndentation(0, false).keyEquivalent(), "");
    EXPECT_EQ(QVSnippet(utf8, false).keyEquivalent(), "");
    EXPECT_EQ(QVSnippet(utf8, false).keywordTrigger(), "");
}

TEST(QVSnippetRepository, LoadsTheFolderIntoMenusAndTriggers) {
    TestDir dir;
    const QString folder = dir.file("snippets");
    write(dir, "snippets/.Qorvel", "");
    write(dir, "snippets/Tags/b", "# %%%{QVKeywordComplete=tg}%%%\n<b>");
    write(dir, "snippets/Tags/a", "# %%%{QVKeywordComplete=tg}%%%\n<a>");
    write(dir, "snippets/Tags/Deep/c", "c");
    write(dir, "snippets/plain", "p");
    write(dir, "snippets/.hidden", "h");
    write(dir, "snippets/site.qvproj", "x");
    QDir(folder).mkpath("Empty");
    // A link back to the top ends rather than looping.
    ASSERT_TRUE(QFile::link(folder, folder + "/Tags/Loop"));

    QVSnippetRepository store(folder);
    EXPECT_EQ(store.snippetForKeywordTrigger("tg"), nullptr);  // nothing before the first load

    QMenu menu;
    for (const char* fixed : {"Add", "Edit", "Reload", "Open Folder"}) menu.addAction(fixed);
    int changes = 0;
    const auto token = NotificationCenter::defaultCenter().addObserver(QVSnippetsChangedNotification, nullptr,
                                                                        [&](const Notification&) { ++changes; });
    store.setMainMenu(&menu);
    store.reloadSnippets();
    store.reloadSnippets();
    NotificationCenter::defaultCenter().removeObserver(token);
    EXPECT_EQ(changes, 2);
    EXPECT_EQ(titles(menu), (QStringList{"Add", "Edit", "Reload", "Open Folder", "-", "Empty", "plain", "Tags"}));
    QMenu* tags = menu.actions()[7]->menu();
    ASSERT_NE(tags, nullptr);
    EXPECT_EQ(titles(*tags), (QStringList{"a", "b", "Deep"}));
    EXPECT_EQ(menu.actions()[6]->data().value<std::shared_ptr<QVSnippet>>()->path(), folder + "/plain");
    EXPECT_EQ(menu.actions()[5]->menu(), nullptr);  // an empty folder has no submenu
    // The later of two equal triggers wins.
    ASSERT_NE(store.snippetForKeywordTrigger("tg"), nullptr);
    EXPECT_EQ(store.snippetForKeywordTrigger("tg")->title(), "b");
    EXPECT_EQ(store.snippetForKeywordTrigger("TG"), nullptr);

    // The folder list: folders only, indented by depth; one fixed item gets no separator.
    QMenu folders;
    folders.addAction("");
    store.buildMenu(&folders, true);
    EXPECT_EQ(titles(folders), (QStringList{"", "Empty", "Tags", "Deep"}));
    EXPECT_EQ(folders.actions()[3]->property("indentation").toInt(), 1);
    EXPECT_EQ(folders.actions()[2]->property("indentation").toInt(), 0);
}

TEST(QVSnippetRepository, AddsSnippetsUnderSafeNamesAndMigratesOnce) {
    TestDir dir;
    const QString folder = dir.file("support/snippets");
    QVSnippetRepository store(folder);

    // Migration: the "data" list wins over the shipped defaults; titles become safe names;
    // a file already there is not replaced.
    QVariantMap legacy{{"titles", QVariantList{"../up", ".hidden", "a/b", "Keep"}},
                       {"snippets", QVariantList{"one", "two", "three", "four"}}};
    dir.write("support/data/snippets.plist", PropertyList::toData(legacy, PlistFormat::XML));
    write(dir, "support/snippets/Keep", "mine");
    QVError error;
    ASSERT_TRUE(store.migrate(&error)) << error.localizedDescription().toStdString();
    EXPECT_EQ(QVSnippet::readFile(folder + "/up"), "one");
    EXPECT_EQ(QVSnippet::readFile(folder + "/hidden"), "two");
    EXPECT_EQ(QVSnippet::readFile(folder + "/a-b"), "three");
    EXPECT_EQ(QVSnippet::readFile(folder + "/Keep"), "mine");
    EXPECT_EQ(QVSnippet::readFile(folder + "/Keep 2"), "four");
    EXPECT_TRUE(QFile::exists(folder + "/.Qorvel"));
    EXPECT_FALSE(QFile::exists(dir.file("support/up")));

    // Without the "data" list the shipped defaults come with the oldest list's strings, named
    // by their first line; a failed write leaves no marker.
    TestDir other;
    other.write("support/snippets.plist", PropertyList::toData(QVariantList{"first line\r\nrest"}, PlistFormat::XML));
    QVSnippetRepository fresh(other.file("support/snippets"));
    EXPECT_FALSE(fresh.snippets().empty());
    EXPECT_EQ(QVSnippet::readFile(other.file("support/snippets/first line")), "first line\r\nrest");
    EXPECT_TRUE(QFile::exists(other.file("support/snippets/HTML5 Page")));
    TestDir blocked;
    blocked.write("support/snippets", "a file where the folder should be");
    EXPECT_FALSE(QVSnippetRepository(blocked.file("support/snippets")).migrate(&error));
    EXPECT_TRUE(bool(error));

    // Adding: only return code 1 writes; an existing name is replaced only when the user says so.
    store.snippets();
    EXPECT_FALSE(store.snippetAddDidFinish(0, {}, "New", "x", nullptr));
    EXPECT_FALSE(QFile::exists(folder + "/New"));
    ASSERT_TRUE(store.snippetAddDidFinish(1, {}, "New", "# %%%{QVKeywordComplete=nw}%%%\nx", nullptr));
    ASSERT_NE(store.snippetForKeywordTrigger("nw"), nullptr);  // reloaded
    QString asked;
    error = {};
    EXPECT_FALSE(store.snippetAddDidFinish(1, {}, "New", "y", [&](const QString& path) { asked = path; return false; }, &error));
    EXPECT_EQ(asked, folder + "/New");
    EXPECT_TRUE(bool(error));
    EXPECT_EQ(QVSnippet::readFile(folder + "/New"), "# %%%{QVKeywordComplete=nw}%%%\nx");
    EXPECT_TRUE(store.snippetAddDidFinish(1, {}, "New", "y", [](const QString&) { return true; }));
    EXPECT_EQ(QVSnippet::readFile(folder + "/New"), "y");
    EXPECT_EQ(store.snippetForKeywordTrigger("nw"), nullptr);
    EXPECT_EQ(QVSnippetRepository::safeFileName(".."), "Untitled");
    EXPECT_EQ(QVSnippetRepository::safeFileName(" . x\ny"), "x");
}

TEST(QVSnippetRepository, LongTitlesAreCutBetweenWholeCharactersAndStillMakeFiles) {
    TestDir dir;
    const QString emoji = QStringLiteral("\U0001F600");              // four bytes, two units
    const QString accented = QStringLiteral("e\u0301");              // a letter and its accent
    const QString family = QStringLiteral("\U0001F468\u200D\U0001F469");  // one character of three
    const struct {
        QString title;
        QString expected;
    } cases[] = {
        {QString(300, u'x'), QString(255, u'x')},
        {QString(63, u'x') + emoji.repeated(60), QString(63, u'x') + emoji.repeated(48)},
        {QString(254, u'x') + emoji, QString(254, u'x')},
        {QString(253, u'x') + emoji, QString(253, u'x')},
        {QString(252, u'x') + accented + accented, QString(252, u'x') + accented},
        {QString(250, u'x') + accented + family, QString(250, u'x') + accented},
        {emoji.repeated(63) + QStringLiteral("ab"), emoji.repeated(63) + QStringLiteral("ab")},
    };
    for (const auto& c : cases) {
        const QString name = QVSnippetRepository::safeFileName(c.title);
        EXPECT_EQ(name, c.expected) << c.title.size();
        EXPECT_LE(name.toUtf8().size(), 255);
        // The name is one a real file takes and gives back as it is.
        QFile file(dir.file(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << file.errorString().toStdString();
        file.close();
        EXPECT_TRUE(QDir(dir.path()).entryList(QDir::Files).contains(name));
        QFile::remove(dir.file(name));
    }
}
