// The files pane.
#include "preferences/QVFilesPrefPane.h"

#include "platform/AppBundle.h"
#include "platform/MainQueue.h"
#include "platform/PropertyList.h"
#include "platform/UserDefaults.h"
#include "preferences/QVPrefAlerts.h"
#include "shell/Defaults.h"
#include "shell/QVFileCategory.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

QString localized(const char* text) { return QVLocalized(QString::fromUtf8(text)); }

}  // namespace

QVFilesPrefPane::QVFilesPrefPane(const QString& displayName) : QVPrefPane(displayName) {
    _observer = NotificationCenter::defaultCenter().addObserver(
        QString::fromLatin1(QVFileCategoriesChangedNotification), nullptr, [this](const Notification&) {
            QPointer<QVFilesPrefPane> self(this);
            MainQueue::post([self] {
                if (self) self->reloadCategories();
            });
        });
}

QVFilesPrefPane::~QVFilesPrefPane() { NotificationCenter::defaultCenter().removeObserver(_observer); }

QWidget* QVFilesPrefPane::loadView() {
    _categories = QVFileCategories::sharedCategories();
    auto* view = new QWidget;
    view->setObjectName(QStringLiteral("FilesPrefPane"));
    auto* layout = new QVBoxLayout(view);
    auto* grid = new QGridLayout;
    auto makeColumn = [&](QVFileCategoryKind kind, const char* title, QTreeWidget*& outline, QPushButton*& remove, int column) {
        grid->addWidget(new QLabel(localized(title), view), 0, column);
        outline = new QTreeWidget(view);
        outline->setObjectName(kind == QVFileCategoryKindText ? QStringLiteral("textOutline") : QStringLiteral("imageOutline"));
        outline->setHeaderHidden(true);
        outline->setMinimumSize(200, 240);
        outline->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed);
        grid->addWidget(outline, 1, column);
        auto* buttons = new QHBoxLayout;
        auto* add = new QPushButton(QStringLiteral("+"), view);
        add->setObjectName(kind == QVFileCategoryKindText ? QStringLiteral("addText") : QStringLiteral("addImage"));
        remove = new QPushButton(QStringLiteral("\u2212"), view);
        remove->setObjectName(kind == QVFileCategoryKindText ? QStringLiteral("removeText") : QStringLiteral("removeImage"));
        buttons->addWidget(add);
        buttons->addWidget(remove);
        buttons->addStretch();
        grid->addLayout(buttons, 2, column);
        connect(add, &QPushButton::clicked, this, [this, kind] { addItem(kind); });
        connect(remove, &QPushButton::clicked, this, [this, kind] { removeItem(kind); });
        connect(outline, &QTreeWidget::itemSelectionChanged, this, &QVFilesPrefPane::updateButtons);
        connect(outline, &QTreeWidget::itemChanged, this, [this, kind](QTreeWidgetItem* item) { itemRenamed(item, kind); });
    };
    makeColumn(QVFileCategoryKindText, "Text files:", _textOutline, _removeText, 0);
    makeColumn(QVFileCategoryKindImage, "Image files:", _imageOutline, _removeImage, 1);
    grid->addWidget(new QLabel(localized("Ignored extensions:"), view), 0, 2);
    _ignoreTable = new QListWidget(view);
    _ignoreTable->setObjectName(QStringLiteral("ignoreTable"));
    _ignoreTable->setMinimumWidth(140);
    grid->addWidget(_ignoreTable, 1, 2);
    _removeIgnore = new QPushButton(QStringLiteral("\u2212"), view);
    _removeIgnore->setObjectName(QStringLiteral("removeIgnoreType"));
    grid->addWidget(_removeIgnore, 2, 2, Qt::AlignLeft);
    connect(_removeIgnore, &QPushButton::clicked, this, &QVFilesPrefPane::removeIgnoreType);
    connect(_ignoreTable, &QListWidget::itemSelectionChanged, this, &QVFilesPrefPane::updateButtons);
    layout->addLayout(grid);

    auto* form = new QFormLayout;
    _encodings = new QComboBox(view);
    _encodings->setObjectName(QStringLiteral("encodingsPopUp"));
    const QString current = Defaults::textEncoding();
    int selected = 0;
    const QVariantList list = PropertyList::readFile(Defaults::pathForResource(QStringLiteral("charsets"), QStringLiteral("plist"))).toList();
    for (const QVariant& entry : list) {
        if (entry.typeId() == QMetaType::QString) {
            _encodings->insertSeparator(_encodings->count());
            continue;
        }
        const QVariantMap encoding = entry.toMap();
        const QString shortName = encoding.value(QStringLiteral("short")).toString();
        if (shortName.isEmpty()) continue;
        if (shortName == current) selected = _encodings->count();
        _encodings->addItem(QStringLiteral("%1 (%2)").arg(encoding.value(QStringLiteral("full")).toString(), shortName), shortName);
    }
    if (_encodings->count() > 0) _encodings->setCurrentIndex(selected);
    connect(_encodings, &QComboBox::activated, this, &QVFilesPrefPane::changeEncoding);
    form->addRow(localized("Default encoding:"), _encodings);
    auto* autosaveBox = new QCheckBox(localized("Save documents automatically"), view);
    autosaveBox->setObjectName(QString::fromLatin1(QVAutoSave));
    autosaveBox->setChecked(autosave());
    connect(autosaveBox, &QCheckBox::toggled, this, &QVFilesPrefPane::setAutosave);
    form->addRow(QString(), autosaveBox);
    layout->addLayout(form);
    setFirstResponder(_textOutline);
    reloadCategories();
    return view;
}

