// Function hints: the call and argument at a caret, and the prototype found for it.
#include "languages/QVCodeHinting.h"

#include <gtest/gtest.h>

TEST(QVCodeHinting, CallAndArgumentAtTheCaret) {
    const QVCodeHinting hints({}, QVariantMap{{u"foo"_qs, u"foo(a, b, c)"_qs},
                                              {u"obj->get"_qs, u"get(key)"_qs},
                                              {u"bar"_qs, 7}});
    struct Case {
        const char* name;
        QString text;
        qint64 caret;  // -1: the end of the text
        QString function;  // null: no call found
        qint64 argument;
    };
    const QList<Case> cases{
        {"a comma inside a string is no separator", u"foo(a, \"x,y\", b"_qs, -1, u"foo"_qs, 2},
        {"an inner call that is closed", u"foo(bar(1, 2), "_qs, -1, u"foo"_qs, 1},
        {"inside the inner call", u"foo(bar(1, "_qs, -1, u"bar"_qs, 1},
        {"blanks between name and parenthesis", u"x = foo  (1"_qs, -1, u"foo"_qs, 0},
        {"right after the parenthesis", u"foo("_qs, -1, u"foo"_qs, 0},
        {"an opening on an earlier line is not found", u"foo(a,\n b, "_qs, -1, QString(), 0},
        {"only the caret's line counts", u"foo(a\nbar(1, 2"_qs, -1, u"bar"_qs, 1},
        {"caret before the call", u"foo(a, b)"_qs, 2, QString(), 0},
        {"after the call has closed", u"foo(a) + 1"_qs, -1, QString(), 0},
        {"a name must start with a letter", u"1(a, "_qs, -1, QString(), 0},
        {"method arrows belong to the name", u"$obj->get(k"_qs, -1, u"obj->get"_qs, 0},
        {"single quotes and escapes", u"foo('a\\',b', c"_qs, -1, u"foo"_qs, 1},
        {"parentheses inside an argument", u"foo((a, b), c"_qs, -1, u"foo"_qs, 1},
        {"caret in the middle of the arguments", u"foo(a, b, c)"_qs, 6, u"foo"_qs, 1},
        {"caret beyond the text", u"foo(a, "_qs, 100, u"foo"_qs, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const qint64 caret = c.caret < 0 ? c.text.size() : c.caret;
        qint64 argument = -7;
        EXPECT_EQ(hints.functionNameInString(c.text, caret, &argument), c.function);
        EXPECT_EQ(argument, c.function.isNull() ? -7 : c.argument);
    }

    qint64 argument = -1;
    EXPECT_EQ(hints.prototypeInString(u"foo(1, "_qs, 7, &argument), u"foo(a, b, c)"_qs);
    EXPECT_EQ(argument, 1);
    EXPECT_TRUE(hints.prototypeInString(u"baz(1"_qs, 5).isNull()) << "no prototype for baz";
    EXPECT_TRUE(hints.prototypeInString(u"bar(1"_qs, 5).isNull()) << "a prototype that is no string";
}

TEST(QVCodeHinting, CountingArguments) {
    struct Case {
        QString text;
        qint64 position;
        qint64 expected;
    };
    // The character at the position itself is counted too.
    const QList<Case> cases{
        {u"a, b, c"_qs, 0, 0}, {u"a, b, c"_qs, 1, 1}, {u"a, b, c"_qs, 100, 2}, {u"\"a,b\", c"_qs, 7, 1},
        {u"'a\\'b,c', d"_qs, 10, 1}, {u"\\, a, b"_qs, 6, 1}, {u"(a, b), c"_qs, 8, 1}, {QString(), 3, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.toStdString());
        EXPECT_EQ(QVCodeHinting::argumentIndexInString(c.text, c.position), c.expected);
    }
}
