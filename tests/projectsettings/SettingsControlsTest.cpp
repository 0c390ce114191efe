// The settings window's controls without a site: the options sheet's key paths and its OK and
// cancel, the settings table's kinds and defaults and its check boxes, the connection details'
// presets and validation, and the picker's tree walks.
#include "files/QVRemoteSiteQueue.h"
#include "platform/UserDefaults.h"
#include "projects/QVRemoteFilePickerNode.h"
#include "projects/windows/QVBrowserCell.h"
#include "projects/windows/QVProjectRemoteOptionsController.h"
#include "projects/windows/QVProjectSettingsConfigurationController.h"
#include "projects/windows/QVRemoteDetailsController.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QTest>

TEST(RemoteOptionsSheet, KeyPathsOkCancelAndTheIdentityFile) {
    const struct {
        const char* in;
        const char* out;
    } paths[] = {{"options.zzzA", "options.A"}, {"options.zzz", "options."},      {"options.zz", "options.zz"},
                 {"prefix.zzzA", "prefix.zzzA"}, {"options.zzzA.b", "options.zzzA.b"}, {"options.oIdentityFile", "options.oIdentityFile"}};
    for (const auto& p : paths) EXPECT_EQ(QVProjectRemoteOptionsController::adjustedKeyPath(p.in), p.out) << p.in;

    QWidget window;
    for (int protocol : {0, 1, 2}) {
        SCOPED_TRACE(protocol);
        QVProjectRemoteOptionsController sheet(protocol);
        sheet.setOptions({{"other", "-v"}});
        sheet.setValueForKeyPath(true, "options.zzzX");
        sheet.setValueForKeyPath("ignored", "prefix.zzzY");
        EXPECT_EQ(sheet.valueForKeyPath("options.X"), QVariant(true));
        EXPECT_FALSE(sheet.valueForKeyPath("prefix.zzzY").isValid());
        // An emptied text is no option at all; the field shows what the dictionary holds.
        auto* other = qobject_cast<QLineEdit*>(sheet.controlForOption("other"));
        ASSERT_TRUE(other);
        EXPECT_EQ(other->text(), "-v");
        other->setText("");
        EXPECT_EQ(sheet.options(), (QVariantMap{{"X", true}}));

        std::optional<std::optional<QVariantMap>> answer;
        sheet.displayOnWindow(&window, [&](QVProjectRemoteOptionsController*, std::optional<QVariantMap> o) { answer = o; });
        sheet.close(0);
        ASSERT_TRUE(answer);
        EXPECT_FALSE(*answer);
        sheet.displayOnWindow(&window, [&](QVProjectRemoteOptionsController*, std::optional<QVariantMap> o) { answer = o; });
        sheet.close(1);
        EXPECT_EQ(answer->value_or(QVariantMap()), (QVariantMap{{"X", true}}));
    }

    QVProjectRemoteOptionsController sftp(1);
    QString askedIn;
    QVProjectRemoteOptionsController::setFileChooser([&](QWidget*, const QString& folder) {
        askedIn = folder;
        return QStringLiteral("/home/u/.ssh/id_ed25519");
    });
    sftp.choose(3);
    EXPECT_TRUE(askedIn.isEmpty());
    sftp.choose(0);
    EXPECT_TRUE(askedIn.endsWith("/.ssh"));
    EXPECT_EQ(qobject_cast<QLineEdit*>(sftp.controlForOption("oIdentityFile"))->text(), "/home/u/.ssh/id_ed25519");
    qobject_cast<QCheckBox*>(sftp.controlForOption("C"))->setChecked(true);
    EXPECT_EQ(sftp.options(), (QVariantMap{{"oIdentityFile", "/home/u/.ssh/id_ed25519"}, {"C", true}}));
    QVProjectRemoteConfiguration site;
    site.setOptions(sftp.options());
    EXPECT_EQ(site.arguments(), (QStringList{"-C", "-oIdentityFile=/home/u/.ssh/id_ed25519"}));
    QVProjectRemoteOptionsController::setFileChooser([](QWidget*, const QString&) { return QString(); });
}

