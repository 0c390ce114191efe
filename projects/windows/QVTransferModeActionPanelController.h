// The transfer tab's small sheet that asks a name or a path ("Name:" or "Path:") and whether it
// is meant for the local or the remote side. The value and the side stay from one use to the
// next; the answer goes to the callback with the button's tag (1 for OK).
#pragma once

#include <QDialog>
#include <QString>

#include <functional>

class QComboBox;
class QLabel;
class QLineEdit;

class QVTransferModeActionPanelController : public QDialog {
    Q_OBJECT
public:
    // value, return code (1 OK, 0 Cancel), remote side chosen, context.
    using Answer = std::function<void(const QString& value, int returnCode, bool remote, const QString& context)>;

    explicit QVTransferModeActionPanelController(QWidget* parent = nullptr);

    QString title() const { return _title; }
    void setTitle(const QString& title);
    QString value() const { return _value; }
    void setValue(const QString& value);
    // 1 remote, anything else local.
    int remoteOrLocal() const { return _remoteOrLocal; }
    void setRemoteOrLocal(int side);

    // Shows the sheet window-modal on the window; the answer comes once, when a button ends it.
    void displayOnWindow(QWidget* window, const QString& context, Answer answer);
    // The sheet's buttons: tag 1 confirms.
    void close(int tag);

private:
    QLabel* _label = nullptr;
    QLineEdit* _field = nullptr;
    QComboBox* _side = nullptr;
    Answer _answer;
    QString _context;
    QString _title;
    QString _value;
    int _remoteOrLocal = 0;
};
