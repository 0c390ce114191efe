// The languages pane.
#include "preferences/QVLanguagesPrefPane.h"

#include "languages/QVBundle.h"
#include "languages/QVBundleRepository.h"
#include "platform/AppBundle.h"
#include "platform/NotificationCenter.h"
#include "preferences/QVLanguageEditors.h"
#include "preferences/QVPrefAlerts.h"
#include "shell/WorkspaceUtilities.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStackedLayout>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

QString localized(const char* text) { return QVLocalized(QString::fromUtf8(text)); }
const char* const PropertyTitles[] = {"Completion", "Navigation", "Syntax"};

}  // namespace

QVLanguagesPrefPane::~QVLanguagesPrefPane() = default;

QIcon QVLanguagesPrefPane::makeIcon() {
    return QIcon(QPixmap::fromImage(WorkspaceUtilities::iconWithHFSType(WorkspaceUtilities::GenericFolderType, QSize(32, 32))));
}

QWidget* QVLanguagesPrefPane::loadView() {
    auto* view = new QWidget;
    view->setObjectName(QStringLiteral("LanguagesPrefPane"));
    auto* layout = new QHBoxLayout(view);
    auto* left = new QVBoxLayout;
    _outline = new QTreeWidget(view);
    _outline->setObjectName(QStringLiteral("outlineView"));
    _outline->setHeaderHidden(true);
    _outline->setMinimumWidth(200);
    connect(_outline, &QTreeWidget::itemSelectionChanged, this, &QVLanguagesPrefPane::selectionChanged);
    left->addWidget(_outline, 1);
    auto* buttons = new QHBoxLayout;
    auto* add = new QPushButton(QStringLiteral("+"), view);
    add->setObjectName(QStringLiteral("addBundle"));
    _removeButton = new QPushButton(QStringLiteral("\u2212"), view);
    _removeButton->setObjectName(QStringLiteral("removeBundle"));
    _removeButton->setEnabled(false);
    connect(add, &QPushButton::clicked, this, &QVLanguagesPrefPane::openAddBundleSheet);
    connect(_removeButton, &QPushButton::clicked, this, [this] {
        if (!removeBundle()) QApplication::beep();
    });
    buttons->addWidget(add);
    buttons->addWidget(_removeButton);
    buttons->addStretch();
    left->addLayout(buttons);
    layout->addLayout(left);
    _editBox = new QWidget(view);
    _editBox->setObjectName(QStringLiteral("editBox"));
    _editBox->setMinimumSize(460, 380);
    _editLayout = new QStackedLayout(_editBox);
    _placeholder = new QLabel(localized("No Selection"), _editBox);
    _placeholder->setObjectName(QStringLiteral("selectionState"));
    _placeholder->setAlignment(Qt::AlignCenter);
    _editLayout->addWidget(_placeholder);
    layout->addWidget(_editBox, 1);
    setFirstResponder(_outline);
    return view;
}

bool QVLanguagesPrefPane::allowSelect() {
    if (!_loaded) {
        _loaded = true;
        _bundles = QVBundleRepository::sharedRepository().bundles([](const QVBundle& a, const QVBundle& b) { return a.compareTitle(b); });
    }
    const bool allowed = QVPrefPane::allowSelect();
    if (allowed) reloadOutline();
    return allowed;
}

void QVLanguagesPrefPane::reloadOutline() {
    if (!_outline) return;
    const QSignalBlocker blocker(_outline);
    _outline->clear();
    for (const std::shared_ptr<QVBundle>& bundle : std::as_const(_bundles)) {
        if (bundle->hideInList()) continue;
        auto* item = new QTreeWidgetItem(_outline, {bundle->title()});
        item->setData(0, Qt::UserRole, QVariant::fromValue(static_cast<void*>(bundle.get())));
        for (const char* title : PropertyTitles) new QTreeWidgetItem(item, {localized(title)});
    }
}

void QVLanguagesPrefPane::selectRow(const std::shared_ptr<QVBundle>& bundle, int property) {
    if (!_outline) return;
    for (int i = 0; i < _outline->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = _outline->topLevelItem(i);
        if (item->data(0, Qt::UserRole).value<void*>() != bundle.get()) continue;
        QTreeWidgetItem* target = property < 0 ? item : item->child(property);
        if (property >= 0) item->setExpanded(true);
        _outline->clearSelection();
        _outline->setCurrentItem(target);
        target->setSelected(true);
        return;
    }
}

void QVLanguagesPrefPane::selectionChanged() {
    const QList<QTreeWidgetItem*> selected = _outline->selectedItems();
    if (selected.isEmpty()) {
        _removeButton->setEnabled(false);
        return editBundle(nullptr, -2);
    }
    QTreeWidgetItem* item = selected.first();
    QTreeWidgetItem* bundleItem = item->parent() ? item->parent() : item;
    std::shared_ptr<QVBundle> bundle;
    for (const auto& candidate : std::as_const(_bundles))
        if (candidate.get() == bundleItem->data(0, Qt::UserRole).value<void*>()) bundle = candidate;
    _removeButton->setEnabled(!item->parent());
    editBundle(bundle, item->parent() ? item->parent()->indexOfChild(item) : -1);
}

void QVLanguagesPrefPane::showPlaceholder(const QString& state) {
    _placeholder->setText(state);
    _editLayout->setCurrentWidget(_placeholder);
}

QString QVLanguagesPrefPane::selectionState() const {
    if (_editLayout && _editLayout->currentWidget() != _placeholder) return {};
    return _placeholder ? _placeholder->text() : QString();
}

