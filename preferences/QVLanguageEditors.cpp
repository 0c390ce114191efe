// The bundle and syntax editors, and the choice of an editor for a property row.
#include "preferences/QVLanguageEditors.h"

#include "completion/QVKeywordCodeCompletion.h"
#include "completion/QVTagCodeCompletion.h"
#include "editor/QVEditorNotifications.h"
#include "preferences/QVCompletionLangPanes.h"
#include "languages/QVBundle.h"
#include "languages/QVBundleRepository.h"
#include "languages/QVKeywordBasedParser.h"
#include "languages/QVTagBasedParser.h"
#include "languages/QVTheme.h"
#include "languages/QVThemeRepository.h"
#include "platform/AppBundle.h"
#include "platform/QVRegex.h"
#include "preferences/QVCodeNavLangPane.h"
#include "shell/QVFileCategories.h"
#include "shell/QVFileCategory.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStandardItemModel>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QTreeView>
#include <QVBoxLayout>

#include <typeinfo>

namespace {

// Whether the object is of exactly the class T (not a subclass).
template <class T, class Pointer>
bool isExactly(const Pointer& pointer) {
    const auto* object = pointer.get();
    return object && typeid(*object) == typeid(T);
}

QString localized(const char* text) { return QVLocalized(QString::fromUtf8(text)); }
const QString TitleKey = QStringLiteral("title");
const QString KeywordsKey = QStringLiteral("keywords");
const char* const TagParts[] = {"tags", "attributes", "quotes", "comments"};

// Offers the current theme's style identifiers, and takes any other typed.
class StyleDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem&, const QModelIndex&) const override {
        auto* box = new QComboBox(parent);
        box->setEditable(true);
        if (const auto theme = QVThemeRepository::sharedRepository().currentTheme()) {
            QStringList identifiers = theme->styleIdentifiers();
            identifiers.sort();
            box->addItems(identifiers);
        }
        return box;
    }
    void setEditorData(QWidget* editor, const QModelIndex& index) const override {
        static_cast<QComboBox*>(editor)->setCurrentText(index.data().toString());
    }
    void setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const override {
        model->setData(index, static_cast<QComboBox*>(editor)->currentText().trimmed());
    }
};

}  // namespace

// --- Bundle ------------------------------------------------------------------------------------------

QWidget* QVBundleLangPane::loadView() {
    _fileCategories = bundle()->fileCategories();
    auto* view = new QWidget;
    view->setObjectName(QStringLiteral("LanguageBundleEditor"));
    auto* layout = new QVBoxLayout(view);
    layout->addWidget(new QLabel(localized("Files of the checked categories open as %1:").arg(bundle()->title()), view));
    _list = new QListWidget(view);
    _list->setObjectName(QStringLiteral("fileCategories"));
    QStringList titles;
    for (const auto& category : QVFileCategories::sharedCategories()->textCategories()) titles << category->title();
    for (const QString& title : std::as_const(titles)) {
        auto* item = new QListWidgetItem(title, _list);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        item->setCheckState(_fileCategories.contains(title, Qt::CaseInsensitive) ? Qt::Checked : Qt::Unchecked);
    }
    connect(_list, &QListWidget::itemChanged, this,
            [this](QListWidgetItem* item) { setCategoryClaimed(item->text(), item->checkState() == Qt::Checked); });
    layout->addWidget(_list, 1);
    setFirstResponder(_list);
    return view;
}

void QVBundleLangPane::setCategoryClaimed(const QString& title, bool claimed) {
    const bool has = _fileCategories.contains(title, Qt::CaseInsensitive);
    if (claimed == has) return;
    if (claimed) _fileCategories << title;
    else _fileCategories.removeIf([&](const QString& t) { return t.compare(title, Qt::CaseInsensitive) == 0; });
    setDidChange(true);
}

void QVBundleLangPane::unselect() {
    QVLanguagePane::unselect();
    if (!didChange()) return;
    setDidChange(false);
    QStringList kept;
    for (const QString& title : std::as_const(_fileCategories))
        if (const auto category = QVFileCategories::sharedCategories()->categoryForTitle(title)) kept << category->title();
    bundle()->setFileCategories(kept);
    QVBundleRepository::sharedRepository().refreshBundleFileTypes();
    delegate()->bundleDidChange(bundle());
    delegate()->sendNotificationOnEnd(QString::fromLatin1(QVBundleFileCategoriesChanged));
}

// --- Syntax base -------------------------------------------------------------------------------------

