// The shipped language bundles with their completion engines, for the engine and popup tests.
#pragma once

#include "completion/QVCodeCompletion.h"
#include "languages/QVBundle.h"

#include <QStringList>

#include <memory>
#include <optional>
#include "QorvelSourceTree.h"

namespace completion {

// The shipped bundle, its parser and its engine loaded.
inline std::shared_ptr<QVBundle> shippedBundle(const QString& language) {
    QVCodeCompletion::registerFactories();
    return QVBundle::bundleWithPath(QStringLiteral(QORVEL_SOURCE_RESOURCES "/Bundles/") + language +
                                        QStringLiteral(".qvbundle"),
                                    false);
}

template <class Engine>
std::shared_ptr<Engine> shippedEngine(const std::shared_ptr<QVBundle>& bundle) {
    return bundle ? std::dynamic_pointer_cast<Engine>(bundle->codeCompletion()) : nullptr;
}

inline QStringList keysOf(const std::optional<QList<QVCodeCompletionEntry>>& entries) {
    if (!entries) return {QStringLiteral("NONE")};
    QStringList keys;
    for (const QVCodeCompletionEntry& entry : *entries) keys << entry.key();
    return keys;
}

}  // namespace completion
