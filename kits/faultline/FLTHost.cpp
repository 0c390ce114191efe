#include "kits/faultline/FLTHost.h"

#include "kits/faultline/FLTContext.h"
#include "kits/faultline/FLTFile.h"
#include "kits/faultline/FLTSDKLog.h"
#include "kits/trellis/TRLHelpers.h"

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>

uint64_t FLTHostGetPageSize() {
    const long size = ::sysconf(_SC_PAGESIZE);
    if (size <= 0) {
        FLTLogWarn("sysctlbyname failed while trying to get hw.pagesize\n");
        return 4096;
    }
    return uint64_t(size);
}

uint32_t FLTHostGetOSVersionCode(uint32_t minor) {
    switch (minor) {
    case 6: return 1060;
    case 7: return 1070;
    case 8: return 1080;
    case 9: return 1090;
    case 10: return 101000;
    case 11: return 101100;
    default: return 0;
    }
}

int64_t FLTHostReadFile(const char* path, char* buffer, uint64_t capacity) {
    if (!buffer || capacity == 0) return -1;
    buffer[0] = 0;
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    uint64_t length = 0;
    while (length + 1 < capacity) {
        const ssize_t got = ::read(fd, buffer + length, capacity - 1 - length);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        length += uint64_t(got);
    }
    ::close(fd);
    buffer[length] = 0;
    return int64_t(length);
}

bool FLTHostFindNumber(const char* text, const char* key, uint64_t* value) {
    if (!text || !key || !value) return false;
    const size_t keyLength = std::strlen(key);
    for (const char* line = text; line && *line;) {
        if (std::strncmp(line, key, keyLength) == 0) {
            const char* p = line + keyLength;
            while (*p == ' ' || *p == '\t' || *p == ':') ++p;
            uint64_t number = 0;
            bool digits = false;
            while (*p >= '0' && *p <= '9') {
                number = number * 10 + uint64_t(*p++ - '0');
                digits = true;
            }
            while (*p == ' ') ++p;
            if (p[0] == 'k' && p[1] == 'B') number *= 1024;
            *value = number;
            return digits;
        }
        line = std::strchr(line, '\n');
        if (line) ++line;
    }
    return false;
}

bool FLTProcessDebuggerAttached() {
    char status[4096];
    if (FLTHostReadFile("/proc/self/status", status, sizeof status) < 0) {
        FLTLogWarn("sysctl failed while trying to get kinfo_proc\n");
        return false;
    }
    uint64_t tracer = 0;
    return FLTHostFindNumber(status, "TracerPid", &tracer) && tracer != 0;
}

void FLTHostInitialize() {
    FLTContext* context = g_fltContext.load();
    if (!context) return;
    context->pageSize = FLTHostGetPageSize();
    const char* home = std::getenv("HOME");
    const char* documents = std::getenv("XDG_DOCUMENTS_DIR");
    char path[4096] = {};
    if (documents && *documents) {
        std::strncpy(path, documents, sizeof path - 1);
    } else if (home && *home) {
        std::strncpy(path, home, sizeof path - 16);
        std::strcat(path, "/Documents");
        if (::access(path, F_OK) != 0) std::strncpy(path, home, sizeof path - 1);
    }
    context->documentsPath = path[0] ? FLTDupString(path) : nullptr;
}

namespace {

void firstLineValue(const char* text, const char* key, char* out, size_t capacity) {
    out[0] = 0;
    const char* line = std::strstr(text, key);
    if (!line) return;
    const char* p = std::strchr(line, ':');
    if (!p) return;
    ++p;
    while (*p == ' ' || *p == '\t') ++p;
    size_t n = 0;
    while (*p && *p != '\n' && n + 1 < capacity) out[n++] = *p++;
    out[n] = 0;
}

void trimNewline(char* text) {
    const size_t length = std::strlen(text);
    if (length && text[length - 1] == '\n') text[length - 1] = 0;
}

}  // namespace

bool FLTHostRecordHostMetadata(FLTFile* file) {
    utsname names{};
    ::uname(&names);
    char model[128];
    if (FLTHostReadFile("/sys/class/dmi/id/product_name", model, sizeof model) < 0) std::strcpy(model, "(failed)");
    trimNewline(model);
    static char cpuinfo[16384];  // start-up only, on one thread
    char cpu[128] = "(failed)";
    if (FLTHostReadFile("/proc/cpuinfo", cpuinfo, sizeof cpuinfo) > 0) firstLineValue(cpuinfo, "model name", cpu, sizeof cpu);
    // Start-up, not crash time: the kits' core gives the kernel release as "%d.%d.%d".
    const QByteArray display = TRLOSDisplayVersion().toLatin1();
    const char* locale = std::getenv("LC_ALL");
    if (!locale || !*locale) locale = std::getenv("LC_MESSAGES");
    if (!locale || !*locale) locale = std::getenv("LANG");
    FLTFileWriteSectionStart(file, "host");
    FLTFileWriteHashStart(file);
    FLTFileWriteHashEntryString(file, "model", model);
    FLTFileWriteHashEntryString(file, "machine", names.machine);
    FLTFileWriteHashEntryString(file, "cpu", cpu);
    FLTFileWriteHashEntryString(file, "os_build_version", names.release);
    FLTFileWriteHashEntryString(file, "os_display_version", display.constData());
    // The service's one name for the platform family of these reports; the upload path names it too.
    FLTFileWriteHashEntryString(file, "platform", "mac");
    FLTFileWriteHashEntryString(file, "locale", locale ? locale : "C");
    FLTFileWriteHashEnd(file);
    FLTFileWriteSectionEnd(file);
    return true;
}

void FLTHostRecordStorage(FLTFile* file) {
    FLTContext* context = g_fltContext.load();
    FLTFileWriteSectionStart(file, "storage");
    FLTFileWriteHashStart(file);
    struct statvfs info{};
    if (context && context->documentsPath && ::statvfs(context->documentsPath, &info) == 0) {
        FLTFileWriteHashEntryUint64(file, "free", uint64_t(info.f_frsize) * uint64_t(info.f_bavail));
        FLTFileWriteHashEntryUint64(file, "total", uint64_t(info.f_frsize) * uint64_t(info.f_blocks));
    }
    FLTFileWriteHashEnd(file);
    FLTFileWriteSectionEnd(file);
}