QVSyntaxLangPane::QVSyntaxLangPane(std::shared_ptr<QVBundle> bundle, QVLanguagePaneDelegate* delegate)
    : QVLanguagePane(std::move(bundle), delegate), _parser(this->bundle()->parser()) {
    if (_parser && _parser->foldOpener()) _foldOpener = _parser->foldOpener()->pattern();
    if (_parser && _parser->foldCloser()) _foldCloser = _parser->foldCloser()->pattern();
}

void QVSyntaxLangPane::setFoldOpener(const QString& pattern) {
    _foldOpener = pattern;
    updateStatus();
}

void QVSyntaxLangPane::setFoldCloser(const QString& pattern) {
    _foldCloser = pattern;
    updateStatus();
}

void QVSyntaxLangPane::updateStatus() {
    // An empty pattern means no folding; anything else must compile.
    if (!_foldOpener.isEmpty() && !QVRegex::validPattern(_foldOpener)) _status = localized("Invalid fold opener");
    else if (!_foldCloser.isEmpty() && !QVRegex::validPattern(_foldCloser)) _status = localized("Invalid fold closer");
    else _status.clear();
    if (_statusField) _statusField->setText(_status);
    if (_confirm) _confirm->setEnabled(_status.isEmpty());
}

void QVSyntaxLangPane::options() {
    delete _optionsPanel;
    _optionsPanel = new QDialog(mainView());
    _optionsPanel->setObjectName(QStringLiteral("optionsPanel"));
    _optionsPanel->setWindowTitle(localized("Folding Options"));
    auto* form = new QFormLayout(_optionsPanel);
    auto* opener = new QLineEdit(_foldOpener, _optionsPanel);
    opener->setObjectName(QStringLiteral("foldOpener"));
    auto* closer = new QLineEdit(_foldCloser, _optionsPanel);
    closer->setObjectName(QStringLiteral("foldCloser"));
    connect(opener, &QLineEdit::textChanged, this, &QVSyntaxLangPane::setFoldOpener);
    connect(closer, &QLineEdit::textChanged, this, &QVSyntaxLangPane::setFoldCloser);
    form->addRow(localized("Fold opener:"), opener);
    form->addRow(localized("Fold closer:"), closer);
    addOptionFields(_optionsPanel, form);
    _statusField = new QLabel(_optionsPanel);
    _statusField->setObjectName(QStringLiteral("status"));
    form->addRow(_statusField);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, _optionsPanel);
    _confirm = buttons->button(QDialogButtonBox::Ok);
    form->addRow(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, [this] { closeOptions(true); });
    connect(buttons, &QDialogButtonBox::rejected, this, [this] { closeOptions(false); });
    updateStatus();
    _optionsPanel->setWindowModality(Qt::WindowModal);
    _optionsPanel->open();
}

void QVSyntaxLangPane::unselect() {
    if (optionsPanel()) closeOptions(false);
    QVLanguagePane::unselect();
}

bool QVSyntaxLangPane::closeOptions(bool confirm) {
    if (confirm && !_status.isEmpty()) return false;  // the sheet says why and stays
    if (_optionsPanel) QVPrefPane::endEditing(_optionsPanel);
    takeOptions(confirm);
    if (confirm && _parser) {
        _parser->setFoldOpener(_foldOpener);
        _parser->setFoldCloser(_foldCloser);
        setDidChange(true);
        delegate()->bundleDidChange(bundle());
        delegate()->sendNotificationOnEnd(QString::fromLatin1(QorvelHighlightingPrefsChange));
    } else if (!confirm) {
        _foldOpener = _parser && _parser->foldOpener() ? _parser->foldOpener()->pattern() : QString();
        _foldCloser = _parser && _parser->foldCloser() ? _parser->foldCloser()->pattern() : QString();
    }
    _status.clear();
    if (QDialog* panel = _optionsPanel) {
        _optionsPanel = nullptr;
        _statusField = nullptr;
        _confirm = nullptr;
        panel->hide();
        panel->deleteLater();
    }
    return true;
}

// --- Keyword syntax ------------------------------------------------------------------------------------

QVKeywordSyntaxLangPane::QVKeywordSyntaxLangPane(std::shared_ptr<QVBundle> bundle, QVLanguagePaneDelegate* delegate)
    : QVSyntaxLangPane(std::move(bundle), delegate) {
    if (const auto keywords = keywordParser()) _keywordCharacters = keywords->keywordCharacters();
}

