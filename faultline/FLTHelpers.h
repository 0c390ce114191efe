// Small helpers the capture half and the report side share: symbol lookup by address, digests,
// identifiers, removal of a file that may be missing, and start-up timing marks. None of these
// run at crash time.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>

// Calls block with the symbol name and image path of address ("unknown" for a missing one), or with
// two nulls when no loaded image holds it.
void FLTDladdrLookup(uint64_t address, const std::function<void(const char* symbol, const char* path)>& block);
// 40 lower-case hex digits.
QString FLTSHA1HexString(const void* bytes, uint64_t length);
QString FLTSHA1HexStringFromData(const QByteArray& data);
QString FLTHexStringFromData(const QByteArray& data);
// A new UUID as "XXXXXXXX-XXXX-...", and without dashes in lower case.
QString FLTGenerateUUIDString();
QString FLTNormalizeUUIDString(const QString& uuid);
QString FLTGenerateNormalizedUUID();
// True when the file was removed or was not there.
bool FLTUnlinkIfExists(const char* path);
// A monotonic mark, and the milliseconds since one.
uint64_t FLTProfileMark();
double FLTProfileEndTime(uint64_t mark);
// A log line that also goes to the system log.
void FLTNSLog(const QString& message);
