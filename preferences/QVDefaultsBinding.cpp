// Control-to-defaults bindings through the store's observers.
#include "preferences/QVDefaultsBinding.h"

#include "platform/UserDefaults.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPointer>
#include <QSignalBlocker>
#include <QSpinBox>

namespace QVDefaultsBinding {

namespace {

void showValue(QWidget* control, const QVariant& value) {
    const QSignalBlocker blocker(control);
    if (auto* box = qobject_cast<QCheckBox*>(control)) box->setChecked(value.toBool());
    else if (auto* spin = qobject_cast<QSpinBox*>(control)) spin->setValue(value.toInt());
    else if (auto* field = qobject_cast<QLineEdit*>(control)) field->setText(value.toString());
    else if (auto* combo = qobject_cast<QComboBox*>(control)) {
        int index = -1;
        for (int i = 0; i < combo->count() && index < 0; ++i) {
            const QVariant data = combo->itemData(i);
            if (data.isValid() ? data.toString() == value.toString() : value.isValid() && value.toInt() == i) index = i;
        }
        combo->setCurrentIndex(index);
    }
}

}  // namespace

bool bind(QWidget* control, const QString& key) {
    if (!control) return false;
    UserDefaults& store = UserDefaults::standard();
    QPointer<QWidget> guard(control);
    auto write = [&store, key](const QVariant& value) {
        if (store.objectForKey(key) != value) store.setObject(value, key);
    };
    if (auto* box = qobject_cast<QCheckBox*>(control))
        QObject::connect(box, &QCheckBox::toggled, box, [write](bool on) { write(on); });
    else if (auto* spin = qobject_cast<QSpinBox*>(control))
        QObject::connect(spin, &QSpinBox::valueChanged, spin, [write](int value) { write(qint64(value)); });
    else if (auto* field = qobject_cast<QLineEdit*>(control))
        QObject::connect(field, &QLineEdit::editingFinished, field, [write, field] { write(field->text()); });
    else if (auto* combo = qobject_cast<QComboBox*>(control))
        QObject::connect(combo, &QComboBox::activated, combo, [write, combo](int index) {
            const QVariant data = combo->itemData(index);
            write(data.isValid() ? data : QVariant(qint64(index)));
        });
    else
        return false;
    showValue(control, store.objectForKey(key));
    const UserDefaults::Token token = store.addObserver(key, [guard](const QString&, const QVariant&, const QVariant& value) {
        if (guard) showValue(guard, value);
    });
    QObject::connect(control, &QObject::destroyed, [&store, token] { store.removeObserver(token); });
    return true;
}

}  // namespace QVDefaultsBinding
