#include "completion/QVCodeCompletionViewController.h"

#include "platform/QVTextView.h"

#include <QFontMetrics>
#include <QHeaderView>
#include <QKeyEvent>
#include <QScrollBar>
#include <QSet>
#include <QStyle>
#include <QAbstractTableModel>

#include <algorithm>
#include <vector>

namespace {

constexpr int kTypeColumn = 0;
constexpr int kTextColumn = 1;

}  // namespace

// The entries as the list's two columns, read on demand: showing hundreds of candidates makes
// no item for each, and only the visible rows are asked for.
class QVCodeCompletionListModel : public QAbstractTableModel {
public:
    QVCodeCompletionListModel(const QList<QVCodeCompletionEntry>* entries, QObject* parent)
        : QAbstractTableModel(parent), _entries(entries) {}
    void reset(int rowHeight) {
        beginResetModel();
        _rowHeight = rowHeight;
        endResetModel();
    }
    int rowCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : int(_entries->size()); }
    int columnCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : 2; }
    QVariant data(const QModelIndex& index, int role) const override {
        if (!index.isValid() || index.row() >= _entries->size()) return {};
        if (role == Qt::DisplayRole) {
            const QVCodeCompletionEntry& entry = _entries->at(index.row());
            return index.column() == kTypeColumn ? entry.type() : entry.prototype();
        }
        if (role == Qt::SizeHintRole) return QSize(0, _rowHeight);
        return {};
    }

private:
    const QList<QVCodeCompletionEntry>* _entries;
    int _rowHeight = 0;
};

QVCodeCompletionViewController::QVCodeCompletionViewController(QVTextView* superview)
    : _superview(superview) {
    _list = new QTreeView(superview ? superview->viewport() : nullptr);
    _list->setObjectName(QStringLiteral("QVCodeCompletionList"));
    _model = new QVCodeCompletionListModel(&_entries, _list);
    _list->setModel(_model);
    _list->setHeaderHidden(true);
    _list->setRootIsDecorated(false);
    _list->setUniformRowHeights(true);
    _list->setIndentation(0);
    _list->setSelectionMode(QAbstractItemView::SingleSelection);
    _list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    _list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    _list->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    // The editor keeps the keyboard: neither the list nor its scroll bars may take it.
    _list->setFocusPolicy(Qt::NoFocus);
    _list->viewport()->setFocusPolicy(Qt::NoFocus);
    _list->verticalScrollBar()->setFocusPolicy(Qt::NoFocus);
    _list->setAttribute(Qt::WA_ShowWithoutActivating);
    _list->setFrameShape(QFrame::Box);
    _list->header()->setStretchLastSection(true);
    _list->setColumnWidth(kTypeColumn, TypeColumnWidth);
    _list->hide();
    connect(_list, &QTreeView::doubleClicked, this, [this] { Q_EMIT doubleClicked(); });
}

QVCodeCompletionViewController::~QVCodeCompletionViewController() {
    _entries.clear();
    delete _list;  // null once the viewport took it with it
}

bool QVCodeCompletionViewController::isVisible() const { return _list && !_list->isHidden(); }

bool QVCodeCompletionViewController::handlesEvent(const QKeyEvent* event) const {
    return event && (event->key() == Qt::Key_Up || event->key() == Qt::Key_Down);
}

void QVCodeCompletionViewController::keyDown(const QKeyEvent* event) {
    if (!handlesEvent(event) || _entries.isEmpty()) return;
    const int row = selectedRow();
    const int next = event->key() == Qt::Key_Up ? std::max(0, row - 1) : std::min(int(_entries.size()) - 1, row + 1);
    select(next);
}

void QVCodeCompletionViewController::hide() {
    if (_list) _list->hide();
}

int QVCodeCompletionViewController::selectedRow() const {
    if (!_list) return -1;
    const QModelIndex current = _list->currentIndex();
    if (!current.isValid() || !_list->selectionModel()->isRowSelected(current.row(), QModelIndex())) return -1;
    const int row = current.row();
    return row >= 0 && row < _entries.size() ? row : -1;
}

QString QVCodeCompletionViewController::currentCompletion() const {
    const int row = selectedRow();
    return row < 0 ? QString() : _entries.at(row).completion();
}

