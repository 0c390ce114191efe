// Start-up item that makes the scratch folder and the application-support folder tree, seeding
// "TidyConfigFiles" and "userscripts" from the application's resources.
#pragma once

#include <QString>

class QVSetupConfigurationDirectories {
public:
    static bool hasUI() { return false; }
    static bool needsToRun() { return true; }

    // Creates what is missing; never touches a folder that exists, so user edits survive.
    // Failures are written to the system log; a folder that cannot be made stays missing.
    void run();

    // Makes the support sub-folder when it does not exist: a copy of the resource folder
    // bundleDirectory when one is named, else an empty folder. The copy is assembled under a
    // hidden name and renamed into place, so a crash never leaves a half-seeded folder that
    // later launches would take for the user's own.
    void _createAppSupportDirectory(const QString& name, const QString& bundleDirectory = {});
};
