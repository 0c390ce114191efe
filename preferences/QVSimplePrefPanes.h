// The code-completion and software-update panes: settings bound to their keys, no logic.
#pragma once

#include "preferences/QVPrefPane.h"

class QVCodeCompletionPrefPane : public QVPrefPane {
    Q_OBJECT
public:
    using QVPrefPane::QVPrefPane;

protected:
    QString iconName() const override { return QStringLiteral("codecompletion"); }
    QWidget* loadView() override;
};

// Qorvel is updated with the system's packages; the pane says so.
class QVSoftwareUpdatePrefPane : public QVPrefPane {
    Q_OBJECT
public:
    using QVPrefPane::QVPrefPane;

protected:
    QString iconName() const override { return QStringLiteral("softwareupdate"); }
    QWidget* loadView() override;
};
