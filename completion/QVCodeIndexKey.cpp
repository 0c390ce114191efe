// The printable form of an index key.
#include "completion/QVCodeIndexKey.h"

QString QVCodeIndexKey::description() const {
    return QStringLiteral("%1 %2 => %3").arg(_type, _key, _completion);
}
