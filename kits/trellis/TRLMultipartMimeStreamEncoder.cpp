#include "kits/trellis/TRLMultipartMimeStreamEncoder.h"

#include "platform/SystemLog.h"
#include "kits/trellis/TRLHelpers.h"

#include <QFile>

QString TRLMultipartMimeStreamEncoder::generateBoundary() { return TRLGenerateUUIDString(); }

QString TRLMultipartMimeStreamEncoder::contentTypeHTTPHeaderValueWithBoundary(const QString& boundary) {
    return QStringLiteral("multipart/form-data; boundary=%1").arg(boundary);
}

TRLMultipartMimeStreamEncoder::TRLMultipartMimeStreamEncoder(QIODevice* outputStream, const QString& boundary)
    : _outputStream(outputStream), _boundary(boundary.isEmpty() ? generateBoundary() : boundary) {}

bool TRLMultipartMimeStreamEncoder::encode(const std::function<void()>& block) {
    beginEncoding();
    if (block) block();
    endEncoding();
    return !_failed;
}

void TRLMultipartMimeStreamEncoder::beginEncoding() {
    _length = 0;
    _failed = false;
    if (!_outputStream || (!_outputStream->isOpen() && !_outputStream->open(QIODevice::WriteOnly))) {
        SystemLog::error(QStringLiteral("[Trellis] Failed to write data to stream"));
        _failed = true;
        return;
    }
    writeData(headerData());
}

void TRLMultipartMimeStreamEncoder::endEncoding() {
    writeData(footerData());
    if (_outputStream && _outputStream->isOpen()) {
        if (auto* file = qobject_cast<QFileDevice*>(_outputStream); file && !file->flush()) _failed = true;
        _outputStream->close();
    }
}

void TRLMultipartMimeStreamEncoder::addValue(const QVariant& value, const QString& fieldName) {
    if (!value.isValid() || value.isNull() || fieldName.isEmpty()) {
        SystemLog::notice(QStringLiteral("[Trellis] name (%1) or value (%2) is invalid").arg(fieldName, value.toString()));
        return;
    }
    const QString part = QStringLiteral("--%1\r\nContent-Disposition: form-data; name=\"%2\"\r\n").arg(_boundary, fieldName) +
                         QStringLiteral("Content-Type: text/plain\r\n\r\n") + value.toString() + QStringLiteral("\r\n");
    writeData(part.toUtf8());
}

void TRLMultipartMimeStreamEncoder::addFileData(const QByteArray& data, const QString& fileName, const QString& mimeType, const QString& fieldName) {
    if (data.isEmpty()) {
        SystemLog::notice(QStringLiteral("[Trellis] Unable to MIME encode data with zero length (%1)").arg(fieldName));
        return;
    }
    if (fieldName.isEmpty() || fileName.isEmpty()) {
        SystemLog::notice(QStringLiteral("[Trellis] name (%1) or fieldname (%2) is invalid").arg(fieldName, fileName));
        return;
    }
    QString head = QStringLiteral("--%1\r\nContent-Disposition: form-data; name=\"%2\"; filename=\"%3\"\r\n").arg(_boundary, fieldName, fileName);
    head += mimeType.isEmpty() ? QStringLiteral("Content-Type: application/octet-stream\r\n\r\n")
                               : QStringLiteral("Content-Type: %1\r\nContent-Transfer-Encoding: binary\r\n\r\n").arg(mimeType);
    writeData(head.toUtf8());
    writeData(data);
    writeData("\r\n");
}

void TRLMultipartMimeStreamEncoder::addFile(const QString& path, const QString& fileName, const QString& mimeType, const QString& fieldName) {
    QFile file(path);
    const QByteArray data = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    addFileData(data, fileName, mimeType, fieldName);
}

bool TRLMultipartMimeStreamEncoder::writeData(const QByteArray& data) {
    bool ok = true;
    TRLEnumerateByteRanges(data, [&](const char* bytes, qsizetype length, bool* stop) {
        if (!writeBytes(bytes, length)) {
            SystemLog::error(QStringLiteral("[Trellis] Failed to write data to stream"));
            ok = false;
            *stop = true;
        }
    });
    return ok;
}

bool TRLMultipartMimeStreamEncoder::writeBytes(const char* bytes, qint64 length) {
    // After a failure nothing more is written: a body with a hole must not look whole.
    if (_failed || !_outputStream || !_outputStream->isOpen()) {
        _failed = true;
        return false;
    }
    const qint64 written = _outputStream->write(bytes, length);
    if (written != length) {
        SystemLog::error(QStringLiteral("[Trellis] Failed to write bytes to stream"));
        _failed = true;
        return false;
    }
    _length += quint64(length);
    return true;
}