void QVLanguagesPrefPane::editBundle(const std::shared_ptr<QVBundle>& bundle, int property) {
    // The editor on show hands its edits to its bundle first.
    if (_currentPane) {
        _currentPane->unselect();
        if (QWidget* view = _currentPane->mainView()) {
            _editLayout->removeWidget(view);
            view->setParent(nullptr);
        }
        _currentPane.reset();
    }
    if (!bundle || property < -1) return showPlaceholder(bundle ? localized("No Editor") : localized("No Selection"));
    bool offerPicker = false;
    std::unique_ptr<QVLanguagePane> editor =
        property < 0 ? std::make_unique<QVBundleLangPane>(bundle, this)
                     : makeLanguageEditor(static_cast<QVLanguageProperty>(property), bundle, this, &offerPicker);
    if (!editor && offerPicker) {
        showPlaceholder(localized("No Editor"));
        delete _picker;
        _picker = new QVNoEditorWindowController(property == 0 ? QVNoEditorWindowController::Kind::CodeCompletion
                                                               : QVNoEditorWindowController::Kind::Syntax,
                                                 bundle, mainView());
        connect(_picker, &QDialog::finished, this, [this](int result) { noEditorControllerDidEnd(result == QDialog::Accepted); });
        _picker->setWindowModality(Qt::WindowModal);
        _picker->open();
        return;
    }
    if (!editor || !editor->allowSelect()) return showPlaceholder(localized("No Editor"));
    _currentPane = std::move(editor);
    _editLayout->addWidget(_currentPane->mainView());
    _editLayout->setCurrentWidget(_currentPane->mainView());
    _currentPane->select();
}

void QVLanguagesPrefPane::noEditorControllerDidEnd(bool confirmed) {
    QVNoEditorWindowController* picker = std::exchange(_picker, nullptr);
    if (!picker) return;
    picker->hide();
    picker->deleteLater();
    if (confirmed && picker->create()) {
        bundleDidChange(picker->bundle());
        selectionChanged();
        return;
    }
    _outline->clearSelection();
}

bool QVLanguagesPrefPane::addBundle(const QString& title, const QString& parserIdentifier) {
    const QString name = title.trimmed();
    if (name.isEmpty()) {
        QApplication::beep();
        return false;
    }
    const auto bundle = QVBundleRepository::sharedRepository().addBundleWithTitle(name, parserIdentifier.trimmed());
    if (!bundle) {
        QApplication::beep();
        return false;
    }
    bundleDidChange(bundle);
    _bundles = QVBundleRepository::sharedRepository().bundles([](const QVBundle& a, const QVBundle& b) { return a.compareTitle(b); });
    reloadOutline();
    return true;
}

void QVLanguagesPrefPane::openAddBundleSheet() {
    auto* sheet = new QDialog(mainView());
    sheet->setObjectName(QStringLiteral("addBundlePanel"));
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    auto* form = new QFormLayout(sheet);
    auto* title = new QLineEdit(sheet);
    title->setObjectName(QStringLiteral("bundleTitle"));
    auto* identifier = new QLineEdit(sheet);
    identifier->setObjectName(QStringLiteral("bundleIdentifier"));
    form->addRow(localized("Title:"), title);
    form->addRow(localized("Identifier:"), identifier);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, sheet);
    form->addRow(buttons);
    // A refused bundle keeps the sheet and what was typed.
    connect(buttons, &QDialogButtonBox::accepted, sheet, [this, sheet, title, identifier] {
        if (addBundle(title->text(), identifier->text())) sheet->accept();
    });
    connect(buttons, &QDialogButtonBox::rejected, sheet, &QDialog::reject);
    sheet->setWindowModality(Qt::WindowModal);
    sheet->open();
}

bool QVLanguagesPrefPane::removeBundle() {
    const QList<QTreeWidgetItem*> selected = _outline ? _outline->selectedItems() : QList<QTreeWidgetItem*>();
    if (selected.isEmpty() || selected.first()->parent()) return false;
    std::shared_ptr<QVBundle> bundle;
    for (const auto& candidate : std::as_const(_bundles))
        if (candidate.get() == selected.first()->data(0, Qt::UserRole).value<void*>()) bundle = candidate;
    if (!bundle) return false;
    // The editor of the bundle goes first, so nothing edits a bundle no longer listed.
    _outline->clearSelection();
    if (!QVBundleRepository::sharedRepository().removeBundle(bundle)) return false;
    _changedBundles.erase(bundle);
    _bundles = QVBundleRepository::sharedRepository().bundles([](const QVBundle& a, const QVBundle& b) { return a.compareTitle(b); });
    reloadOutline();
    return true;
}

void QVLanguagesPrefPane::bundleDidChange(const std::shared_ptr<QVBundle>& bundle) {
    if (bundle) _changedBundles.insert(bundle);
}

void QVLanguagesPrefPane::sendNotificationOnEnd(const QString& name) { _endNotificationNames.insert(name); }

void QVLanguagesPrefPane::startSession() {
    QVPrefPane::startSession();
    // Bundles whose save failed stay, to be tried again.
    _endNotificationNames.clear();
    if (_currentPane) _currentPane->select();
}

void QVLanguagesPrefPane::endSession() {
    if (_picker) {
        _picker->reject();  // a picker left open creates nothing
    }
    if (_currentPane) _currentPane->unselect();
    std::set<std::shared_ptr<QVBundle>> failed;
    for (const std::shared_ptr<QVBundle>& bundle : _changedBundles) {
        QVError error;
        if (!bundle->commit(&error)) {
            failed.insert(bundle);
            QVPrefAlerts::showError(mainView(), error);
        }
    }
    _changedBundles = failed;
    for (const QString& name : std::as_const(_endNotificationNames)) NotificationCenter::defaultCenter().post(name);
    _endNotificationNames.clear();
}
