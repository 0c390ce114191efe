// The JSON writer's output as text rather than bytes.
#pragma once

#include "kits/metricline/MLCJSONDataSerializer.h"

#include <QString>

class MLCJSONSerializer {
public:
    // Each answers the data writer's bytes decoded as UTF-8, or nothing when it failed.
    std::optional<QString> serializeObject(const QVariant& object, QVError* error = nullptr) const;
    std::optional<QString> serializeArray(const QVariantList& array, QVError* error = nullptr) const;
    std::optional<QString> serializeDictionary(const QVariantMap& dictionary, QVError* error = nullptr) const;

    const MLCJSONDataSerializer& serializer() const { return _serializer; }

private:
    MLCJSONDataSerializer _serializer;
};
