#include "tools/QVTidyActionEditor.h"

#include "platform/AppBundle.h"
#include "shell/QVAlertDetails.h"
#include "shell/QVDeletableTableView.h"
#include "tools/QVTidyOptionLibrary.h"

#include <QAbstractTableModel>
#include <QApplication>
#include <QComboBox>
#include <QCompleter>
#include <QDataStream>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QIODevice>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QSplitter>
#include <QStyledItemDelegate>
#include <QVBoxLayout>

namespace {

QString localized(const char* text) { return QVLocalized(QString::fromUtf8(text)); }

constexpr int DefinitionRole = Qt::UserRole + 1;

QByteArray archived(const QVariantMap& definition) {
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    stream << definition;
    return bytes;
}

QVariantMap unarchived(const QByteArray& bytes) {
    QVariantMap definition;
    QDataStream stream(bytes);
    stream >> definition;
    return stream.status() == QDataStream::Ok ? definition : QVariantMap();
}

}  // namespace

// --- The options of the edited copy -------------------------------------------------------------

class QVTidyActionEditor::ActionsModel : public QAbstractTableModel {
public:
    ActionsModel(QVTidyActionEditor* editor) : QAbstractTableModel(editor), _editor(editor) {}
    void setOperation(std::shared_ptr<QVTidyOperation> operation) {
        beginResetModel();
        _operation = std::move(operation);
        endResetModel();
    }
    void reload() {
        beginResetModel();
        endResetModel();
    }

    int rowCount(const QModelIndex& parent) const override {
        return parent.isValid() || !_operation ? 0 : int(_operation->actions().size());
    }
    int columnCount(const QModelIndex& parent) const override { return parent.isValid() ? 0 : 2; }
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
        if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
        return section == 0 ? localized("Option") : localized("Value");
    }
    QVariant data(const QModelIndex& index, int role) const override {
        if (!index.isValid() || !_operation || index.row() >= _operation->actions().size()) return {};
        const QVTidyAction& action = _operation->actions().at(index.row());
        if (role == DefinitionRole) return QVTidyOptionLibrary::shared().definitionForFlag(action.action);
        if (index.column() == 0) return role == Qt::DisplayRole || role == Qt::EditRole ? QVariant(action.action) : QVariant();
        const bool isSwitch = this->isSwitch(action);
        if (role == Qt::CheckStateRole && isSwitch) return action.value.toBool() ? Qt::Checked : Qt::Unchecked;
        if ((role == Qt::DisplayRole && !isSwitch) || role == Qt::EditRole)
            return QVTidyOperation::textFromValue(action.value, action.action);
        return {};
    }
    // An on/off value shows as a check box, unless its option takes a choice, a number or text.
    static bool isSwitch(const QVTidyAction& action) {
        if (action.value.typeId() != QMetaType::Bool) return false;
        const QString type = valueTypeForOption(action.action);
        return type == QLatin1String("Boolean") || QVTidyOptionLibrary::shared().definitionForFlag(action.action).isEmpty();
    }
    Qt::ItemFlags flags(const QModelIndex& index) const override {
        if (!index.isValid()) return Qt::ItemIsDropEnabled;
        Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDropEnabled;
        const bool isSwitch = index.column() == 1 && this->isSwitch(_operation->actions().at(index.row()));
        return flags | (isSwitch ? Qt::ItemIsUserCheckable : Qt::ItemIsEditable);
    }
    bool setData(const QModelIndex& index, const QVariant& value, int role) override {
        if (!index.isValid() || !_operation) return false;
        QVTidyAction action = _operation->actions().at(index.row());
        if (index.column() == 0 && role == Qt::EditRole) action.action = value.toString().trimmed();
        else if (index.column() == 1 && role == Qt::CheckStateRole) action.value = value.toInt() == Qt::Checked;
        else if (index.column() == 1 && role == Qt::EditRole) action.value = QVTidyOperation::valueFromText(value.toString());
        else return false;
        _operation->replaceActionAt(index.row(), action);
        Q_EMIT dataChanged(this->index(index.row(), 0), this->index(index.row(), 1));
        return true;
    }

    QStringList mimeTypes() const override { return {DragType}; }
    Qt::DropActions supportedDropActions() const override { return Qt::CopyAction; }
    bool canDropMimeData(const QMimeData* data, Qt::DropAction, int, int, const QModelIndex&) const override {
        return data && data->hasFormat(DragType);
    }
    bool dropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column, const QModelIndex& parent) override {
        if (!canDropMimeData(data, action, row, column, parent)) return false;
        const QVariantMap definition = unarchived(data->data(DragType));
        if (definition.value(QStringLiteral("flag")).toString().isEmpty()) return false;
        // A drop onto a row goes above that row.
        _editor->insertActionFromLibraryDictionary(definition, parent.isValid() ? parent.row() : row);
        return true;
    }