bool QVFilesPrefPane::allowSelect() {
    const bool allowed = QVPrefPane::allowSelect();
    if (allowed) reloadCategories();
    return allowed;
}

void QVFilesPrefPane::startSession() {
    QVPrefPane::startSession();
    _categories = QVFileCategories::sharedCategories();
    reloadCategories();
}

void QVFilesPrefPane::endSession() {
    if (!didChange() && !_unsaved) return;
    QVError error;
    _unsaved = !_categories->commit(&error);
    if (_unsaved) QVPrefAlerts::showError(mainView(), error);
}

std::shared_ptr<QVFileCategory> QVFilesPrefPane::categoryOf(QTreeWidgetItem* item) const {
    if (!item) return nullptr;
    return _itemCategories.value(item->parent() ? item->parent() : item);
}

void QVFilesPrefPane::reloadCategories() {
    if (!_textOutline) return;
    reloadOutline(QVFileCategoryKindText);
    reloadOutline(QVFileCategoryKindImage);
    reloadIgnoreTable();
}

void QVFilesPrefPane::reloadOutline(QVFileCategoryKind kind) {
    QTreeWidget* tree = outline(kind);
    if (!tree || !_categories) return;
    // Expansion survives a reload, by category.
    QSet<QVFileCategory*> expanded;
    for (int i = 0; i < tree->topLevelItemCount(); ++i)
        if (tree->topLevelItem(i)->isExpanded()) expanded.insert(_itemCategories.value(tree->topLevelItem(i)).get());
    for (int i = 0; i < tree->topLevelItemCount(); ++i) _itemCategories.remove(tree->topLevelItem(i));
    const QSignalBlocker blocker(tree);
    tree->clear();
    const auto categories = kind == QVFileCategoryKindImage ? _categories->imageCategories() : _categories->textCategories();
    for (const std::shared_ptr<QVFileCategory>& category : categories) {
        auto* item = new QTreeWidgetItem(tree, {category->title()});
        item->setFlags(item->flags() | Qt::ItemIsEditable);
        _itemCategories.insert(item, category);
        for (const QString& type : category->typeTitles()) {
            auto* child = new QTreeWidgetItem(item, {type});
            child->setFlags(child->flags() | Qt::ItemIsEditable);
        }
        if (expanded.contains(category.get())) item->setExpanded(true);
    }
    updateButtons();
}

void QVFilesPrefPane::reloadIgnoreTable() {
    if (!_ignoreTable || !_categories) return;
    _ignoreTable->clear();
    _ignoreTable->addItems(_categories->ignoreTypes());
    updateButtons();
}

void QVFilesPrefPane::updateButtons() {
    if (_removeText) _removeText->setEnabled(!_textOutline->selectedItems().isEmpty());
    if (_removeImage) _removeImage->setEnabled(!_imageOutline->selectedItems().isEmpty());
    if (_removeIgnore) _removeIgnore->setEnabled(!_ignoreTable->selectedItems().isEmpty());
}

void QVFilesPrefPane::addItem(QVFileCategoryKind kind) {
    QTreeWidget* tree = outline(kind);
    if (!tree || !_categories) return;
    QTreeWidgetItem* selected = tree->selectedItems().isEmpty() ? nullptr : tree->selectedItems().first();
    std::shared_ptr<QVFileCategory> category;
    QString newTitle;
    int newIndex = -1;
    if (selected && (selected->parent() || selected->isExpanded())) {
        category = categoryOf(selected);
        newTitle = localized("New Type");
        category->addType(newTitle);
        _unnamedType = category;
        const QStringList titles = category->typeTitles();
        // The model put it in sorted place; the last entry of that title is the new one.
        newIndex = int(titles.lastIndexOf(newTitle));
    } else {
        // A name of its own ("New Category 2" beside "New Category"), or the two would merge.
        QString title = localized("New Category");
        for (int n = 2; _categories->categoryForTitle(title); ++n) title = localized("New Category") + QStringLiteral(" %1").arg(n);
        category = _categories->addCategoryWithTitle(title, kind);
    }
    if (!category) return;
    setDidChange(true);
    reloadOutline(kind);
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = tree->topLevelItem(i);
        if (_itemCategories.value(item) != category) continue;
        QTreeWidgetItem* target = item;
        if (newIndex >= 0) {
            item->setExpanded(true);
            target = item->child(newIndex);
        }
        tree->clearSelection();
        tree->setCurrentItem(target);
        target->setSelected(true);
        tree->scrollToItem(target);
    }
}

