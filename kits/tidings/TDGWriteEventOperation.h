// Appends one event as a line to a log file (with the session's metadata line first when the file
// is new): "<milliseconds>\t<name>\t<UTF-8 byte count>\t<compact JSON>\n". A line is either
// written whole or not at all: a short write is cut back, so the next line never lands on a
// partial one.
#pragma once

#include "platform/Operation.h"

#include <QString>

#include <memory>

class TDGEvent;
class TDGMetadataSerializable;

class TDGWriteEventOperation : public Operation {
public:
    // Both lines are formatted here, not when the operation runs.
    TDGWriteEventOperation(std::shared_ptr<TDGEvent> event, const TDGMetadataSerializable& metadata, QString logFilePath);

    bool success() const { return _success; }
    QString formattedEvent() const { return _formattedEvent; }
    QString formattedMetadata() const { return _formattedMetadata; }
    std::shared_ptr<TDGEvent> event() const { return _event; }

    // The line without its line feed; empty when the payload cannot be written as JSON.
    static QString logLineWithTimestamp(double seconds, const QString& eventName, const QByteArray& payloadJson);
    // For tests: the write call, so short and failed writes can be produced.
    using WriteFunction = ssize_t (*)(int, const void*, size_t);
    static void setWriteFunctionForTests(WriteFunction function);

protected:
    void main() override;

private:
    bool writeDataToDescriptor(int fd, bool preexisting);
    bool appendLogLine(const QString& line, int fd);

    std::shared_ptr<TDGEvent> _event;
    QString _logFilePath;
    bool _success = false;
    QString _formattedEvent;
    QString _formattedMetadata;
};
