// The default scopes: the open documents, found among openDocuments() by path.
#include "tools/QVSearchScopes.h"

std::shared_ptr<QVSearchDocument> QVSearchScopes::documentForPath(const QString& path) {
    if (path.isEmpty()) return nullptr;
    for (const auto& document : openDocuments())
        if (document && document->fileName() == path) return document;
    return nullptr;
}

std::shared_ptr<QVSearchDocument> QVSearchScopes::documentForObject(const void* object) {
    if (!object) return nullptr;
    for (const auto& document : openDocuments())
        if (document && document->notificationObject() == object) return document;
    return nullptr;
}
