// The two sheets of the Subversion commands: the revision sheet lists a file's log so that the
// user picks the revision for annotate, compare, diff or update, or only reads it (tag 7); the
// message sheet asks for a commit message. Both are window-modal, report their end once to the
// callback given when shown, with the tag they were opened for, and keep their frames.
#pragma once

#include "scm/QVSCMEntries.h"

#include <QDialog>
#include <QString>

#include <functional>
#include <optional>

class QPlainTextEdit;
class QPushButton;
class QTableWidget;

class QVSCMRevisionPanel : public QDialog {
    Q_OBJECT
public:
    static constexpr int ChooseTag = 1;
    static constexpr int ViewLogTag = 7;
    // revision: the chosen one, or nothing when the sheet was closed without a choice.
    using Ended = std::function<void(QVSCMRevisionPanel* sheet, std::optional<QString> revision, int tag)>;

    QVSCMRevisionPanel(const QString& path, int tag, QWidget* window);
    ~QVSCMRevisionPanel() override;
    void displayEntries(const QList<QVSCMLogEntry>& entries, Ended ended);
    // Ends the sheet as the button of that tag does (ChooseTag picks the selected row).
    void close(int buttonTag);

    const QString& path() const { return _path; }
    int tag() const { return _tag; }
    QString command() const;
    QTableWidget* table() const { return _table; }
    QPushButton* mainButton() const { return _mainButton; }
    QPushButton* secondaryButton() const { return _secondaryButton; }

protected:
    void reject() override;

private:
    QString _path;
    int _tag;
    QList<QVSCMLogEntry> _entries;
    Ended _ended;
    QTableWidget* _table;
    QPushButton* _mainButton;
    QPushButton* _secondaryButton;
};

class QVSCMMessagePanel : public QDialog {
    Q_OBJECT
public:
    static constexpr int CommitTag = 1;
    // message: what was typed ("" when nothing), or nothing when the sheet was cancelled.
    using Ended = std::function<void(QVSCMMessagePanel* sheet, std::optional<QString> message, int tag)>;

    QVSCMMessagePanel(int tag, QWidget* window);
    ~QVSCMMessagePanel() override;
    void display(Ended ended);
    void close(int buttonTag);

    int tag() const { return _tag; }
    QString command() const;
    QString message() const;
    void setMessage(const QString& message);
    QPlainTextEdit* editor() const { return _editor; }
    QPushButton* commitButton() const { return _commitButton; }

protected:
    void reject() override;

private:
    int _tag;
    Ended _ended;
    QPlainTextEdit* _editor;
    QPushButton* _commitButton;
    QPushButton* _cancelButton;
};
