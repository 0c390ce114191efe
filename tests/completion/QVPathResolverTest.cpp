// Tests of the include-path resolvers against real files and the real ruby and perl interpreters.
#include "completion/QVPathResolver.h"
#include "completion/QVPerlPathResolver.h"
#include "completion/QVRubyPathResolver.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>

namespace {

// The temporary scripts left in the temporary folder.
QStringList leftoverScripts() {
    return QDir(Paths::temporary()).entryList({QStringLiteral("Qorvel.tmp.*")}, QDir::Files | QDir::Hidden);
}

// What the interpreter itself prints for its search folders, each with one trailing slash.
QStringList interpreterFolders(const QString& program, const QStringList& args) {
    const ProcessResult result = Process::run(program, args, ProcessOptions{.timeoutMs = 20000});
    EXPECT_TRUE(result.succeeded()) << result.errorString.toStdString();
    QStringList folders;
    for (const QString& line : QString::fromUtf8(result.standardOutput).split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (line == QLatin1String(".")) continue;
        QString folder = line;
        while (folder.endsWith(QLatin1Char('/'))) folder.chop(1);
        folders << folder + QLatin1Char('/');
    }
    return folders;
}

QString firstFolderHolding(const QStringList& folders, const QString& relative) {
    for (const QString& folder : folders)
        if (QFileInfo::exists(folder + relative)) return folder + relative;
    return {};
}

TEST(QVPathResolverTest, AbsolutePathsComeBackUnchanged) {
    const QVPathResolver* resolvers[] = {&QVPathResolver::sharedResolver(), &QVRubyPathResolver::sharedResolver(),
                                         &QVPerlPathResolver::sharedResolver()};
    for (const QVPathResolver* resolver : resolvers) {
        bool isTag = true;
        EXPECT_EQ(resolver->pathForString(QStringLiteral("/usr/lib/x.rb"), QStringLiteral("/a/b.rb"), &isTag),
                  QStringLiteral("/usr/lib/x.rb"));
        EXPECT_FALSE(isTag);
    }
}

TEST(QVPathResolverTest, ResolvesRelativeToTheIncludingFile) {
    TestDir dir;
    const QString root = dir.path();
    dir.write(QStringLiteral("site/inc/a.php"), "<?php");
    dir.write(QStringLiteral("site/pages/b.php"), "<?php");
    dir.write(QStringLiteral("site/pages/sub/c.php"), "<?php");
    const QString base = root + QStringLiteral("/site/pages/index.php");
    struct Case {
        const char* written;
        QString base;
        QString expected;  // null: nothing found
    };
    const Case cases[] = {
        {"../inc/a.php", base, root + QStringLiteral("/site/inc/a.php")},
        {"b.php", base, root + QStringLiteral("/site/pages/b.php")},
        {"./sub/c.php", base, root + QStringLiteral("/site/pages/sub/c.php")},
        {"sub/", base, root + QStringLiteral("/site/pages/sub/")},
        {"missing.php", base, QString()},
        {"../inc/a.php", QString(), QString()},  // no base, no search folders
        {"", base, QString()},
    };
    const QVPathResolver& plain = QVPathResolver::sharedResolver();
    EXPECT_TRUE(plain.searchPaths().isEmpty());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.written);
        bool isTag = true;
        const QString found = plain.pathForString(QString::fromUtf8(c.written), c.base, &isTag);
        EXPECT_EQ(found, c.expected);
        EXPECT_EQ(found.isNull(), c.expected.isNull());
        EXPECT_FALSE(isTag);
    }
}