std::shared_ptr<QVKeywordBasedParser> QVKeywordSyntaxLangPane::keywordParser() const {
    return std::dynamic_pointer_cast<QVKeywordBasedParser>(parser());
}

QWidget* QVKeywordSyntaxLangPane::loadView() {
    const auto keywords = keywordParser();
    if (!keywords) return nullptr;
    auto* view = new QWidget;
    view->setObjectName(QStringLiteral("LanguageKeywordSyntaxEditor"));
    auto* layout = new QVBoxLayout(view);
    _model = new QStandardItemModel(0, 1, view);
    _model->setHorizontalHeaderLabels({localized("Style and keywords")});
    for (const QVariant& value : keywords->identifiers()) {
        const QVariantMap group = value.toMap();
        auto* groupItem = new QStandardItem(group.value(TitleKey).toString());
        for (const QVariant& keyword : group.value(KeywordsKey).toList())
            groupItem->appendRow(new QStandardItem(keyword.toMap().value(TitleKey).toString()));
        _model->appendRow(groupItem);
    }
    auto* tree = new QTreeView(view);
    tree->setObjectName(QStringLiteral("identifiers"));
    tree->setModel(_model);
    tree->setUniformRowHeights(true);
    layout->addWidget(tree, 1);
    auto* buttons = new QHBoxLayout;
    auto* addGroup = new QPushButton(localized("Add Style"), view);
    auto* addWord = new QPushButton(localized("Add Keyword"), view);
    auto* remove = new QPushButton(QStringLiteral("\u2212"), view);
    auto* folding = new QPushButton(localized("Folding Options\u2026"), view);
    folding->setObjectName(QStringLiteral("options"));
    // What is added is shown and open for typing its name.
    const auto editNew = [tree](QStandardItem* item) {
        if (item->parent()) tree->expand(item->parent()->index());
        tree->setCurrentIndex(item->index());
        tree->scrollTo(item->index());
        tree->edit(item->index());
    };
    connect(addGroup, &QPushButton::clicked, this, [this, editNew] {
        auto* group = new QStandardItem(QStringLiteral("new-style"));
        _model->appendRow(group);
        editNew(group);
    });
    connect(addWord, &QPushButton::clicked, this, [this, tree, editNew] {
        const QModelIndex current = tree->currentIndex();
        if (!current.isValid()) return QApplication::beep();
        const int group = current.parent().isValid() ? current.parent().row() : current.row();
        // A placeholder of its own, as a keyword is listed once.
        QString word = localized("keyword");
        for (int n = 2; groupListing(word, nullptr); ++n) word = localized("keyword") + QString::number(n);
        addKeyword(group, word);
        QStandardItem* parent = _model->item(group);
        QStandardItem* added = parent->child(parent->rowCount() - 1);
        markNew(added);
        editNew(added);
    });
    connect(remove, &QPushButton::clicked, this, [this, tree] {
        const QModelIndex current = tree->currentIndex();
        if (current.isValid()) _model->removeRow(current.row(), current.parent());
    });
    connect(folding, &QPushButton::clicked, this, &QVSyntaxLangPane::options);
    for (QPushButton* button : {addGroup, addWord, remove}) buttons->addWidget(button);
    buttons->addStretch();
    buttons->addWidget(folding);
    layout->addLayout(buttons);
    refuseClashes(_model, [this](const QStandardItem* edited) {
        const QStandardItem* group = edited->parent() ? groupListing(edited->text().trimmed(), edited) : nullptr;
        return group ? localized("\u201c%1\u201d is a keyword of \u201c%2\u201d already.").arg(edited->text().trimmed(), group->text()) : QString();
    });
    watchEdits(_model);
    setFirstResponder(tree);
    view->resize(460, 360);
    return view;
}

bool QVKeywordSyntaxLangPane::addKeyword(int group, const QString& word) {
    if (!_model || group < 0 || group >= _model->rowCount() || groupListing(word.trimmed(), nullptr)) return false;
    _model->item(group)->appendRow(new QStandardItem(word));
    return true;
}

const QStandardItem* QVKeywordSyntaxLangPane::groupListing(const QString& word, const QStandardItem* except) const {
    if (!_model || word.isEmpty()) return nullptr;
    // The parser finds a word in one group only; which one would be left to chance.
    const auto keywords = keywordParser();
    const Qt::CaseSensitivity rule = keywords && keywords->caseSensitive() ? Qt::CaseSensitive : Qt::CaseInsensitive;
    for (int row = 0; row < _model->rowCount(); ++row) {
        const QStandardItem* group = _model->item(row);
        for (int i = 0; i < group->rowCount(); ++i)
            if (group->child(i) != except && group->child(i)->text().trimmed().compare(word, rule) == 0) return group;
    }
    return nullptr;
}

