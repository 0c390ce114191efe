// The add-snippet sheet: a title and a folder of the snippets tree for a snippet made from the
// editor's selection. A title that is not a plain file name ("/", a leading ".", line breaks,
// a name the store would skip) is refused with the reason; an existing snippet of that name is
// replaced only after the user agreed.
#pragma once

#include <QDialog>
#include <QPointer>

#include <functional>

class QComboBox;
class QDialogButtonBox;
class QLabel;
class QLineEdit;
class QVSnippetRepository;

class QVAddSnippetPanelController : public QDialog {
    Q_OBJECT
public:
    QVAddSnippetPanelController(QVSnippetRepository& store, QString text, QWidget* window);
    // Opens the sheet for every "add selection as snippet" from now on.
    static void install();

    // Why a title cannot name a snippet file; empty when it can.
    static QString refusalForTitle(const QString& title);

    QString title() const;
    void setTitle(const QString& title);
    // The folder chosen in the pop-up; empty for the snippets folder itself.
    QString directory() const;
    QComboBox* directoryPopUpButton() const { return _directoryPopUpButton; }
    QLabel* errorField() const { return _errorField; }

    // The question before replacing a snippet; default: a window-modal question, answered later.
    using ReplaceQuestion = std::function<void(QWidget* sheet, const QString& name, std::function<void(bool)> answer)>;
    static void setReplaceQuestion(ReplaceQuestion question);

public Q_SLOTS:
    // The confirming button: writes the snippet (after asking, when one of that name exists),
    // closes the sheet on success, shows why otherwise.
    void accept() override;

private:
    void validate();
    void write(bool replace);

    QVSnippetRepository& _store;
    QString _text;
    QLineEdit* _titleField = nullptr;
    QComboBox* _directoryPopUpButton = nullptr;
    QLabel* _errorField = nullptr;
    QDialogButtonBox* _buttons = nullptr;
};
