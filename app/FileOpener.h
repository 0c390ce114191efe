// Opens what the command line names the way the document controller will once it arrives: a
// folder or a site as a file tree, a file as a tab of a tabbed window (its own window, or the
// front tabbed window's when QVHowToOpenFiles is 1), or in a single-file window with QVUseTabs
// off or for an untitled text.
#pragma once

#include <QString>

class QMainWindow;

class FileOpener {
public:
    FileOpener() = delete;

    // Shows the window for path (empty: an untitled text) and answers it. A file already open
    // in a tabbed window, under whatever spelling, comes forward there instead. Every window
    // made here deletes itself when it closes.
    static QMainWindow* open(const QString& path);
};
