// Small helpers the capture half and the report side share: the application's bundle values,
// activities, symbol lookup by address, hex, digests, identifiers, removal of a file that may be
// missing, start-up timing marks and delayed work. Only the hex coders run at crash time.
#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <QVariantMap>

#include <cstdint>
#include <functional>
#include <memory>

class OperationQueue;
class QCoreApplication;

// The main bundle's values, from the kits' Info dictionary.
QString FLTApplicationGetEscapedBundleIdentifier();  // "/" replaced by "_"
QString FLTApplicationGetBuildVersion();             // CFBundleVersion
QString FLTApplicationGetShortVersion();             // CFBundleShortVersionString
QString FLTApplicationGetName();  // display name, else bundle name, else the build version
// The NSExtension dictionary's NSExtensionPointIdentifier; empty (and logged) when either is
// malformed, empty when absent.
QString FLTApplicationExtensionPointIdentifier();
bool FLTApplicationIsExtension();
// The application object, null when the process has none.
QCoreApplication* FLTApplicationSharedApplication();
// Opens url with the desktop's handler and calls completion with the outcome.
void FLTApplicationOpenURL(const QUrl& url, const std::function<void(bool opened)>& completion);

// Work that should not be cut short (a report's upload). The options' bits 0x4000 (sudden
// termination) and 0x8000 (automatic termination) are held off while any activity asking for them
// runs; the token names what to give back, and ending a token a second time gives back nothing.
enum : uint64_t { kFLTActivitySuddenTerminationDisabled = 0x4000, kFLTActivityAutomaticTerminationDisabled = 0x8000 };
QVariantMap FLTApplicationBeginActivity(uint64_t options, const QString& reason);
void FLTApplicationEndActivity(QVariantMap& token);
void FLTApplicationActivity(uint64_t options, const QString& reason, const std::function<void()>& block);
// Whether some running activity holds off sudden or automatic termination now.
bool FLTApplicationSuddenTerminationDisabled();
bool FLTApplicationAutomaticTerminationDisabled();

// Hex, usable at crash time: a byte as two lower-case digits; a digit's value (255 for anything
// that is not one); length bytes as 2 x length digits and a terminating zero.
void FLTHexFromByte(uint8_t byte, char out[2]);
uint8_t FLTHexDigitValue(char digit);
void FLTHexFromBytes(const uint8_t* bytes, uint64_t length, char* out);

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
// Runs block and writes "[Profile] <name>: <milliseconds> ms" to standard error.
void FLTProfileBlock(const char* name, const std::function<void()>& block);

// Runs block on queue after the delay in seconds (a negative or not-a-number delay: at once; one
// beyond a day is a day).
void FLTDispatchAfter(double seconds, OperationQueue& queue, std::function<void()> block);
// After the delay, from the shared global queue, adds block to queue.
void FLTAddOperationAfterDelay(const std::shared_ptr<OperationQueue>& queue, std::function<void()> block,
                               double seconds);
// A log line that also goes to the system log.
void FLTNSLog(const QString& message);
