// The keyword completion editor.
#include "preferences/QVCompletionLangPanes.h"

#include "completion/QVCodeCompletion.h"
#include "languages/QVBundle.h"
#include "platform/AppBundle.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>

namespace {

QString localized(const char* text) { return QVLocalized(QString::fromUtf8(text)); }
const QString Keys[] = {QStringLiteral("key"), QStringLiteral("prototype"), QStringLiteral("type")};

}  // namespace

void QVKeywordSearchFilter::search(const QString& text) {
    // A new search forgets the row made last: it showed until now whatever was searched.
    _searchString = text;
    _lastCreated = QPersistentModelIndex();
    invalidateFilter();
}

void QVKeywordSearchFilter::setLastCreated(const QModelIndex& index) {
    _lastCreated = index;
    invalidateFilter();
}

bool QVKeywordSearchFilter::filterAcceptsRow(int row, const QModelIndex& parent) const {
    if (_searchString.isEmpty()) return true;
    const QModelIndex key = sourceModel()->index(row, 0, parent);
    if (_lastCreated.isValid() && _lastCreated.row() == row) return true;
    return key.data().toString().startsWith(_searchString);
}

QVKeywordCodeCompletionLangPane::QVKeywordCodeCompletionLangPane(std::shared_ptr<QVBundle> bundle, QVLanguagePaneDelegate* delegate)
    : QVLanguagePane(std::move(bundle), delegate),
      _engine(std::dynamic_pointer_cast<QVCodeCompletion>(this->bundle()->codeCompletion())) {}

QWidget* QVKeywordCodeCompletionLangPane::loadView() {
    if (!_engine) return nullptr;
    auto* view = new QWidget;
    view->setObjectName(QStringLiteral("LanguageKeywordCompletionEditor"));
    auto* layout = new QVBoxLayout(view);
    auto* searchField = new QLineEdit(view);
    searchField->setObjectName(QStringLiteral("search"));
    searchField->setPlaceholderText(localized("Search"));
    searchField->setClearButtonEnabled(true);
    layout->addWidget(searchField);
    _model = new QStandardItemModel(0, 3, view);
    _model->setHorizontalHeaderLabels({localized("Keyword"), localized("Prototype"), localized("Type")});
    const QVariantList entries = _engine->entries(true);
    _model->setRowCount(int(entries.size()));
    for (int row = 0; row < entries.size(); ++row) {
        const QVariantMap entry = entries[row].toMap();
        for (int column = 0; column < 3; ++column) _model->setItem(row, column, new QStandardItem(entry.value(Keys[column]).toString()));
    }
    _filter = new QVKeywordSearchFilter(view);
    _filter->setSourceModel(_model);
    _table = new QTableView(view);
    _table->setObjectName(QStringLiteral("keywords"));
    _table->setModel(_filter);
    _table->verticalHeader()->hide();
    _table->horizontalHeader()->setStretchLastSection(true);
    _table->setSelectionBehavior(QAbstractItemView::SelectRows);
    layout->addWidget(_table, 1);
    auto* buttons = new QHBoxLayout;
    auto* add = new QPushButton(QStringLiteral("+"), view);
    auto* remove = new QPushButton(QStringLiteral("\u2212"), view);
    connect(add, &QPushButton::clicked, this, &QVKeywordCodeCompletionLangPane::addEntry);
    connect(remove, &QPushButton::clicked, this, &QVKeywordCodeCompletionLangPane::removeSelectedEntries);
    connect(searchField, &QLineEdit::textChanged, this, &QVKeywordCodeCompletionLangPane::search);
    buttons->addWidget(add);
    buttons->addWidget(remove);
    buttons->addStretch();
    layout->addLayout(buttons);
    watchEdits(_model);
    setFirstResponder(searchField);
    view->resize(460, 360);
    return view;
}

void QVKeywordCodeCompletionLangPane::search(const QString& text) {
    if (_filter) _filter->search(text);
}

void QVKeywordCodeCompletionLangPane::addEntry() {
    if (!_model) return;
    _model->appendRow({new QStandardItem(), new QStandardItem(), new QStandardItem()});
    const QModelIndex made = _model->index(_model->rowCount() - 1, 0);
    _filter->setLastCreated(made);
    const QModelIndex shown = _filter->mapFromSource(made);
    _table->setCurrentIndex(shown);
    _table->scrollTo(shown);
}

void QVKeywordCodeCompletionLangPane::removeSelectedEntries() {
    if (!_table) return;
    QList<int> rows;
    for (const QModelIndex& index : _table->selectionModel()->selectedRows()) rows << _filter->mapToSource(index).row();
    std::sort(rows.begin(), rows.end(), std::greater<>());
    for (const int row : rows) _model->removeRow(row);
}

QVariantList QVKeywordCodeCompletionLangPane::keywords() const {
    QVariantList list;
    if (!_model) return list;
    for (int row = 0; row < _model->rowCount(); ++row) {
        QVariantMap entry;
        for (int column = 0; column < 3; ++column) {
            const QString value = _model->item(row, column) ? _model->item(row, column)->text() : QString();
            if (column < 2 || !value.isEmpty()) entry.insert(Keys[column], value);
        }
        list << entry;
    }
    return list;
}

void QVKeywordCodeCompletionLangPane::unselect() {
    QVLanguagePane::unselect();
    if (!didChange() || !_engine) return;
    setDidChange(false);
    _engine->setEntries(keywords());
    delegate()->bundleDidChange(bundle());
}