private:
    QVTidyActionEditor* _editor;
    std::shared_ptr<QVTidyOperation> _operation;
};

// --- The option library ------------------------------------------------------------------------

class QVTidyActionEditor::LibraryModel : public QAbstractTableModel {
public:
    using QAbstractTableModel::QAbstractTableModel;
    void setDefinitions(QList<QVariantMap> definitions) {
        beginResetModel();
        _definitions = std::move(definitions);
        endResetModel();
    }
    const QList<QVariantMap>& definitions() const { return _definitions; }

    int rowCount(const QModelIndex& parent) const override { return parent.isValid() ? 0 : int(_definitions.size()); }
    int columnCount(const QModelIndex& parent) const override { return parent.isValid() ? 0 : 2; }
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
        if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
        return section == 0 ? localized("Option") : localized("Description");
    }
    QVariant data(const QModelIndex& index, int role) const override {
        if (!index.isValid() || index.row() >= _definitions.size()) return {};
        const QVariantMap& definition = _definitions.at(index.row());
        if (role == DefinitionRole) return definition;
        if (role == Qt::ToolTipRole) return definition.value(QStringLiteral("action"));
        if (role != Qt::DisplayRole) return {};
        return definition.value(index.column() == 0 ? QStringLiteral("flag") : QStringLiteral("action"));
    }
    Qt::ItemFlags flags(const QModelIndex& index) const override {
        return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled : Qt::NoItemFlags;
    }
    QStringList mimeTypes() const override { return {DragType}; }
    QMimeData* mimeData(const QModelIndexList& indexes) const override {
        if (indexes.isEmpty()) return nullptr;
        auto* data = new QMimeData;
        data->setData(DragType, archived(_definitions.at(indexes.first().row())));
        return data;
    }

private:
    QList<QVariantMap> _definitions;
};

// --- Value cells by the option's kind ------------------------------------------------------------

class QVTidyActionEditor::ValueDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        const QVariantMap definition = index.data(DefinitionRole).toMap();
        const QString type = index.column() == 1 ? definition.value(QStringLiteral("type")).toString() : QString();
        if (type != QLatin1String("Enum") && type != QLatin1String("Combo"))
            return QStyledItemDelegate::createEditor(parent, option, index);
        auto* box = new QComboBox(parent);
        box->addItems(definition.value(QStringLiteral("values")).toStringList());
        box->setEditable(type == QLatin1String("Combo"));
        if (box->isEditable()) {
            box->setMaxVisibleItems(3);
            box->completer()->setCompletionMode(QCompleter::InlineCompletion);
        }
        return box;
    }
    void setEditorData(QWidget* editor, const QModelIndex& index) const override {
        if (auto* box = qobject_cast<QComboBox*>(editor)) {
            const QString value = index.data(Qt::EditRole).toString();
            const int found = box->findText(value);
            if (found >= 0) box->setCurrentIndex(found);
            else if (box->isEditable()) box->setEditText(value);
            return;
        }
        QStyledItemDelegate::setEditorData(editor, index);
    }
    void setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const override {
        if (auto* box = qobject_cast<QComboBox*>(editor)) {
            model->setData(index, box->currentText(), Qt::EditRole);
            return;
        }
        QStyledItemDelegate::setModelData(editor, model, index);
    }
};

// --- The sheet ----------------------------------------------------------------------------------