bool QVCodeCompletionViewController::shouldHideOnComplete() const {
    const int row = selectedRow();
    return row >= 0 && _entries.at(row).hideOnComplete();
}

void QVCodeCompletionViewController::setShowTypeColumn(bool flag) {
    _showTypeColumn = flag;
    if (!_list) return;
    _list->setColumnHidden(kTypeColumn, !flag);
    _list->setColumnWidth(kTypeColumn, typeColumnWidth());
}

int QVCodeCompletionViewController::rowHeight() const {
    return _list ? _list->fontMetrics().height() + 4 : 0;
}

void QVCodeCompletionViewController::select(int row) {
    if (!_list || row < 0 || row >= _model->rowCount()) return;
    const QModelIndex index = _model->index(row, kTextColumn);
    _list->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    _list->scrollTo(index);
}

QSize QVCodeCompletionViewController::sizeForEntries() const {
    const QFontMetrics metrics = _list->fontMetrics();
    const int height = std::min<qint64>(qint64(rowHeight()) * _entries.size() + 2, MaximumHeight);
    // Measuring hundreds of texts costs more than showing the list: of a long list only the
    // prototypes with the most characters are measured, among which the widest one is.
    constexpr qsizetype kMeasured = 32;
    std::vector<const QString*> texts;
    texts.reserve(_entries.size());
    for (const QVCodeCompletionEntry& entry : _entries) texts.push_back(&entry.prototype());
    if (qsizetype(texts.size()) > kMeasured)
        std::nth_element(texts.begin(), texts.begin() + kMeasured, texts.end(),
                         [](const QString* a, const QString* b) { return a->size() > b->size(); });
    int widest = 0;
    for (qsizetype i = 0; i < std::min<qsizetype>(kMeasured, qsizetype(texts.size())); ++i)
        widest = std::max(widest, metrics.horizontalAdvance(*texts[size_t(i)]));
    int width = widest + 20;
    if (_showTypeColumn) width += typeColumnWidth();
    return QSize(std::min(width, MaximumWidth), height);
}

int QVCodeCompletionViewController::typeColumnWidth() const {
    // Wide enough for the widest type shown ("attribute" must not lose its start), never
    // narrower than the usual column. Types repeat: each is measured once.
    if (!_list) return TypeColumnWidth;
    const QFontMetrics metrics = _list->fontMetrics();
    QSet<QString> types;
    for (const QVCodeCompletionEntry& entry : _entries) types.insert(entry.type());
    int widest = 0;
    for (const QString& type : std::as_const(types)) widest = std::max(widest, metrics.horizontalAdvance(type));
    return std::max(TypeColumnWidth, widest + 2 * _list->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, _list) + 12);
}

void QVCodeCompletionViewController::displayEntries(const QList<QVCodeCompletionEntry>& entries,
                                                   const QString& mainEntry) {
    if (!_list || !_superview) return;
    const int previous = selectedRow();
    _entries = entries;
    _model->reset(rowHeight());
    _list->setColumnWidth(kTypeColumn, typeColumnWidth());
    int row = -1;
    for (int i = 0; i < _entries.size(); ++i)
        if (_entries.at(i).key() == mainEntry) {
            row = i;
            break;
        }
    // A row kept from a longer list may lie past this one.
    if (row < 0) row = previous >= 0 && previous < _entries.size() ? previous : 0;
    select(row);

    QWidget* viewport = _superview->viewport();
    if (_list->parentWidget() != viewport) _list->setParent(viewport);
    const QRect caret = _superview->caretViewportRect();
    const QSize size = sizeForEntries();
    const QRect visible = viewport->rect();
    int width = std::min(size.width(), std::max(visible.width() - 2 * Margin, 0));
    int height = std::min(size.height(), visible.height());
    int x = caret.x();
    int y = caret.y() + caret.height() + 2;
    if (x + width > visible.width() - Margin) x = visible.width() - width - Margin;
    if (y + height > visible.bottom() + 1) y = caret.y() - height - 2;
    // Neither below nor above fits (a short view, or a caret scrolled out): keep it inside.
    y = std::clamp(y, 0, std::max(0, visible.height() - height));
    x = std::max(x, Margin);
    _list->setGeometry(x, y, width, height);
    // A child widget: Qt repaints what it covers and uncovers, the editor's text needs no redraw.
    _list->show();
    _list->raise();
}
