// The application's window hosting one editor view.
#include "shell/app/MainWindow.h"

#include "editor/HTMLView.h"
#include "platform/AppBundle.h"

#include <QApplication>
#include <QFileInfo>
#include <QKeySequence>
#include <QLabel>
#include <QMenuBar>
#include <QStatusBar>

namespace {

// Shows the editor's line and column and its errors in the window's status bar.
class StatusReporter : public HTMLViewDelegate {
public:
    StatusReporter(QLabel* position, QStatusBar* bar) : _position(position), _bar(bar) {}
    void htmlViewIsEscaped(HTMLView*, bool) override {}
    void htmlViewChangedToLine(HTMLView*, qint64 line, qint64 column) override {
        _position->setText(QVLocalized(QStringLiteral("Line %1, Column %2")).arg(line).arg(column + 1));
    }
    void htmlViewHadError(HTMLView*, const QVError& error, bool) override {
        _bar->showMessage(error.localizedDescription());
    }

private:
    QLabel* _position;
    QStatusBar* _bar;
};

}  // namespace

MainWindow::MainWindow(const QString& path, QWidget* parent) : QMainWindow(parent) {
    setWindowTitle(path.isEmpty() ? AppBundle::main().bundleName() : QFileInfo(path).fileName());
    resize(900, 640);
    _editor = new HTMLView(path, this);
    setCentralWidget(_editor);
    _position = new QLabel(this);
    statusBar()->addPermanentWidget(_position);
    _editorDelegate = std::make_shared<StatusReporter>(_position, statusBar());
    _editor->setInterfaceDelegate(_editorDelegate);
    if (!path.isEmpty()) _loaded = _editor->loadFromPath(path);
    _editor->setSelectedRange(QVRange(0, 0));
    _editorDelegate->htmlViewChangedToLine(_editor, 1, 0);
    buildMenus();
    _editor->setFocus();
}

MainWindow::~MainWindow() { _editor->setInterfaceDelegate({}); }

void MainWindow::buildMenus() {
    QMenu* file = menuBar()->addMenu(QVLocalized(QStringLiteral("File")));
    QAction* quit = file->addAction(QVLocalized(QStringLiteral("Quit")));
    quit->setShortcut(QKeySequence::Quit);
    quit->setMenuRole(QAction::QuitRole);
    connect(quit, &QAction::triggered, qApp, &QApplication::quit);

    // The editor handles these keys itself; the menu shows them and works by mouse.
    QMenu* edit = menuBar()->addMenu(QVLocalized(QStringLiteral("Edit")));
    struct Item {
        const char* title;
        QKeySequence::StandardKey key;
        void (HTMLView::*command)();
    };
    const Item items[] = {
        {"Undo", QKeySequence::Undo, &HTMLView::undo},         {"Redo", QKeySequence::Redo, &HTMLView::redo},
        {"Cut", QKeySequence::Cut, &HTMLView::cut},            {"Copy", QKeySequence::Copy, &HTMLView::copy},
        {"Paste", QKeySequence::Paste, &HTMLView::paste},      {"Select All", QKeySequence::SelectAll, &HTMLView::selectAll},
    };
    for (const Item& item : items) {
        QAction* action = edit->addAction(QVLocalized(QString::fromLatin1(item.title)));
        action->setShortcut(item.key);
        action->setShortcutContext(Qt::WidgetShortcut);
        connect(action, &QAction::triggered, _editor, item.command);
    }
    connect(edit, &QMenu::aboutToShow, this, [this, edit] {
        const QList<QAction*> actions = edit->actions();
        actions[0]->setText(_editor->undoManager().undoMenuItemTitle());
        actions[0]->setEnabled(_editor->undoManager().canUndo());
        actions[1]->setText(_editor->undoManager().redoMenuItemTitle());
        actions[1]->setEnabled(_editor->undoManager().canRedo());
    });
    menuBar()->addMenu(QVLocalized(QStringLiteral("View")));
    menuBar()->addMenu(QVLocalized(QStringLiteral("Window")));
    menuBar()->addMenu(QVLocalized(QStringLiteral("Help")));
}
