// The code-index editor.
#include "preferences/QVCodeIndexLangPane.h"

#include "completion/QVCodeIndexer.h"
#include "languages/QVBundle.h"
#include "platform/AppBundle.h"

#include <QCheckBox>
#include <QLabel>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

QString localized(const char* text) { return QVLocalized(QString::fromUtf8(text)); }

void addRules(QTreeWidgetItem* parent, const QString& name, const QVariant& value) {
    auto* item = new QTreeWidgetItem(parent, {name});
    if (value.typeId() == QMetaType::QVariantList) {
        const QVariantList list = value.toList();
        for (int i = 0; i < list.size(); ++i) addRules(item, QString::number(i + 1), list[i]);
    } else if (value.typeId() == QMetaType::QVariantMap) {
        const QVariantMap map = value.toMap();
        for (auto it = map.constBegin(); it != map.constEnd(); ++it) addRules(item, it.key(), it.value());
    } else {
        item->setText(1, value.toString());
    }
}

}  // namespace

QVCodeIndexLangPane::QVCodeIndexLangPane(std::shared_ptr<QVBundle> bundle, QVLanguagePaneDelegate* delegate)
    : QVLanguagePane(std::move(bundle), delegate),
      _indexer(std::dynamic_pointer_cast<QVCodeIndexer>(this->bundle()->codeIndexer())) {}

QWidget* QVCodeIndexLangPane::loadView() {
    if (!_indexer) return nullptr;
    auto* view = new QWidget;
    view->setObjectName(QStringLiteral("LanguageIndexEditor"));
    auto* layout = new QVBoxLayout(view);
    auto* enabled = new QCheckBox(localized("Index files of this language for completion"), view);
    enabled->setObjectName(QStringLiteral("enabled"));
    enabled->setChecked(indexingEnabled());
    connect(enabled, &QCheckBox::toggled, this, &QVCodeIndexLangPane::setIndexingEnabled);
    layout->addWidget(enabled);
    auto* rules = new QTreeWidget(view);
    rules->setObjectName(QStringLiteral("rules"));
    rules->setHeaderLabels({localized("Rule"), localized("Pattern")});
    const QVariantMap plist = _indexer->plistRepresentation();
    for (auto it = plist.constBegin(); it != plist.constEnd(); ++it)
        if (it.key() != QLatin1String("enabled") && it.key() != QLatin1String("format-version"))
            addRules(rules->invisibleRootItem(), it.key(), it.value());
    rules->setColumnWidth(0, 160);
    layout->addWidget(rules, 1);
    setFirstResponder(enabled);
    view->resize(460, 360);
    return view;
}

bool QVCodeIndexLangPane::indexingEnabled() const { return _indexer && _indexer->enabled() != QVCodeIndexer::EnabledOff; }

void QVCodeIndexLangPane::setIndexingEnabled(bool enabled) {
    if (!_indexer || enabled == indexingEnabled()) return;
    delegate()->bundleDidChange(bundle());
    _indexer->setEnabled(enabled ? QVCodeIndexer::EnabledOn : QVCodeIndexer::EnabledOff);
}

void QVCodeIndexLangPane::unselect() {
    QVLanguagePane::unselect();
    _indexer.reset();
}
