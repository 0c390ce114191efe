// What the web suites share: WebEngine may run unsandboxed here (tests run as root), and a
// helper that answers the modal panels a page opens.
#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>
#include <QTimer>

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
