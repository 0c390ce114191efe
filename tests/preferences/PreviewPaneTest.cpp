// The preview pane on real desktop entries and real list files: what is added, refused, moved
// and removed, and when "data/browsers.plist" is (and is not) written.
#include "platform/PropertyList.h"
#include "preferences/QVPreviewPrefPane.h"
#include "shell/Defaults.h"
#include "tests/support/TestSupport.h"
#include "tools/QVBrowser.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

namespace {

QString listPath() { return Defaults::appSupportPathForFile(QStringLiteral("browsers.plist"), QStringLiteral("data")); }

QStringList names(QVPreviewPrefPane& pane) {
    QStringList list;
    for (const auto& entry : pane.browsers()) list << entry.plist.value(QStringLiteral("name")).toString();
    return list;
}

void writeList(const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(listPath()).absolutePath());
    QFile file(listPath());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

class PreviewPaneTest : public ::testing::Test {
protected:
    void SetUp() override {
        QFile::remove(listPath());
        QFile::remove(listPath() + QStringLiteral(".bad"));
        for (const char* name : {"one", "two", "three"})
            entries << dir.write(QStringLiteral("%1.desktop").arg(QLatin1String(name)),
                                 QByteArray("[Desktop Entry]\nType=Application\nName=") + name + "\nExec=" + name + " %u\n");
        QVariantList list;
        for (const QString& entry : entries)
            list << QVariantMap{{QStringLiteral("name"), QFileInfo(entry).completeBaseName()}, {QStringLiteral("path"), entry}};
        list << QVariantMap{{QStringLiteral("name"), QVBrowser::BuiltInName}, {QStringLiteral("path"), QString()}}
             << QVariantMap{{QStringLiteral("name"), QVBrowser::AllName}, {QStringLiteral("path"), QString()}};
        writeList(PropertyList::toData(list, PlistFormat::XML));
    }
    TestDir dir;
    QStringList entries;
};

TEST_F(PreviewPaneTest, RowsMoveAsABlockAndStaySelected) {
    int first = -1;
    EXPECT_EQ(QVPreviewPrefPane::movedOrder(5, {0, 1}, 4, &first), (QList<int>{2, 3, 0, 1, 4}));
    EXPECT_EQ(first, 2);
    EXPECT_EQ(QVPreviewPrefPane::movedOrder(5, {3, 4}, 0, &first), (QList<int>{3, 4, 0, 1, 2}));
    EXPECT_EQ(first, 0);
    EXPECT_EQ(QVPreviewPrefPane::movedOrder(5, {1, 3}, 5, &first), (QList<int>{0, 2, 4, 1, 3}));
    EXPECT_EQ(first, 3);

    QVPreviewPrefPane pane(QStringLiteral("Preview"));
    ASSERT_TRUE(pane.allowSelect());
    pane.moveRows({0, 1}, 4);
    EXPECT_EQ(names(pane), (QStringList{"three", QVBrowser::BuiltInName, "one", "two", QVBrowser::AllName}));
    QList<int> selected;
    for (const QModelIndex& index : pane.previewTable()->selectionModel()->selectedRows()) selected << index.row();
    std::sort(selected.begin(), selected.end());
    EXPECT_EQ(selected, (QList<int>{2, 3}));
}

TEST_F(PreviewPaneTest, OnlyDesktopEntriesAreAddedAndTheBuiltInRowsStay) {
    QVPreviewPrefPane pane(QStringLiteral("Preview"));
    ASSERT_TRUE(pane.allowSelect());
    const QString fourth = dir.write(QStringLiteral("four.desktop"), "[Desktop Entry]\nType=Application\nName=Four Browser\nExec=four %u\n");
    const QString text = dir.write(QStringLiteral("notes.txt"), "hello");
    const QString link = dir.write(QStringLiteral("link.desktop"), "[Desktop Entry]\nType=Link\nName=L\nURL=http://x\n");
    // An entry whose command would splice a page's name into a shell script is refused, saying why.
    const QString spliced = dir.write(QStringLiteral("spliced.desktop"), "[Desktop Entry]\nType=Application\nName=S\nExec=sh -c \"web '%u'\"\n");
    for (const QString& refused : {text, link, dir.file(QStringLiteral("missing.desktop")), spliced}) {
        EXPECT_FALSE(pane.addBrowserAtPath(refused)) << refused.toStdString();
        EXPECT_TRUE(pane.refusal().contains(QFileInfo(refused).fileName()));
    }
    EXPECT_EQ(pane.refusal(), "\u201cspliced.desktop\u201d was not added: its command line puts a field code inside quotes, where a "
                              "shell could run part of a page\u2019s name.");
    EXPECT_FALSE(pane.didChangeList());
    // Every page goes over as an address, from a folder of Qorvel's own: shells given one, and
    // option values that read like programs, are taken.
    for (const char* exec : {"timeout inf %f", "firefox -P fresh %f", "chromium --user-data-dir=/srv/mesh %F", "sh -c %u"}) {
        const QString taken = dir.write(QStringLiteral("taken.desktop"), "[Desktop Entry]\nType=Application\nName=T\nExec=" + QByteArray(exec) + "\n");
        EXPECT_EQ(QVBrowser::refusalForEntry(taken), QString()) << exec;
    }
    EXPECT_TRUE(pane.addBrowserAtPath(fourth, 1));
    EXPECT_TRUE(pane.addBrowserAtPath(fourth));  // already listed: kept once
    EXPECT_EQ(names(pane), (QStringList{"one", "Four Browser", "two", "three", QVBrowser::BuiltInName, QVBrowser::AllName}));
    EXPECT_TRUE(pane.canRemove(0));
    EXPECT_FALSE(pane.canRemove(4));
    EXPECT_FALSE(pane.canRemove(5));
    pane.previewTable()->selectRow(4);
    pane.removeBrowser();
    pane.previewTable()->selectRow(0);
    pane.removeBrowser();
    EXPECT_EQ(names(pane), (QStringList{"Four Browser", "two", "three", QVBrowser::BuiltInName, QVBrowser::AllName}));
    // Every row keeps its icon after the table is rebuilt.
    for (const auto& entry : pane.browsers()) EXPECT_FALSE(entry.icon.isNull());

    ASSERT_TRUE(pane.commit());
    const QVariantList written = PropertyList::readFile(listPath()).toList();
    ASSERT_EQ(written.size(), 5);
    EXPECT_EQ(written[0].toMap(), (QVariantMap{{"name", "Four Browser"}, {"path", fourth}}));
}

TEST_F(PreviewPaneTest, ARowWhoseEntryPreviewsWouldRefuseIsMarkedWithTheReason) {
    // A list written before (or the system's entries) may hold an entry previews refuse: its row
    // says so, greyed with a warning icon; adding the same entry is refused with the same reason.
    const QString shell = dir.write(QStringLiteral("shell.desktop"), "[Desktop Entry]\nType=Application\nName=Shell\nExec=nice -n 5 %f\n");
    QVariantList list = PropertyList::readFile(listPath()).toList();
    list.insert(1, QVariantMap{{QStringLiteral("name"), QStringLiteral("Shell")}, {QStringLiteral("path"), shell}});
    writeList(PropertyList::toData(list, PlistFormat::XML));
    QVPreviewPrefPane pane(QStringLiteral("Preview"));
    ASSERT_TRUE(pane.allowSelect());
    const QString why = QStringLiteral("its command line runs the page as a program");
    QStringList texts;
    for (int row = 0; row < pane.previewTable()->rowCount(); ++row) texts << pane.previewTable()->item(row, 0)->text();
    EXPECT_EQ(texts, (QStringList{"one", "Shell \u2014 not used: " + why, "two", "three", QVBrowser::BuiltInName, QVBrowser::AllName}));
    QTableWidgetItem* marked = pane.previewTable()->item(1, 0);
    EXPECT_EQ(marked->toolTip(), shell + "\nPreviews do not use it: " + why + ".");
    EXPECT_NE(marked->foreground().color(), pane.previewTable()->item(0, 0)->foreground().color());
    const QString added = dir.write(QStringLiteral("added.desktop"), "[Desktop Entry]\nType=Application\nName=Added\nExec=env FOO=1 %f\n");
    EXPECT_FALSE(pane.addBrowserAtPath(added));
    EXPECT_EQ(pane.refusal(), "\u201cadded.desktop\u201d was not added: " + why + ".");
}

TEST_F(PreviewPaneTest, TheListIsWrittenOnlyWhenChangedAndNeverOverAnUnreadableOne) {
    {
        // Opening and closing without a change leaves the file alone.
        QVPreviewPrefPane pane(QStringLiteral("Preview"));
        ASSERT_TRUE(pane.allowSelect());
        QFile::remove(listPath());
        pane.endSession();
        EXPECT_FALSE(QFile::exists(listPath()));
    }
    writeList("<plist><array><dict><key>name</key>");  // cut short
    const QByteArray corrupt = readAll(listPath());
    QVPreviewPrefPane pane(QStringLiteral("Preview"));
    ASSERT_TRUE(pane.allowSelect());
    EXPECT_TRUE(names(pane).contains(QVBrowser::BuiltInName));
    pane.endSession();
    EXPECT_EQ(readAll(listPath()), corrupt);
    // A change is written beside the unreadable list, which is kept.
    ASSERT_TRUE(pane.addBrowserAtPath(entries[0]));
    pane.endSession();
    EXPECT_EQ(readAll(listPath() + QStringLiteral(".bad")), corrupt);
    EXPECT_TRUE(PropertyList::readFile(listPath()).toList().size() >= 3);
}

}  // namespace
