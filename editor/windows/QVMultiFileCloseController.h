// The close sheet of a tabbed window: lists its edited documents and asks to save all, save the
// chosen ones, close without saving, or cancel.
#pragma once

#include <QDialog>
#include <QList>
#include <QPointer>

#include <functional>

class QListWidget;
class QPushButton;
class QVFileDocument;

class QVMultiFileCloseController : public QDialog {
    Q_OBJECT
public:
    // The answers, by the tag of the button pressed.
    enum Result { SaveAll = 0, SaveSelected = 1, CloseWithoutSaving = 2, Cancel = 3 };
    // The answer with the documents to save: all listed for SaveAll, the selected ones for
    // SaveSelected, none otherwise.
    using Answer = std::function<void(QVMultiFileCloseController* sheet, int result, const QList<QVFileDocument*>& documents)>;

    explicit QVMultiFileCloseController(QWidget* parent = nullptr);
    ~QVMultiFileCloseController() override;

    // Shows the sheet window-modal on window, listing the documents; each display replaces the
    // list and the answer of the one before. The answer comes once, from close().
    void displayOnWindow(QWidget* window, const QList<QVFileDocument*>& documents, Answer answer);
    // Ends the sheet with the button's tag and sends the answer.
    void close(int tag);

    QListWidget* list() const { return _list; }
    void reject() override;

private:
    void updateButtons();

    QListWidget* _list = nullptr;
    QPushButton* _saveSelected = nullptr;
    QList<QVFileDocument*> _documents;
    Answer _answer;
};