QVariantList QVKeywordSyntaxLangPane::identifiers() const {
    QVariantList groups;
    if (!_model) return groups;
    for (int row = 0; row < _model->rowCount(); ++row) {
        QStandardItem* group = _model->item(row);
        QVariantList words;
        for (int i = 0; i < group->rowCount(); ++i)
            if (const QString word = group->child(i)->text().trimmed(); !word.isEmpty()) words << QVariantMap{{TitleKey, word}};
        groups << QVariantMap{{TitleKey, group->text().trimmed()}, {KeywordsKey, words}};
    }
    return groups;
}

void QVKeywordSyntaxLangPane::addOptionFields(QDialog* panel, QFormLayout* form) {
    _keywordCharactersField = new QLineEdit(_keywordCharacters, panel);
    _keywordCharactersField->setObjectName(QStringLiteral("keywordCharacters"));
    connect(_keywordCharactersField, &QLineEdit::textChanged, this, &QVKeywordSyntaxLangPane::setKeywordCharacters);
    form->addRow(localized("Keyword characters:"), _keywordCharactersField);
}

void QVKeywordSyntaxLangPane::takeOptions(bool confirm) {
    const auto keywords = keywordParser();
    _keywordCharactersField = nullptr;
    if (!keywords) return;
    if (confirm) keywords->setKeywordCharacters(_keywordCharacters);
    else _keywordCharacters = keywords->keywordCharacters();
}

void QVKeywordSyntaxLangPane::unselect() {
    // An options sheet left open was never confirmed: what it holds is dropped.
    if (optionsPanel()) closeOptions(false);
    QVPrefPane::endEditing(mainView());
    if (!didChange() || !_model) return;
    setDidChange(false);
    if (const auto keywords = keywordParser()) keywords->setIdentifiers(identifiers());
    delegate()->bundleDidChange(bundle());
    delegate()->sendNotificationOnEnd(QString::fromLatin1(QorvelHighlightingPrefsChange));
}

// --- Tag syntax ----------------------------------------------------------------------------------------

QVTagSyntaxLangPane::QVTagSyntaxLangPane(std::shared_ptr<QVBundle> bundle, QVLanguagePaneDelegate* delegate)
    : QVSyntaxLangPane(std::move(bundle), delegate) {
    if (const auto tags = tagParser()) _style = tags->style();
}

std::shared_ptr<QVTagBasedParser> QVTagSyntaxLangPane::tagParser() const {
    return std::dynamic_pointer_cast<QVTagBasedParser>(parser());
}

QWidget* QVTagSyntaxLangPane::loadView() {
    if (!tagParser()) return nullptr;
    auto* view = new QWidget;
    view->setObjectName(QStringLiteral("LanguageTagSyntaxEditor"));
    auto* layout = new QVBoxLayout(view);
    _model = new QStandardItemModel(0, 2, view);
    _model->setHorizontalHeaderLabels({localized("Part"), localized("Style")});
    // The four parts the parser colours, then any other part the definition names.
    QStringList parts;
    for (const char* part : TagParts) parts << QString::fromLatin1(part);
    for (auto it = _style.constBegin(); it != _style.constEnd(); ++it)
        if (!parts.contains(it.key()) && it.value().typeId() == QMetaType::QString) parts << it.key();
    for (const QString& part : std::as_const(parts)) {
        auto* name = new QStandardItem(part);
        name->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        _model->appendRow({name, new QStandardItem(_style.value(part).toString())});
    }
    auto* table = new QTableView(view);
    table->setObjectName(QStringLiteral("style"));
    table->setModel(_model);
    table->setItemDelegateForColumn(1, new StyleDelegate(table));
    table->verticalHeader()->hide();
    table->horizontalHeader()->setStretchLastSection(true);
    table->setColumnWidth(0, 140);
    layout->addWidget(table, 1);
    auto* buttons = new QHBoxLayout;
    auto* folding = new QPushButton(localized("Folding Options\u2026"), view);
    folding->setObjectName(QStringLiteral("options"));
    connect(folding, &QPushButton::clicked, this, &QVSyntaxLangPane::options);
    buttons->addStretch();
    buttons->addWidget(folding);
    layout->addLayout(buttons);
    watchEdits(_model);
    setFirstResponder(table);
    view->resize(460, 360);
    return view;
}

