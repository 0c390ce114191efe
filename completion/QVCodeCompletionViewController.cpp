#include "completion/QVCodeCompletionViewController.h"

#include "platform/QVTextView.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QScrollBar>
#include <QTreeWidget>

#include <algorithm>

namespace {

constexpr int kTypeColumn = 0;
constexpr int kTextColumn = 1;

}  // namespace

QVCodeCompletionViewController::QVCodeCompletionViewController(QVTextView* superview)
    : _superview(superview) {
    _list = new QTreeWidget(superview ? superview->viewport() : nullptr);
    _list->setObjectName(QStringLiteral("QVCodeCompletionList"));
    _list->setColumnCount(2);
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
    connect(_list, &QTreeWidget::itemDoubleClicked, this, [this] { Q_EMIT doubleClicked(); });
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
    QTreeWidgetItem* item = _list->currentItem();
    if (!item || !item->isSelected()) return -1;
    const int row = _list->indexOfTopLevelItem(item);
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
    _list->setColumnWidth(kTypeColumn, TypeColumnWidth);
}

int QVCodeCompletionViewController::rowHeight() const {
    return _list ? _list->fontMetrics().height() + 4 : 0;
}

void QVCodeCompletionViewController::select(int row) {
    if (!_list || row < 0 || row >= _list->topLevelItemCount()) return;
    QTreeWidgetItem* item = _list->topLevelItem(row);
    _list->setCurrentItem(item);
    item->setSelected(true);
    _list->scrollToItem(item);
}

void QVCodeCompletionViewController::fill() {
    const int height = rowHeight();
    _list->clear();
    QList<QTreeWidgetItem*> items;
    items.reserve(_entries.size());
    for (const QVCodeCompletionEntry& entry : std::as_const(_entries)) {
        auto* item = new QTreeWidgetItem(QStringList{entry.type(), entry.prototype()});
        item->setSizeHint(kTextColumn, QSize(0, height));
        items.append(item);
    }
    _list->addTopLevelItems(items);
}

QSize QVCodeCompletionViewController::sizeForEntries() const {
    const QFontMetrics metrics = _list->fontMetrics();
    const int height = std::min<qint64>(qint64(rowHeight()) * _entries.size() + 2, MaximumHeight);
    int widest = 0;
    for (const QVCodeCompletionEntry& entry : _entries)
        widest = std::max(widest, metrics.horizontalAdvance(entry.prototype()));
    int width = widest + 20;
    if (_showTypeColumn) width += TypeColumnWidth;
    return QSize(std::min(width, MaximumWidth), height);
}

void QVCodeCompletionViewController::displayEntries(const QList<QVCodeCompletionEntry>& entries,
                                                   const QString& mainEntry) {
    if (!_list || !_superview) return;
    const int previous = selectedRow();
    _entries = entries;
    fill();
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
    _list->show();
    _list->raise();
    viewport->update();
}
