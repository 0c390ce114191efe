// What the kits report about an ELF build: its architecture, its GNU build-id and the oldest
// kernel its ABI note allows, read from a file or a buffer with every read bounded.
#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <optional>

struct TRLElfIdentity {
    QString architecture;   // "x86_64", "arm64", "i386", "arm", "riscv64", ... or "unknown"
    QByteArray buildId;     // the whole NT_GNU_BUILD_ID note; empty without one
    bool hasAbiTag = false;
    quint32 abiMajor = 0, abiMinor = 0, abiPatch = 0;  // from NT_GNU_ABI_TAG
    // The first 16 bytes of the build-id (zero-padded), the slice UUID of the instance identifier.
    QByteArray uuidBytes() const;
};

// Nothing for bytes that are not an ELF image.
std::optional<TRLElfIdentity> TRLElfReadIdentity(const uchar* data, qint64 size);
std::optional<TRLElfIdentity> TRLElfReadIdentityOfFile(const QString& path);
// The C library the program was built against, as "major.minor.0".
QString TRLElfBuiltLibraryVersion();
