#include "kits/faultline/FLTSDKLog.h"

#include "kits/faultline/FLTContext.h"

#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {

struct Out {
    char* buffer;
    uint64_t capacity;
    uint64_t length;
    void put(char c) {
        if (length + 1 < capacity) buffer[length++] = c;
    }
    void put(const char* s) {
        while (*s) put(*s++);
    }
    void number(uint64_t value, unsigned base, bool negative) {
        char digits[24];
        int n = 0;
        do {
            const unsigned digit = unsigned(value % base);
            digits[n++] = char(digit < 10 ? '0' + digit : 'a' + digit - 10);
            value /= base;
        } while (value && n < 22);
        if (negative) put('-');
        while (n) put(digits[--n]);
    }
};

}  // namespace

const char* FLTErrnoName(int error) {
    const char* name = ::strerrorname_np(error);
    return name ? name : "E?";
}

uint64_t FLTSDKLogFormat(char* buffer, uint64_t capacity, const char* format, va_list arguments) {
    Out out{buffer, capacity, 0};
    if (!capacity) return 0;
    for (const char* p = format; p && *p; ++p) {
        if (*p != '%') {
            out.put(*p);
            continue;
        }
        const char* start = p++;
        int longs = 0;
        bool size = false;
        while (*p == 'l' || *p == 'z' || *p == 'h') {
            if (*p == 'l') ++longs;
            if (*p == 'z') size = true;
            ++p;
        }
        const bool wide = longs > 0 || size;
        switch (*p) {
        case 's': {
            const char* s = va_arg(arguments, const char*);
            out.put(s ? s : "(null)");
            break;
        }
        case 'd':
        case 'i': {
            const int64_t v = wide ? va_arg(arguments, int64_t) : va_arg(arguments, int);
            out.number(v < 0 ? uint64_t(0) - uint64_t(v) : uint64_t(v), 10, v < 0);
            break;
        }
        case 'u':
            out.number(wide ? va_arg(arguments, uint64_t) : va_arg(arguments, unsigned), 10, false);
            break;
        case 'x':
            out.number(wide ? va_arg(arguments, uint64_t) : va_arg(arguments, unsigned), 16, false);
            break;
        case 'p':
            out.put("0x");
            out.number(uint64_t(reinterpret_cast<uintptr_t>(va_arg(arguments, void*))), 16, false);
            break;
        case 'c':
            out.put(char(va_arg(arguments, int)));
            break;
        case '%':
            out.put('%');
            break;
        case '\0':  // a lone "%" at the end stays as it is
            out.put('%');
            --p;
            break;
        default:  // an unknown conversion is written as it stands and takes no argument
            for (const char* q = start; q <= p; ++q) out.put(*q);
            break;
        }
    }
    buffer[out.length] = 0;
    return out.length;
}

void FLTSDKLogv(uint32_t level, const char* format, va_list arguments) {
    FLTContext* context = g_fltContext.load();
    FLTWritableStore* store = g_fltStore.load();
    if (!context || !store || !FLTIsValidPointer(context->sdkLogPath)) return;
    if (level < store->minimumLogLevel.load(std::memory_order_relaxed)) return;
    // A child before it execs says nothing in the program's log, and after vfork the descriptor it
    // would open and keep is its parent's.
    if (!FLTContextIsCapturingProcess()) return;
    int fd = store->sdkLogFD.load();
    if (fd < 0) {
        fd = ::open(context->sdkLogPath, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) return;
        int expected = -1;
        if (!store->sdkLogFD.compare_exchange_strong(expected, fd)) {
            ::close(fd);
            fd = expected;
        }
    }
    char line[1024];
    const uint64_t length = FLTSDKLogFormat(line, sizeof line, format, arguments);
    // One write per line: concurrent lines never interleave inside each other.
    const ssize_t written = ::write(fd, line, length);
    (void)written;
}

void FLTSDKLog(uint32_t level, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    FLTSDKLogv(level, format, arguments);
    va_end(arguments);
}
