// The colours pane and its theme editor.
#include "preferences/QVColorsPrefPane.h"

#include "editor/QVEditorNotifications.h"
#include "languages/QVTheme.h"
#include "languages/QVThemeRepository.h"
#include "platform/AppBundle.h"
#include "platform/NotificationCenter.h"
#include "platform/QVTextStorage.h"
#include "preferences/QVPrefAlerts.h"
#include "shell/QVColorWell.h"
#include "shell/QVCustomSelectionColorTable.h"

#include <QApplication>
#include <QColorDialog>
#include <QComboBox>
#include <QDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QMouseEvent>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStandardItemModel>
#include <QVBoxLayout>

namespace {

QString localized(const char* text) { return QVLocalized(QString::fromUtf8(text)); }
const QString& Foreground() { return QVTextStorage::ForegroundColorAttribute; }
const QString& Background() { return QVTextStorage::BackgroundColorAttribute; }

}  // namespace

QVColorsPrefPane::QVColorsPrefPane(const QString& displayName, QVThemeRepository* repository)
    : QVPrefPane(displayName), _repository(repository ? repository : &QVThemeRepository::sharedRepository()) {}

QWidget* QVColorsPrefPane::loadView() {
    auto* view = new QWidget;
    view->setObjectName(QStringLiteral("ColorsPrefPane"));
    auto* layout = new QVBoxLayout(view);
    auto* top = new QHBoxLayout;
    top->addWidget(new QLabel(localized("Theme:"), view));
    _themeSelector = new QComboBox(view);
    _themeSelector->setObjectName(QStringLiteral("themeSelector"));
    _themeSelector->setMinimumWidth(220);
    connect(_themeSelector, &QComboBox::activated, this, &QVColorsPrefPane::changeTheme);
    top->addWidget(_themeSelector);
    top->addStretch();
    layout->addLayout(top);
    _tableView = new QVCustomSelectionColorTable(view);
    _tableView->setObjectName(QStringLiteral("stylesTable"));
    _model = new QStandardItemModel(0, 1, _tableView);
    _tableView->setModel(_model);
    _tableView->horizontalHeader()->hide();
    _tableView->horizontalHeader()->setStretchLastSection(true);
    _tableView->verticalHeader()->hide();
    _tableView->setSelectionBehavior(QAbstractItemView::SelectRows);
    _tableView->setSelectionMode(QAbstractItemView::SingleSelection);
    _tableView->setMinimumSize(440, 280);
    _tableView->setDeleteSelectedHandler([this](QVDeletableTableView*) { removeStyle(); });
    connect(_tableView->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& index) { selectStyle(index.isValid() ? index.row() : -1); });
    connect(_model, &QStandardItemModel::itemChanged, this, [this](QStandardItem* item) {
        if (_reloading) return;
        if (!renameStyle(item->row(), item->text())) {
            QApplication::beep();
            QMetaObject::invokeMethod(this, &QVColorsPrefPane::reloadTable, Qt::QueuedConnection);
        }
    });
    layout->addWidget(_tableView, 1);
    auto* bottom = new QHBoxLayout;
    auto* add = new QPushButton(QStringLiteral("+"), view);
    add->setObjectName(QStringLiteral("addStyle"));
    _removeStyleButton = new QPushButton(QStringLiteral("\u2212"), view);
    _removeStyleButton->setObjectName(QStringLiteral("removeStyle"));
    connect(add, &QPushButton::clicked, this, &QVColorsPrefPane::addStyle);
    connect(_removeStyleButton, &QPushButton::clicked, this, &QVColorsPrefPane::removeStyle);
    bottom->addWidget(add);
    bottom->addWidget(_removeStyleButton);
    bottom->addStretch();
    _foregroundColor = new QVColorWell(view);
    _foregroundColor->setObjectName(QStringLiteral("foregroundColor"));
    _backgroundColor = new QVColorWell(view);
    _backgroundColor->setObjectName(QStringLiteral("backgroundColor"));
    for (QVColorWell* well : {_foregroundColor, _backgroundColor}) {
        well->setFixedSize(44, 24);
        well->setCursor(Qt::PointingHandCursor);
        well->installEventFilter(this);
        connect(well, &QVColorWell::colorChanged, this, &QVColorsPrefPane::changeStyleColor);
    }
    bottom->addWidget(new QLabel(localized("Text:"), view));
    bottom->addWidget(_foregroundColor);
    bottom->addWidget(new QLabel(localized("Background:"), view));
    bottom->addWidget(_backgroundColor);
    layout->addLayout(bottom);
    setFirstResponder(_tableView);
    loadData();
    return view;
}

