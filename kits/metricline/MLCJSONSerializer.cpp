#include "kits/metricline/MLCJSONSerializer.h"

namespace {

std::optional<QString> text(const std::optional<QByteArray>& data) {
    if (!data) return std::nullopt;
    return QString::fromUtf8(*data);
}

}  // namespace

std::optional<QString> MLCJSONSerializer::serializeObject(const QVariant& object, QVError* error) const {
    return text(_serializer.serializeObject(object, error));
}

std::optional<QString> MLCJSONSerializer::serializeArray(const QVariantList& array, QVError* error) const {
    return text(_serializer.serializeArray(array, error));
}

std::optional<QString> MLCJSONSerializer::serializeDictionary(const QVariantMap& dictionary, QVError* error) const {
    return text(_serializer.serializeDictionary(dictionary, error));
}
