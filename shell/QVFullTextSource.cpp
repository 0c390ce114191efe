// Liveness slot of an editor text source: cleared when the source goes away.
#include "shell/QVFullTextSource.h"

QVFullTextSource::QVFullTextSource() : _slot(std::make_shared<QVFullTextSource*>(this)) {}

QVFullTextSource::QVFullTextSource(const QVFullTextSource&)
    : _slot(std::make_shared<QVFullTextSource*>(this)) {}

QVFullTextSource::~QVFullTextSource() { *_slot = nullptr; }
