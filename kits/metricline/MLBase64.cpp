#include "kits/metricline/MLBase64.h"

#include <QFile>
#include <QStringList>

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <array>
#include <cstring>

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr quint8 notBase64 = 65;

constexpr std::array<quint8, 256> decodeTable = [] {
    std::array<quint8, 256> t{};
    t.fill(notBase64);
    for (int i = 0; i < 64; ++i) t[quint8(alphabet[i])] = quint8(i);
    return t;
}();

// Two characters at once for every 12 bits: halves the lookups of the inner loop.
const std::array<quint16, 4096>& pairTable() {
    static const std::array<quint16, 4096> table = [] {
        std::array<quint16, 4096> t{};
        for (int i = 0; i < 4096; ++i) {
            const char pair[2] = {alphabet[i >> 6], alphabet[i & 63]};
            std::memcpy(&t[i], pair, 2);
        }
        return t;
    }();
    return table;
}

QByteArray readSmallFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return file.read(4096).trimmed();
}

// The interface of the default route in a /proc/net/route table: destination 00000000.
QString defaultRouteInterface(const QString& routeTable) {
    const QList<QByteArray> lines = readSmallFile(routeTable).split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QList<QByteArray> fields = lines[i].simplified().split(' ');
        if (fields.size() > 2 && fields[1] == "00000000") return QString::fromLatin1(fields[0]);
    }
    return {};
}

}  // namespace

QByteArray MLBase64EncodeBytes(const char* bytes, qsizetype length, bool separateLines) {
    const qsizetype groups = (length + 2) / 3;
    const qsizetype lineBreaks = separateLines && length > 0 ? (length - 1) / 48 : 0;
    QByteArray out(groups * 4 + lineBreaks * 2, Qt::Uninitialized);
    const auto* in = reinterpret_cast<const quint8*>(bytes);
    char* w = out.data();
    const std::array<quint16, 4096>& pairs = pairTable();
    const qsizetype lineBytes = separateLines ? 48 : length;
    qsizetype done = 0;
    while (done < length) {
        const qsizetype lineEnd = std::min(length, done + lineBytes);
        const qsizetype whole = done + (lineEnd - done) / 3 * 3;
        for (qsizetype i = done; i < whole; i += 3) {
            const quint32 v = (quint32(in[i]) << 16) | (quint32(in[i + 1]) << 8) | in[i + 2];
            std::memcpy(w, &pairs[v >> 12], 2);
            std::memcpy(w + 2, &pairs[v & 0xFFF], 2);
            w += 4;
        }
        if (const qsizetype rest = lineEnd - whole; rest > 0) {
            const quint32 v = (quint32(in[whole]) << 16) | (rest == 2 ? quint32(in[whole + 1]) << 8 : 0);
            w[0] = alphabet[v >> 18];
            w[1] = alphabet[(v >> 12) & 63];
            w[2] = rest == 2 ? alphabet[(v >> 6) & 63] : '=';
            w[3] = '=';
            w += 4;
        }
        done = lineEnd;
        if (separateLines && done < length) {
            w[0] = '\r';
            w[1] = '\n';
            w += 2;
        }
    }
    return out;
}

QByteArray MLBase64DecodeBytes(const char* characters, qsizetype length) {
    QByteArray out((length + 3) / 4 * 3, Qt::Uninitialized);
    auto* w = reinterpret_cast<quint8*>(out.data());
    const auto* in = reinterpret_cast<const quint8*>(characters);
    const auto* end = in + length;
    // Clean runs of four go straight through; anything else is sorted out one character at a time.
    quint32 group = 0;
    int collected = 0;
    while (in < end) {
        if (collected == 0) {
            while (end - in >= 4) {
                const quint8 a = decodeTable[in[0]], b = decodeTable[in[1]], c = decodeTable[in[2]], d = decodeTable[in[3]];
                if ((a | b | c | d) & 0xC0) break;
                const quint32 v = (quint32(a) << 18) | (quint32(b) << 12) | (quint32(c) << 6) | d;
                w[0] = quint8(v >> 16);
                w[1] = quint8(v >> 8);
                w[2] = quint8(v);
                w += 3;
                in += 4;
            }
            if (in == end) break;
        }
        const quint8 value = decodeTable[*in++];
        if (value == notBase64) continue;
        group = (group << 6) | value;
        if (++collected == 4) {
            w[0] = quint8(group >> 16);
            w[1] = quint8(group >> 8);
            w[2] = quint8(group);
            w += 3;
            group = 0;
            collected = 0;
        }
    }
    if (collected >= 2) {
        group <<= 6 * (4 - collected);
        *w++ = quint8(group >> 16);
        if (collected == 3) *w++ = quint8(group >> 8);
    }
    out.truncate(reinterpret_cast<char*>(w) - out.data());
    return out;
}

QString MLBase64EncodedString(const QByteArray& data) {
    return QString::fromLatin1(MLBase64EncodeBytes(data.constData(), data.size(), false));
}

QByteArray MLDataFromBase64String(const QString& text) {
    const QByteArray ascii = text.toLatin1();
    return MLBase64DecodeBytes(ascii.constData(), ascii.size());
}

QString MLDefaultDistinctIdentifier() {
    return MLDefaultDistinctIdentifier({QStringLiteral("/etc/machine-id"), QStringLiteral("/var/lib/dbus/machine-id")},
                                       QStringLiteral("/proc/net/route"), QStringLiteral("/sys/class/net"));
}

QString MLDefaultDistinctIdentifier(const QStringList& machineIdFiles, const QString& routeTable,
                                    const QString& interfacesFolder) {
    QByteArray identity;
    for (const QString& path : machineIdFiles) {
        identity = readSmallFile(path);
        if (!identity.isEmpty()) break;
    }
    if (identity.isEmpty()) {
        const QString interface = defaultRouteInterface(routeTable);
        // A name from the table never leaves the interfaces' folder.
        if (!interface.isEmpty() && !interface.contains(QLatin1Char('/')) && interface != QLatin1String("..") &&
            interface != QLatin1String(".")) {
            const QByteArray address = readSmallFile(interfacesFolder + QLatin1Char('/') + interface + QStringLiteral("/address"));
            if (!address.isEmpty() && address != "00:00:00:00:00:00") identity = "mac:" + address.toLower();
        }
    }
    if (identity.isEmpty()) return {};
    static const QByteArray key = "com.qorvel.Qorvel analytics distinct id";
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (!HMAC(EVP_sha1(), key.constData(), int(key.size()), reinterpret_cast<const unsigned char*>(identity.constData()),
              size_t(identity.size()), digest, &digestLength))
        return {};
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(digest), int(digestLength)).toHex());
}
