// The frame every bundle editor fits into: an editor made for one bundle, shown in the languages
// pane while its row is selected, handing its edits to the bundle when it is left; and the type
// pickers offered when a bundle has nothing an editor can edit.
#pragma once

#include "preferences/QVPrefPane.h"

#include <QDialog>

#include <functional>
#include <memory>

class QButtonGroup;
class QStandardItem;
class QStandardItemModel;
class QVBundle;

// What editors tell the languages pane.
class QVLanguagePaneDelegate {
public:
    virtual ~QVLanguagePaneDelegate() = default;
    // The bundle is saved when the session ends.
    virtual void bundleDidChange(const std::shared_ptr<QVBundle>& bundle) = 0;
    // The notification is posted once when the session ends, after the saves.
    virtual void sendNotificationOnEnd(const QString& name) = 0;
};

class QVLanguagePane : public QVPrefPane {
    Q_OBJECT
public:
    QVLanguagePane(std::shared_ptr<QVBundle> bundle, QVLanguagePaneDelegate* delegate);

    // Editors that a completion engine's definition may name ("edit-class"), registered by class
    // name; an unknown name makes none.
    using Maker = std::function<std::unique_ptr<QVLanguagePane>(std::shared_ptr<QVBundle>, QVLanguagePaneDelegate*)>;
    static void registerEditorClass(const QString& className, Maker maker);
    static std::unique_ptr<QVLanguagePane> createEditor(const QString& className, std::shared_ptr<QVBundle> bundle,
                                                        QVLanguagePaneDelegate* delegate);

    std::shared_ptr<QVBundle> bundle() const { return _bundle; }
    QVLanguagePaneDelegate* delegate() const { return _delegate; }
    // The inherited select, then the changed mark is cleared.
    void select() override;

protected:
    // Any edit in one of the editor's tables counts as a change.
    void watchEdits(QObject* model);
    // An edit for which clash answers a reason (a keyword listed twice) is undone, the item
    // taking back the text it had, and the reason is shown. A row just added (markNew) whose
    // first name is refused goes away: what it held until then was only a placeholder.
    using Clash = std::function<QString(const QStandardItem* edited)>;
    void refuseClashes(QStandardItemModel* model, Clash clash);
    // Marks an item as added and not yet named; its first accepted name ends the mark.
    static void markNew(QStandardItem* item);

private:
    std::shared_ptr<QVBundle> _bundle;
    QVLanguagePaneDelegate* _delegate;
};

// The sheet that asks which kind of engine or parser to make: 0 keyword, 1 tag. Only the
// confirming button makes one; closing any other way leaves the bundle as it was.
class QVNoEditorWindowController : public QDialog {
    Q_OBJECT
public:
    enum class Kind { CodeCompletion, Syntax };
    QVNoEditorWindowController(Kind kind, std::shared_ptr<QVBundle> bundle, QWidget* parent);

    Kind kind() const { return _kind; }
    std::shared_ptr<QVBundle> bundle() const { return _bundle; }
    int type() const;
    void setType(int type);
    // Makes the chosen engine or parser and gives it to the bundle; false when it cannot be made.
    bool create();

private:
    Kind _kind;
    std::shared_ptr<QVBundle> _bundle;
    QButtonGroup* _types;
};