QVTidyActionEditor::QVTidyActionEditor(QWidget* window) : QDialog(window) {
    setObjectName(QStringLiteral("TidyActionEditor"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowModality(window ? Qt::WindowModal : Qt::ApplicationModal);
    setWindowTitle(localized("HTML Tidy Operation"));
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    _titleField = new QLineEdit(this);
    _descriptionField = new QLineEdit(this);
    form->addRow(localized("Name:"), _titleField);
    form->addRow(localized("Description:"), _descriptionField);
    layout->addLayout(form);

    auto* splitter = new QSplitter(this);
    auto* optionsPane = new QWidget(splitter);
    auto* optionsLayout = new QVBoxLayout(optionsPane);
    optionsLayout->setContentsMargins(0, 0, 0, 0);
    optionsLayout->addWidget(new QLabel(localized("Options (drag them here from the library; Delete removes one):"), optionsPane));
    _actionsModel = new ActionsModel(this);
    _tableView = new QVDeletableTableView(optionsPane);
    _tableView->setModel(_actionsModel);
    _tableView->setItemDelegateForColumn(1, new ValueDelegate(_tableView));
    _tableView->setSelectionBehavior(QAbstractItemView::SelectRows);
    _tableView->setSelectionMode(QAbstractItemView::SingleSelection);
    _tableView->setDragDropMode(QAbstractItemView::DropOnly);
    _tableView->setAcceptDrops(true);
    _tableView->setDropIndicatorShown(true);
    _tableView->verticalHeader()->hide();
    _tableView->verticalHeader()->setDefaultSectionSize(_tableView->fontMetrics().height() + 12);
    _tableView->horizontalHeader()->setStretchLastSection(true);
    _tableView->setColumnWidth(0, 200);
    _tableView->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::SelectedClicked | QAbstractItemView::EditKeyPressed);
    _tableView->setDeleteSelectedHandler([this](QVDeletableTableView*) { deleteSelected(); });
    optionsLayout->addWidget(_tableView);

    auto* libraryPane = new QWidget(splitter);
    auto* libraryLayout = new QVBoxLayout(libraryPane);
    libraryLayout->setContentsMargins(0, 0, 0, 0);
    auto* filterRow = new QHBoxLayout;
    _categoryPopUp = new QComboBox(libraryPane);
    const QVTidyOptionLibrary& library = QVTidyOptionLibrary::shared();
    _categoryPopUp->addItem(localized("All"));
    _categoryPopUp->addItems(library.categories());
    _searchField = new QLineEdit(libraryPane);
    _searchField->setPlaceholderText(localized("Search"));
    _searchField->setClearButtonEnabled(true);
    filterRow->addWidget(_categoryPopUp);
    filterRow->addWidget(_searchField, 1);
    libraryLayout->addLayout(filterRow);
    _libraryModel = new LibraryModel(this);
    _libraryView = new QTableView(libraryPane);
    _libraryView->setModel(_libraryModel);
    _libraryView->setSelectionBehavior(QAbstractItemView::SelectRows);
    _libraryView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    _libraryView->setDragEnabled(true);
    _libraryView->setDragDropMode(QAbstractItemView::DragOnly);
    _libraryView->verticalHeader()->hide();
    _libraryView->horizontalHeader()->setStretchLastSection(true);
    _libraryView->setColumnWidth(0, 190);
    _libraryView->setWordWrap(false);
    _libraryView->verticalHeader()->setDefaultSectionSize(_libraryView->fontMetrics().height() + 6);
    libraryLayout->addWidget(_libraryView, 1);
    // What the chosen option does, whole (the table shows the start of it).
    auto* about = new QLabel(libraryPane);
    about->setWordWrap(true);
    about->setTextInteractionFlags(Qt::TextSelectableByMouse);
    about->setMinimumHeight(about->fontMetrics().height() * 4);
    about->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    libraryLayout->addWidget(about);
    connect(_libraryView->selectionModel(), &QItemSelectionModel::currentRowChanged, about, [about](const QModelIndex& index) {
        const QVariantMap definition = index.data(DefinitionRole).toMap();
        QString text = definition.value(QStringLiteral("action")).toString();
        const QStringList values = definition.value(QStringLiteral("values")).toStringList();
        if (!values.isEmpty()) text += QStringLiteral("\n") + localized("Values:") + QLatin1Char(' ') + values.join(QStringLiteral(", "));
        about->setText(text);
    });
    if (library.count() == 0) {
        auto* missing = new QLabel(library.error().localizedDescription() + QLatin1Char(' ') +
                                       library.error().localizedRecoverySuggestion(), libraryPane);
        missing->setWordWrap(true);
        libraryLayout->addWidget(missing);
    }
    splitter->addWidget(optionsPane);
    splitter->addWidget(libraryPane);
    splitter->setStretchFactor(0, 1);
    splitter->setStretchFactor(1, 1);
    layout->addWidget(splitter, 1);

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* cancel = buttons->addButton(localized("Cancel"), QDialogButtonBox::RejectRole);
    _okButton = buttons->addButton(localized("OK"), QDialogButtonBox::AcceptRole);
    _okButton->setDefault(true);
    layout->addWidget(buttons);

    connect(cancel, &QPushButton::clicked, this, [this] { close(0); });
    connect(_okButton, &QPushButton::clicked, this, [this] { close(1); });
    connect(_categoryPopUp, &QComboBox::currentIndexChanged, this, &QVTidyActionEditor::chooseCategory);
    connect(_searchField, &QLineEdit::textChanged, this, &QVTidyActionEditor::search);
    connect(_libraryView, &QTableView::doubleClicked, this, [this](const QModelIndex& index) {
        insertActionFromLibraryDictionary(_libraryModel->definitions().at(index.row()), -1);
    });
    connect(_titleField, &QLineEdit::textChanged, this, [this](const QString& text) {
        if (_operation) _operation->setTitle(text.trimmed());
        updateOK();
    });
    connect(_descriptionField, &QLineEdit::textChanged, this, [this](const QString& text) {
        if (_operation) _operation->setDescription(text.trimmed());
    });
    connect(_actionsModel, &QAbstractItemModel::modelReset, this, &QVTidyActionEditor::updateOK);
    chooseCategory(0);
    resize(900, 520);
}

void QVTidyActionEditor::displayOnWindow(const std::shared_ptr<QVTidyOperation>& operation, Delegate delegate) {
    _delegate = std::move(delegate);
    // A deep copy: Cancel leaves the listed operation, values included, as it was.
    _operation = operation ? std::static_pointer_cast<QVTidyOperation>(operation->copy()) : std::make_shared<QVTidyOperation>();
    _titleField->setText(_operation->title());
    _descriptionField->setText(_operation->description());
    _actionsModel->setOperation(_operation);
    updateOK();
    open();
}

void QVTidyActionEditor::close(int tag) {
    if (tag == 1 && _delegate) {
        // A value still being typed counts: leaving its field hands it to the table.
        if (QWidget* focus = QApplication::focusWidget(); focus && _tableView->isAncestorOf(focus)) _tableView->setFocus();
        QVError error;
        if (!_delegate(1, _operation, &error)) {
            auto* box = new QMessageBox(QMessageBox::Warning, error.localizedDescription(), error.localizedDescription(),
                                        QMessageBox::Ok, this);
            box->setObjectName(QStringLiteral("TidyOperationNotSaved"));
            QVSetAlertDetails(box, error.localizedRecoverySuggestion());
            box->setAttribute(Qt::WA_DeleteOnClose);
            box->open();
            return;
        }
    } else if (_delegate) {
        _delegate(tag, _operation, nullptr);
    }
    done(tag == 1 ? QDialog::Accepted : QDialog::Rejected);
}

void QVTidyActionEditor::insertActionFromLibraryDictionary(const QVariantMap& definition, int index) {
    if (!_operation) return;
    QVTidyAction action;
    if (definition.contains(QStringLiteral("flag"))) action.action = definition.value(QStringLiteral("flag")).toString();
    if (definition.contains(QStringLiteral("default"))) action.value = definition.value(QStringLiteral("default"));
    if (action.value.typeId() != QMetaType::Bool) action.value = action.value.toString();
    _operation->insertAction(action, index);
    _actionsModel->reload();
}

void QVTidyActionEditor::deleteSelected() {
    const QModelIndexList rows = _tableView->selectionModel() ? _tableView->selectionModel()->selectedRows() : QModelIndexList();
    if (rows.isEmpty() || !_operation) return;
    _operation->removeActionAt(rows.first().row());
    _actionsModel->reload();
}

void QVTidyActionEditor::chooseCategory(int index) {
    const QVTidyOptionLibrary& library = QVTidyOptionLibrary::shared();
    const QString category = index <= 0 ? QString() : _categoryPopUp->itemText(index);
    _libraryModel->setDefinitions(QVTidyOptionLibrary::filtered(library.definitions(category), _searchField->text()));
}

void QVTidyActionEditor::search(const QString&) { chooseCategory(_categoryPopUp->currentIndex()); }

QList<QVariantMap> QVTidyActionEditor::arrangedLibrary() const { return _libraryModel->definitions(); }

QString QVTidyActionEditor::valueTypeForOption(const QString& option) {
    const QString type = QVTidyOptionLibrary::shared().definitionForFlag(option).value(QStringLiteral("type")).toString();
    return type == QLatin1String("Enum") || type == QLatin1String("Boolean") || type == QLatin1String("Combo") ? type : QStringLiteral("String");
}

void QVTidyActionEditor::updateOK() { _okButton->setEnabled(_operation && _operation->isValid()); }
