// An HTML Tidy operation: a named set of tidy options kept as one small text file, and the
// list of them (the "TidyConfigFiles" folder) behind the HTML Tidy menu and the Tidy window.
//
// The file: a title line "// %%%{QVTidyName=TITLE}%%%", a description line
// "// %%%{QVTidyDescription=TEXT}%%%", then one "option: value" line per option, each ending in
// "\n". A value is the rest of its line (blanks inside it included, and it may be empty).
#pragma once

#include "editor/QVEditorToolSeams.h"
#include "tools/QVOperation.h"
#include "tools/QVOperationRepository.h"

#include <QMetaType>
#include <QString>
#include <QVariant>

#include <memory>

struct QVTidyAction {
    QString action;  // the option name
    QVariant value;  // "1"/"yes" and "0"/"no" read as booleans, anything else as text
    bool operator==(const QVTidyAction&) const = default;
};

class QVTidyOperation : public QVOperation, public QVTidyOperationItem {
public:
    explicit QVTidyOperation(const QString& path = {});

    std::shared_ptr<QVOperation> copy() const override;
    // Valid with a title and at least one option.
    void validate() override;

    // Reads the file again: title (else the file name), description, options. An unreadable
    // file keeps the file name as title and has no options.
    void read();
    // One item: the title, action "performTidy:", the operation as represented object.
    QList<MenuItemRep> menuItemRepresentations() override;
    // Writes the file format to path() atomically (a folder: nothing to write). Refuses (error says why, the file stays as
    // it was) text that would not read back: line breaks anywhere, "}" in the title or
    // description, an option name outside letters, digits and "-".
    bool commit(QVError* error = nullptr) override;

    QString title() const { return _title; }
    void setTitle(const QString& title) { _title = title; validate(); }
    QString description() const { return _description; }
    void setDescription(const QString& description) { _description = description; }
    const QList<QVTidyAction>& actions() const { return _actions; }
    void setActions(const QList<QVTidyAction>& actions);
    void insertAction(const QVTidyAction& action, qsizetype index);  // index -1: at the end
    void removeActionAt(qsizetype index);
    void replaceActionAt(qsizetype index, const QVTidyAction& action);

    // The file's text as commit() writes it.
    QString fileText() const;
    // A value as read from a file, and as written back.
    static QVariant valueFromText(const QString& text);
    static QString textFromValue(const QVariant& value);
    // As written for option: an on/off value of an option that takes a number or text ("wrap:
    // 0" reads as off) is written "1" or "0", which tidy takes there, not "yes" or "no".
    static QString textFromValue(const QVariant& value, const QString& option);
    // The tidy configuration of several operations: each option once, the first operation in
    // the list winning, in the order met.
    static QString mergedOperations(const QList<std::shared_ptr<QVTidyOperation>>& operations);

private:
    QString _title;
    QString _description;
    QList<QVTidyAction> _actions;
};

Q_DECLARE_METATYPE(std::shared_ptr<QVTidyOperationItem>)

class QVTidyOperationRepository : public QVOperationRepository {
public:
    // sourcePath empty: the operations folder (the support copy "TidyConfigFiles", else the
    // application's own "Tidy" folder).
    explicit QVTidyOperationRepository(const QString& sourcePath = {});
    static QVTidyOperationRepository& sharedInstance();

    QString sourcePath() const override;
    std::shared_ptr<QVOperation> createOperationForPath(const QString& path) override;
    bool sortsItemsByTitle() const override { return true; }

    // An operation without a path gets a free name inside the folder made from its camel-cased
    // title ("Clean up code" → "CleanUpCode.tidy"; taken: "CleanUpCode 2.tidy"); it is written
    // first and inserted only when the write succeeded.
    bool insertObjectInOperationsAtIndex(const std::shared_ptr<QVOperation>& operation, qsizetype index,
                                         QVError* error = nullptr) override;
    // Deletes the operation's file, then removes it; a file that cannot be deleted stays listed.
    bool removeObjectFromOperationsAtIndex(qsizetype index, QVError* error = nullptr) override;
    // Writes the edited operation over the old one's file (atomically), then swaps it in.
    bool replaceObjectInOperationsAtIndex(qsizetype index, const std::shared_ptr<QVOperation>& operation,
                                          QVError* error = nullptr) override;

    // The path a new operation titled title would get in folder.
    static QString freePathForTitle(const QString& folder, const QString& title);

private:
    QString _sourcePath;
};