void QVTagSyntaxLangPane::setStyleValue(const QString& part, const QString& identifier) {
    if (!_model) return;
    for (int row = 0; row < _model->rowCount(); ++row)
        if (_model->item(row, 0)->text() == part) return _model->item(row, 1)->setText(identifier);
    auto* name = new QStandardItem(part);
    name->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    _model->appendRow({name, new QStandardItem(identifier)});
}

QVariantMap QVTagSyntaxLangPane::style() const {
    // Values the table does not show (not strings) stay as the definition has them.
    QVariantMap style = _style;
    if (!_model) return style;
    for (int row = 0; row < _model->rowCount(); ++row) {
        const QString part = _model->item(row, 0)->text();
        const QString identifier = _model->item(row, 1)->text().trimmed();
        if (identifier.isEmpty()) style.remove(part);
        else style.insert(part, identifier);
    }
    return style;
}

void QVTagSyntaxLangPane::unselect() {
    QVSyntaxLangPane::unselect();
    if (!didChange() || !_model) return;
    setDidChange(false);
    _style = style();
    if (const auto tags = tagParser()) tags->setStyle(_style);
    delegate()->bundleDidChange(bundle());
    delegate()->sendNotificationOnEnd(QString::fromLatin1(QorvelHighlightingPrefsChange));
}

// --- Choosing ----------------------------------------------------------------------------------------

void registerStandardEditors() {
    static const bool registered = [] {
        const auto add = [](const char* name, auto make) { QVLanguagePane::registerEditorClass(QString::fromLatin1(name), make); };
        add("QVKeywordCodeCompletionLangPane", [](std::shared_ptr<QVBundle> bundle, QVLanguagePaneDelegate* delegate) -> std::unique_ptr<QVLanguagePane> {
            return std::make_unique<QVKeywordCodeCompletionLangPane>(std::move(bundle), delegate);
        });
        add("QVTagCodeCompletionLangPane", [](std::shared_ptr<QVBundle> bundle, QVLanguagePaneDelegate* delegate) -> std::unique_ptr<QVLanguagePane> {
            return std::make_unique<QVTagCodeCompletionLangPane>(std::move(bundle), delegate);
        });
        add("QVCSSCodeCompletionLangPane", [](std::shared_ptr<QVBundle> bundle, QVLanguagePaneDelegate* delegate) -> std::unique_ptr<QVLanguagePane> {
            return std::make_unique<QVCSSCodeCompletionLangPane>(std::move(bundle), delegate);
        });
        return true;
    }();
    Q_UNUSED(registered);
}

std::unique_ptr<QVLanguagePane> makeLanguageEditor(QVLanguageProperty property, const std::shared_ptr<QVBundle>& bundle,
                                                   QVLanguagePaneDelegate* delegate, bool* offerPicker) {
    *offerPicker = false;
    if (!bundle) return nullptr;
    registerStandardEditors();
    switch (property) {
    case QVLanguageProperty::Syntax: {
        const auto parser = bundle->parser();
        // By the parser's exact class: a plain parser has nothing to edit.
        if (isExactly<QVKeywordBasedParser>(parser)) return std::make_unique<QVKeywordSyntaxLangPane>(bundle, delegate);
        if (isExactly<QVTagBasedParser>(parser)) return std::make_unique<QVTagSyntaxLangPane>(bundle, delegate);
        *offerPicker = !parser || isExactly<QVParser>(parser);
        return nullptr;
    }
    case QVLanguageProperty::Completion: {
        const auto engine = bundle->codeCompletion();
        // By the engine's exact class; any other engine names its editor in its definition. An
        // engine that names none gets no picker: confirming one would replace what it holds.
        if (isExactly<QVKeywordCodeCompletion>(engine))
            return std::make_unique<QVKeywordCodeCompletionLangPane>(bundle, delegate);
        if (isExactly<QVTagCodeCompletion>(engine)) return std::make_unique<QVTagCodeCompletionLangPane>(bundle, delegate);
        if (const auto named = std::dynamic_pointer_cast<QVCodeCompletion>(engine); named && !named->editClass().isEmpty())
            return QVLanguagePane::createEditor(named->editClass(), bundle, delegate);
        *offerPicker = !engine;
        return nullptr;
    }
    case QVLanguageProperty::Navigation: return std::make_unique<QVCodeNavLangPane>(bundle, delegate);
    }
    return nullptr;
}
