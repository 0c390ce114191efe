// The completion editors: the keyword engine's entries in a table, filtered by a prefix search
// that always keeps the row just added in view; the tag engine's elements, attributes and values
// and the style-sheet engine's properties and values in lists side by side.
#pragma once

#include "preferences/QVLanguagePane.h"

#include <QList>
#include <QPersistentModelIndex>
#include <QSortFilterProxyModel>
#include <QSplitter>
#include <QStringList>
#include <QVariantList>

class QListView;
class QStandardItem;
class QStandardItemModel;
class QTableView;
class QVCodeCompletion;

// The widths of count side-by-side lists in a split view total wide with dividers of the given
// thickness: what the dividers leave is shared equally, the first list's share rounded up and
// the others' down.
QList<int> qvEqualSplitWidths(int total, int count, int divider);

// A split view that shares its width equally among its lists each time it is resized; the user
// may still drag the dividers in between.
class QVEqualSplitter : public QSplitter {
    Q_OBJECT
public:
    using QSplitter::QSplitter;

protected:
    void resizeEvent(QResizeEvent* event) override;
};

// Keeps the rows whose key begins with the search string, and the row made last.
class QVKeywordSearchFilter : public QSortFilterProxyModel {
    Q_OBJECT
public:
    using QSortFilterProxyModel::QSortFilterProxyModel;
    QString searchString() const { return _searchString; }
    // Filters again; the row made last is no longer kept.
    void search(const QString& text);
    void setLastCreated(const QModelIndex& index);

protected:
    bool filterAcceptsRow(int row, const QModelIndex& parent) const override;

private:
    QString _searchString;
    QPersistentModelIndex _lastCreated;
};

class QVKeywordCodeCompletionLangPane : public QVLanguagePane {
    Q_OBJECT
public:
    QVKeywordCodeCompletionLangPane(std::shared_ptr<QVBundle> bundle, QVLanguagePaneDelegate* delegate);

    std::shared_ptr<QVCodeCompletion> codeCompletion() const { return _engine; }
    // {"key", "prototype", "type"} as edited now.
    QVariantList keywords() const;
    void search(const QString& text);
    // A new empty entry, shown whatever the search.
    void addEntry();
    void removeSelectedEntries();
    // Leaving with changes hands the entries to the engine; the bundle is saved at the end.
    void unselect() override;
    QStandardItemModel* model() const { return _model; }
    QVKeywordSearchFilter* filter() const { return _filter; }
    QTableView* tableView() const { return _table; }

protected:
    QWidget* loadView() override;

private:
    std::shared_ptr<QVCodeCompletion> _engine;
    QStandardItemModel* _model = nullptr;
    QVKeywordSearchFilter* _filter = nullptr;
    QTableView* _table = nullptr;
};

// Entries nested in levels ({"title", <child key>: [...]}), one list per level side by side: a
// list shows the children of the row selected in the list on its left. Leaving with changes
// hands the entries to the engine; the bundle is saved at the end of the session.
class QVNestedCompletionLangPane : public QVLanguagePane {
    Q_OBJECT
public:
    // One level: the list's heading and the key of its entries' children (empty for the last).
    struct Level {
        const char* heading;
        QString childKey;
    };
    QVNestedCompletionLangPane(std::shared_ptr<QVBundle> bundle, QVLanguagePaneDelegate* delegate, QList<Level> levels,
                               const char* viewName);

    std::shared_ptr<QVCodeCompletion> codeCompletion() const { return _engine; }
    // The entries as edited now; rows without a title are left out with what they hold.
    QVariantList keywords() const;
    // Selects the row of that title in the level's list (showing its children on the right);
    // false when the list shows no such row.
    bool selectTitle(int level, const QString& title);
    // The titles the level's list shows now.
    QStringList titles(int level) const;
    // A new entry titled title in the level's list, under the row selected on its left; false
    // when the level needs a row selected there and none is, or when the list holds that title
    // (by the language's case rule). A name typed into it that the list holds is refused and
    // the new row goes.
    bool addEntry(int level, const QString& title = {});
    // Removes the selected row of the level's list with what it holds.
    void removeSelectedEntry(int level);
    void unselect() override;
    QStandardItemModel* model() const { return _model; }
    QVEqualSplitter* splitView() const { return _split; }

protected:
    QWidget* loadView() override;

private:
    void fill(QStandardItem* parent, const QVariantList& entries, int level);
    QVariantList read(const QStandardItem* parent, int level) const;
    void showChildren(int level);
    QStandardItem* selectedItem(int level) const;
    Qt::CaseSensitivity caseRule() const;
    // The child of parent other than except whose title is title, by the case rule.
    const QStandardItem* listing(const QStandardItem* parent, const QString& title, const QStandardItem* except) const;

    std::shared_ptr<QVCodeCompletion> _engine;
    QList<Level> _levels;
    const char* _viewName;
    QStandardItemModel* _model = nullptr;
    QStandardItemModel* _empty = nullptr;  // shown in a list whose left neighbour has no selection
    QList<QListView*> _lists;
    QVEqualSplitter* _split = nullptr;
};

// Elements, their attributes, and the values an attribute offers.
class QVTagCodeCompletionLangPane : public QVNestedCompletionLangPane {
    Q_OBJECT
public:
    QVTagCodeCompletionLangPane(std::shared_ptr<QVBundle> bundle, QVLanguagePaneDelegate* delegate);
};

// Style-sheet properties and their values.
class QVCSSCodeCompletionLangPane : public QVNestedCompletionLangPane {
    Q_OBJECT
public:
    QVCSSCodeCompletionLangPane(std::shared_ptr<QVBundle> bundle, QVLanguagePaneDelegate* delegate);
};
