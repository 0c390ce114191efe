// Windows and panels whose own Close action takes Ctrl+W while they are the active window.
#pragma once

#include <QDialog>
#include <QMainWindow>

class QAction;

class QVNormalWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit QVNormalWindow(QWidget* parent = nullptr);
    // The window's Close action (Ctrl+W).
    QAction* closeAction() const { return _close; }

private:
    QAction* _close = nullptr;
};

class QVNormalPanel : public QDialog {
    Q_OBJECT
public:
    explicit QVNormalPanel(QWidget* parent = nullptr);
    QAction* closeAction() const { return _close; }

private:
    QAction* _close = nullptr;
};
