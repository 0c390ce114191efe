// The bundle editors' frame and the type pickers.
#include "preferences/QVLanguagePane.h"

#include "languages/QVBundle.h"
#include "languages/QVKeywordBasedParser.h"
#include "languages/QVTagBasedParser.h"
#include "platform/AppBundle.h"
#include "preferences/QVPrefAlerts.h"

#include <QAbstractItemModel>
#include <QButtonGroup>
#include <QDialogButtonBox>
#include <QHash>
#include <QLabel>
#include <QPersistentModelIndex>
#include <QRadioButton>
#include <QStandardItemModel>
#include <QVBoxLayout>

namespace {

QString localized(const char* text) { return QVLocalized(QString::fromUtf8(text)); }

// Each item of an editor refusing clashes keeps the text last taken, to go back to.
constexpr int TakenRole = Qt::UserRole + 40;
// A row added and not yet named.
constexpr int NewRole = Qt::UserRole + 41;

void rememberTexts(QStandardItem* item) {
    if (!item) return;
    item->setData(item->text(), TakenRole);
    for (int row = 0; row < item->rowCount(); ++row)
        for (int column = 0; column < item->columnCount(); ++column) rememberTexts(item->child(row, column));
}

QHash<QString, QVLanguagePane::Maker>& editorMakers() {
    static QHash<QString, QVLanguagePane::Maker> registry;
    return registry;
}

}  // namespace

void QVLanguagePane::registerEditorClass(const QString& className, Maker maker) {
    if (maker) editorMakers().insert(className, std::move(maker));
    else editorMakers().remove(className);
}

std::unique_ptr<QVLanguagePane> QVLanguagePane::createEditor(const QString& className, std::shared_ptr<QVBundle> bundle,
                                                             QVLanguagePaneDelegate* delegate) {
    const auto maker = editorMakers().constFind(className);
    if (maker == editorMakers().constEnd() || !bundle) return nullptr;
    return (*maker)(std::move(bundle), delegate);
}

QVLanguagePane::QVLanguagePane(std::shared_ptr<QVBundle> bundle, QVLanguagePaneDelegate* delegate)
    : QVPrefPane(bundle ? bundle->title() : QString()), _bundle(std::move(bundle)), _delegate(delegate) {}

void QVLanguagePane::select() {
    QVPrefPane::select();
    setDidChange(false);
}

void QVLanguagePane::watchEdits(QObject* model) {
    auto* items = qobject_cast<QAbstractItemModel*>(model);
    if (!items) return;
    const auto changed = [this] { setDidChange(true); };
    connect(items, &QAbstractItemModel::dataChanged, this, changed);
    connect(items, &QAbstractItemModel::rowsInserted, this, changed);
    connect(items, &QAbstractItemModel::rowsRemoved, this, changed);
    connect(items, &QAbstractItemModel::rowsMoved, this, changed);
}

void QVLanguagePane::refuseClashes(QStandardItemModel* model, Clash clash) {
    rememberTexts(model->invisibleRootItem());
    connect(model, &QAbstractItemModel::rowsInserted, this, [model](const QModelIndex& parent, int first, int last) {
        for (int row = first; row <= last; ++row)
            for (int column = 0; column < model->columnCount(parent); ++column)
                rememberTexts(model->itemFromIndex(model->index(row, column, parent)));
    });
    connect(model, &QStandardItemModel::itemChanged, this, [this, clash = std::move(clash)](QStandardItem* item) {
        const QVariant taken = item->data(TakenRole);
        if (taken.isValid() && item->text() == taken.toString()) return;
        if (const QString reason = clash(item); !reason.isEmpty()) {
            const bool added = item->data(NewRole).toBool();
            item->setText(taken.toString());
            if (added) {
                // After the editor that typed the name has let go of the row.
                const QPersistentModelIndex row(item->index());
                QMetaObject::invokeMethod(
                    this,
                    [row] {
                        if (row.isValid()) const_cast<QAbstractItemModel*>(row.model())->removeRow(row.row(), row.parent());
                    },
                    Qt::QueuedConnection);
            }
            QVPrefAlerts::showError(mainView(), QVError::app(0, reason, added ? localized("The new entry is not kept.")
                                                                              : localized("The entry keeps what it had.")));
            return;
        }
        item->setData(item->text(), TakenRole);
        item->setData(QVariant(), NewRole);
    });
}

void QVLanguagePane::markNew(QStandardItem* item) {
    if (item) item->setData(true, NewRole);
}

QVNoEditorWindowController::QVNoEditorWindowController(Kind kind, std::shared_ptr<QVBundle> bundle, QWidget* parent)
    : QDialog(parent), _kind(kind), _bundle(std::move(bundle)), _types(new QButtonGroup(this)) {
    setObjectName(QStringLiteral("LanguageTypePicker"));
    setWindowTitle(kind == Kind::CodeCompletion ? localized("Code Completion") : localized("Syntax"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(kind == Kind::CodeCompletion
                                     ? localized("This language has no completion. Which kind should it get?")
                                     : localized("This language\u2019s highlighting cannot be edited. Which kind should it get?"),
                                 this));
    auto* keyword = new QRadioButton(localized("Keywords"), this);
    keyword->setObjectName(QStringLiteral("keyword"));
    auto* tag = new QRadioButton(localized("Tags (markup)"), this);
    tag->setObjectName(QStringLiteral("tag"));
    _types->addButton(keyword, 0);
    _types->addButton(tag, 1);
    keyword->setChecked(true);
    layout->addWidget(keyword);
    layout->addWidget(tag);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

int QVNoEditorWindowController::type() const { return _types->checkedId(); }

void QVNoEditorWindowController::setType(int type) {
    if (QAbstractButton* button = _types->button(type)) button->setChecked(true);
}

bool QVNoEditorWindowController::create() {
    if (!_bundle || (type() != 0 && type() != 1)) return false;
    if (_kind == Kind::CodeCompletion) {
        const auto engine = _bundle->makeCompletion(type() == 1 ? QStringLiteral("tag") : QStringLiteral("keyword"));
        if (!engine) return false;
        _bundle->setCodeCompletion(engine);
        return true;
    }
    std::shared_ptr<QVParser> parser;
    if (type() == 1) {
        parser = std::make_shared<QVTagBasedParser>(_bundle, QVariantMap());
    } else {
        auto keywords = std::make_shared<QVKeywordBasedParser>(_bundle, QVariantMap());
        keywords->setKeywordCharacters(QStringLiteral("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"));
        parser = keywords;
    }
    const auto old = _bundle->parser();
    parser->setIdentifier(old ? old->identifier() : _bundle->identifier());
    _bundle->setParser(parser);
    return true;
}
