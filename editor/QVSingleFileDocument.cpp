// The single-file document.
#include "editor/QVSingleFileDocument.h"

#include <cerrno>

QVSingleFileDocument::QVSingleFileDocument(const QString& path) : QVFileDocument(path) {}

QVSingleFileDocument::~QVSingleFileDocument() = default;

bool QVSingleFileDocument::open(QVError* error, QVError* notice) {
    if (fileName().isEmpty()) return true;
    QVError failure;
    _loaded = load(&failure, notice) || (failure.domain() == QVError::posixDomain() && failure.code() == ENOENT);
    qvSetError(error, failure);
    return _loaded;
}
