#include "faultline/FLTHelpers.h"

#include "faultline/FLTUserLogging.h"
#include "platform/SystemLog.h"

#include <QCryptographicHash>
#include <QUuid>

#include <cerrno>
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
