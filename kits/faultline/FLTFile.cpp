#include "kits/faultline/FLTFile.h"

#include "kits/faultline/FLTSDKLog.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uint64_t kBufferSize = 1000;
const char kHexDigits[] = "0123456789abcdef";

void resetHandle(FLTFile* file) { *file = FLTFile{}; }

void separate(FLTFile* file) {
    if (file->needsComma) FLTFileWriteRaw(file, ",", 1);
}

void valueWritten(FLTFile* file) { file->needsComma = true; }

// The length of a well-formed UTF-8 sequence at bytes (at most left bytes), 0 when it is not one.
unsigned utf8SequenceLength(const unsigned char* bytes, uint64_t left) {
    const unsigned char lead = bytes[0];
    unsigned length;
    unsigned char low = 0x80, high = 0xBF;
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else
        return 0;
    if (left < length) return 0;
    if (bytes[1] < low || bytes[1] > high) return 0;
    for (unsigned i = 2; i < length; ++i)
        if (bytes[i] < 0x80 || bytes[i] > 0xBF) return 0;
    return length;
}

}  // namespace

ssize_t FLTFileWriteWithRetries(int fd, const char* bytes, uint64_t length) {
    errno = 0;
    const ssize_t written = ::write(fd, bytes, length);
    if (written < 0) FLTLogError("Failed to write: %s\n", FLTErrnoName(errno));
    return written;
}

bool FLTFileLoopWithWriteBlock(int fd, const char* bytes, uint64_t length, FLTWriteBlock block) {
    uint64_t done = 0;
    for (int attempt = 0; attempt < 50; ++attempt) {
        const uint64_t left = length - done;
        if (left == 0) return true;
        const ssize_t written = block(fd, bytes + done, left);
        if (written > 0 && uint64_t(written) == left) return true;
        if (written > 0 && uint64_t(written) > left) {
            FLTLogError("Error: length doesn't make sense (%zd, %zu)\n", written, size_t(left));
            return false;
        }
        if (written < 1) break;
        done += uint64_t(written);
    }
    FLTLogError("Error: exited write loop without success\n");
    return false;
}

namespace {

// The checks both openings make first; a file with no handle when they fail.
bool readyToOpen(FLTFile* file, const char* path) {
    if (!file) {
        FLTLogWarn("Error: file is null\n");
        return false;
    }
    resetHandle(file);
    if (!path) {
        FLTLogWarn("Error: file descriptor invalid\n");
        return false;
    }
    return true;
}

bool opened(int fd, const char* path) {
    if (fd >= 0) return true;
    FLTLogWarn("Error: Unable to open file %s\n", path);
    FLTLogWarn("Error: file descriptor invalid\n");
    return false;
}

}  // namespace

bool FLTFileInitWithPathMode(FLTFile* file, const char* path, bool append, bool buffered) {
    if (!readyToOpen(file, path)) return false;
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC), 0644);
    if (!opened(fd, path)) return false;
    file->fd = fd;
    if (append) {
        struct stat info{};
        if (::fstat(fd, &info) == 0) file->total = uint64_t(info.st_size);
    }
    if (buffered) {
        file->buffer = static_cast<char*>(std::malloc(kBufferSize));
        if (file->buffer) {
            file->buffered = true;
            file->ownsBuffer = true;
            file->capacity = kBufferSize;
        }
    }
    return true;
}

bool FLTFileInitWithPath(FLTFile* file, const char* path, bool buffered) {
    return FLTFileInitWithPathMode(file, path, true, buffered);
}

bool FLTFileInitWithBuffer(FLTFile* file, const char* path, char* buffer, uint64_t capacity) {
    if (!readyToOpen(file, path)) return false;
    // A new file, made here: whatever holds the name was not written by this crash (a process
    // records one), and a record appended to it would be two crashes in one file, neither read.
    int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    for (int attempt = 0; fd < 0 && errno == EEXIST && attempt < 3; ++attempt) {
        FLTLogWarn("An earlier record was at %s: a new one replaces it\n", path);
        ::unlink(path);
        fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    }
    if (!opened(fd, path)) return false;
    file->fd = fd;
    if (buffer && capacity > 1) {
        file->buffer = buffer;
        file->capacity = capacity;
        file->buffered = true;
    }
    return true;
}

bool FLTFileIsOpen(const FLTFile* file) { return file && file->fd >= 0; }

bool FLTFileFlush(FLTFile* file) {
    if (!file || !file->buffered || file->held == 0) return true;
    const bool ok = FLTFileLoopWithWriteBlock(file->fd, file->buffer, file->held, FLTFileWriteWithRetries);
    if (ok) file->total += file->held;
    file->held = 0;  // emptied even on failure: the next line must not repeat these bytes
    return ok;
}

