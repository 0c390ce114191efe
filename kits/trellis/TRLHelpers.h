// Plain helpers every kit shares: values of the application bundle, facts about the running
// system, hexadecimal and SHA-1 encodings and UUID strings. They keep no state, except the Info
// dictionary a test may put in place of the application's.
#pragma once

#include <QByteArray>
#include <QString>
#include <QVariantMap>
#include <QtGlobal>

#include <functional>
#include <optional>

// The Info dictionary the kits read: the application's, unless a test set another.
QVariantMap TRLInfoDictionary();
// For tests: nothing restores the application's dictionary.
void TRLSetInfoDictionary(const std::optional<QVariantMap>& info);

QString TRLBundleIdentifier();         // empty when absent
QString TRLEscapedBundleIdentifier();  // every "/" replaced by "_"
QString TRLBundleVersion();
QString TRLBundleShortVersion();
QString TRLBundleDisplayName();  // display name, else name, else build version
bool TRLIsAppStoreReceiptPresent();
bool TRLIsSignedForDistribution();
int TRLInstallSource();  // 4 store receipt, 3 signed for distribution, 1 otherwise
bool TRLShouldCollectDeviceIdentifiers();

struct TRLOSVersion {
    qint64 major = 0, minor = 0, patch = 0;
};
TRLOSVersion TRLOperatingSystemVersion();  // the kernel release's first three numbers
qint32 TRLOperatingSystemVersionCode();
QString TRLOSDisplayVersion();
QString TRLOSBuildVersion();  // the kernel's build string
QString TRLHardwareModel();   // the machine's product name, else the processor model
// A kernel parameter by its dotted name ("kernel.osrelease"), at most 127 bytes; empty on failure.
QString TRLSysctlString(const QString& name);

void TRLHexEncodeByte(unsigned char byte, char* out2);
void TRLHexEncodeBytes(const unsigned char* bytes, size_t length, char* out);  // out: 2*length+1
QString TRLHexStringFromData(const QByteArray& data);
QString TRLSHA1HexDigest(const void* bytes, size_t length);
QString TRLSHA1HexDigestOfData(const QByteArray& data);
// Calls the block once per contiguous byte range; a QByteArray is one range.
void TRLEnumerateByteRanges(const QByteArray& data, const std::function<void(const char*, qsizetype, bool* stop)>& block);
QString TRLGenerateUUIDString();  // 36 characters, upper case, hyphenated
QString TRLHexStringFromUUIDBytes(const unsigned char bytes[16]);