TEST(SettingsTable, ShowsDefaultsForWrongKindsAndTogglesItsBoxes) {
    const struct {
        QVariantMap stored;
        QVariantMap shown;
    } cases[] = {
        {{}, {{"QVRemotePreviewURL", ""}, {"QVConnectAutomaticallyKey", true}, {"QVUploadAutomaticallyKey", true}}},
        {{{"QVRemotePreviewURL", 5}, {"QVConnectAutomaticallyKey", "no"}, {"QVUploadAutomaticallyKey", QVariantList{}}},
         {{"QVRemotePreviewURL", ""}, {"QVConnectAutomaticallyKey", true}, {"QVUploadAutomaticallyKey", true}}},
        {{{"QVRemotePreviewURL", "http://x/"}, {"QVConnectAutomaticallyKey", 0}, {"QVUploadAutomaticallyKey", false},
          {"QVOpenFiles", QVariantList{1}}},
         {{"QVRemotePreviewURL", "http://x/"}, {"QVConnectAutomaticallyKey", false}, {"QVUploadAutomaticallyKey", false}}},
    };
    QVProjectSettingsConfigurationController table;
    table.resize(400, 200);
    table.show();
    for (const auto& c : cases) {
        table.loadConfiguration(c.stored);
        EXPECT_EQ(table.configurationDictionary(), c.shown);
    }
    // Titles sort the rows; a click on a box row's value toggles it; a text row edits as text.
    QStringList titles;
    for (const auto& item : table.model()->items()) titles << item.localizedKey();
    EXPECT_EQ(titles, (QStringList{"Connect automatically", "Preview address", "Upload on save"}));
    QTableView* view = table.tableView();
    const QModelIndex connect = table.model()->index(0, 1);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(connect).center());
    EXPECT_EQ(table.configurationDictionary().value("QVConnectAutomaticallyKey"), QVariant(true));
    EXPECT_TRUE(table.model()->setData(table.model()->index(1, 1), 7));
    EXPECT_EQ(table.configurationDictionary().value("QVRemotePreviewURL"), QVariant("7"));
    view->selectRow(2);
    EXPECT_EQ(table.descriptionField()->text(), "Upload a file to the remote site each time it is saved.");
    view->clearSelection();
    EXPECT_EQ(table.descriptionField()->text(), "");
}

namespace {
struct Owner : QVRemoteDetailsDelegate {
    int validations = 0, chooses = 0;
    void validate() override { ++validations; }
    void chooseRemoteDirectoryForDetails(QVRemoteDetailsController*) override { ++chooses; }
};
}  // namespace

