// The kit's own log, "sdk.log" in the report folder: what capture did, written from any thread,
// signal handlers included. Each call formats its line on the stack and writes it with one
// write(2); nothing is allocated and no lock is taken.
#pragma once

#include <cstdarg>
#include <cstdint>

enum : uint32_t { kFLTLogDebug = 1, kFLTLogInfo = 2, kFLTLogWarn = 3, kFLTLogError = 4 };

// Writes the formatted message when a context with a log path exists and the level reaches the
// store's minimum level. The format takes %s %d %i %u %x %p %c %% with the length modifiers
// l, ll, z and h; the logger adds nothing (no time, no newline).
void FLTSDKLog(uint32_t level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void FLTSDKLogv(uint32_t level, const char* format, va_list arguments);

// The symbolic name of an errno value ("EPERM"), from the C library's constant table: unlike
// strerror it neither locks nor allocates, so crash-time paths may use it. "E?" for an unknown one.
const char* FLTErrnoName(int error);

// Formats into buffer (always terminated) as FLTSDKLog would; answers the length written.
uint64_t FLTSDKLogFormat(char* buffer, uint64_t capacity, const char* format, va_list arguments);

#define FLT_LOG(level, word, format, ...) \
    FLTSDKLog(level, word " [%s:%d] " format, __func__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)
#define FLTLogDebug(format, ...) FLT_LOG(kFLTLogDebug, "DEBUG", format __VA_OPT__(, ) __VA_ARGS__)
#define FLTLogInfo(format, ...) FLT_LOG(kFLTLogInfo, "INFO ", format __VA_OPT__(, ) __VA_ARGS__)
#define FLTLogWarn(format, ...) FLT_LOG(kFLTLogWarn, "WARN ", format __VA_OPT__(, ) __VA_ARGS__)
#define FLTLogError(format, ...) FLT_LOG(kFLTLogError, "ERROR", format __VA_OPT__(, ) __VA_ARGS__)
