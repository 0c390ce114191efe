#include "kits/faultline/FLTHelpers.h"

#include "kits/faultline/FLTSDKLog.h"
#include "kits/faultline/FLTUserLogging.h"
#include "platform/OperationQueue.h"
#include "platform/SystemLog.h"
#include "kits/trellis/TRLHelpers.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDesktopServices>
#include <QUuid>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>

#include <dlfcn.h>
#include <unistd.h>

void FLTDladdrLookup(uint64_t address, const std::function<void(const char*, const char*)>& block) {
    if (!block) return;
    Dl_info info{};
    if (!::dladdr(reinterpret_cast<const void*>(uintptr_t(address)), &info)) {
        block(nullptr, nullptr);
        return;
    }
    block(info.dli_sname ? info.dli_sname : "unknown", info.dli_fname ? info.dli_fname : "unknown");
}

QString FLTSHA1HexString(const void* bytes, uint64_t length) {
    return FLTSHA1HexStringFromData(QByteArray::fromRawData(static_cast<const char*>(bytes), qsizetype(length)));
}

QString FLTSHA1HexStringFromData(const QByteArray& data) {
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha1).toHex());
}

QString FLTHexStringFromData(const QByteArray& data) { return QString::fromLatin1(data.toHex()); }

QString FLTGenerateUUIDString() { return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper(); }

QString FLTNormalizeUUIDString(const QString& uuid) { return QString(uuid).remove(QLatin1Char('-')).toLower(); }

QString FLTGenerateNormalizedUUID() { return FLTNormalizeUUIDString(FLTGenerateUUIDString()); }

bool FLTUnlinkIfExists(const char* path) { return path && (::unlink(path) == 0 || errno == ENOENT); }

uint64_t FLTProfileMark() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return uint64_t(now.tv_sec) * 1000000000u + uint64_t(now.tv_nsec);
}

double FLTProfileEndTime(uint64_t mark) { return double(FLTProfileMark() - mark) / 1e6; }

void FLTNSLog(const QString& message) {
    FLTUserLoggingRecordLogMessage(message);
    SystemLog::notice(message);
}

QString FLTApplicationGetEscapedBundleIdentifier() { return TRLEscapedBundleIdentifier(); }
QString FLTApplicationGetBuildVersion() { return TRLBundleVersion(); }
QString FLTApplicationGetShortVersion() { return TRLBundleShortVersion(); }
QString FLTApplicationGetName() { return TRLBundleDisplayName(); }

QString FLTApplicationExtensionPointIdentifier() {
    const QVariantMap info = TRLInfoDictionary();
    if (!info.contains(QStringLiteral("NSExtension"))) return {};
    const QVariant extension = info.value(QStringLiteral("NSExtension"));
    if (extension.typeId() != QMetaType::QVariantMap) {
        FLTLogWarn("Error: NSExtension Info.plist entry is mal-formed\n");
        return {};
    }
    const QVariant identifier = extension.toMap().value(QStringLiteral("NSExtensionPointIdentifier"));
    if (identifier.typeId() != QMetaType::QString) {
        FLTLogWarn("Error: NSExtensionPointIdentifier Info.plist entry is mal-formed\n");
        return {};
    }
    return identifier.toString();
}

bool FLTApplicationIsExtension() { return !FLTApplicationExtensionPointIdentifier().isEmpty(); }

QCoreApplication* FLTApplicationSharedApplication() { return QCoreApplication::instance(); }

void FLTApplicationOpenURL(const QUrl& url, const std::function<void(bool)>& completion) {
    const bool opened = url.isValid() && QDesktopServices::openUrl(url);
    if (completion) completion(opened);
}

namespace {
std::atomic<int64_t> g_suddenTerminationHolds{0};
std::atomic<int64_t> g_automaticTerminationHolds{0};
const QString kActivityOptions = QStringLiteral("options");
const QString kActivityReason = QStringLiteral("reason");
}  // namespace

QVariantMap FLTApplicationBeginActivity(uint64_t options, const QString& reason) {
    if (options & kFLTActivitySuddenTerminationDisabled) g_suddenTerminationHolds.fetch_add(1);
    if (options & kFLTActivityAutomaticTerminationDisabled) g_automaticTerminationHolds.fetch_add(1);
    return {{kActivityOptions, QVariant::fromValue<qulonglong>(options)}, {kActivityReason, reason}};
}

void FLTApplicationEndActivity(QVariantMap& token) {
    // The token is emptied as it is ended: a second end, or a token never begun, gives back
    // nothing, so the holds of other activities stay.
    if (!token.contains(kActivityOptions)) return;
    const uint64_t options = token.value(kActivityOptions).toULongLong();
    token.clear();
    if (options & kFLTActivitySuddenTerminationDisabled) g_suddenTerminationHolds.fetch_sub(1);
    if (options & kFLTActivityAutomaticTerminationDisabled) g_automaticTerminationHolds.fetch_sub(1);
}

void FLTApplicationActivity(uint64_t options, const QString& reason, const std::function<void()>& block) {
    QVariantMap token = FLTApplicationBeginActivity(options, reason);
    struct End {
        QVariantMap& token;
        ~End() { FLTApplicationEndActivity(token); }
    } end{token};  // also when the block throws
    if (block) block();
}

bool FLTApplicationSuddenTerminationDisabled() { return g_suddenTerminationHolds.load() > 0; }
bool FLTApplicationAutomaticTerminationDisabled() { return g_automaticTerminationHolds.load() > 0; }

void FLTHexFromByte(uint8_t byte, char out[2]) {
    static const char digits[] = "0123456789abcdef";
    out[0] = digits[byte >> 4];
    out[1] = digits[byte & 15];
}

uint8_t FLTHexDigitValue(char digit) {
    if (digit >= '0' && digit <= '9') return uint8_t(digit - '0');
    if (digit >= 'a' && digit <= 'f') return uint8_t(digit - 'a' + 10);
    if (digit >= 'A' && digit <= 'F') return uint8_t(digit - 'A' + 10);
    return 255;
}

void FLTHexFromBytes(const uint8_t* bytes, uint64_t length, char* out) {
    if (!out) return;
    for (uint64_t i = 0; bytes && i < length; ++i) FLTHexFromByte(bytes[i], out + 2 * i);
    out[bytes ? 2 * length : 0] = 0;
}

void FLTProfileBlock(const char* name, const std::function<void()>& block) {
    const uint64_t mark = FLTProfileMark();
    if (block) block();
    std::fprintf(stderr, "[Profile] %s: %f ms\n", name ? name : "", FLTProfileEndTime(mark));
}

namespace {
std::chrono::milliseconds delayFromSeconds(double seconds) {
    constexpr double kDay = 86400;
    if (!(seconds > 0)) return std::chrono::milliseconds(0);  // negative, zero, not a number
    return std::chrono::milliseconds(int64_t(std::llround(std::min(seconds, kDay) * 1000)));
}
}  // namespace

void FLTDispatchAfter(double seconds, OperationQueue& queue, std::function<void()> block) {
    if (!block) return;
    queue.after(delayFromSeconds(seconds), std::move(block));
}

void FLTAddOperationAfterDelay(const std::shared_ptr<OperationQueue>& queue, std::function<void()> block,
                               double seconds) {
    if (!block || !queue) return;
    // A queue gone by then gets nothing: the delay does not keep it alive.
    OperationQueue::global().after(delayFromSeconds(seconds), [weak = std::weak_ptr<OperationQueue>(queue),
                                                               block = std::move(block)] {
        if (auto target = weak.lock()) target->async(block);
    });
}