TEST(QVPathResolverTest, ScriptOutputBecomesFolders) {
    const QStringList before = leftoverScripts();
    struct Case {
        const char* name;
        QString script;
        QStringList expected;
    };
    const Case cases[] = {
        {"lines cleaned", QStringLiteral("#!/usr/bin/env sh\nprintf '/usr/lib/ruby\\n\\n.\\n/b//\\n/c/\\n/'\n"),
         {"/usr/lib/ruby/", "/b/", "/c/", "/"}},
        {"no output", QStringLiteral("#!/usr/bin/env sh\nexit 0\n"), {}},
        {"utf-8 folder names", QStringLiteral("#!/usr/bin/env sh\necho '/srv/Grüße'\n"), {"/srv/Grüße/"}},
        {"perl itself", QStringLiteral("#!/usr/bin/env perl\nprint \"/x\\n.\\n\";\n"), {"/x/"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QVError error = QVError::app(1, QStringLiteral("stale"));
        EXPECT_EQ(QVPathResolver::pathsFromRunningScript(c.script, &error), c.expected);
        EXPECT_TRUE(error.isNull()) << error.localizedDescription().toStdString();
    }
    EXPECT_EQ(leftoverScripts(), before);
}

TEST(QVPathResolverTest, TheScriptIsPrivateExecutableAndRemovedAfterwards) {
    const QStringList before = leftoverScripts();
    // The script reports its own mode and path; both come back as "folders".
    const QStringList out = QVPathResolver::pathsFromRunningScript(
        QStringLiteral("#!/usr/bin/env sh\nstat -c %a \"$0\"\necho \"$0\"\n"));
    ASSERT_EQ(out.size(), 2);
    EXPECT_EQ(out[0], QStringLiteral("755/"));
    QString scriptPath = out[1];
    scriptPath.chop(1);
    EXPECT_TRUE(scriptPath.startsWith(Paths::temporary() + QStringLiteral("/Qorvel.tmp.")));
    EXPECT_FALSE(QFileInfo::exists(scriptPath));

    // Removed on failure as well.
    QVError error;
    EXPECT_TRUE(QVPathResolver::pathsFromRunningScript(
                    QStringLiteral("#!/usr/bin/env sh\necho \"$0\" >&2\nexit 3\n"), &error)
                    .isEmpty());
    const QString failedPath = error.localizedDescription().section(QStringLiteral(": "), -1);
    EXPECT_TRUE(failedPath.startsWith(Paths::temporary())) << error.localizedDescription().toStdString();
    EXPECT_FALSE(QFileInfo::exists(failedPath));
    EXPECT_EQ(leftoverScripts(), before);
}

TEST(QVPathResolverTest, FailingScriptsGiveClearErrors) {
    const QStringList before = leftoverScripts();
    struct Case {
        const char* name;
        QString script;
        int timeout;
        qint64 code;
        QStringList descriptionParts;
    };
    const Case cases[] = {
        {"missing interpreter", QStringLiteral("#!/usr/bin/env qorvel-no-such-interpreter\nputs 1\n"), 10000, 127,
         {QStringLiteral("\"/usr/bin/env qorvel-no-such-interpreter\" ended with status 127: /usr/bin/env: "),
          QStringLiteral("qorvel-no-such-interpreter"), QStringLiteral("No such file or directory")}},
        {"non-zero exit", QStringLiteral("#!/usr/bin/env perl\nprint \"/usr/lib\\n\";\ndie \"broken\\n\";\n"), 10000, 255,
         {QStringLiteral("\"/usr/bin/env perl\" ended with status 255: broken")}},
        {"ruby syntax error", QStringLiteral("#!/usr/bin/env ruby\n$:.each do |p|\n"), 10000, 1,
         {QStringLiteral("\"/usr/bin/env ruby\" ended with status 1: "), QStringLiteral("syntax")}},
        {"time-out", QStringLiteral("#!/usr/bin/env sh\necho /usr/lib\nsleep 30\n"), 300, -1,
         {QStringLiteral("\"/usr/bin/env sh\" failed: "), QStringLiteral("did not finish within 300 ms and was killed")}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QVError error;
        // The time-out row's own message says its limit ended it, not the script's sleep.
        EXPECT_TRUE(QVPathResolver::pathsFromRunningScript(c.script, &error, c.timeout).isEmpty());
        EXPECT_EQ(error.domain(), QStringLiteral("QVPathResolver"));
        EXPECT_EQ(error.code(), c.code);
        for (const QString& part : c.descriptionParts)
            EXPECT_TRUE(error.localizedDescription().contains(part)) << error.localizedDescription().toStdString();
    }
    EXPECT_EQ(leftoverScripts(), before);
}

TEST(QVPathResolverTest, LongOutputIsReadWhileTheScriptRuns) {
    // Far more than a pipe holds: a runner that only reads after the exit would hang here.
    const QStringList folders = QVPathResolver::pathsFromRunningScript(
        QStringLiteral("#!/usr/bin/env perl\nprint \"/folder/number/$_\\n\" for 1..20000;\n"));
    ASSERT_EQ(folders.size(), 20000);
    EXPECT_EQ(folders.first(), QStringLiteral("/folder/number/1/"));
    EXPECT_EQ(folders.last(), QStringLiteral("/folder/number/20000/"));
}

TEST(QVPathResolverTest, RubyRequiresUseTheLoadPathFirst) {
    const QVRubyPathResolver& ruby = QVRubyPathResolver::sharedResolver();
    const QStringList expected = interpreterFolders(QStringLiteral("ruby"), {QStringLiteral("-e"), QStringLiteral("puts $LOAD_PATH")});
    ASSERT_FALSE(expected.isEmpty());
    EXPECT_EQ(ruby.searchPaths(), expected);

    TestDir dir;
    const QString base = dir.path() + QStringLiteral("/app/main.rb");
    dir.write(QStringLiteral("app/helper.rb"), "# helper");
    dir.write(QStringLiteral("app/set.rb"), "# shadows nothing: the load path comes first");
    dir.write(QStringLiteral("app/data.yml"), "a: 1");
    const QString librarySet = firstFolderHolding(expected, QStringLiteral("set.rb"));
    ASSERT_FALSE(librarySet.isEmpty()) << "ruby's library has no set.rb";
    struct Case {
        const char* written;
        QString expected;
    };
    const Case cases[] = {
        {"set", librarySet},
        {"helper", dir.path() + QStringLiteral("/app/helper.rb")},
        {"./helper", dir.path() + QStringLiteral("/app/helper.rb")},
        {"data.yml", dir.path() + QStringLiteral("/app/data.yml")},  // has an extension: kept
        {"qorvel/not/there", QString()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.written);
        bool isTag = true;
        EXPECT_EQ(ruby.pathForString(QString::fromUtf8(c.written), base, &isTag), c.expected);
        EXPECT_FALSE(isTag);
    }
    // The shared resolver is the one indexing rules name.
    EXPECT_EQ(QVPathResolver::resolverNamed(QStringLiteral("QVRubyPathResolver")), &ruby);
}

TEST(QVPathResolverTest, PerlModulesUseIncFirstAndFallBackToTags) {
    const QVPerlPathResolver& perl = QVPerlPathResolver::sharedResolver();
    const QStringList expected =
        interpreterFolders(QStringLiteral("perl"), {QStringLiteral("-e"), QStringLiteral("print join(qq{\\n}, @INC)")});
    ASSERT_FALSE(expected.isEmpty());
    EXPECT_EQ(perl.searchPaths(), expected);

    TestDir dir;
    const QString base = dir.path() + QStringLiteral("/script.pl");
    dir.write(QStringLiteral("Local/Thing.pm"), "package Local::Thing; 1;");
    const QString fileBasename = firstFolderHolding(expected, QStringLiteral("File/Basename.pm"));
    ASSERT_FALSE(fileBasename.isEmpty()) << "perl's library has no File/Basename.pm";
    struct Case {
        const char* written;
        QString expected;
        bool isTag;
    };
    const Case cases[] = {
        {"File::Basename", fileBasename, false},
        {"Local::Thing", dir.path() + QStringLiteral("/Local/Thing.pm"), false},
        {"Qorvel::No::Such::Module", QStringLiteral("Qorvel::No::Such::Module"), true},
        {"lib/Foo.pm", QString(), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.written);
        bool isTag = !c.isTag;
        const QString found = perl.pathForString(QString::fromUtf8(c.written), base, &isTag);
        EXPECT_EQ(found, c.expected);
        EXPECT_EQ(found.isNull(), c.expected.isNull());
        EXPECT_EQ(isTag, c.isTag);
    }
    EXPECT_EQ(QVPathResolver::resolverNamed(QStringLiteral("QVPerlPathResolver")), &perl);
    EXPECT_EQ(QVPathResolver::resolverNamed(QStringLiteral("QVPathResolver")), &QVPathResolver::sharedResolver());
    EXPECT_EQ(QVPathResolver::resolverNamed(QStringLiteral("NSObject")), nullptr);
}

}  // namespace
