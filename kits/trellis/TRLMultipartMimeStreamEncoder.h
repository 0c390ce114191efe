// Writes a multipart/form-data body part by part into a device (a file or memory) and counts the
// bytes the device took. A write the device refuses puts the encoder in a failed state that the
// caller sees (failed(), encode()'s answer), so a short body is never sent as a whole one.
#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QString>
#include <QVariant>

#include <functional>

class TRLMultipartMimeStreamEncoder {
public:
    static QString generateBoundary();
    static QString contentTypeHTTPHeaderValueWithBoundary(const QString& boundary);
    // An empty boundary gets a generated one.
    TRLMultipartMimeStreamEncoder(QIODevice* outputStream, const QString& boundary = {});

    // Opens the device (unless open), writes the header, the parts the block adds and the closing
    // line, closes it; answers whether every byte was taken.
    bool encode(const std::function<void()>& block);
    void beginEncoding();
    void endEncoding();

    // One text part; an invalid value or an empty name is skipped with a log line.
    void addValue(const QVariant& value, const QString& fieldName);
    // One file part from memory; empty data or names are skipped with a log line.
    void addFileData(const QByteArray& data, const QString& fileName, const QString& mimeType, const QString& fieldName);
    // The same from a file read whole.
    void addFile(const QString& path, const QString& fileName, const QString& mimeType, const QString& fieldName);

    bool writeData(const QByteArray& data);
    bool writeBytes(const char* bytes, qint64 length);

    QByteArray headerData() const { return "MIME-Version: 1.0\r\n"; }
    QByteArray footerData() const { return QStringLiteral("--%1--\r\n").arg(_boundary).toUtf8(); }
    QString contentTypeHTTPHeaderValue() const { return contentTypeHTTPHeaderValueWithBoundary(_boundary); }
    QString contentLengthHTTPHeaderValue() const { return QString::number(_length); }
    quint64 length() const { return _length; }
    QString boundary() const { return _boundary; }
    bool failed() const { return _failed; }

private:
    QIODevice* _outputStream;
    QString _boundary;
    quint64 _length = 0;
    bool _failed = false;
};
