// The document of an open project: it takes the project of a folder or project file from the
// list of known projects (one project object per folder), marks it open, hands its folder to the
// code index and shows it in a window whose tabs are the project's files. It lives as long as
// that window, and closes the project (open flag, delegate, connection, tree, a pending save) when
// it goes. A project that is open already comes forward instead of opening twice.
#pragma once

#include "editor/windows/QVMultiFileWindowController.h"
#include "platform/QVError.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>

class QMainWindow;
class QVMultiFileWindowController;
class QVProject;

class QVProjectDocument : public QObject {
    Q_OBJECT
public:
    // Makes the window of a project document; the default is the project window.
    using WindowFactory = std::function<QVMultiFileWindowController*(QVProjectDocument& document)>;
    static void setWindowFactory(WindowFactory factory);
    // Where an opened project's folder goes to be indexed (the code index by default).
    static void setIndexer(std::function<void(const QString& folder)> indexer);

    // Opens the project of a folder or project file and shows its window (an open one comes
    // forward). A missing folder opens nothing: "Unable to load project" in error.
    static QMainWindow* open(const QString& path, QVError* error = nullptr);
    // The window of the open project containing path: a file opens as its tab, a folder brings
    // the window forward. Nothing when no open project contains it.
    static QMainWindow* openInOpenProject(const QString& path, bool isFolder);
    static QList<QVProjectDocument*> openDocuments();
    // The open document of the project (none: null).
    static QVProjectDocument* documentForProject(const QVProject* project);

    ~QVProjectDocument() override;

    const std::shared_ptr<QVProject>& project() const { return _project; }
    QVMultiFileWindowController* windowController() const { return _multiFileController; }
    // Whether the path lies in the project's folder (the folder itself included).
    bool canOpenFile(const QString& path) const;
    // Every menu command that reaches the project document itself is off: file commands
    // belong to the documents in its tabs.
    bool validateMenuItem() const { return false; }

private:
    explicit QVProjectDocument(std::shared_ptr<QVProject> project);
    // Reads the project of the path; false (error says why) when there is none to open.
    static std::shared_ptr<QVProject> readFromFile(const QString& path, QVError* error);
    void makeWindowControllers();

    std::shared_ptr<QVProject> _project;
    QPointer<QVMultiFileWindowController> _multiFileController;
};
