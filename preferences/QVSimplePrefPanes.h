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

// Qorvel never updates itself; the pane says how this copy is updated: with the system's
// packages when it was installed from one, by building a newer source otherwise.
class QVSoftwareUpdatePrefPane : public QVPrefPane {
    Q_OBJECT
public:
    using QVPrefPane::QVPrefPane;
    // What the pane says of the program in programFolder (the running one's by default).
    static QString updateText(const QString& programFolder = {});

protected:
    QString iconName() const override { return QStringLiteral("softwareupdate"); }
    QWidget* loadView() override;
};
