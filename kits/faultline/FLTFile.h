// Record files (".fltrecord"): one JSON object per line, {"section":{...}} or {"section":[...]},
// written by a hand-made emitter over a raw descriptor that signal handlers may use (no heap after
// opening, no locks; write(2), close(2) and fstat(2) only). Strings are escaped as JSON strings:
// quotes, backslashes and control bytes are escaped and bytes that are not UTF-8 become U+FFFD,
// so no text can break its line. Text the kit does not control is also written hex-encoded where
// the readers expect hex.
#pragma once

#include "kits/faultline/FLTTypes.h"

#include <cstdint>
#include <sys/types.h>

// Opens for writing (append, or truncate when not appending), 0644. Buffered handles gather 1,000
// bytes per write(2) in a heap buffer made here; appending starts the total at the file's size.
bool FLTFileInitWithPathMode(FLTFile* file, const char* path, bool append, bool buffered);
bool FLTFileInitWithPath(FLTFile* file, const char* path, bool buffered);
// A crash's record, with a caller's buffer (crash time: no heap at all): always a new file,
// created exclusively; a file already at path is removed first, never appended to.
bool FLTFileInitWithBuffer(FLTFile* file, const char* path, char* buffer, uint64_t capacity);
bool FLTFileClose(FLTFile* file);
bool FLTFileCloseWithOffset(FLTFile* file, uint64_t* outTotal);
bool FLTFileIsOpen(const FLTFile* file);
bool FLTFileFlush(FLTFile* file);

void FLTFileWriteSectionStart(FLTFile* file, const char* name);
void FLTFileWriteSectionEnd(FLTFile* file);
void FLTFileWriteHashStart(FLTFile* file);
void FLTFileWriteHashEnd(FLTFile* file);
void FLTFileWriteArrayStart(FLTFile* file);
void FLTFileWriteArrayEnd(FLTFile* file);
void FLTFileWriteHashKey(FLTFile* file, const char* key);

void FLTFileWriteHashEntryUint64(FLTFile* file, const char* key, uint64_t value);
void FLTFileWriteHashEntryInt64(FLTFile* file, const char* key, int64_t value);
// A C string (escaped) or null.
void FLTFileWriteHashEntryString(FLTFile* file, const char* key, const char* value);
void FLTFileWriteHashEntryBytes(FLTFile* file, const char* key, const char* bytes, uint64_t length);
// Nothing at all for a null or empty value.
void FLTFileWriteHashEntryStringUnlessNullOrEmpty(FLTFile* file, const char* key, const char* value);
void FLTFileWriteHashEntryHexEncodedString(FLTFile* file, const char* key, const char* value);
void FLTFileWriteHashEntryHexEncodedBytes(FLTFile* file, const char* key, const char* bytes, uint64_t length);
void FLTFileWriteHashEntryBoolean(FLTFile* file, const char* key, bool value);
void FLTFileWriteHashEntryNull(FLTFile* file, const char* key);

void FLTFileWriteArrayEntryUint64(FLTFile* file, uint64_t value);
void FLTFileWriteArrayEntryString(FLTFile* file, const char* value);
void FLTFileWriteArrayEntryHexEncodedString(FLTFile* file, const char* value);
void FLTFileWriteArrayEntryHexEncodedBytes(FLTFile* file, const char* bytes, uint64_t length);
void FLTFileWriteArrayEntryNull(FLTFile* file);

// Raw output.
bool FLTFileWriteRaw(FLTFile* file, const char* bytes, uint64_t length);
void FLTFileWriteUInt64(FLTFile* file, uint64_t value, bool hex);
void FLTFileWriteInt64(FLTFile* file, int64_t value);
void FLTFileWriteUInt64ToFD(int fd, uint64_t value, bool hex);
void FLTFileWriteInt64ToFD(int fd, int64_t value);
// The string's bytes JSON-escaped between quotes.
void FLTFileWriteEscapedString(FLTFile* file, const char* bytes, uint64_t length);
// Integer text in buffer (at least 21 bytes); answers where the digits start.
char* FLTFileFormatUInt64(uint64_t value, bool hex, char buffer[21]);

using FLTWriteBlock = ssize_t (*)(int fd, const char* bytes, uint64_t length);
ssize_t FLTFileWriteWithRetries(int fd, const char* bytes, uint64_t length);
bool FLTFileLoopWithWriteBlock(int fd, const char* bytes, uint64_t length, FLTWriteBlock block);
