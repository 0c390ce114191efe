// Opening the command line's files.
#include "app/FileOpener.h"

#include "editor/QVFileDocument.h"
#include "editor/QVSingleFileDocument.h"
#include "editor/windows/QVMultiFileDocument.h"
#include "editor/windows/QVMultiFileWindowController.h"
#include "editor/windows/QVSingleFileWindowController.h"
#include "platform/FileName.h"
#include "platform/UserDefaults.h"
#include "projects/QVProject.h"
#include "projects/windows/QVProjectDocument.h"
#include "shell/Defaults.h"
#include "app/FolderWindow.h"

#include <QFileInfo>
#include <QMessageBox>

#include <memory>

namespace {

QMainWindow* shown(QMainWindow* window) {
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->show();
    return window;
}

}  // namespace

QMainWindow* FileOpener::open(const QString& path) {
    // A folder opens as a project (an open one comes forward); a file inside an open project
    // as its tab; a site address as a file tree.
    // A project file opens its folder's project, like the folder itself.
    const QFileInfo info(path);
    if (!path.isEmpty() && (FileName::isFolder(path) || (FileName::isRegularFile(path) && info.suffix() == QVProject::FileExtension))) {
        QVError error;
        if (QMainWindow* window = QVProjectDocument::open(path, &error)) return window;
        QMessageBox::warning(nullptr, error.localizedDescription(), error.localizedRecoverySuggestion());
        return nullptr;
    }
    if (!path.isEmpty() && FolderWindow::isSiteAddress(path)) return shown(new FolderWindow(path));
    if (!path.isEmpty())
        if (QMainWindow* window = QVProjectDocument::openInOpenProject(path, false)) return window;
    const UserDefaults& defaults = UserDefaults::standard();
    if (path.isEmpty() || !defaults.boolForKey(QString::fromLatin1(QVUseTabs)))
        return shown(new QVSingleFileWindowController(std::make_unique<QVSingleFileDocument>(path)));
    const QList<QVMultiFileDocument*> containers = QVMultiFileDocument::openContainers();
    for (QVMultiFileDocument* container : containers) {
        if (QVFileDocument* open = container->documentForPath(path)) {
            QVMultiFileWindowController* window = container->windowController();
            window->activateDocument(open);
            window->raise();
            window->activateWindow();
            return window;
        }
    }
    // The front tabbed window takes the file as a new tab.
    if (defaults.integerForKey(QString::fromLatin1(QVHowToOpenFiles)) == 1 && !containers.isEmpty()) {
        QVMultiFileDocument* front = containers.last();
        if (QVMultiFileWindowController* window = front->windowController()) {
            front->openFileAtPath(path);
            window->raise();
            window->activateWindow();
            return window;
        }
    }
    return QVMultiFileDocument::openWindow(path);
}
