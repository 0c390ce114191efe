// The completion editors.
#include "preferences/QVCompletionLangPanes.h"

#include "completion/QVCodeCompletion.h"
#include "languages/QVBundle.h"
#include "languages/QVKeywordBasedParser.h"
#include "platform/AppBundle.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace {

QString localized(const char* text) { return QVLocalized(QString::fromUtf8(text)); }
const QString Keys[] = {QStringLiteral("key"), QStringLiteral("prototype"), QStringLiteral("type")};
const QString TitleKey = QStringLiteral("title");

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
    // One entry per keyword and prototype: a second would only show twice in the list.
    refuseClashes(_model, [this](const QStandardItem* edited) {
        const int row = edited->row();
        const auto text = [this](int r, int column) { return _model->item(r, column) ? _model->item(r, column)->text() : QString(); };
        if (edited->column() > 1 || text(row, 0).isEmpty()) return QString();
        for (int other = 0; other < _model->rowCount(); ++other)
            if (other != row && text(other, 0) == text(row, 0) && text(other, 1) == text(row, 1))
                return localized("\u201c%1\u201d is listed already with that prototype.").arg(text(row, 0));
        return QString();
    });
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

// --- Side-by-side lists -------------------------------------------------------------------------------

QList<int> qvEqualSplitWidths(int total, int count, int divider) {
    QList<int> widths;
    if (count <= 0) return widths;
    const double share = double(std::max(0, total - (count - 1) * divider)) / count;
    widths << int(std::ceil(share));
    for (int i = 1; i < count; ++i) widths << int(std::floor(share));
    return widths;
}

void QVEqualSplitter::resizeEvent(QResizeEvent* event) {
    QSplitter::resizeEvent(event);
    const int total = orientation() == Qt::Horizontal ? width() : height();
    if (count() > 0) setSizes(qvEqualSplitWidths(total, count(), handleWidth()));
}

// --- Nested entries -------------------------------------------------------------------------------------

QVNestedCompletionLangPane::QVNestedCompletionLangPane(std::shared_ptr<QVBundle> bundle, QVLanguagePaneDelegate* delegate,
                                                       QList<Level> levels, const char* viewName)
    : QVLanguagePane(std::move(bundle), delegate),
      _engine(std::dynamic_pointer_cast<QVCodeCompletion>(this->bundle()->codeCompletion())),
      _levels(std::move(levels)),
      _viewName(viewName) {}

void QVNestedCompletionLangPane::fill(QStandardItem* parent, const QVariantList& entries, int level) {
    const QString& childKey = _levels[level].childKey;
    QList<QStandardItem*> rows;
    rows.reserve(entries.size());
    for (const QVariant& value : entries) {
        auto* item = new QStandardItem(value.toMap().value(TitleKey).toString());
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsEditable);
        rows << item;
    }
    // In the model before their children are added: an item's model reaches only one level
    // down when it is appended.
    parent->appendRows(rows);
    if (childKey.isEmpty() || level + 1 >= _levels.size()) return;
    for (int row = 0; row < rows.size(); ++row) fill(rows[row], entries[row].toMap().value(childKey).toList(), level + 1);
}

QVariantList QVNestedCompletionLangPane::read(const QStandardItem* parent, int level) const {
    QVariantList entries;
    const QString& childKey = _levels[level].childKey;
    for (int row = 0; row < parent->rowCount(); ++row) {
        const QStandardItem* item = parent->child(row);
        const QString title = item->text().trimmed();
        if (title.isEmpty()) continue;
        QVariantMap entry{{TitleKey, title}};
        if (!childKey.isEmpty() && level + 1 < _levels.size()) entry.insert(childKey, read(item, level + 1));
        entries << entry;
    }
    return entries;
}

QWidget* QVNestedCompletionLangPane::loadView() {
    if (!_engine || _levels.isEmpty()) return nullptr;
    auto* view = new QWidget;
    view->setObjectName(QString::fromLatin1(_viewName));
    auto* layout = new QVBoxLayout(view);
    _model = new QStandardItemModel(view);
    fill(_model->invisibleRootItem(), _engine->entries(true), 0);
    _empty = new QStandardItemModel(view);
    _split = new QVEqualSplitter(Qt::Horizontal, view);
    _split->setObjectName(QStringLiteral("splitView"));
    _split->setChildrenCollapsible(false);
    for (int level = 0; level < _levels.size(); ++level) {
        auto* column = new QWidget(_split);
        auto* columnLayout = new QVBoxLayout(column);
        columnLayout->setContentsMargins(0, 0, 0, 0);
        columnLayout->addWidget(new QLabel(localized(_levels[level].heading), column));
        auto* list = new QListView(column);
        list->setObjectName(QString::fromLatin1(_levels[level].heading).toLower());
        list->setUniformItemSizes(true);
        list->setModel(_empty);
        columnLayout->addWidget(list, 1);
        auto* buttons = new QHBoxLayout;
        auto* add = new QPushButton(QStringLiteral("+"), column);
        auto* remove = new QPushButton(QStringLiteral("\u2212"), column);
        connect(add, &QPushButton::clicked, this, [this, level] {
            if (!addEntry(level)) QApplication::beep();
        });
        connect(remove, &QPushButton::clicked, this, [this, level] { removeSelectedEntry(level); });
        buttons->addWidget(add);
        buttons->addWidget(remove);
        buttons->addStretch();
        columnLayout->addLayout(buttons);
        _split->addWidget(column);
        _lists << list;
    }
    layout->addWidget(_split, 1);
    showChildren(0);
    // The engines key their entries by name: a second row of one name would replace the first
    // with all it holds when the pane is left.
    refuseClashes(_model, [this](const QStandardItem* edited) {
        const QStandardItem* parent = edited->parent() ? edited->parent() : _model->invisibleRootItem();
        return listing(parent, edited->text(), edited) ? localized("\u201c%1\u201d is listed already.").arg(edited->text().trimmed())
                                                       : QString();
    });
    watchEdits(_model);
    setFirstResponder(_lists.first());
    view->resize(460, 360);
    return view;
}