bool FLTFileCloseWithOffset(FLTFile* file, uint64_t* outTotal) {
    if (!FLTFileIsOpen(file)) return false;
    FLTFileFlush(file);
    if (file->ownsBuffer) std::free(file->buffer);
    file->buffer = nullptr;
    file->ownsBuffer = false;
    file->buffered = false;
    if (outTotal) *outTotal = file->total;
    if (::close(file->fd) != 0) {
        FLTLogWarn("Error: Unable to close file %s\n", FLTErrnoName(errno));
        return false;
    }
    resetHandle(file);
    return true;
}

bool FLTFileClose(FLTFile* file) { return FLTFileCloseWithOffset(file, nullptr); }

bool FLTFileWriteRaw(FLTFile* file, const char* bytes, uint64_t length) {
    if (!FLTFileIsOpen(file)) return false;
    if (!file->buffered) {
        const bool ok = FLTFileLoopWithWriteBlock(file->fd, bytes, length, FLTFileWriteWithRetries);
        if (ok) file->total += length;
        return ok;
    }
    bool ok = true;
    while (length > 0) {
        const uint64_t room = file->capacity - 1 - file->held;
        const uint64_t part = length < room ? length : room;
        std::memcpy(file->buffer + file->held, bytes, part);
        file->held += part;
        bytes += part;
        length -= part;
        if (file->held + 1 >= file->capacity) ok = FLTFileFlush(file) && ok;
    }
    return ok;
}

char* FLTFileFormatUInt64(uint64_t value, bool hex, char buffer[21]) {
    std::memset(buffer, 0, 21);
    int position = 20;
    const unsigned base = hex ? 16 : 10;
    do {
        buffer[--position] = kHexDigits[value % base];
        value /= base;
    } while (value && position > 0);
    return buffer + position;
}

void FLTFileWriteUInt64(FLTFile* file, uint64_t value, bool hex) {
    char buffer[21];
    const char* digits = FLTFileFormatUInt64(value, hex, buffer);
    FLTFileWriteRaw(file, digits, std::strlen(digits));
}

void FLTFileWriteInt64(FLTFile* file, int64_t value) {
    if (value < 0) FLTFileWriteRaw(file, "-", 1);
    FLTFileWriteUInt64(file, value < 0 ? uint64_t(0) - uint64_t(value) : uint64_t(value), false);
}

void FLTFileWriteUInt64ToFD(int fd, uint64_t value, bool hex) {
    char buffer[21];
    const char* digits = FLTFileFormatUInt64(value, hex, buffer);
    FLTFileLoopWithWriteBlock(fd, digits, std::strlen(digits), FLTFileWriteWithRetries);
}

void FLTFileWriteInt64ToFD(int fd, int64_t value) {
    if (value < 0) FLTFileLoopWithWriteBlock(fd, "-", 1, FLTFileWriteWithRetries);
    FLTFileWriteUInt64ToFD(fd, value < 0 ? uint64_t(0) - uint64_t(value) : uint64_t(value), false);
}

void FLTFileWriteEscapedString(FLTFile* file, const char* text, uint64_t length) {
    char chunk[64];
    uint64_t used = 0;
    auto put = [&](const char* bytes, uint64_t count) {
        if (used + count > sizeof chunk) {
            FLTFileWriteRaw(file, chunk, used);
            used = 0;
        }
        std::memcpy(chunk + used, bytes, count);
        used += count;
    };
    put("\"", 1);
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    for (uint64_t i = 0; i < length;) {
        const unsigned char c = bytes[i];
        if (c == '"' || c == '\\') {
            const char escaped[2] = {'\\', char(c)};
            put(escaped, 2);
            ++i;
        } else if (c < 0x20) {
            const char escaped[6] = {'\\', 'u', '0', '0', kHexDigits[c >> 4], kHexDigits[c & 15]};
            put(escaped, 6);
            ++i;
        } else {
            const unsigned sequence = utf8SequenceLength(bytes + i, length - i);
            if (sequence == 0) {
                put("\\ufffd", 6);
                ++i;
            } else {
                put(text + i, sequence);
                i += sequence;
            }
        }
    }
    put("\"", 1);
    FLTFileWriteRaw(file, chunk, used);
}

void FLTFileWriteSectionStart(FLTFile* file, const char* name) {
    FLTFileWriteRaw(file, "{", 1);
    file->depth = 1;
    file->needsComma = false;
    FLTFileWriteHashKey(file, name);
}

void FLTFileWriteSectionEnd(FLTFile* file) {
    FLTFileWriteRaw(file, "}\n", 2);
    file->depth = 0;
    file->needsComma = false;
}

void FLTFileWriteHashStart(FLTFile* file) {
    separate(file);
    FLTFileWriteRaw(file, "{", 1);
    ++file->depth;
    file->needsComma = false;
}

