// The snippet editor's bar under a snippet file's text: the key combination (captured), the
// keyword trigger, and buttons that insert the snippet variables. Changes go into the text as
// the metadata lines "# %%%{QVKeyEquivalent=...}%%%" and "# %%%{QVKeywordComplete=...}%%%",
// undoable, and reach the disk when the user saves.
#pragma once

#include <QPointer>
#include <QWidget>

class HTMLView;
class QLabel;
class QLineEdit;
class QVKeyEquivalentCaptureView;
class QVRegex;
class QVSnippetFileView;

class QVSnippetEditorBar : public QWidget {
    Q_OBJECT
public:
    explicit QVSnippetEditorBar(HTMLView* view, QWidget* parent = nullptr);
    // Makes the bar of every snippet view from now on.
    static void install();

    QString keyCombo() const { return _keyCombo; }
    void setKeyCombo(const QString& combo);
    QString keywordTrigger() const { return _keywordTrigger; }
    void setKeywordTrigger(const QString& trigger);
    QVKeyEquivalentCaptureView* keyCaptureView() const { return _keyCaptureView; }
    QLineEdit* triggerField() const { return _triggerField; }
    QLabel* errorField() const { return _errorField; }

    // Reads both values from the text (fields without a line keep their value).
    void parseValuesFromTextView();
    // Tag 0 "[*cur]", 1 "[*sel]", 2 "[*<line>][*</line>]" at the selection as one step.
    void insertVariable(int tag);
    // Writes the trigger field's text as the keyword-trigger line.
    void textFieldAction();
    // Writes value as the line of key ("QVKeyEquivalent" or "QVKeywordComplete"): in place of
    // the existing line, or as a new first line; an empty value leaves the line empty.
    void setValueForSnippetKey(const QString& value, const QString& key);

protected:
    void showEvent(QShowEvent* event) override;

private:
    QPointer<HTMLView> _view;
    QVKeyEquivalentCaptureView* _keyCaptureView = nullptr;
    QLineEdit* _triggerField = nullptr;
    QLabel* _errorField = nullptr;
    QString _keyCombo;
    QString _keywordTrigger;
};
