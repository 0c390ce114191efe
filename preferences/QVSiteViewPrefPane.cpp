// The site-view pane.
#include "preferences/QVSiteViewPrefPane.h"

#include "platform/AppBundle.h"
#include "platform/NotificationCenter.h"
#include "platform/QVRegex.h"
#include "preferences/QVPrefAlerts.h"
#include "shell/QVFileFilter.h"
#include "shell/QVFileFilters.h"

#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileIconProvider>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

QString localized(const char* text) { return QVLocalized(QString::fromUtf8(text)); }

}  // namespace

std::shared_ptr<QVFileFilters> QVSiteViewPrefPane::fileFilters() const { return QVFileFilters::sharedFilters(); }

QIcon QVSiteViewPrefPane::makeIcon() {
    const QIcon folder = QFileIconProvider().icon(QFileIconProvider::Folder);
    return folder.isNull() ? QIcon() : QIcon(folder.pixmap(32, 32));
}

QWidget* QVSiteViewPrefPane::loadView() {
    auto* view = new QWidget;
    view->setObjectName(QStringLiteral("SiteViewPrefPane"));
    auto* layout = new QVBoxLayout(view);
    layout->addWidget(new QLabel(localized("Files whose names match an enabled filter are hidden in project trees."), view));
    _tableView = new QTableWidget(0, 3, view);
    _tableView->setObjectName(QStringLiteral("filtersTable"));
    _tableView->setHorizontalHeaderLabels({localized("On"), localized("Title"), localized("Pattern")});
    _tableView->horizontalHeader()->setStretchLastSection(true);
    _tableView->setSelectionBehavior(QAbstractItemView::SelectRows);
    _tableView->setSelectionMode(QAbstractItemView::SingleSelection);
    _tableView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    _tableView->verticalHeader()->hide();
    _tableView->setMinimumSize(480, 240);
    connect(_tableView, &QTableWidget::cellDoubleClicked, this, [this] { doubleClick(); });
    connect(_tableView, &QTableWidget::itemChanged, this, [this](QTableWidgetItem* item) {
        if (item->column() != 0) return;
        if (auto filter = fileFilters()->objectInFiltersAtIndex(item->row()))
            filter->setValue(item->checkState() == Qt::Checked, QStringLiteral("enabled"));
    });
    layout->addWidget(_tableView);
    auto* buttons = new QHBoxLayout;
    auto* add = new QPushButton(QStringLiteral("+"), view);
    add->setObjectName(QStringLiteral("addFilter"));
    auto* remove = new QPushButton(QStringLiteral("\u2212"), view);
    remove->setObjectName(QStringLiteral("removeFilter"));
    auto* edit = new QPushButton(localized("Edit\u2026"), view);
    edit->setObjectName(QStringLiteral("editFilter"));
    connect(add, &QPushButton::clicked, this, &QVSiteViewPrefPane::addFilter);
    connect(remove, &QPushButton::clicked, this, &QVSiteViewPrefPane::removeFilter);
    connect(edit, &QPushButton::clicked, this, &QVSiteViewPrefPane::doubleClick);
    buttons->addWidget(add);
    buttons->addWidget(remove);
    buttons->addWidget(edit);
    buttons->addStretch();
    layout->addLayout(buttons);
    setFirstResponder(_tableView);
    reloadTable();
    return view;
}

void QVSiteViewPrefPane::reloadTable() {
    if (!_tableView) return;
    const QSignalBlocker blocker(_tableView);
    const QList<std::shared_ptr<QVFileFilter>> filters = fileFilters()->filters();
    _tableView->setRowCount(int(filters.size()));
    for (int row = 0; row < filters.size(); ++row) {
        auto* on = new QTableWidgetItem;
        on->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        on->setCheckState(filters[row]->enabled() ? Qt::Checked : Qt::Unchecked);
        _tableView->setItem(row, 0, on);
        _tableView->setItem(row, 1, new QTableWidgetItem(filters[row]->title()));
        auto* pattern = new QTableWidgetItem(filters[row]->pattern());
        if (!filters[row]->valid()) pattern->setForeground(Qt::red);
        _tableView->setItem(row, 2, pattern);
    }
    _tableView->resizeColumnToContents(0);
    _tableView->resizeColumnToContents(1);
}

