// The general pane.
#include "preferences/QVGeneralPrefPane.h"

#include "editor/QVSnippetRepository.h"
#include "platform/AppBundle.h"
#include "platform/SystemLog.h"
#include "platform/UserDefaults.h"
#include "preferences/QVDefaultsBinding.h"
#include "preferences/QVPrefAlerts.h"
#include "shell/Defaults.h"
#include "shell/QVStartupItems.h"
#include "tools/QVUserScript.h"
#include "tools/QVUserScriptRunner.h"

#include <QCheckBox>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

namespace {

QString localized(const char* text) { return QVLocalized(QString::fromUtf8(text)); }

constexpr qint64 CopyErrorCode = 40;

// Copies source into destination: a folder is merged file by file, an existing file is kept.
bool copyTree(const QString& source, const QString& destination, QVError* error) {
    const QFileInfo info(source);
    if (!info.exists()) {
        *error = QVError::app(CopyErrorCode, localized("\u201c%1\u201d does not exist.").arg(source));
        return false;
    }
    if (!info.isDir()) {
        if (QFileInfo::exists(destination)) return true;
        if (!QDir().mkpath(QFileInfo(destination).absolutePath()) || !QFile::copy(source, destination)) {
            *error = QVError::app(CopyErrorCode, localized("\u201c%1\u201d could not be copied to \u201c%2\u201d.").arg(source, destination));
            return false;
        }
        return true;
    }
    if (!QDir().mkpath(destination)) {
        *error = QVError::app(CopyErrorCode, localized("The folder \u201c%1\u201d could not be made.").arg(destination));
        return false;
    }
    bool copied = true;
    const QFileInfoList entries = QDir(source).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo& entry : entries) {
        if (entry.isSymLink() && entry.isDir()) continue;  // never follow a loop
        QVError failure;
        if (!copyTree(entry.filePath(), QDir(destination).filePath(entry.fileName()), &failure) && copied) {
            *error = failure;
            copied = false;
        }
    }
    return copied;
}

bool holdsAnything(const QString& folder) {
    return QFileInfo(folder).isDir() && !QDir(folder).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

}  // namespace

QWidget* QVGeneralPrefPane::loadView() {
    auto* view = new QWidget;
    view->setObjectName(QStringLiteral("GeneralPrefPane"));
    auto* layout = new QVBoxLayout(view);
    auto* consent = new QCheckBox(localized("Send anonymous usage data to help improve Qorvel"), view);
    consent->setObjectName(QString::fromLatin1(qvAnonymousUsageTracking));
    QVDefaultsBinding::bind(consent, QString::fromLatin1(qvAnonymousUsageTracking));
    layout->addWidget(consent);
    auto* reset = new QPushButton(localized("Reset Dialog Choices\u2026"), view);
    reset->setObjectName(QStringLiteral("resetDialogChoices"));
    connect(reset, &QPushButton::clicked, this, &QVGeneralPrefPane::resetDialogChoices);
    layout->addWidget(reset, 0, Qt::AlignLeft);
    auto* form = new QFormLayout;
    auto folderRow = [&](const QString& label, QLineEdit*& field, const char* name, void (QVGeneralPrefPane::*browse)()) {
        auto* row = new QHBoxLayout;
        field = new QLineEdit(view);
        field->setObjectName(QString::fromLatin1(name));
        field->setReadOnly(true);
        field->setMinimumWidth(300);
        auto* choose = new QPushButton(localized("Choose\u2026"), view);
        choose->setObjectName(QString::fromLatin1(name) + QStringLiteral("Choose"));
        connect(choose, &QPushButton::clicked, this, browse);
        row->addWidget(field, 1);
        row->addWidget(choose);
        form->addRow(label, row);
    };
    folderRow(localized("Snippets folder:"), _snippetsLocation, "snippetsLocation", &QVGeneralPrefPane::browseSnippetLocation);
    folderRow(localized("User scripts folder:"), _userScriptsLocation, "userScriptsLocation", &QVGeneralPrefPane::browseUserScriptsLocation);
    layout->addLayout(form);
    layout->addStretch();
    setFirstResponder(consent);
    showLocations();
    return view;
}

