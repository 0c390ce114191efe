// The project window's toolbar: the tabbed window's, with Refresh Project and Cancel.
#pragma once

#include "editor/windows/QVMultiFileToolbarDelegate.h"

class QVProjectWindowController;

class QVProjectToolbarDelegate : public QVMultiFileToolbarDelegate {
    Q_OBJECT
public:
    explicit QVProjectToolbarDelegate(QVProjectWindowController* windowController);

    QString toolbarIdentifier() const override { return QStringLiteral("ProjectToolbar"); }
    QStringList toolbarAllowedItemIdentifiers() const override;
    QStringList toolbarDefaultItemIdentifiers() const override;

protected:
    bool configureItem(QVToolbarItem* item, const QString& identifier) override;

private:
    QVProjectWindowController* _projectController;
};