void QVSiteViewPrefPane::addFilter() {
    const std::shared_ptr<QVFileFilters> filters = fileFilters();
    filters->insertObject(std::make_shared<QVFileFilter>(), filters->countOfFilters());
    reloadTable();
    if (_tableView) _tableView->selectRow(_tableView->rowCount() - 1);
}

void QVSiteViewPrefPane::removeFilter() {
    if (!_tableView || _tableView->currentRow() < 0) return;
    fileFilters()->removeObjectFromFiltersAtIndex(_tableView->currentRow());
    reloadTable();
}

void QVSiteViewPrefPane::doubleClick() {
    if (!_tableView || _tableView->selectionModel()->selectedRows().isEmpty()) return;
    _editingRow = _tableView->selectionModel()->selectedRows().first().row();
    const std::shared_ptr<QVFileFilter> filter = fileFilters()->objectInFiltersAtIndex(_editingRow);
    if (!filter) return;
    _editingFilter = filter->copy();
    delete _editPanel;
    _editPanel = new QDialog(mainView());
    _editPanel->setObjectName(QStringLiteral("filterEditPanel"));
    _editPanel->setWindowTitle(localized("Edit Filter"));
    auto* form = new QFormLayout(_editPanel);
    auto* title = new QLineEdit(_editingFilter->title(), _editPanel);
    title->setObjectName(QStringLiteral("title"));
    auto* pattern = new QLineEdit(_editingFilter->pattern(), _editPanel);
    pattern->setObjectName(QStringLiteral("pattern"));
    auto* enabled = new QCheckBox(localized("Enabled"), _editPanel);
    enabled->setObjectName(QStringLiteral("enabled"));
    enabled->setChecked(_editingFilter->enabled());
    form->addRow(localized("Title:"), title);
    form->addRow(localized("Pattern:"), pattern);
    form->addRow(QString(), enabled);
    auto* status = new QLabel(_editPanel);
    status->setObjectName(QStringLiteral("status"));
    form->addRow(status);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Save | QDialogButtonBox::Cancel, _editPanel);
    form->addRow(buttons);
    // A pattern that does not compile would hide nothing, silently: the sheet says so and keeps
    // Save off until it does (an empty pattern hides nothing, as asked).
    QPushButton* saveButton = buttons->button(QDialogButtonBox::Save);
    const auto check = [status, saveButton](const QString& text) {
        const bool valid = text.isEmpty() || QVRegex::validPattern(text);
        status->setText(valid ? QString() : localized("Invalid pattern"));
        saveButton->setEnabled(valid);
    };
    connect(pattern, &QLineEdit::textChanged, this, check);
    check(pattern->text());
    // The copy takes every field as it is when the sheet is saved, the one being typed in too.
    connect(buttons, &QDialogButtonBox::accepted, this, [this, title, pattern, enabled, saveButton] {
        if (!saveButton->isEnabled()) return;
        _editingFilter->setValue(title->text(), QStringLiteral("title"));
        _editingFilter->setValue(pattern->text(), QStringLiteral("pattern"));
        _editingFilter->setValue(enabled->isChecked(), QStringLiteral("enabled"));
        save();
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &QVSiteViewPrefPane::cancel);
    _editPanel->setWindowModality(Qt::WindowModal);
    _editPanel->open();
}

void QVSiteViewPrefPane::save() {
    const std::shared_ptr<QVFileFilters> filters = fileFilters();
    if (_editingFilter && _editingRow >= 0 && _editingRow < filters->countOfFilters()) {
        _editingFilter->setModified(true);
        filters->removeObjectFromFiltersAtIndex(_editingRow);
        filters->insertObject(_editingFilter, _editingRow);
    }
    cancel();
    reloadTable();
}

void QVSiteViewPrefPane::cancel() {
    _editingFilter.reset();
    _editingRow = -1;
    if (_editPanel) {
        _editPanel->hide();
        _editPanel->deleteLater();
        _editPanel = nullptr;
    }
}

void QVSiteViewPrefPane::endSession() {
    // A filter sheet left open was never confirmed: its copy is dropped.
    if (_editPanel) cancel();
    const std::shared_ptr<QVFileFilters> filters = fileFilters();
    if (!filters->modified()) return;
    QVError error;
    // A failed write keeps the marks, so the next close tries again.
    if (!filters->commit(&error)) return QVPrefAlerts::showError(mainView(), error);
    filters->setModified(false);
    NotificationCenter::defaultCenter().post(QString::fromLatin1(QVSiteViewFiltersChanged));
}