void QVGeneralPrefPane::showLocations() {
    if (_snippetsLocation) _snippetsLocation->setText(QVSnippetRepository::snippetsLocation());
    if (_userScriptsLocation) _userScriptsLocation->setText(QVUserScriptRepository::scriptsLocation());
}

void QVGeneralPrefPane::resetDialogChoices() {
    QMessageBox box(QMessageBox::Warning, localized("Are you sure?"), localized("Are you sure?"),
                    QMessageBox::Ok | QMessageBox::Cancel, mainView());
    box.setObjectName(QStringLiteral("resetDialogChoicesAlert"));
    box.setInformativeText(localized("Clicking OK, will clear your settings.  You will need to restart the app for them to take effect"));
    if (box.exec() != QMessageBox::Ok) return;
    UserDefaults::standard().removeObject(QString::fromLatin1(qvAnonymousUsageTracking));
    UserDefaults::standard().removeObject(QString::fromLatin1(qvDisplayInfoView));
}

void QVGeneralPrefPane::browseSnippetLocation() {
    const QString folder = QFileDialog::getExistingDirectory(mainView(), localized("Choose the Snippets Folder"));
    if (!folder.isEmpty()) chooseSnippetsFolder(folder);
}

void QVGeneralPrefPane::browseUserScriptsLocation() {
    const QString folder = QFileDialog::getExistingDirectory(mainView(), localized("Choose the User Scripts Folder"));
    if (!folder.isEmpty()) chooseUserScriptsFolder(folder);
}

bool QVGeneralPrefPane::chooseSnippetsFolder(const QString& folder) {
    if (!chooseFolder(folder, qvSnippetsLocation, QStringLiteral("snippets"))) return false;
    QVSnippetRepository::sharedRepository().reloadSnippets();
    return true;
}

bool QVGeneralPrefPane::chooseUserScriptsFolder(const QString& folder) {
    if (!chooseFolder(folder, qvUserScriptsLocation, QStringLiteral("userscripts"))) return false;
    QVUserScriptRepository& scripts = QVUserScriptRepository::sharedInstance();
    scripts.reloadScripts();
    QVUserScriptRunner::reloadMenu(scripts, QVMainMenuPlaces::menu(QVMainMenuPlaces::UserScripts));
    return true;
}

bool QVGeneralPrefPane::chooseFolder(const QString& folder, const char* key, const QString& name) {
    const QString current = QString::fromLatin1(key) == QLatin1String(qvSnippetsLocation) ? QVSnippetRepository::snippetsLocation()
                                                                                            : QVUserScriptRepository::scriptsLocation();
    const QString target = QDir::cleanPath(QDir(folder).filePath(name));
    SystemLog::notice(QStringLiteral("Current %1 Location: %2").arg(name, current));
    if (QFileInfo(target).canonicalFilePath() == QFileInfo(current).canonicalFilePath() && QFileInfo::exists(target)) return true;
    if (QFileInfo::exists(current)) copyFileFrom(current, target);
    // A folder that received nothing would leave the menus empty: the old location stays.
    if (!holdsAnything(target) && holdsAnything(current)) {
        showLocations();
        return false;
    }
    UserDefaults::standard().setString(target, QString::fromLatin1(key));
    UserDefaults::standard().synchronize();
    showLocations();
    return true;
}

bool QVGeneralPrefPane::copyFileFrom(const QString& source, const QString& destination) {
    QVError error;
    if (copyTree(source, destination, &error)) return true;
    QVPrefAlerts::showError(mainView(), error);
    return false;
}

bool QVGeneralPrefPane::moveFileFrom(const QString& source, const QString& destination) {
    if (QFileInfo::exists(destination) || !QFile::rename(source, destination)) {
        QVPrefAlerts::showError(mainView(), QVError::app(CopyErrorCode, localized("\u201c%1\u201d could not be moved to \u201c%2\u201d.").arg(source, destination)));
        return false;
    }
    return true;
}

QByteArray QVGeneralPrefPane::createSecureBookmark(const QString& path) { return QUrl::fromLocalFile(path).toEncoded(); }
