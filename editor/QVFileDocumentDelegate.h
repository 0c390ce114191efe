// What a file document asks of the window that shows it. Every call has a default that does
// nothing (or answers none), so a window implements only what it offers.
#pragma once

#include "platform/QVError.h"

#include <QString>
#include <QVariant>

#include <functional>
#include <memory>

class QVFile;
class QVFileDocument;
class QVProjectSCMController;

class QVFileDocumentDelegate {
public:
    virtual ~QVFileDocumentDelegate() = default;

    // Shows the error: its recovery options as buttons, the chosen index handed to
    // error.attemptRecovery(); a low-priority error as a status-bar warning instead.
    virtual void presentErrorAlert(const QVError& error) { (void)error; }
    // Brings the document's tab or window to the front (before a question about it).
    virtual void activateDocument(QVFileDocument* document) { (void)document; }
    // The document's name, file or edited state changed: titles follow.
    virtual void documentNeedsRefresh(QVFileDocument* document) { (void)document; }
    // Closes the document without asking (its file is gone and the user let it go, or it was
    // saved elsewhere).
    virtual void documentShouldForceClose(QVFileDocument* document) { (void)document; }
    // Save As: the tree node of the new path, made by the window's tree when it holds the path;
    // none leaves the document without a node.
    virtual std::shared_ptr<QVFile> backingFileForPath(QVFileDocument* document, const QString& path) {
        (void)document, (void)path;
        return nullptr;
    }
    // Runs the save panel (window-modal) starting at suggestedPath; chosen gets the path picked,
    // or an empty one when the panel was cancelled. The default cancels at once.
    virtual void runSavePanel(QVFileDocument* document, const QString& suggestedPath, std::function<void(const QString& chosen)> chosen) {
        (void)document, (void)suggestedPath;
        chosen({});
    }
    // The per-file settings (key; an empty key: the file's whole entry, a map) of the file at
    // path kept by the window's project: false when no project of the window holds the path
    // (the document keeps them in the defaults then). A null value removes.
    virtual bool projectFileConfiguration(QVFileDocument* document, const QString& path, const QString& key, QVariant* value) {
        (void)document, (void)path, (void)key, (void)value;
        return false;
    }
    virtual bool setProjectFileConfiguration(QVFileDocument* document, const QString& path, const QString& key, const QVariant& value) {
        (void)document, (void)path, (void)key, (void)value;
        return false;
    }
    // The Subversion controller of the window's project; none offers no Subversion commands.
    virtual QVProjectSCMController* scmControllerForDocument(QVFileDocument* document) {
        (void)document;
        return nullptr;
    }
};