void QVColorsPrefPane::loadData() {
    _loaded = true;
    if (_themeSelector) {
        const QSignalBlocker blocker(_themeSelector);
        _themeSelector->clear();
        for (const std::shared_ptr<QVTheme>& theme : _repository->themes())
            _themeSelector->addItem(theme->title(), QVariant::fromValue(static_cast<void*>(theme.get())));
        _themeSelector->insertSeparator(_themeSelector->count());
        _themeSelector->addItem(localized("Edit Themes"));
    }
    // The pane's own theme is taken from the repository without counting as a switch.
    const std::shared_ptr<QVTheme> current = _repository->currentTheme();
    if (current != _currentTheme) {
        _currentTheme = current;
        _styles = current ? current->styleIdentifiers() : QStringList();
        std::sort(_styles.begin(), _styles.end(), [](const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive) < 0; });
    }
    if (_themeSelector) {
        for (int i = 0; i < _themeSelector->count(); ++i)
            if (_themeSelector->itemData(i).value<void*>() == current.get() && current) _themeSelector->setCurrentIndex(i);
    }
    reloadTable();
}

void QVColorsPrefPane::setCurrentTheme(const std::shared_ptr<QVTheme>& theme) {
    if (!theme || theme == _currentTheme) return;
    _repository->setCurrentTheme(theme);
    _currentTheme = theme;
    _styles = theme->styleIdentifiers();
    std::sort(_styles.begin(), _styles.end(), [](const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive) < 0; });
    _changedThemes = true;
    reloadTable();
    showInEditors();
}

void QVColorsPrefPane::reloadTable() {
    if (!_model) return;
    _reloading = true;
    const int keep = selectedRow();
    _model->setRowCount(0);
    if (_currentTheme) {
        _tableView->setSelectionColor(_currentTheme->selectionColor());
        QPalette palette = _tableView->palette();
        palette.setColor(QPalette::Base, _currentTheme->backgroundColor());
        _tableView->setPalette(palette);
    }
    for (int row = 0; row < _styles.size(); ++row) {
        auto* item = new QStandardItem(_styles[row]);
        const QVariantMap attributes = attributesForRow(row);
        const QColor foreground = attributes.value(Foreground()).value<QColor>();
        const QColor background = attributes.value(Background()).value<QColor>();
        item->setForeground(foreground.isValid() ? foreground : (_currentTheme ? _currentTheme->textColor() : QColor(Qt::black)));
        if (background.isValid()) item->setBackground(background);
        _model->appendRow(item);
    }
    _reloading = false;
    if (keep >= 0 && keep < _styles.size()) _tableView->selectRow(keep);
    selectStyle(selectedRow());
}