QStandardItem* QVNestedCompletionLangPane::selectedItem(int level) const {
    if (level < 0 || level >= _lists.size() || _lists[level]->model() != _model) return nullptr;
    const QModelIndex current = _lists[level]->currentIndex();
    if (!current.isValid() || current.parent() != _lists[level]->rootIndex()) return nullptr;
    return _model->itemFromIndex(current);
}

void QVNestedCompletionLangPane::showChildren(int level) {
    if (level >= _lists.size()) return;
    QListView* list = _lists[level];
    QStandardItem* parent = level == 0 ? _model->invisibleRootItem() : selectedItem(level - 1);
    QAbstractItemModel* wanted = parent ? static_cast<QAbstractItemModel*>(_model) : _empty;
    if (list->model() != wanted) {
        QItemSelectionModel* old = list->selectionModel();
        list->setModel(wanted);
        delete old;
        // The row whose children show on the right is the one shown selected, also when it
        // became current by the list taking the focus.
        connect(list->selectionModel(), &QItemSelectionModel::currentChanged, this, [this, level, list](const QModelIndex& current) {
            if (current.isValid() && !list->selectionModel()->isSelected(current))
                list->selectionModel()->select(current, QItemSelectionModel::ClearAndSelect);
            showChildren(level + 1);
        });
    }
    if (parent) {
        const QSignalBlocker blocker(list->selectionModel());
        list->setRootIndex(parent->index());
        list->selectionModel()->clear();
    }
    showChildren(level + 1);
}

QStringList QVNestedCompletionLangPane::titles(int level) const {
    QStringList titles;
    if (level < 0 || level >= _lists.size() || _lists[level]->model() != _model) return titles;
    const QModelIndex root = _lists[level]->rootIndex();
    for (int row = 0; row < _model->rowCount(root); ++row) titles << _model->index(row, 0, root).data().toString();
    return titles;
}

bool QVNestedCompletionLangPane::selectTitle(int level, const QString& title) {
    const int row = int(titles(level).indexOf(title));
    if (row < 0) return false;
    _lists[level]->setCurrentIndex(_model->index(row, 0, _lists[level]->rootIndex()));
    return true;
}

Qt::CaseSensitivity QVNestedCompletionLangPane::caseRule() const {
    // The language's own rule; markup finds its names whatever their case.
    const auto keywords = std::dynamic_pointer_cast<QVKeywordBasedParser>(bundle()->parser());
    return keywords && keywords->caseSensitive() ? Qt::CaseSensitive : Qt::CaseInsensitive;
}

const QStandardItem* QVNestedCompletionLangPane::listing(const QStandardItem* parent, const QString& title,
                                                         const QStandardItem* except) const {
    const QString name = title.trimmed();
    if (!parent || name.isEmpty()) return nullptr;
    const Qt::CaseSensitivity rule = caseRule();
    for (int row = 0; row < parent->rowCount(); ++row)
        if (const QStandardItem* other = parent->child(row); other != except && other->text().trimmed().compare(name, rule) == 0)
            return other;
    return nullptr;
}

bool QVNestedCompletionLangPane::addEntry(int level, const QString& title) {
    if (!_model || level < 0 || level >= _lists.size()) return false;
    QStandardItem* parent = level == 0 ? _model->invisibleRootItem() : selectedItem(level - 1);
    if (!parent || listing(parent, title, nullptr)) return false;
    auto* item = new QStandardItem(title);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsEditable);
    parent->appendRow(item);
    if (title.isEmpty()) markNew(item);
    _lists[level]->setCurrentIndex(item->index());
    _lists[level]->scrollTo(item->index());
    if (title.isEmpty() && _lists[level]->isVisible()) _lists[level]->edit(item->index());
    return true;
}

void QVNestedCompletionLangPane::removeSelectedEntry(int level) {
    if (QStandardItem* item = selectedItem(level)) {
        const QModelIndex index = item->index();
        _model->removeRow(index.row(), index.parent());
    }
}

void QVNestedCompletionLangPane::unselect() {
    QVLanguagePane::unselect();
    if (!didChange() || !_engine || !_model) return;
    setDidChange(false);
    _engine->setEntries(keywords());
    delegate()->bundleDidChange(bundle());
}

QVariantList QVNestedCompletionLangPane::keywords() const {
    return _model ? read(_model->invisibleRootItem(), 0) : QVariantList();
}

QVTagCodeCompletionLangPane::QVTagCodeCompletionLangPane(std::shared_ptr<QVBundle> bundle, QVLanguagePaneDelegate* delegate)
    : QVNestedCompletionLangPane(std::move(bundle), delegate,
                                 {{"Elements", QStringLiteral("attributes")}, {"Attributes", QStringLiteral("values")}, {"Values", QString()}},
                                 "LanguageTagCompletionEditor") {}

QVCSSCodeCompletionLangPane::QVCSSCodeCompletionLangPane(std::shared_ptr<QVBundle> bundle, QVLanguagePaneDelegate* delegate)
    : QVNestedCompletionLangPane(std::move(bundle), delegate, {{"Properties", QStringLiteral("values")}, {"Values", QString()}},
                                 "LanguageCSSCompletionEditor") {}
