// The files pane: text and image categories with their extensions, the ignorable extensions,
// the default text encoding and autosave. Categories are edited on the shared model and written
// once, when the window closes.
#pragma once

#include "platform/NotificationCenter.h"
#include "preferences/QVPrefPane.h"
#include "shell/QVFileCategories.h"

#include <QHash>

#include <memory>

class QComboBox;
class QListWidget;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;
class QVFileCategory;

class QVFilesPrefPane : public QVPrefPane {
    Q_OBJECT
public:
    explicit QVFilesPrefPane(const QString& displayName);
    ~QVFilesPrefPane() override;

    bool allowSelect() override;
    void startSession() override;
    void endSession() override;

    // kind 0 text, 1 image.
    void addItem(QVFileCategoryKind kind);
    void removeItem(QVFileCategoryKind kind);
    void removeIgnoreType();
    void changeEncoding(int index);
    bool autosave() const;
    void setAutosave(bool on);

    QTreeWidget* outline(QVFileCategoryKind kind) const { return kind == QVFileCategoryKindImage ? _imageOutline : _textOutline; }
    QListWidget* ignoreTable() const { return _ignoreTable; }
    QComboBox* encodingsPopUp() const { return _encodings; }
    // Whether a write failed and waits for the next close.
    bool hasUnsavedCategories() const { return _unsaved; }

protected:
    QString iconName() const override { return QStringLiteral("files"); }
    QWidget* loadView() override;

private:
    void reloadCategories();
    void reloadOutline(QVFileCategoryKind kind);
    void reloadIgnoreTable();
    void updateButtons();
    void itemRenamed(QTreeWidgetItem* item, QVFileCategoryKind kind);
    std::shared_ptr<QVFileCategory> categoryOf(QTreeWidgetItem* item) const;

    std::shared_ptr<QVFileCategories> _categories;
    NotificationCenter::Token _observer = 0;
    QTreeWidget* _textOutline = nullptr;
    QTreeWidget* _imageOutline = nullptr;
    QListWidget* _ignoreTable = nullptr;
    QComboBox* _encodings = nullptr;
    QPushButton* _removeText = nullptr;
    QPushButton* _removeImage = nullptr;
    QPushButton* _removeIgnore = nullptr;
    QHash<QTreeWidgetItem*, std::shared_ptr<QVFileCategory>> _itemCategories;
    bool _reloading = false;
    bool _unsaved = false;
    // The category of the type just added and not yet named ("New Type").
    std::weak_ptr<QVFileCategory> _unnamedType;
};
