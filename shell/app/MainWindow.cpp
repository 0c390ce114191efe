#include "shell/app/MainWindow.h"

#include "platform/AppBundle.h"

#include <QApplication>
#include <QKeySequence>
#include <QMenuBar>

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
    setWindowTitle(AppBundle::main().bundleName());
    resize(900, 640);

    QMenu* file = menuBar()->addMenu(QVLocalized(QStringLiteral("File")));
    QAction* quit = file->addAction(QVLocalized(QStringLiteral("Quit")));
    quit->setShortcut(QKeySequence::Quit);
    quit->setMenuRole(QAction::QuitRole);
    connect(quit, &QAction::triggered, qApp, &QApplication::quit);

    menuBar()->addMenu(QVLocalized(QStringLiteral("Edit")));
    menuBar()->addMenu(QVLocalized(QStringLiteral("View")));
    menuBar()->addMenu(QVLocalized(QStringLiteral("Window")));
    menuBar()->addMenu(QVLocalized(QStringLiteral("Help")));
}
