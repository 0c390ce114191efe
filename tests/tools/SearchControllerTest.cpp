// The find windows' state: validation, stored options, histories and the two sources of text.
#include "platform/NotificationCenter.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"
#include "tools/QVFindPasteboard.h"
#include "tools/QVSearchController.h"
#include "tools/QVSearchNotifications.h"

#include <gtest/gtest.h>

namespace {

QVariantList strings(const QStringList& list) {
    QVariantList values;
    for (const QString& s : list) values << s;
    return values;
}

class SearchControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto& d = UserDefaults::standard();
        for (const char* key : {QVDoGrepKey, QVDoMatchCaseKey, "QVSearchHistory", "QVReplaceHistory"})
            d.removeObject(QString::fromLatin1(key));
        QVFindPasteboard::general().setString(QString());
    }
};

TEST_F(SearchControllerTest, ValidationFollowsEveryEdit) {
    QVSearchController c;
    EXPECT_FALSE(c.valid());
    // The first character clears a message left by the invalid state; a valid state's message
    // stays through further typing.
    c.setStatus(QStringLiteral("old"));
    c.setValue(QStringLiteral("a"), QStringLiteral("searchString"));
    EXPECT_TRUE(c.valid());
    EXPECT_TRUE(c.status().isNull());
    c.setStatus(QStringLiteral("Not found"));
    c.setValue(QStringLiteral("ab("), QStringLiteral("searchString"));
    EXPECT_TRUE(c.valid());
    EXPECT_EQ(c.status(), QStringLiteral("Not found"));
    c.setValue(true, QStringLiteral("regularExpression"));
    EXPECT_FALSE(c.valid());
    EXPECT_EQ(c.status(), QStringLiteral("Invalid search regular expression"));
    EXPECT_TRUE(UserDefaults::standard().boolForKey(QVDoGrepKey));
    c.setValue(false, QStringLiteral("regularExpression"));
    EXPECT_TRUE(c.valid());
    EXPECT_TRUE(c.status().isNull());
    c.setValue(QString(), QStringLiteral("searchString"));
    EXPECT_FALSE(c.valid());

    // The stored options start every new window; an unchanged option writes nothing.
    c.setMatchCase(false);
    EXPECT_FALSE(UserDefaults::standard().contains(QVDoMatchCaseKey));
    c.setMatchCase(true);
    c.setRegularExpression(true);
    QVSearchController d;
    EXPECT_TRUE(d.matchCase());
    EXPECT_TRUE(d.regularExpression());

    // The search object carries the entry, and a search taken over gives the same entry back.
    d.setValue(QStringLiteral("a(b+)"), QStringLiteral("searchString"));
    d.setValue(QStringLiteral("<$1>"), QStringLiteral("replaceString"));
    QString text = QStringLiteral("ABB abb");
    EXPECT_EQ(d.search().replaceAllInString(text), 1);
    EXPECT_EQ(text, QStringLiteral("ABB <bb>"));
    QVSearch literal = QVSearch::withSearchString(QStringLiteral("x.y"));
    literal.setReplaceString(QStringLiteral("z"));
    d.setSearch(literal);
    EXPECT_FALSE(d.regularExpression());
    EXPECT_FALSE(d.matchCase());
    EXPECT_FALSE(UserDefaults::standard().boolForKey(QVDoGrepKey));
    text = QStringLiteral("X.Y xay");
    EXPECT_EQ(d.search().replaceAllInString(text), 1);
    EXPECT_EQ(text, QStringLiteral("z xay"));
}

TEST_F(SearchControllerTest, HistoriesKeepTenNewestFirst) {
    const QString key = QStringLiteral("QVSearchHistory");
    const QStringList ten = {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"};
    QStringList twelve = ten;
    twelve << "10" << "11";
    struct Case {
        QStringList stored;
        QString remembered;
        QStringList expected;
    } cases[] = {
        {{}, "a", {"a"}},
        {{"a", "b", "c"}, "b", {"b", "a", "c"}},
        {{"a", "b", "c"}, "c", {"c", "a", "b"}},
        {ten, "new", QStringList{"new"} + ten.mid(0, 9)},
        {ten, "5", QStringList{"5", "0", "1", "2", "3", "4", "6", "7", "8", "9"}},
        // One entry goes per call, however long a stored list had grown.
        {twelve, "x", QStringList{"x"} + twelve.mid(0, 11)},
        {{"a"}, QString(), {"", "a"}},
    };
    for (const Case& c : cases) {
        UserDefaults::standard().setObject(strings(c.stored), key);
        QVSearchController::remember(c.remembered, key);
        EXPECT_EQ(QVSearchController::history(key), c.expected) << c.remembered.toStdString();
        EXPECT_EQ(UserDefaults::standard().arrayForKey(key).size(), c.expected.size());
    }

    QVSearchController controller;
    controller.setSearchString(QStringLiteral("find"));
    controller.rememberSearch();
    EXPECT_EQ(QVSearchController::history(key).first(), QStringLiteral("find"));
    EXPECT_EQ(QVSearchController::history(QStringLiteral("QVReplaceHistory")), QStringList{QString("")});
}

TEST_F(SearchControllerTest, PasteboardAndSelectionGiveLiteralSearches) {
    QVFindPasteboard::general().setString(QStringLiteral("a+b"));
    UserDefaults::standard().setBool(true, QVDoGrepKey);
    QVSearchController c;
    EXPECT_EQ(c.searchString(), QStringLiteral("a+b"));
    EXPECT_FALSE(c.regularExpression());
    EXPECT_TRUE(c.valid());

    // The same pasteboard text is taken once: what the user typed since survives reactivation.
    c.setValue(QStringLiteral("typed"), QStringLiteral("searchString"));
    c.applicationDidActivate();
    EXPECT_EQ(c.searchString(), QStringLiteral("typed"));
    c.setValue(true, QStringLiteral("regularExpression"));
    QVFindPasteboard::general().setString(QStringLiteral("(new"));
    c.applicationDidActivate();
    EXPECT_EQ(c.searchString(), QStringLiteral("(new"));
    EXPECT_FALSE(c.regularExpression());
    EXPECT_TRUE(c.valid());

    // Use-selection-for-find reaches every window; a notification without text changes nothing.
    QVSearchController other;
    other.setValue(true, QStringLiteral("regularExpression"));
    NotificationCenter::defaultCenter().post(QVSetSearchString, nullptr,
                                             {{QVSearchStringKey, QStringLiteral("sel[")}});
    for (QVSearchController* w : {&c, &other}) {
        EXPECT_EQ(w->searchString(), QStringLiteral("sel["));
        EXPECT_FALSE(w->regularExpression());
        EXPECT_TRUE(w->valid());
    }
    NotificationCenter::defaultCenter().post(QVSetSearchString);
    EXPECT_EQ(c.searchString(), QStringLiteral("sel["));

    // The extended input writes back only on its accepting button.
    c.extendedInputFinished(QStringLiteral("two\nlines"), QVSearchController::SearchFieldTag, 0);
    EXPECT_EQ(c.searchString(), QStringLiteral("sel["));
    c.extendedInputFinished(QStringLiteral("two\nlines"), QVSearchController::SearchFieldTag, 1);
    c.extendedInputFinished(QStringLiteral("with"), 11, 1);
    EXPECT_EQ(c.searchString(), QStringLiteral("two\nlines"));
    EXPECT_EQ(c.replaceString(), QStringLiteral("with"));
}

}  // namespace
