// What the web suites share: WebEngine may run unsandboxed here (tests run as root), a helper
// that answers the modal panels a page opens, and the seam that sees what reaches the desktop.
#pragma once

#include <QApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>
#include <QTimer>
#include <QUrl>

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
