// The connection log: what a remote client prints, kept (newest part, within a bound) and shown
// in a drawer, a panel that slides out of the bottom edge of the project window.
#pragma once

#include <QObject>
#include <QPlainTextEdit>
#include <QPointer>
#include <QString>

#include <mutex>

class QVariantAnimation;
class QWidget;

class QVRemoteLogController : public QObject {
    Q_OBJECT

public:
    enum DrawerState { Closed = 0, Opening = 1, Open = 2, Closing = 3 };
    // The log keeps at most this many characters, dropping whole lines from the start.
    static constexpr qsizetype MaximumLogLength = 512 * 1024;
    static constexpr int MinimumContentHeight = 60;
    static constexpr int DefaultContentHeight = 160;
    static constexpr const char* DrawerHeightKey = "QVRemoteLogDrawerHeight";

    explicit QVRemoteLogController(QObject* parent = nullptr);
    ~QVRemoteLogController() override;

    // Any thread: appends to the log; the drawer's text follows on the main thread.
    void appendStringToLog(const QString& text);
    QString logString() const;

    // 0 before the drawer was ever made.
    DrawerState state() const { return _state; }
    // Makes the drawer on first use and opens it on the window's bottom edge, or closes it
    // when it is open or opening.
    void toggle(QWidget* window);
    // The drawer's contents take a new height: stored as the user's choice unless below the minimum.
    void drawerWillResizeContents(int height);

    QWidget* drawer() const { return _drawer; }
    QPlainTextEdit* textView() const { return _textView.data(); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void makeDrawer();
    void animateTo(int height, DrawerState during, DrawerState after);
    void placeDrawer(int height);
    void showAppended(const QString& text);

    mutable std::mutex _logLock;  // guards _logString
    QString _logString;
    QPointer<QWidget> _drawer;
    QPointer<QPlainTextEdit> _textView;
    QPointer<QWidget> _window;
    QVariantAnimation* _animation = nullptr;
    DrawerState _state = Closed;
    int _contentHeight = DefaultContentHeight;
};
