// The general pane: the usage-data consent, forgetting the launch questions, and the folders the
// snippets and user scripts are read from.
#pragma once

#include "platform/QVError.h"
#include "preferences/QVPrefPane.h"

class QLineEdit;

class QVGeneralPrefPane : public QVPrefPane {
    Q_OBJECT
public:
    using QVPrefPane::QVPrefPane;

    // Asks, then forgets the consent answer and the information window's setting, so the next
    // launch asks and shows again.
    void resetDialogChoices();
    void browseSnippetLocation();
    void browseUserScriptsLocation();

    // What the folder panels do once a folder F is chosen. The snippets (or the user scripts)
    // are copied from where they are now into "snippets" (or "userscripts") inside F, files
    // already there kept; that folder is stored as the new location and the store reloads. When
    // the copy leaves the new folder empty the old location stays. Answers whether the location
    // was stored; a failed copy is shown.
    bool chooseSnippetsFolder(const QString& folder);
    bool chooseUserScriptsFolder(const QString& folder);

    // Copies the file or folder at source to destination (folders merged, existing files kept);
    // false with the first failure, which is also shown.
    bool copyFileFrom(const QString& source, const QString& destination);
    // Moves with the file manager; false with the failure shown.
    bool moveFileFrom(const QString& source, const QString& destination);
    // The bytes of the path's file URL: Linux has no security-scoped bookmark, and a path is all
    // a sandbox-free application needs to reach the folder again.
    static QByteArray createSecureBookmark(const QString& path);

    QLineEdit* snippetsLocationField() const { return _snippetsLocation; }
    QLineEdit* userScriptsLocationField() const { return _userScriptsLocation; }

protected:
    QString iconName() const override { return QStringLiteral("general"); }
    QWidget* loadView() override;

private:
    void showLocations();
    bool chooseFolder(const QString& folder, const char* key, const QString& name);

    QLineEdit* _snippetsLocation = nullptr;
    QLineEdit* _userScriptsLocation = nullptr;
};