void QVFilesPrefPane::removeItem(QVFileCategoryKind kind) {
    QTreeWidget* tree = outline(kind);
    if (!tree || tree->selectedItems().isEmpty()) return;
    QTreeWidgetItem* selected = tree->selectedItems().first();
    const std::shared_ptr<QVFileCategory> category = categoryOf(selected);
    if (!category) return;
    if (selected->parent()) category->removeObjectFromTypesAtIndex(selected->parent()->indexOfChild(selected));
    else _categories->removeCategory(category, kind);
    setDidChange(true);
    reloadOutline(kind);
}

void QVFilesPrefPane::itemRenamed(QTreeWidgetItem* item, QVFileCategoryKind kind) {
    const std::shared_ptr<QVFileCategory> category = categoryOf(item);
    QString text = item->text(0).trimmed();
    if (!category) return;
    // An extension is what follows the name's last dot: ".pyc" typed is "pyc", which files match.
    if (item->parent())
        while (text.startsWith(u'.')) text.remove(0, 1);
    const auto refuse = [this, kind, item, category] {
        // A type just added whose first name is refused goes: its placeholder is no extension.
        if (item->parent() && _unnamedType.lock() == category) {
            const int index = item->parent()->indexOfChild(item);
            if (category->typeTitles().value(index) == localized("New Type")) category->removeObjectFromTypesAtIndex(index);
        }
        _unnamedType.reset();
        QMetaObject::invokeMethod(this, [this, kind] { reloadOutline(kind); }, Qt::QueuedConnection);
    };
    // An empty name is not taken: the old one comes back.
    if (text.isEmpty()) return refuse();
    // Categories are found by name, whatever its case, and two of one name become one when
    // written: a name another category has is refused.
    if (const auto other = item->parent() ? nullptr : _categories->categoryForTitle(text); other && other != category) {
        QVPrefAlerts::showError(mainView(), QVError::app(0, localized("The name \u201c%1\u201d is taken by another category.").arg(text),
                                                         localized("Each category needs a name of its own; \u201c%1\u201d keeps its name.")
                                                             .arg(category->title())));
        return refuse();
    }
    // An ignored extension is never looked up in a category: taken in, it would never take effect.
    // Compared in one case, as the file filters compare names.
    if (item->parent() && _categories->ignoreTypes().contains(text, Qt::CaseInsensitive)) {
        QVPrefAlerts::showError(mainView(),
                                QVError::app(0, localized("The extension “%1” is in the list of ignored extensions.").arg(text),
                                             localized("Files with an ignored extension open in no category; remove “%1” from "
                                                       "“Ignored extensions” first.").arg(text)));
        return refuse();
    }
    // An extension opens with one category only: a second claim would leave which one to chance.
    if (item->parent()) {
        for (const auto& other : _categories->textCategories() + _categories->imageCategories()) {
            if (other == category || !other->typeTitles().contains(text, Qt::CaseInsensitive)) continue;
            QVPrefAlerts::showError(mainView(),
                                    QVError::app(0, localized("The extension \u201c%1\u201d belongs to \u201c%2\u201d already.").arg(text, other->title()),
                                                 localized("An extension can be in one category only; remove it from \u201c%1\u201d first.").arg(other->title())));
            return refuse();
        }
    }
    _unnamedType.reset();
    if (item->parent()) category->replaceObjectInTypesAtIndex(item->parent()->indexOfChild(item), text);
    else category->setTitle(text);
    // The outline shows the extension as taken, without the dot typed.
    if (item->text(0).trimmed() != text) QMetaObject::invokeMethod(this, [this, kind] { reloadOutline(kind); }, Qt::QueuedConnection);
    setDidChange(true);
}

void QVFilesPrefPane::removeIgnoreType() {
    if (!_ignoreTable || _ignoreTable->selectedItems().isEmpty()) return;
    _categories->removeIgnorableType(_ignoreTable->selectedItems().first()->text());
    setDidChange(true);
    reloadIgnoreTable();
}

void QVFilesPrefPane::changeEncoding(int index) {
    if (!_encodings || index < 0) return;
    const QString name = _encodings->itemData(index).toString();
    if (!name.isEmpty()) UserDefaults::standard().setString(name, QString::fromLatin1(QVTextEncoding));
}

bool QVFilesPrefPane::autosave() const { return UserDefaults::standard().integerForKey(QString::fromLatin1(QVAutoSave)) > 0; }

void QVFilesPrefPane::setAutosave(bool on) {
    if (on != autosave()) UserDefaults::standard().setInteger(on ? 60 : 0, QString::fromLatin1(QVAutoSave));
}
