// The unknown-file-type sheet: a window-modal dialog showing its controller's pop-up.
#pragma once

#include <QDialog>
#include <QPointer>

class QComboBox;
class QLabel;
class QPushButton;
class QVUnknownFileTypeController;

class QVUnknownFileTypePanel : public QDialog {
    Q_OBJECT

public:
    // Window-modal on the parent's window; every choice goes to the controller, which ends the
    // sheet. Closing the window counts as Cancel.
    QVUnknownFileTypePanel(QVUnknownFileTypeController* controller, QWidget* parent);

    QComboBox* popUpButton() const { return _popUpButton; }
    QPushButton* chooseButton() const { return _chooseButton; }
    QPushButton* cancelButton() const { return _cancelButton; }

    void reject() override;

private:
    void reloadPopUp();

    QPointer<QVUnknownFileTypeController> _controller;
    QLabel* _message;
    QComboBox* _popUpButton;
    QPushButton* _chooseButton;
    QPushButton* _cancelButton;
};
