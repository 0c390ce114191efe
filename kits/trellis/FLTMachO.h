// A reader of Mach-O images over mapped files and byte buffers: architecture slices (thin, fat,
// either byte order), their load commands, UUIDs and version words. Every read is checked against
// the end of the buffer, so a damaged or hostile file yields fewer answers, never a fault or a
// loop.
#pragma once

#include <QString>
#include <QtGlobal>

#include <functional>

inline constexpr quint32 FLTMachOFatMagic = 0xcafebabe;
inline constexpr quint32 FLTMachOMagic32 = 0xfeedface;
inline constexpr quint32 FLTMachOMagic64 = 0xfeedfacf;
inline constexpr quint32 FLTMachOCigam32 = 0xcefaedfe;
inline constexpr quint32 FLTMachOCigam64 = 0xcffaedfe;
inline constexpr quint32 FLTMachOLoadCommandSegment = 1;
inline constexpr quint32 FLTMachOLoadCommandSegment64 = 25;
inline constexpr quint32 FLTMachOLoadCommandUUID = 27;
inline constexpr quint32 FLTMachOLoadCommandVersionMinMacOSX = 36;
inline constexpr quint32 FLTMachOLoadCommandVersionMinIPhoneOS = 37;
inline constexpr quint32 FLTMachOLoadCommandEncryptionInfo = 0x21;
inline constexpr quint32 FLTMachOLoadCommandEncryptionInfo64 = 0x2c;
inline constexpr qint32 FLTMachOCPUArch64 = 0x01000000;

// A read-only view of a whole image: a mapping of a file (owned) or a caller's buffer.
struct FLTMachOFile {
    int fd = -1;
    qint64 size = 0;
    const uchar* data = nullptr;
    bool mapped = false;
};

struct FLTMachOSlice {
    const uchar* header = nullptr;
    qint64 available = 0;  // bytes from the header to the end of the image
    qint32 cpuType = 0;
    qint32 cpuSubtype = 0;
    bool swapped = false;  // the header's fields are in the other byte order
};

// A load command as found: its kind, its size and its bytes (size bytes, all inside the image).
struct FLTMachOLoadCommand {
    quint32 cmd = 0;
    quint32 size = 0;
    const uchar* data = nullptr;
    bool swapped = false;
};

struct FLTMachOVersion {
    quint32 major = 0, minor = 0, patch = 0;
};

struct FLTMachOSegment {
    quint64 vmaddr = 0, vmsize = 0, fileoff = 0, filesize = 0;
};

struct FLTMachOSection {
    quint64 addr = 0, size = 0;
    quint32 offset = 0;
};

// Maps a regular file of at least 16 bytes read-only; false (nothing left open) otherwise.
bool FLTMachOFileInitWithPath(FLTMachOFile* file, const QString& path);
// Views a buffer the caller keeps alive; false for a null one.
bool FLTMachOFileInitWithBuffer(FLTMachOFile* file, const void* data, qint64 size);
void FLTMachOFileDestroy(FLTMachOFile* file);

// Once per architecture of a fat file (headers inside the file only), once for a thin file, once
// with type 0 for anything else.
void FLTMachOFileEnumerateSlices(const FLTMachOFile* file, const std::function<void(FLTMachOSlice)>& block);
FLTMachOSlice FLTMachOSliceWithHeader(const void* header, qint64 available);
bool FLTMachOSliceIs64Bit(const FLTMachOSlice* slice);
QString FLTMachOSliceGetArchitectureName(const FLTMachOSlice* slice);
// Calls the block for each load command that lies wholly inside the image, in order; stops at
// the first one whose size is too small or runs past the end. Other magics call nothing.
void FLTMachOSliceEnumerateLoadCommands(FLTMachOSlice* slice, const std::function<void(const FLTMachOLoadCommand&)>& block);
bool FLTMachOSliceGetSectionByName(const FLTMachOSlice* slice, const char* segment, const char* section, FLTMachOSection* out);
bool FLTMachOFindSliceByArchitecture(const FLTMachOFile* file, const QString& name, FLTMachOSlice* out);

bool FLTMachOGetUUID(const FLTMachOLoadCommand& command, uchar out[16]);
FLTMachOVersion FLTMachOGetMinimumOSVersion(const FLTMachOLoadCommand& command);
FLTMachOVersion FLTMachOGetSDKVersion(const FLTMachOLoadCommand& command);
QString FLTMachOFormatVersion(const FLTMachOVersion* version);  // "%d.%d.%d"; empty for none
FLTMachOSegment FLTMachOGetSegmentCommand(const FLTMachOLoadCommand& command);
QString FLTMachOGetString(const FLTMachOLoadCommand& command);
bool FLTMachOIsEncrypted(const FLTMachOLoadCommand& command);
QString FLTMachOFormatUUID(const uchar uuid[16]);  // 32 lower-case hexadecimal characters
