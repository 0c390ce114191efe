// What a report says about the machine and the process: the metadata file's host section at
// start-up, and at crash time the storage and process figures, read from /proc and system calls
// into stack buffers (no heap, no locks).
#pragma once

#include "kits/faultline/FLTTypes.h"

#include <cstdint>

uint64_t FLTHostGetPageSize();
// The version code the exception masks were gated on, from an OS minor version number.
uint32_t FLTHostGetOSVersionCode(uint32_t minorVersion);
// Sets the context's page size and documents folder.
void FLTHostInitialize();
bool FLTHostRecordHostMetadata(FLTFile* file);
// The storage section: free and total bytes of the documents folder's file system (empty when
// it cannot be read).
void FLTHostRecordStorage(FLTFile* file);

// Reads a small file into buffer (always terminated); answers the length or -1. Crash-time safe.
int64_t FLTHostReadFile(const char* path, char* buffer, uint64_t capacity);
// The value after "key:" on its line in text (e.g. "MemFree:" of /proc/meminfo) as a number
// (kilobyte units are turned into bytes when the line says "kB"). False when the key is missing.
bool FLTHostFindNumber(const char* text, const char* key, uint64_t* value);
// Whether a debugger is tracing the process (TracerPid of /proc/self/status).
bool FLTProcessDebuggerAttached();
