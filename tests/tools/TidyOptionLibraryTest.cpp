// The option library read from the real tidy: kinds, values and defaults as the editor offers
// them, every default accepted back by tidy, and what malformed or missing listings give.
#include "platform/Process.h"
#include "tests/support/TestSupport.h"
#include "tools/QVTidyOptionLibrary.h"
#include "tools/QVTidyRun.h"

#include <gtest/gtest.h>

namespace {

QString flagOf(const QVariantMap& definition) { return definition.value("flag").toString(); }

}  // namespace

TEST(TidyOptionLibraryTest, RealTidyListsItsOptionsWithKindsValuesAndDefaults) {
    if (QVTidyRun::tidyProgram().isEmpty()) GTEST_SKIP() << "tidy is not installed";
    const QVTidyOptionLibrary library = QVTidyOptionLibrary::fromProgram();
    ASSERT_TRUE(library.error().isNull()) << library.error().localizedDescription().toStdString();
    EXPECT_GT(library.count(), 90);
    struct Case {
        const char* flag;
        const char* type;
        QVariant defaultValue;
        const char* aValue;  // one of the offered values (nullptr: none offered)
    };
    const Case cases[] = {
        {"indent", "Enum", QString("no"), "auto"},
        {"char-encoding", "Enum", QString("utf8"), "shiftjis"},       // an encoding is a choice
        {"accessibility-check", "Enum", QString("0 (Tidy Classic)"), "3 (Priority 3 Checks)"},  // wrapped over lines
        {"clean", "Boolean", false, nullptr},
        {"anchor-as-name", "Boolean", true, nullptr},
        {"wrap", "Combo", QString("68"), "1"},                          // a number: "..." is no value
        {"priority-attributes", "String", QString(), nullptr},         // its kind wraps inside the column
        {"new-blocklevel-tags", "String", QString(), nullptr},          // "tagX, tagY" is only an example
        {"doctype", "String", QString("auto"), nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.flag);
        const QVariantMap definition = library.definitionForFlag(c.flag);
        EXPECT_EQ(definition.value("type").toString(), c.type);
        EXPECT_EQ(definition.value("default"), c.defaultValue);
        const QStringList values = definition.value("values").toStringList();
        if (c.aValue) {
            EXPECT_TRUE(values.contains(c.aValue)) << values.join("|").toStdString();
        } else {
            EXPECT_TRUE(values.isEmpty()) << values.join("|").toStdString();
        }
        EXPECT_FALSE(definition.value("action").toString().contains("<br")) << definition.value("action").toString().toStdString();  // descriptions without markup
        EXPECT_FALSE(definition.value("action").toString().isEmpty());
    }
    EXPECT_TRUE(library.categories().contains("Pretty Print"));
    EXPECT_TRUE(library.categories().contains("Markup Repair"));
    qsizetype inCategories = 0;
    for (const QString& category : library.categories()) inCategories += library.definitions(category).size();
    EXPECT_EQ(inCategories, library.count());

    // "All": every option, by name without regard to case; the search ignores case and finds
    // the text anywhere in the name.
    const QList<QVariantMap> all = library.definitions();
    ASSERT_EQ(all.size(), library.count());
    for (qsizetype i = 1; i < all.size(); ++i) EXPECT_LT(flagOf(all[i - 1]).compare(flagOf(all[i]), Qt::CaseInsensitive), 0);
    QStringList found;
    for (const QVariantMap& definition : QVTidyOptionLibrary::filtered(all, "WRAP")) found << flagOf(definition);
    for (const char* flag : {"wrap", "wrap-asp", "punctuation-wrap"}) EXPECT_TRUE(found.contains(flag)) << flag;
    for (const QString& flag : found) EXPECT_TRUE(flag.contains("wrap")) << flag.toStdString();
}

TEST(TidyOptionLibraryTest, TidyTakesEveryDefaultTheEditorWouldWrite) {
    if (QVTidyRun::tidyProgram().isEmpty()) GTEST_SKIP() << "tidy is not installed";
    const QVTidyOptionLibrary library = QVTidyOptionLibrary::fromProgram();
    TestDir dir;
    // One operation holding every option at its default, as a new option from the library gets it.
    auto operation = std::make_shared<QVTidyOperation>();
    operation->setTitle("Everything");
    QStringList skipped;
    for (const QVariantMap& definition : library.definitions()) {
        const QString flag = flagOf(definition);
        // These send the output elsewhere or mute it; the run sets its own anyway.
        if (flag == "write-back" || flag == "output-file" || flag == "error-file" || flag == "gnu-emacs") continue;
        operation->insertAction({flag, definition.value("default")}, -1);
    }
    const QString config = dir.write("all.cfg", QVTidyOperation::mergedOperations({operation}).toUtf8());
    const QString page = dir.write("p.html", "<!DOCTYPE html><html><head><title>t</title></head><body><p>x</p></body></html>");
    const ProcessResult result = Process::run(QVTidyRun::tidyProgram(), {"-config", config, "-q", "-o", dir.file("out.html"), page});
    const QString said = QString::fromUtf8(result.standardError);
    EXPECT_FALSE(said.contains("Config:")) << said.toStdString();
    EXPECT_TRUE(result.exited && result.exitStatus <= 1) << said.toStdString();
}

TEST(TidyOptionLibraryTest, MalformedOrMissingListingsGiveWhatTheyCan) {
    const QString help =
        "Name                        Type       Allowable values\n"
        "=========================== =========  ========================================\n"
        "indent                      Enum       no, yes, auto\n"
        "odd-option                  Widget     a, b\n"
        "                            s Things   c\n"
        "\n"
        "trailing-text               Boolean    no, yes\n";
    struct Case {
        const char* name;
        QVTidyOptionLibrary library;
        QStringList flags;
        QStringList categories;
    };
    const Case cases[] = {
        {"help without the XML", QVTidyOptionLibrary::fromTidyOutput(help), {"indent", "odd-option"}, {"Miscellaneous"}},
        {"XML cut short", QVTidyOptionLibrary::fromTidyOutput(help, "<config><option class=\"TidyPrettyPrint\"><name>indent"),
         {"indent", "odd-option"}, {"Miscellaneous"}},
        {"no table rule", QVTidyOptionLibrary::fromTidyOutput("indent  Enum  no, yes\n"), {}, {}},
        {"nothing", QVTidyOptionLibrary::fromTidyOutput({}), {}, {}},
        {"plist with junk entries",
         QVTidyOptionLibrary::fromPlist(QVariantMap{{"Layout", QVariantList{QVariantMap{{"flag", "indent"}, {"type", "Enum"}}, 7,
                                                                             QVariantMap{{"type", "Boolean"}}, "text"}},
                                                    {"Broken", 12}}),
         {"indent"}, {"Layout"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QStringList flags;
        for (const QVariantMap& definition : c.library.definitions()) flags << flagOf(definition);
        EXPECT_EQ(flags, c.flags);
        EXPECT_EQ(c.library.categories(), c.categories);
    }
    // An unknown kind is free text; a kind wrapped over two lines is joined.
    const QVTidyOptionLibrary library = QVTidyOptionLibrary::fromTidyOutput(help);
    EXPECT_EQ(library.definitionForFlag("odd-option").value("type"), "String");
    EXPECT_EQ(library.definitionForFlag("indent").value("default"), "no");

    const QVTidyOptionLibrary missing = QVTidyOptionLibrary::fromProgram("/nonexistent/tidy");
    EXPECT_EQ(missing.count(), 0);
    EXPECT_FALSE(missing.error().isNull());
}