int QVColorsPrefPane::selectedRow() const {
    if (!_tableView || !_tableView->selectionModel()) return -1;
    const QModelIndexList rows = _tableView->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

void QVColorsPrefPane::selectStyle(int row) {
    const bool valid = row >= 0 && row < _styles.size();
    if (_removeStyleButton) _removeStyleButton->setEnabled(valid);
    for (QVColorWell* well : {_foregroundColor, _backgroundColor}) {
        if (!well) continue;
        well->setEnabled(valid);
        const QSignalBlocker blocker(well);
        const QColor color = valid ? attributesForRow(row).value(well == _foregroundColor ? Foreground() : Background()).value<QColor>() : QColor();
        well->setColor(color.isValid() ? color : QColor::fromRgbF(1, 1, 1, 0));
    }
}

QVariantMap QVColorsPrefPane::attributesForRow(int row) const {
    if (!_currentTheme || row < 0 || row >= _styles.size()) return {};
    return _currentTheme->attributesForIdentifier(_styles[row]);
}

QVariantMap QVColorsPrefPane::currentAttributes() const {
    QVariantMap attributes;
    if (_foregroundColor && _foregroundColor->color().alpha() > 0) attributes.insert(Foreground(), _foregroundColor->color());
    if (_backgroundColor && _backgroundColor->color().alpha() > 0) attributes.insert(Background(), _backgroundColor->color());
    return attributes;
}

QString QVColorsPrefPane::newUniqueID() const {
    for (quint64 n = 0;; ++n) {
        const QString identifier = QStringLiteral("new-%1").arg(n);
        if (!_currentTheme || !_currentTheme->containsIdentifier(identifier)) return identifier;
    }
}

void QVColorsPrefPane::changeTheme(int index) {
    if (!_themeSelector || index < 0) return;
    void* chosen = _themeSelector->itemData(index).value<void*>();
    if (!chosen) {
        openThemeEditor();
        loadData();
        return;
    }
    for (const std::shared_ptr<QVTheme>& theme : _repository->themes())
        if (theme.get() == chosen) setCurrentTheme(theme);
}

void QVColorsPrefPane::addStyle() {
    if (!_currentTheme) return QApplication::beep();
    const QString identifier = newUniqueID();
    QVariantMap standard;
    standard.insert(Foreground(), _currentTheme->textColor());
    _currentTheme->addStyle(identifier, standard);
    _styles << identifier;
    reloadTable();
    showInEditors();
    if (_tableView) {
        _tableView->selectRow(int(_styles.size()) - 1);
        _tableView->scrollToBottom();
    }
}

void QVColorsPrefPane::removeStyle() {
    const int row = selectedRow();
    if (!_currentTheme || row < 0 || row >= _styles.size()) return QApplication::beep();
    _currentTheme->removeStyle(_styles.takeAt(row));
    reloadTable();
    showInEditors();
}

void QVColorsPrefPane::changeStyleColor() {
    const int row = selectedRow();
    if (!_currentTheme || row < 0 || row >= _styles.size()) return;
    _currentTheme->changeStyle(_styles[row], currentAttributes());
    reloadTable();
    showInEditors();
}

bool QVColorsPrefPane::renameStyle(int row, const QString& name) {
    if (!_currentTheme || row < 0 || row >= _styles.size()) return false;
    const QString trimmed = name.trimmed();
    if (trimmed.isEmpty() || trimmed == _styles[row] || _currentTheme->containsIdentifier(trimmed)) return false;
    _currentTheme->changeIdentifier(_styles[row], trimmed);
    _styles[row] = trimmed;
    showInEditors();
    return true;
}

void QVColorsPrefPane::openThemeEditor() {
    delete _editThemesPanel;
    _editThemesPanel = new QDialog(mainView());
    _editThemesPanel->setObjectName(QStringLiteral("editThemesPanel"));
    _editThemesPanel->setWindowTitle(localized("Edit Themes"));
    auto* layout = new QVBoxLayout(_editThemesPanel);
    _themeList = new QListWidget(_editThemesPanel);
    _themeList->setObjectName(QStringLiteral("themeList"));
    layout->addWidget(_themeList);
    auto* buttons = new QHBoxLayout;
    _duplicateThemeButton = new QPushButton(localized("Duplicate"), _editThemesPanel);
    _duplicateThemeButton->setObjectName(QStringLiteral("duplicateTheme"));
    _removeThemeButton = new QPushButton(localized("Remove"), _editThemesPanel);
    _removeThemeButton->setObjectName(QStringLiteral("removeTheme"));
    auto* done = new QPushButton(localized("Done"), _editThemesPanel);
    done->setObjectName(QStringLiteral("closeThemeEditor"));
    buttons->addWidget(_duplicateThemeButton);
    buttons->addWidget(_removeThemeButton);
    buttons->addStretch();
    buttons->addWidget(done);
    layout->addLayout(buttons);
    connect(_duplicateThemeButton, &QPushButton::clicked, this, &QVColorsPrefPane::duplicateTheme);
    connect(_removeThemeButton, &QPushButton::clicked, this, &QVColorsPrefPane::removeTheme);
    connect(done, &QPushButton::clicked, this, &QVColorsPrefPane::closeThemeEditor);
    connect(_themeList, &QListWidget::itemSelectionChanged, this, &QVColorsPrefPane::updateThemeEditorButtons);
    connect(_themeList, &QListWidget::itemChanged, this, [this](QListWidgetItem* item) {
        const auto theme = _repository->objectInThemesAtIndex(_themeList->row(item));
        const QString title = item->text().trimmed();
        if (!theme || title == theme->title()) return;
        if (title.isEmpty()) {
            QApplication::beep();
            const QSignalBlocker blocker(_themeList);
            item->setText(theme->title());
            return;
        }
        theme->setValue(title, QStringLiteral("title"));
    });
    // Closing the sheet any way closes it as Done does.
    connect(_editThemesPanel, &QDialog::rejected, this, &QVColorsPrefPane::closeThemeEditor);
    for (const std::shared_ptr<QVTheme>& theme : _repository->themes()) {
        auto* item = new QListWidgetItem(theme->title(), _themeList);
        item->setFlags(item->flags() | Qt::ItemIsEditable);
    }
    const auto themes = _repository->themes();
    _themeList->setCurrentRow(int(themes.indexOf(_currentTheme)));
    updateThemeEditorButtons();
    _editThemesPanel->setWindowModality(Qt::WindowModal);
    _editThemesPanel->open();
}

void QVColorsPrefPane::updateThemeEditorButtons() {
    if (!_themeList) return;
    const bool selected = _themeList->currentRow() >= 0 && !_themeList->selectedItems().isEmpty();
    _duplicateThemeButton->setEnabled(selected);
    _removeThemeButton->setEnabled(selected && _repository->countOfThemes() > 1);
}

void QVColorsPrefPane::duplicateTheme() {
    if (!_themeList || _themeList->currentRow() < 0) return;
    const auto theme = _repository->objectInThemesAtIndex(_themeList->currentRow());
    if (!theme) return;
    const auto copy = _repository->duplicateTheme(theme);
    auto* item = new QListWidgetItem(copy->title(), _themeList);
    item->setFlags(item->flags() | Qt::ItemIsEditable);
    _themeList->setCurrentItem(item);
    updateThemeEditorButtons();
}

void QVColorsPrefPane::removeTheme() {
    if (!_themeList || _themeList->currentRow() < 0 || _repository->countOfThemes() <= 1) return QApplication::beep();
    const int row = _themeList->currentRow();
    const bool wasCurrent = _repository->objectInThemesAtIndex(row) == _currentTheme;
    _repository->removeObjectFromThemesAtIndex(row);
    delete _themeList->takeItem(row);
    // The repository made another theme current: that is a switch the editors must hear of.
    if (wasCurrent) {
        _changedThemes = true;
        showInEditors();
    }
    updateThemeEditorButtons();
}

void QVColorsPrefPane::closeThemeEditor() {
    if (!_editThemesPanel) return;
    QVPrefPane::endEditing(_editThemesPanel);
    QDialog* panel = _editThemesPanel;
    _editThemesPanel = nullptr;
    _themeList = nullptr;
    panel->hide();
    panel->deleteLater();
    loadData();
}

bool QVColorsPrefPane::allowSelect() {
    const bool allowed = QVPrefPane::allowSelect();
    if (allowed && !_loaded) loadData();
    reloadTable();
    return allowed;
}

void QVColorsPrefPane::startSession() {
    QVPrefPane::startSession();
    if (mainView()) loadData();
    _changedThemes = false;
}

bool QVColorsPrefPane::eventFilter(QObject* watched, QEvent* event) {
    // A well takes colours dropped on it; a click (a press and release that started no drag)
    // opens the picker, which is the only way to a colour nobody has at hand.
    auto* well = qobject_cast<QVColorWell*>(watched);
    if (well && well->isEnabled() && event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton && well->rect().contains(static_cast<QMouseEvent*>(event)->position().toPoint()))
        chooseColor(well);
    return QVPrefPane::eventFilter(watched, event);
}

void QVColorsPrefPane::chooseColor(QVColorWell* well) {
    if (!well || _colorPanel) return;
    auto* panel = new QColorDialog(well->color(), mainView());
    panel->setObjectName(QStringLiteral("colorPanel"));
    panel->setAttribute(Qt::WA_DeleteOnClose);
    // A colour with no opacity clears the style's colour, as a cleared well does.
    panel->setOption(QColorDialog::ShowAlphaChannel);
    panel->setWindowTitle(well == _foregroundColor ? localized("Text Colour") : localized("Background Colour"));
    connect(panel, &QColorDialog::colorSelected, well, &QVColorWell::setColor);
    _colorPanel = panel;
    panel->setWindowModality(Qt::WindowModal);
    panel->open();
}

void QVColorsPrefPane::endSession() {
    // A colour picker left open was never confirmed.
    if (_colorPanel) _colorPanel->reject();
    // A sheet left open is closed first, so what it holds is in the themes.
    closeThemeEditor();
    apply();
}

void QVColorsPrefPane::showInEditors() {
    // The themes are the ones the editors colour with: a change shows at once, and is written
    // when the window closes.
    NotificationCenter::defaultCenter().post(QString::fromLatin1(QorvelHighlightingPrefsChange));
}

void QVColorsPrefPane::apply() {
    if (!_repository->modified() && !_changedThemes && !_unsaved) return;
    QVError error;
    if (!_repository->commit(&error)) {
        _unsaved = true;
        QVPrefAlerts::showError(mainView(), error);
        return;
    }
    _unsaved = false;
    _changedThemes = false;
    NotificationCenter::defaultCenter().post(QString::fromLatin1(QorvelHighlightingPrefsChange));
}
