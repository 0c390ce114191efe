// The peer of the launch benchmark: a bare QApplication showing a file in a QPlainTextEdit, gone
// the moment its text has first been painted.
#include <QApplication>
#include <QFile>
#include <QPlainTextEdit>

#include <cstdio>
#include <cstdlib>

namespace {

class FirstPaint : public QObject {
public:
    explicit FirstPaint(QWidget* viewport) : _viewport(viewport) {}
    bool eventFilter(QObject* watched, QEvent* event) override {
        const bool result = QObject::eventFilter(watched, event);
        if (watched == _viewport && event->type() == QEvent::Paint) {
            // After the paint event is handled: leave at once, as ours does.
            QMetaObject::invokeMethod(qApp, [] { std::fflush(stdout); std::_Exit(0); }, Qt::QueuedConnection);
        }
        return result;
    }

private:
    QWidget* _viewport;
};

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 2) return 2;
    QFile file(QString::fromLocal8Bit(argv[1]));
    if (!file.open(QIODevice::ReadOnly)) return 2;
    QPlainTextEdit editor;
    editor.setPlainText(QString::fromUtf8(file.readAll()));
    FirstPaint watcher(editor.viewport());
    editor.viewport()->installEventFilter(&watcher);
    editor.resize(900, 700);
    editor.show();
    return app.exec();
}
