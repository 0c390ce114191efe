// JSON text that is already written, carried inside a QVariant tree and copied into the output
// of the JSON writer unchanged (the caller vouches that it is valid JSON).
#pragma once

#include <QByteArray>
#include <QMetaType>

class MLCSerializedJSONData {
public:
    MLCSerializedJSONData() = default;
    explicit MLCSerializedJSONData(QByteArray data) : _data(std::move(data)) {}
    const QByteArray& data() const { return _data; }
    bool operator==(const MLCSerializedJSONData& other) const { return _data == other._data; }

private:
    QByteArray _data;
};

Q_DECLARE_METATYPE(MLCSerializedJSONData)
