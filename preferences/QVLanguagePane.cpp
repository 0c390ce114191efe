// The bundle editors' frame and the type pickers.
#include "preferences/QVLanguagePane.h"

#include "languages/QVBundle.h"
#include "languages/QVKeywordBasedParser.h"
#include "languages/QVTagBasedParser.h"
#include "platform/AppBundle.h"

#include <QAbstractItemModel>
#include <QButtonGroup>
#include <QDialogButtonBox>
#include <QHash>
#include <QLabel>
#include <QRadioButton>
#include <QVBoxLayout>

namespace {

QString localized(const char* text) { return QVLocalized(QString::fromUtf8(text)); }

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
