// The value sheets of completion: window-modal dialogs over the editor's window that ask for a
// path, or for a length, colour, number, font family or text, and give the formatted value.
#pragma once

#include "completion/QVCodeCompletion.h"

#include <QDialog>
#include <QPointer>

class QVCompletionSheets {
public:
    QVCompletionSheets() = delete;
    // Installs the sheets' factory and the application's beep for every engine. Idempotent.
    static void install();
    // Tests use Qorvel's own file dialog, which they can drive.
    static void setUseNativeFileDialog(bool flag);
};

// Asks for a file or folder in a file dialog opened in the document's folder (the home folder
// for an untitled document); gives its path relative to the document, or the whole path for an
// untitled one.
class QVPathCodeCompletionUI : public QVCodeCompletionUI {
public:
    void displayWithDelegate(const std::shared_ptr<QVCodeCompletion>& engine) override;
    QString stringValue() const override;
    // The dialog while it is open.
    QDialog* dialog() const { return _dialog.data(); }

protected:
    // The window the sheet is modal to: that of the view that asked.
    QWidget* parentWindow() const;
    void showDialog(QDialog* dialog);
    QString pathText() const;

private:
    QPointer<QDialog> _dialog;
};

class QVCSSCodeCompletionUI : public QVPathCodeCompletionUI {
public:
    enum Type { Length = 0, Angle = 1, Percentage = 2, Color = 3, Number = 4, FamilyName = 5, URI = 6, Unknown = 7 };

    explicit QVCSSCodeCompletionUI(const QString& label);
    static Type typeForLabel(const QString& label);
    Type type() const { return _type; }
    // The label with each word capitalised.
    const QString& label() const { return _label; }
    void displayWithDelegate(const std::shared_ptr<QVCodeCompletion>& engine) override;
    QString stringValue() const override;
    // A value's text: quoted (with '"' and '\' escaped) when it holds a blank or a character
    // that would end the value early.
    static QString stringValueForUnknownValue(const QVariant& value);

private:
    void setDefaultValuesForType();
    Type _type;
    QString _label;
};