void FLTFileWriteHashEnd(FLTFile* file) {
    FLTFileWriteRaw(file, "}", 1);
    --file->depth;
    file->needsComma = file->depth >= 1;
}

void FLTFileWriteArrayStart(FLTFile* file) {
    separate(file);
    FLTFileWriteRaw(file, "[", 1);
    ++file->depth;
    file->needsComma = false;
}

void FLTFileWriteArrayEnd(FLTFile* file) {
    FLTFileWriteRaw(file, "]", 1);
    --file->depth;
    file->needsComma = file->depth >= 1;
}

void FLTFileWriteHashKey(FLTFile* file, const char* key) {
    separate(file);
    FLTFileWriteEscapedString(file, key, std::strlen(key));
    FLTFileWriteRaw(file, ":", 1);
    file->needsComma = false;
}

void FLTFileWriteHashEntryUint64(FLTFile* file, const char* key, uint64_t value) {
    FLTFileWriteHashKey(file, key);
    FLTFileWriteUInt64(file, value, false);
    valueWritten(file);
}

void FLTFileWriteHashEntryInt64(FLTFile* file, const char* key, int64_t value) {
    FLTFileWriteHashKey(file, key);
    FLTFileWriteInt64(file, value);
    valueWritten(file);
}

void FLTFileWriteHashEntryBytes(FLTFile* file, const char* key, const char* bytes, uint64_t length) {
    FLTFileWriteHashKey(file, key);
    if (bytes) FLTFileWriteEscapedString(file, bytes, length);
    else FLTFileWriteRaw(file, "null", 4);
    valueWritten(file);
}

void FLTFileWriteHashEntryString(FLTFile* file, const char* key, const char* value) {
    FLTFileWriteHashEntryBytes(file, key, value, value ? std::strlen(value) : 0);
}

void FLTFileWriteHashEntryStringUnlessNullOrEmpty(FLTFile* file, const char* key, const char* value) {
    if (value && *value) FLTFileWriteHashEntryString(file, key, value);
}

namespace {
void writeHex(FLTFile* file, const char* bytes, uint64_t length) {
    char chunk[32];
    uint64_t used = 0;
    FLTFileWriteRaw(file, "\"", 1);
    for (uint64_t i = 0; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        chunk[used++] = kHexDigits[byte >> 4];
        chunk[used++] = kHexDigits[byte & 15];
        if (used == sizeof chunk) {
            FLTFileWriteRaw(file, chunk, used);
            used = 0;
        }
    }
    FLTFileWriteRaw(file, chunk, used);
    FLTFileWriteRaw(file, "\"", 1);
}
}  // namespace

void FLTFileWriteHashEntryHexEncodedBytes(FLTFile* file, const char* key, const char* bytes, uint64_t length) {
    FLTFileWriteHashKey(file, key);
    if (bytes) writeHex(file, bytes, length);
    else FLTFileWriteRaw(file, "null", 4);
    valueWritten(file);
}

void FLTFileWriteHashEntryHexEncodedString(FLTFile* file, const char* key, const char* value) {
    FLTFileWriteHashEntryHexEncodedBytes(file, key, value, value ? std::strlen(value) : 0);
}

void FLTFileWriteHashEntryBoolean(FLTFile* file, const char* key, bool value) {
    FLTFileWriteHashKey(file, key);
    FLTFileWriteRaw(file, value ? "true" : "false", value ? 4 : 5);
    valueWritten(file);
}

void FLTFileWriteHashEntryNull(FLTFile* file, const char* key) {
    FLTFileWriteHashKey(file, key);
    FLTFileWriteRaw(file, "null", 4);
    valueWritten(file);
}

void FLTFileWriteArrayEntryUint64(FLTFile* file, uint64_t value) {
    separate(file);
    FLTFileWriteUInt64(file, value, false);
    valueWritten(file);
}

void FLTFileWriteArrayEntryString(FLTFile* file, const char* value) {
    separate(file);
    if (value) FLTFileWriteEscapedString(file, value, std::strlen(value));
    else FLTFileWriteRaw(file, "null", 4);
    valueWritten(file);
}

void FLTFileWriteArrayEntryHexEncodedBytes(FLTFile* file, const char* bytes, uint64_t length) {
    separate(file);
    if (bytes) writeHex(file, bytes, length);
    else FLTFileWriteRaw(file, "null", 4);
    valueWritten(file);
}

void FLTFileWriteArrayEntryHexEncodedString(FLTFile* file, const char* value) {
    FLTFileWriteArrayEntryHexEncodedBytes(file, value, value ? std::strlen(value) : 0);
}

void FLTFileWriteArrayEntryNull(FLTFile* file) {
    separate(file);
    FLTFileWriteRaw(file, "null", 4);
    valueWritten(file);
}
