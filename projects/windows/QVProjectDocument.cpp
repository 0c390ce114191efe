// The document of an open project.
#include "projects/windows/QVProjectDocument.h"

#include "completion/QVCodeIndex.h"
#include "editor/windows/QVMultiFileWindowController.h"
#include "platform/AppBundle.h"
#include "platform/FileName.h"
#include "projects/QVProject.h"
#include "projects/QVProjectRepository.h"
#include "projects/windows/QVProjectWindowController.h"

#include <QDir>
#include <QFileInfo>

namespace {

QVProjectDocument::WindowFactory& windowFactory() {
    static QVProjectDocument::WindowFactory factory;
    return factory;
}

std::function<void(const QString&)>& indexer() {
    static std::function<void(const QString&)> index = [](const QString& folder) { QVCodeIndex::sharedIndex().indexDirectory(folder); };
    return index;
}

QList<QVProjectDocument*>& documents() {
    static QList<QVProjectDocument*> list;
    return list;
}

void bringForward(QMainWindow* window) {
    window->show();
    window->raise();
    window->activateWindow();
}

}  // namespace

void QVProjectDocument::setWindowFactory(WindowFactory factory) { windowFactory() = std::move(factory); }

void QVProjectDocument::setIndexer(std::function<void(const QString&)> index) { indexer() = std::move(index); }

QList<QVProjectDocument*> QVProjectDocument::openDocuments() { return documents(); }

QVProjectDocument* QVProjectDocument::documentForProject(const QVProject* project) {
    for (QVProjectDocument* document : documents())
        if (document->_project.get() == project) return document;
    return nullptr;
}

QVProjectDocument::QVProjectDocument(std::shared_ptr<QVProject> project) : _project(std::move(project)) { documents().append(this); }

QVProjectDocument::~QVProjectDocument() {
    documents().removeAll(this);
    _project->close();
}

std::shared_ptr<QVProject> QVProjectDocument::readFromFile(const QString& path, QVError* error) {
    const QFileInfo info(FileName::absolute(path));
    const bool isProjectFile = info.suffix() == QVProject::FileExtension && FileName::isRegularFile(path);
    const QString folder = isProjectFile ? info.absolutePath() : info.absoluteFilePath();
    // A listed project whose folder was moved or deleted: say so, make nothing.
    if (!FileName::isFolder(folder)) {
        qvSetError(error, QVError::app(1, QVLocalized(QStringLiteral("Unable to load project")),
                                       QVLocalized(QStringLiteral("Check the project directory and configuration"))));
        return nullptr;
    }
    return QVProjectRepository::sharedInstance().copyProjectWithPath(path);
}

QMainWindow* QVProjectDocument::open(const QString& path, QVError* error) {
    std::shared_ptr<QVProject> project = readFromFile(path, error);
    if (!project) return nullptr;
    if (QVProjectDocument* open = documentForProject(project.get()); open && open->_multiFileController) {
        bringForward(open->_multiFileController);
        return open->_multiFileController;
    }
    project->setIsOpen(true);
    if (!project->rootDirectory().isEmpty()) indexer()(project->rootDirectory());
    auto* document = new QVProjectDocument(project);
    document->makeWindowControllers();
    if (!document->_multiFileController) {
        delete document;
        qvSetError(error, QVError::app(1, QVLocalized(QStringLiteral("Unable to load project")),
                                       QVLocalized(QStringLiteral("Check the project directory and configuration"))));
        return nullptr;
    }
    bringForward(document->_multiFileController);
    return document->_multiFileController;
}

void QVProjectDocument::makeWindowControllers() {
    QVMultiFileWindowController* window = nullptr;
    if (windowFactory()) {
        window = windowFactory()(*this);
    } else {
        window = new QVProjectWindowController(_project);
    }
    if (!window) return;
    window->setAttribute(Qt::WA_DeleteOnClose);
    _multiFileController = window;
    // The document goes with its window, and the project closes with it.
    setParent(window);
}

bool QVProjectDocument::canOpenFile(const QString& path) const {
    const QString root = _project->rootDirectory();
    if (root.isEmpty() || path.isEmpty()) return false;
    const QString clean = FileName::absolute(path);
    return clean == root || clean.startsWith(root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/'));
}

QMainWindow* QVProjectDocument::openInOpenProject(const QString& path, bool isFolder) {
    // A project file stands for its project, never for a text to edit in a tab.
    if (!isFolder && QFileInfo(path).suffix() == QVProject::FileExtension && FileName::isRegularFile(path)) {
        for (QVProjectDocument* document : documents())
            if (document->_multiFileController && document->canOpenFile(path)) return open(path);
        return nullptr;
    }
    for (QVProjectDocument* document : documents()) {
        if (!document->_multiFileController || !document->canOpenFile(path)) continue;
        QVMultiFileWindowController* window = document->_multiFileController;
        if (!isFolder) window->openFileAtPath(path);
        bringForward(window);
        return window;
    }
    return nullptr;
}
