// The code-navigation editor.
#include "preferences/QVCodeNavLangPane.h"

#include "languages/QVBundle.h"
#include "languages/QVCodeNavParser.h"
#include "languages/QVParser.h"
#include "platform/AppBundle.h"
#include "platform/QVRegex.h"

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTableView>
#include <QVBoxLayout>

namespace {

QString localized(const char* text) { return QVLocalized(QString::fromUtf8(text)); }

}  // namespace

QVCodeNavLangPane::QVCodeNavLangPane(std::shared_ptr<QVBundle> bundle, QVLanguagePaneDelegate* delegate)
    : QVLanguagePane(std::move(bundle), delegate) {
    if (const auto parser = this->bundle()->codeNavParser()) _searches = parser->searches();
}

QWidget* QVCodeNavLangPane::loadView() {
    auto* view = new QWidget;
    view->setObjectName(QStringLiteral("LanguageCodeNavEditor"));
    auto* layout = new QVBoxLayout(view);
    _model = new QStandardItemModel(0, 3, view);
    _model->setHorizontalHeaderLabels({localized("Pattern"), localized("Menu Title"), localized("Icon")});
    for (int row = 0; row < _searches.size(); ++row) reloadRow(row);
    _table = new QTableView(view);
    _table->setObjectName(QStringLiteral("tableView"));
    _table->setModel(_model);
    _table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    _table->setSelectionBehavior(QAbstractItemView::SelectRows);
    _table->setSelectionMode(QAbstractItemView::SingleSelection);
    _table->verticalHeader()->hide();
    _table->horizontalHeader()->setStretchLastSection(true);
    _table->setColumnWidth(0, 220);
    _table->setColumnWidth(1, 140);
    connect(_table, &QTableView::doubleClicked, this, [this] { doubleClick(); });
    layout->addWidget(_table, 1);
    auto* buttons = new QHBoxLayout;
    auto* add = new QPushButton(QStringLiteral("+"), view);
    auto* remove = new QPushButton(QStringLiteral("\u2212"), view);
    auto* edit = new QPushButton(localized("Edit\u2026"), view);
    connect(add, &QPushButton::clicked, this, &QVCodeNavLangPane::addSearch);
    connect(remove, &QPushButton::clicked, this, &QVCodeNavLangPane::removeSelectedSearch);
    connect(edit, &QPushButton::clicked, this, [this] {
        if (!doubleClick()) QApplication::beep();
    });
    buttons->addWidget(add);
    buttons->addWidget(remove);
    buttons->addStretch();
    buttons->addWidget(edit);
    layout->addLayout(buttons);
    setFirstResponder(_table);
    view->resize(460, 360);
    return view;
}

void QVCodeNavLangPane::reloadRow(int row) {
    if (!_model || row < 0 || row >= _searches.size()) return;
    const QVCodeNavItem& search = _searches[row];
    if (row >= _model->rowCount()) _model->insertRow(row);
    const QString cells[] = {search.searchExpression(), search.isSeparator() ? localized("(separator)") : search.menuTitle(),
                             search.iconName()};
    for (int column = 0; column < 3; ++column) {
        auto* item = new QStandardItem(cells[column]);
        QFont font = item->font();
        font.setBold(search.isBold());
        font.setItalic(search.isItalic());
        item->setFont(font);
        _model->setItem(row, column, item);
    }
}

void QVCodeNavLangPane::selectRow(int row) {
    if (_table && row >= 0 && row < _model->rowCount()) _table->selectRow(row);
}

