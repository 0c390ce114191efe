// Bundle values come from the Info dictionary, system values from uname, /sys and /proc,
// digests from libcrypto.
#include "kits/trellis/TRLHelpers.h"

#include "platform/AppBundle.h"
#include "shell/StringHashing.h"

#include <QCryptographicHash>
#include <QFile>
#include <QMutex>
#include <QRegularExpression>

#include <cstring>

#include <sys/utsname.h>

namespace {

QMutex g_infoLock;
std::optional<QVariantMap> g_info;

QString infoString(const QString& key) {
    const QVariant v = TRLInfoDictionary().value(key);
    return v.typeId() == QMetaType::QString ? v.toString() : QString();
}

std::optional<bool> infoFlag(const QVariantMap& map, const QString& key) {
    const QVariant v = map.value(key);
    if (v.typeId() == QMetaType::Bool) return v.toBool();
    if (v.typeId() == QMetaType::LongLong || v.typeId() == QMetaType::Int || v.typeId() == QMetaType::Double)
        return v.toDouble() != 0;
    return std::nullopt;
}

QString firstLine(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(f.readLine(512)).trimmed();
}

}  // namespace

QVariantMap TRLInfoDictionary() {
    {
        QMutexLocker locker(&g_infoLock);
        if (g_info) return *g_info;
    }
    return AppBundle::main().infoDictionary();
}

void TRLSetInfoDictionary(const std::optional<QVariantMap>& info) {
    QMutexLocker locker(&g_infoLock);
    g_info = info;
}

QString TRLBundleIdentifier() { return infoString(QStringLiteral("CFBundleIdentifier")); }
QString TRLEscapedBundleIdentifier() { return TRLBundleIdentifier().replace(QLatin1Char('/'), QLatin1Char('_')); }
QString TRLBundleVersion() { return infoString(QStringLiteral("CFBundleVersion")); }
QString TRLBundleShortVersion() { return infoString(QStringLiteral("CFBundleShortVersionString")); }

QString TRLBundleDisplayName() {
    QString name = infoString(QStringLiteral("CFBundleDisplayName"));
    if (name.isEmpty()) name = infoString(QStringLiteral("CFBundleName"));
    return name.isEmpty() ? TRLBundleVersion() : name;
}

// Qorvel ships through no store whose receipt could be looked for.
bool TRLIsAppStoreReceiptPresent() { return false; }

bool TRLIsSignedForDistribution() {
    return infoFlag(TRLInfoDictionary(), QStringLiteral("FaultlineSignedForDistribution")).value_or(false);
}

int TRLInstallSource() {
    if (TRLIsAppStoreReceiptPresent()) return 4;
    return TRLIsSignedForDistribution() ? 3 : 1;
}

bool TRLShouldCollectDeviceIdentifiers() {
    const QVariantMap info = TRLInfoDictionary();
    if (auto v = infoFlag(info.value(QStringLiteral("Trellis")).toMap(), QStringLiteral("ReportIdentifiers"))) return *v;
    if (auto v = infoFlag(info, QStringLiteral("FaultlineCollectDeviceIdentifiers"))) return *v;
    return true;
}

TRLOSVersion TRLOperatingSystemVersion() {
    utsname u{};
    TRLOSVersion v;
    if (uname(&u) != 0) return v;
    const QRegularExpressionMatch m =
        QRegularExpression(QStringLiteral("^(\\d+)(?:\\.(\\d+))?(?:\\.(\\d+))?")).match(QString::fromUtf8(u.release));
    if (!m.hasMatch()) return v;
    v.major = m.captured(1).toLongLong();
    v.minor = m.captured(2).toLongLong();
    v.patch = m.captured(3).toLongLong();
    return v;
}

qint32 TRLOperatingSystemVersionCode() {
    switch (TRLOperatingSystemVersion().minor) {
    case 6: return 1060;
    case 7: return 1070;
    case 8: return 1080;
    case 9: return 1090;
    case 10: return 101000;
    case 11: return 101100;
    case 12: return 101200;
    default: return 0;
    }
}

QString TRLOSDisplayVersion() {
    const TRLOSVersion v = TRLOperatingSystemVersion();
    return QStringLiteral("%1.%2.%3").arg(v.major).arg(v.minor).arg(v.patch);
}

QString TRLOSBuildVersion() {
    utsname u{};
    return uname(&u) == 0 ? QString::fromUtf8(u.version) : QString();
}

QString TRLHardwareModel() {
    QString model = firstLine(QStringLiteral("/sys/class/dmi/id/product_name"));
    if (!model.isEmpty()) return model;
    QFile cpu(QStringLiteral("/proc/cpuinfo"));
    if (cpu.open(QIODevice::ReadOnly)) {
        for (int i = 0; i < 64 && !cpu.atEnd(); ++i) {
            const QString line = QString::fromUtf8(cpu.readLine(512));
            if (line.startsWith(QLatin1String("model name")) || line.startsWith(QLatin1String("Model")))
                return line.section(QLatin1Char(':'), 1).trimmed();
        }
    }
    utsname u{};
    return uname(&u) == 0 ? QString::fromUtf8(u.machine) : QString();
}

QString TRLSysctlString(const QString& name) {
    static const QRegularExpression valid(QStringLiteral("^[a-z0-9_]+(\\.[a-z0-9_]+)*$"));
    if (!valid.match(name).hasMatch()) return {};
    QFile f(QStringLiteral("/proc/sys/") + QString(name).replace(QLatin1Char('.'), QLatin1Char('/')));
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(f.read(127)).trimmed();
}

void TRLHexEncodeByte(unsigned char byte, char* out2) {
    static const char digits[] = "0123456789abcdef";
    if (!out2) return;
    out2[0] = digits[byte >> 4];
    out2[1] = digits[byte & 0xf];
}

void TRLHexEncodeBytes(const unsigned char* bytes, size_t length, char* out) {
    if (!out) return;
    if (!bytes) length = 0;
    memset(out, 0, length * 2 + 1);
    for (size_t i = 0; i < length; ++i) TRLHexEncodeByte(bytes[i], out + 2 * i);
}

QString TRLHexStringFromData(const QByteArray& data) { return QString::fromLatin1(data.toHex()); }

QString TRLSHA1HexDigest(const void* bytes, size_t length) {
    // Qt's own digest: the launch computes one (the instance identifier) before its first paint,
    // and OpenSSL's first digest loads its configuration and providers, most of the kits' start.
    const QByteArray digest = QCryptographicHash::hash(
        QByteArrayView(static_cast<const char*>(bytes ? bytes : ""), bytes ? qsizetype(length) : 0), QCryptographicHash::Sha1);
    char hex[2 * 20 + 1];
    TRLHexEncodeBytes(reinterpret_cast<const unsigned char*>(digest.constData()), size_t(digest.size()), hex);
    return QString::fromLatin1(hex);
}

QString TRLSHA1HexDigestOfData(const QByteArray& data) { return TRLSHA1HexDigest(data.constData(), size_t(data.size())); }

void TRLEnumerateByteRanges(const QByteArray& data, const std::function<void(const char*, qsizetype, bool*)>& block) {
    bool stop = false;
    block(data.constData(), data.size(), &stop);
}

QString TRLGenerateUUIDString() { return StringHashing::uuid(); }

QString TRLHexStringFromUUIDBytes(const unsigned char bytes[16]) {
    char hex[33];
    TRLHexEncodeBytes(bytes, 16, hex);
    return QString::fromLatin1(hex);
}
