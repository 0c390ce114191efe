// Commands named by the method that performs them: a toolbar or menu asks an object to perform
// "gotoLineFromString" with a value, and the object does when it declares such a method.
#pragma once

#include <QByteArrayView>
#include <QVariant>

class QObject;

namespace QVPerform {

// Whether target declares a public slot or Q_INVOKABLE method named action that takes no argument
// or one argument that object converts to. Methods of QObject itself never count.
bool respondsTo(const QObject* target, QByteArrayView action, const QVariant& object = {});
// Calls that method (the one-argument form first, with object converted to its parameter's type)
// and answers whether one ran; nothing happens for a null target or a method it lacks.
bool tryToPerform(QObject* target, QByteArrayView action, const QVariant& object = {});

}  // namespace QVPerform
