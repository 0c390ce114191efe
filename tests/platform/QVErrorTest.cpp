// Tests of error values: texts, domains, user information and equality.
#include "platform/QVError.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

namespace {

TEST(QVErrorTest, NullErrorAndFallbackTexts) {
    const QVError none;
    EXPECT_TRUE(none.isNull());
    EXPECT_FALSE(bool(none));
    EXPECT_TRUE(none.localizedDescription().isEmpty());
    EXPECT_EQ(none, QVError());

    struct Case {
        QString domain;
        qint64 code;
        QString description;
    };
    const Case cases[] = {
        {QStringLiteral("Dom"), 5, QStringLiteral("The operation couldn't be completed. (Dom error 5.)")},
        {QStringLiteral("Dom"), -1, QStringLiteral("The operation couldn't be completed. (Dom error -1.)")},
        // A domain with a place-marker of its own must come through untouched.
        {QStringLiteral("a%2b"), 7, QStringLiteral("The operation couldn't be completed. (a%2b error 7.)")},
        {QStringLiteral("Big"), 1LL << 40, QStringLiteral("The operation couldn't be completed. (Big error 1099511627776.)")},
    };
    for (const Case& c : cases) {
        const QVError e(c.domain, c.code);
        EXPECT_FALSE(e.isNull());
        EXPECT_TRUE(bool(e));
        EXPECT_EQ(e.localizedDescription(), c.description);
        EXPECT_TRUE(e.localizedRecoverySuggestion().isEmpty());
        EXPECT_TRUE(e.localizedRecoveryOptions().isEmpty());
        EXPECT_FALSE(e.isLowPriority());
    }
}

TEST(QVErrorTest, MadeErrorsCarryTheirTexts) {
    const QVError e = QVError::make(QStringLiteral("D"), 12, QStringLiteral("It broke."),
                                    QStringLiteral("Try again."), {QStringLiteral("Retry"), QStringLiteral("Cancel")},
                                    {{QLatin1String(QVIsLowPriorityError), true}, {QStringLiteral("extra"), 3}});
    EXPECT_EQ(e.domain(), QStringLiteral("D"));
    EXPECT_EQ(e.code(), 12);
    EXPECT_EQ(e.localizedDescription(), QStringLiteral("It broke."));
    EXPECT_EQ(e.localizedRecoverySuggestion(), QStringLiteral("Try again."));
    EXPECT_EQ(e.localizedRecoveryOptions(), (QStringList{QStringLiteral("Retry"), QStringLiteral("Cancel")}));
    EXPECT_TRUE(e.isLowPriority());
    EXPECT_EQ(e.userInfoValue(QStringLiteral("extra")).toInt(), 3);

    // Empty texts leave their keys out.
    const QVError bare = QVError::make(QStringLiteral("D"), 1, QString());
    EXPECT_TRUE(bare.userInfo().isEmpty());
    EXPECT_FALSE(bare.localizedDescription().isEmpty());

    QVError changed = e;
    EXPECT_EQ(changed, e);
    changed.setUserInfoValue(QStringLiteral("extra"), 4);
    EXPECT_FALSE(changed == e);
    EXPECT_FALSE(QVError(QStringLiteral("D"), 1) == QVError(QStringLiteral("D"), 2));
    EXPECT_FALSE(QVError(QStringLiteral("D"), 1) == QVError(QStringLiteral("E"), 1));

    QVError out;
    qvSetError(&out, e);
    EXPECT_EQ(out, e);
    qvSetError(nullptr, e);  // no out-parameter: nothing happens
}

TEST(QVErrorTest, ApplicationAndPosixDomains) {
    EXPECT_EQ(QVError::applicationDomain(), QStringLiteral("com.qorvel.Qorvel.error"));
    const QVError a = QVError::app(3, QStringLiteral("Nope."));
    EXPECT_EQ(a.domain(), QStringLiteral("com.qorvel.Qorvel.error"));
    EXPECT_EQ(a.code(), 3);

    struct Case {
        int err;
        QString operation;
        QString path;
        QString description;
    };
    const Case cases[] = {
        {ENOENT, QStringLiteral("open"), QStringLiteral("/no/such"),
         QStringLiteral("open \"/no/such\" failed: ") + QString::fromLocal8Bit(std::strerror(ENOENT))},
        {EACCES, QStringLiteral("rename"), QString(),
         QStringLiteral("rename failed: ") + QString::fromLocal8Bit(std::strerror(EACCES))},
        // A path with place-markers is quoted as it is.
        {EEXIST, QStringLiteral("create"), QStringLiteral("/tmp/%1 %2"),
         QStringLiteral("create \"/tmp/%1 %2\" failed: ") + QString::fromLocal8Bit(std::strerror(EEXIST))},
    };
    for (const Case& c : cases) {
        const QVError e = QVError::posix(c.err, c.operation, c.path);
        EXPECT_EQ(e.domain(), QStringLiteral("NSPOSIXErrorDomain"));
        EXPECT_EQ(e.code(), c.err);
        EXPECT_EQ(e.localizedDescription(), c.description);
        EXPECT_EQ(e.userInfo().contains(QLatin1String(QVFilePathErrorKey)), !c.path.isEmpty());
        EXPECT_EQ(e.userInfoValue(QLatin1String(QVFilePathErrorKey)).toString(), c.path);
    }
}

}  // namespace