bool QVCodeNavLangPane::doubleClick() {
    _status.clear();
    const QModelIndexList rows = _table ? _table->selectionModel()->selectedRows() : QModelIndexList();
    if (rows.isEmpty() || _editPanel) return false;
    _editRow = rows.first().row();
    _editItem = _searches.at(_editRow);
    _editPanel = new QDialog(mainView());
    _editPanel->setObjectName(QStringLiteral("editPanel"));
    _editPanel->setWindowTitle(localized("Navigation Search"));
    auto* form = new QFormLayout(_editPanel);
    auto* pattern = new QLineEdit(_editItem->searchExpression(), _editPanel);
    pattern->setObjectName(QStringLiteral("pattern"));
    auto* title = new QLineEdit(_editItem->menuTitle(), _editPanel);
    title->setObjectName(QStringLiteral("display"));
    title->setPlaceholderText(localized("empty: a separator"));
    auto* icon = new QLineEdit(_editItem->iconName(), _editPanel);
    icon->setObjectName(QStringLiteral("icon"));
    auto* bold = new QCheckBox(localized("Bold"), _editPanel);
    bold->setChecked(_editItem->isBold());
    auto* italic = new QCheckBox(localized("Italic"), _editPanel);
    italic->setChecked(_editItem->isItalic());
    // The sheet edits the copy; nothing reaches the list before it is confirmed.
    connect(pattern, &QLineEdit::textChanged, this, [this](const QString& text) {
        if (!_editItem) return;
        _editItem->setSearchExpression(text);
        updateStatus();
    });
    connect(title, &QLineEdit::textChanged, this, [this](const QString& text) { if (_editItem) _editItem->setMenuTitle(text); });
    connect(icon, &QLineEdit::textChanged, this, [this](const QString& text) { if (_editItem) _editItem->setIconName(text); });
    connect(bold, &QCheckBox::toggled, this, [this](bool on) { if (_editItem) _editItem->setIsBold(on); });
    connect(italic, &QCheckBox::toggled, this, [this](bool on) { if (_editItem) _editItem->setIsItalic(on); });
    form->addRow(localized("Pattern:"), pattern);
    form->addRow(localized("Menu title:"), title);
    form->addRow(localized("Icon:"), icon);
    auto* fonts = new QHBoxLayout;
    fonts->addWidget(bold);
    fonts->addWidget(italic);
    form->addRow(localized("Font:"), fonts);
    _statusField = new QLabel(_editPanel);
    _statusField->setObjectName(QStringLiteral("status"));
    form->addRow(_statusField);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, _editPanel);
    form->addRow(buttons);
    _confirm = buttons->button(QDialogButtonBox::Ok);
    connect(buttons, &QDialogButtonBox::accepted, this, [this] { closeEditPanel(true); });
    connect(buttons, &QDialogButtonBox::rejected, this, [this] { closeEditPanel(false); });
    // Escape and the window's close button cancel.
    connect(_editPanel, &QDialog::rejected, this, [this] {
        if (_editPanel) closeEditPanel(false);
    });
    updateStatus();
    _editPanel->resize(420, _editPanel->sizeHint().height());
    _editPanel->setWindowModality(Qt::WindowModal);
    _editPanel->open();
    return true;
}

void QVCodeNavLangPane::setEditItem(const QVCodeNavItem& item) {
    if (!_editPanel) return;
    _editItem = item;
    updateStatus();
}

void QVCodeNavLangPane::updateStatus() {
    // A search that finds nothing would be kept silently: say so before it is taken.
    const QString pattern = _editItem ? _editItem->searchExpression() : QString();
    if (pattern.isEmpty()) _status = localized("A search needs a pattern");
    else if (!QVRegex::validPattern(pattern)) _status = localized("Invalid pattern");
    else _status.clear();
    if (_statusField) _statusField->setText(_status);
    if (_confirm) _confirm->setEnabled(_status.isEmpty());
}

bool QVCodeNavLangPane::closeEditPanel(bool confirm) {
    if (!_editPanel) return false;
    if (confirm) {
        QVPrefPane::endEditing(_editPanel);
        updateStatus();
        if (!_status.isEmpty()) return false;
        if (_editRow >= 0 && _editRow < _searches.size()) {
            _searches[_editRow] = *_editItem;
            reloadRow(_editRow);
            setDidChange(true);
        }
    } else if (_editRowAdded && _editRow >= 0 && _editRow < _searches.size()) {
        _searches.removeAt(_editRow);
        _model->removeRow(_editRow);
    }
    _editItem.reset();
    _editRow = -1;
    _editRowAdded = false;
    _status.clear();
    QDialog* panel = std::exchange(_editPanel, nullptr);
    _statusField = nullptr;
    _confirm = nullptr;
    panel->hide();
    panel->deleteLater();
    return true;
}

void QVCodeNavLangPane::addSearch() {
    if (!_model || _editPanel) return;
    _searches.append(QVCodeNavItem(std::weak_ptr<QVBundle>(bundle())));
    reloadRow(int(_searches.size()) - 1);
    selectRow(int(_searches.size()) - 1);
    doubleClick();
    _editRowAdded = true;
    updateStatus();
}

void QVCodeNavLangPane::removeSelectedSearch() {
    const QModelIndexList rows = _table ? _table->selectionModel()->selectedRows() : QModelIndexList();
    if (rows.isEmpty() || _editPanel) return;
    const int row = rows.first().row();
    _searches.removeAt(row);
    _model->removeRow(row);
    setDidChange(true);
}

void QVCodeNavLangPane::unselect() {
    // A sheet left open was never confirmed.
    if (_editPanel) closeEditPanel(false);
    QVLanguagePane::unselect();
    if (!didChange()) return;
    setDidChange(false);
    auto parser = bundle()->codeNavParser();
    if (!parser) {
        // Searches belong to the language's parser; a bundle has one from its creation on.
        const auto language = bundle()->parser();
        if (!language) return;
        parser = std::make_shared<QVCodeNavParser>(QVariantList(), language);
        bundle()->setCodeNavParser(parser);
    }
    parser->setSearches(_searches);
    delegate()->bundleDidChange(bundle());
}