TEST(RemoteDetails, PresetsValidationAndTheOptionsSheet) {
    QVProjectRemoteConfiguration shop, bare;
    shop.setHost("h");
    shop.setInitialDirectory("d");
    shop.setUser("u");
    shop.setUseKeychain(false);
    bare.setHost("h2");
    EXPECT_EQ(QVRemoteDetailsController::projectPresetTitle("Shop", shop), "Shop\t[h:d]");
    EXPECT_EQ(QVRemoteDetailsController::projectPresetTitle("Bare", bare), "Bare\t[h2]");
    QVRemoteDetailsController::setProjectPresetsSource([&] {
        return QList<QVRemoteDetailsController::Preset>{{"Shop\t[h:d]", shop, {}}};
    });
    UserDefaults::standard().setObject(
        QVariantList{QVariantMap{{QVRecentRemoteHost, "recent.example"}, {QVRecentRemoteUser, "ru"},
                                 {QVRecentRemotePort, 2222}, {QVRecentRemoteProtocol, 1}},
                     QVariantMap{{QVRecentRemoteUser, "no host"}}},
        QVRemoteSiteQueue::RecentHostsKey);

    Owner owner;
    QVProjectRemoteConfiguration site;
    site.setUseKeychain(false);
    QVRemoteDetailsController details(&owner, &site);
    EXPECT_FALSE(details.valid());
    EXPECT_FALSE(details.chooseButton()->isEnabled());
    QStringList items;
    for (int i = 0; i < details.presetsPopUpButton()->count(); ++i) items << details.presetsPopUpButton()->itemText(i).trimmed();
    EXPECT_EQ(items, (QStringList{"Presets", "Projects", "Shop\t[h:d]", "", "Recents", "recent.example"}));

    // Typing the host validates at once, the owner too.
    const int before = owner.validations;
    QTest::keyClicks(details.hostField(), "ex");
    EXPECT_EQ(site.host(), "ex");
    EXPECT_TRUE(details.valid());
    EXPECT_EQ(owner.validations, before + 2);
    details.chooseButton()->click();
    EXPECT_EQ(owner.chooses, 1);

    // A project preset copies its site; a recent one clears password, folder and options.
    details.selectPreset(2);
    EXPECT_EQ(site.host(), "h");
    EXPECT_EQ(details.initialDirectoryField()->text(), "d");
    site.setOptions(QVariantMap{{"C", true}});
    QTest::keyClicks(details.passwordField(), "secret");
    EXPECT_EQ(site.password(), "secret");
    details.selectPreset(5);
    EXPECT_EQ(site.host(), "recent.example");
    EXPECT_EQ(site.user(), "ru");
    EXPECT_EQ(site.port(), QVariant(2222));
    EXPECT_EQ(site.protocol(), 1);
    EXPECT_TRUE(site.password().isEmpty());
    EXPECT_TRUE(site.initialDirectory().isEmpty());
    EXPECT_FALSE(site.options());
    EXPECT_EQ(details.passwordField()->text(), "");
    EXPECT_EQ(details.protocolPopUp()->currentText(), "SFTP");
    for (int header : {0, 1, 3, 4, 99}) details.selectPreset(header);
    EXPECT_EQ(site.host(), "recent.example");

    // The options sheet works on a copy: cancel keeps, OK replaces.
    site.setOptions(QVariantMap{{"other", "-4"}});
    details.showOptions();
    ASSERT_TRUE(details.optionsSheet());
    EXPECT_EQ(details.optionsSheet()->objectName(), "SetupSFTPOptions");
    details.optionsSheet()->setValueForKeyPath(true, "options.C");
    details.optionsSheet()->close(0);
    EXPECT_EQ(site.options(), (QVariantMap{{"other", "-4"}}));
    details.showOptions();
    details.optionsSheet()->setValueForKeyPath(true, "options.C");
    details.optionsSheet()->close(1);
    EXPECT_EQ(site.options(), (QVariantMap{{"other", "-4"}, {"C", true}}));

    // A typed port is a number, an emptied one the protocol's default.
    details.portField()->setText("");
    QTest::keyClicks(details.portField(), "2121");
    EXPECT_EQ(site.port(), QVariant(2121));
    details.portField()->selectAll();
    QTest::keyClick(details.portField(), Qt::Key_Backspace);
    EXPECT_FALSE(site.port().isValid());
    QVRemoteDetailsController::setProjectPresetsSource(nullptr);
}

TEST(RemoteFilePicker, TreeWalksByListedPath) {
    auto files = [](const QString& folder, const QStringList& names) {
        QList<QVRemoteFile> list;
        for (const QString& name : names) {
            QVRemoteFile f(folder, name);
            f.setIsDirectory(!name.contains('.'));
            list << f;
        }
        return list;
    };
    for (const QString& initial : {QString(""), QString("www"), QString("/srv/www/")}) {
        SCOPED_TRACE(initial.toStdString());
        QVRemoteFilePickerModel model;
        model.reset(initial);
        EXPECT_TRUE(model.applyListing(initial, files(initial, {"site", "img", "a.html"})));
        const QString site = QVRemoteFile::appendPath(initial, "site");
        EXPECT_TRUE(model.applyListing(site, files(site, {"css", "index.html"})));
        EXPECT_EQ(model.rowCount(model.index(0, 0)), 2);
        // Unknown folders, files and paths outside the initial folder change nothing.
        EXPECT_FALSE(model.applyListing(QVRemoteFile::appendPath(initial, "gone/x"), files("x", {"y"})));
        EXPECT_FALSE(model.applyListing(QVRemoteFile::appendPath(initial, "a.html"), files("x", {"y"})));
        if (!initial.isEmpty()) {
            EXPECT_FALSE(model.applyListing("elsewhere/site", files("x", {"y"})));
        }
        EXPECT_EQ(model.nodeForPath(QVRemoteFile::appendPath(site, "css"))->file()->name(), "css");
        EXPECT_TRUE(model.hasChildren(model.index(1, 0)));
        EXPECT_FALSE(model.hasChildren(model.index(2, 0)));
        // A later listing replaces the entries.
        EXPECT_TRUE(model.applyListing(site, {}));
        EXPECT_EQ(model.rowCount(model.index(0, 0)), 0);
    }
    QVBrowserCell cell;
    QStyleOptionViewItem option;
    EXPECT_EQ(cell.sizeHint(option, {}).height(), 20);
}
