// Command dispatch through the meta-object system.
#include "platform/QVPerform.h"

#include <QMetaMethod>
#include <QObject>

namespace {

// The method of target named action for object: one argument when object converts to it,
// else none; -1 when there is neither.
int findMethod(const QMetaObject* meta, QByteArrayView action, const QVariant& object) {
    int withoutArgument = -1;
    for (int i = QObject::staticMetaObject.methodCount(); i < meta->methodCount(); ++i) {
        const QMetaMethod method = meta->method(i);
        if (method.access() != QMetaMethod::Public || method.methodType() == QMetaMethod::Signal ||
            method.methodType() == QMetaMethod::Constructor || method.name() != action)
            continue;
        if (method.parameterCount() == 0) withoutArgument = i;
        else if (method.parameterCount() == 1 && object.isValid() &&
                 QMetaType::canConvert(object.metaType(), method.parameterMetaType(0)))
            return i;
    }
    return withoutArgument;
}

}  // namespace

namespace QVPerform {

bool respondsTo(const QObject* target, QByteArrayView action, const QVariant& object) {
    return target && findMethod(target->metaObject(), action, object) >= 0;
}

bool tryToPerform(QObject* target, QByteArrayView action, const QVariant& object) {
    if (!target) return false;
    const int index = findMethod(target->metaObject(), action, object);
    if (index < 0) return false;
    const QMetaMethod method = target->metaObject()->method(index);
    if (method.parameterCount() == 0) return method.invoke(target, Qt::DirectConnection);
    QVariant argument = object;
    if (!argument.convert(method.parameterMetaType(0))) return false;
    return method.invoke(target, Qt::DirectConnection,
                         QGenericArgument(method.parameterMetaType(0).name(), argument.constData()));
}

}  // namespace QVPerform
