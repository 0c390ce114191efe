// The tabbed window's toolbar: the document toolbar with a Save All button and the list of the
// window's open files.
#pragma once

#include "editor/windows/QVDocumentToolbarDelegate.h"

class QVMultiFileWindowController;

class QVMultiFileToolbarDelegate : public QVDocumentToolbarDelegate {
    Q_OBJECT
public:
    explicit QVMultiFileToolbarDelegate(QVMultiFileWindowController* windowController);
    ~QVMultiFileToolbarDelegate() override;

    QString toolbarIdentifier() const override { return QStringLiteral("MultiFileToolbar"); }
    QStringList toolbarAllowedItemIdentifiers() const override;
    QStringList toolbarDefaultItemIdentifiers() const override;
    // Save All is enabled while a document is edited; the rest as in any document window.
    bool validateToolbarItem(const QVToolbarItem* item) const override;
    // Fills the open-files pop-up: its title item, then one item per open document.
    void populateOpenFiles(QMenu* menu);

protected:
    bool configureItem(QVToolbarItem* item, const QString& identifier) override;

private:
    QVMultiFileWindowController* _multiFileController;
};
