// The application's window: until the document windows arrive, a plain window with the menu bar
// that hosts one editor view for a file.
#pragma once

#include <QMainWindow>
#include <QString>

#include <memory>

class HTMLView;
class HTMLViewDelegate;
class QLabel;

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    // A window editing the file at path (empty: an untitled text). A file that cannot be read
    // leaves the window empty and says why in its status bar.
    explicit MainWindow(const QString& path = {}, QWidget* parent = nullptr);
    ~MainWindow() override;

    HTMLView* editor() const { return _editor; }
    // Whether the file given was read.
    bool loaded() const { return _loaded; }

private:
    void buildMenus();

    HTMLView* _editor = nullptr;
    QLabel* _position = nullptr;
    std::shared_ptr<HTMLViewDelegate> _editorDelegate;
    bool _loaded = true;
};
