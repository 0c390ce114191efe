// Windows with their own close key.
#include "shell/QVNormalWindow.h"

#include "platform/AppBundle.h"

#include <QAction>

namespace {

QAction* addCloseAction(QWidget* window) {
    auto* close = new QAction(QVLocalized(QStringLiteral("Close")), window);
    close->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_W));
    close->setShortcutContext(Qt::WindowShortcut);
    QObject::connect(close, &QAction::triggered, window, &QWidget::close);
    window->addAction(close);
    return close;
}

}  // namespace

QVNormalWindow::QVNormalWindow(QWidget* parent) : QMainWindow(parent), _close(addCloseAction(this)) {}

QVNormalPanel::QVNormalPanel(QWidget* parent) : QDialog(parent), _close(addCloseAction(this)) {}
