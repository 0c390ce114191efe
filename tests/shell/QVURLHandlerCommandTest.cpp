// qvdt: addresses: which are taken, what they open and select, and hostile values.
#include "shell/QVURLHandlerCommand.h"

#include "platform/FileName.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

namespace {

TEST(QVURLHandlerCommand, ParsesOpenRequests) {
    using R = std::optional<QVRange>;
    struct Case {
        const char* url;
        bool taken;
        QString file;
        R range;
    };
    const Case cases[] = {
        {"qvdt://open?file=/tmp/a.html&range=10,5", true, "/tmp/a.html", QVRange(10, 5)},
        {"qvdt://open?range=10,5&file=/tmp/a.html", true, "/tmp/a.html", QVRange(10, 5)},
        {"qvdt://open?file=/tmp/a.html&range=10", true, "/tmp/a.html", std::nullopt},
        {"qvdt://open?file=/tmp/a.html&range=1,2,3", true, "/tmp/a.html", std::nullopt},
        {"qvdt://open?file=/a&file=/b&junk&range=x,7y", true, "/b", QVRange(0, 7)},
        {"qvdt://open?range=3,4", true, "", QVRange(3, 4)},
        {"qvdt://open?file=/tmp/my%20page%C3%A9.html&range=%31,2", true, "/tmp/my pageé.html", QVRange(1, 2)},
        {"qvdt://open?file=/tmp/caf%E9%20%FF%C3.html", true, FileName::decode("/tmp/caf\xe9 \xff\xc3.html"), std::nullopt},
        {"qvdt://open?file=/tmp/100%.html", true, "/tmp/100%.html", std::nullopt},
        {"qvdt://open?file=/tmp/%zz%4", true, "/tmp/%zz%4", std::nullopt},
        {"qvdt://open/?file=/a#frag", true, "/a", std::nullopt},
        {"qvdt://open", true, "", std::nullopt},
        {"qvdt://show?file=/tmp/a.html&range=10,5", false, "", std::nullopt},
        {"qvdt://opener?file=/tmp/a.html", false, "", std::nullopt},
        {"http://open?file=/tmp/a.html", false, "", std::nullopt},
        {"QVDT://open?file=/tmp/a.html", false, "", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        const auto request = QVURLHandlerCommand::parse(QString::fromUtf8(c.url));
        ASSERT_EQ(request.has_value(), c.taken);
        if (!request) continue;
        EXPECT_EQ(request->file, c.file);
        EXPECT_EQ(request->range, c.range);
    }
    // A 10 MB query is parsed without trouble.
    const QString huge = QStringLiteral("qvdt://open?file=/x&pad=") + QString(10 * 1024 * 1024, QLatin1Char('a'));
    EXPECT_EQ(QVURLHandlerCommand::parse(huge)->file, QStringLiteral("/x"));
}

TEST(QVURLHandlerCommand, RangesAreClampedToTheText) {
    struct Case { QVRange in; qint64 length; QVRange out; };
    const Case cases[] = {
        {{10, 5}, 100, {10, 5}},
        {{98, 5}, 100, {98, 2}},
        {{500, 5}, 100, {100, 0}},
        {{-4, 3}, 100, {0, 3}},
        {{4, -3}, 100, {4, 0}},
        {{std::numeric_limits<qint64>::max(), std::numeric_limits<qint64>::max()}, 7, {7, 0}},
        {{0, 0}, 0, {0, 0}},
    };
    for (const Case& c : cases) EXPECT_EQ(QVURLHandlerCommand::clampedRange(c.in, c.length), c.out);
}

}  // namespace
