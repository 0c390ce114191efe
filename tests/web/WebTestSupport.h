// What the web suites share: WebEngine may run unsandboxed here (tests run as root), a helper
// that answers the modal panels a page opens, the seam that sees what reaches the desktop, and
// the kernel's record of what was read from a folder.
#pragma once

#include <QApplication>
#include <QDesktopServices>
#include <QFile>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>
#include <QTimer>
#include <QUrl>

#include <sys/inotify.h>
#include <unistd.h>

// The WebEngine view inside a web view, found by its class name: it is the library's, and the
// suites link none of it. Null in a plain view.
inline QWidget* webEngineViewIn(QWidget* view) {
    for (QWidget* child : view->findChildren<QWidget*>())
        if (child->inherits("QWebEngineView")) return child;
    return nullptr;
}

// Clicks, in turn, the button titled by each answer on the modal message boxes that appear.
class PanelAnswerer : public QObject {
public:
    explicit PanelAnswerer(QStringList answers) : _answers(std::move(answers)) {
        _timer.setInterval(20);
        QObject::connect(&_timer, &QTimer::timeout, this, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box || _answers.isEmpty()) return;
            titles.append(box->windowTitle() + QLatin1Char(':') + box->text());
            const QString answer = _answers.takeFirst();
            for (QAbstractButton* button : box->buttons())
                if (button->text() == answer) return button->click();
            box->reject();
        });
        _timer.start();
    }
    QStringList titles;  // "title:message" of each panel answered

private:
    QStringList _answers;
    QTimer _timer;
};

// What views hand to the desktop, caught at Qt's own hand-off (QDesktopServices), so no browser
// or other program starts.
class DesktopSeam : public QObject {
    Q_OBJECT
public:
    DesktopSeam() {
        for (const char* scheme : schemes) QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), this, "open");
    }
    ~DesktopSeam() override {
        for (const char* scheme : schemes) QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
    }
    QStringList opened;  // in order
public Q_SLOTS:
    void open(const QUrl& url) { opened.append(url.toString()); }

private:
    static constexpr const char* schemes[] = {"http", "https", "mailto", "file", "qvdt", "ftp"};
};

// Every open and read of a file in a folder, as the kernel reports them: what any process, ours or
// the web engine's, took from the folder's files, whoever asked.
class FileReads {
public:
    explicit FileReads(const QString& folder) : _fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        if (_fd >= 0) _watch = ::inotify_add_watch(_fd, QFile::encodeName(folder).constData(), IN_OPEN | IN_ACCESS);
    }
    ~FileReads() {
        if (_fd >= 0) ::close(_fd);
    }
    FileReads(const FileReads&) = delete;
    FileReads& operator=(const FileReads&) = delete;
    bool watching() const { return _fd >= 0 && _watch >= 0; }
    // The files opened or read since the last call (the folder's own listing aside).
    QStringList taken() {
        QStringList names;
        alignas(inotify_event) char buffer[8192];
        for (ssize_t got; (got = ::read(_fd, buffer, sizeof buffer)) > 0;)
            for (ssize_t at = 0; at < got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                if (event->len) names << QFile::decodeName(event->name);
                at += ssize_t(sizeof(inotify_event) + event->len);
            }
        return names;
    }

private:
    int _fd;
    int _watch = -1;
};
