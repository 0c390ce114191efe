// Fingerprints of strings and new unique identifiers.
#include "shell/StringHashing.h"

#include <QUuid>

#include <openssl/evp.h>

std::optional<QString> StringHashing::md5(const QString& text) {
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            ++i;
            continue;
        }
        if (c.isSurrogate()) return std::nullopt;
    }
    QByteArray bytes = text.toUtf8();
    // The digest has always covered the C string, which ends at the first zero byte.
    const qsizetype zero = bytes.indexOf('\0');
    if (zero >= 0) bytes.truncate(zero);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(bytes.constData(), size_t(bytes.size()), digest, &size, EVP_md5(), nullptr) != 1)
        return std::nullopt;
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(digest), int(size)).toHex());
}

QString StringHashing::uuid() { return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper(); }
