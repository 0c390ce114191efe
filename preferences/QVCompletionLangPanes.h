// The keyword completion editor: the engine's entries in a table, filtered by a prefix search
// that always keeps the row just added in view.
#pragma once

#include "preferences/QVLanguagePane.h"

#include <QPersistentModelIndex>
#include <QSortFilterProxyModel>
#include <QVariantList>

class QStandardItemModel;
class QTableView;
class QVCodeCompletion;

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
