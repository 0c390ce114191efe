// The limit of a single-threaded literal search, outside Qorvel: every regular file under ROOT
// (links followed, as the find walks) read in 64 KiB chunks with read(), the literal's first byte
// found with memchr() and the rest compared; a match across two chunks is found by keeping the
// literal's length minus one bytes of the previous chunk. Prints "path:matches" for every file
// with a match, as `rg -j1 -uu --count-matches` does; exits 1 when nothing matched.
//
//   readmemchr LITERAL ROOT
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string out;
long long total = 0;

void flush() {
    const char* data = out.data();
    size_t size = out.size();
    while (size > 0) {
        const ssize_t n = ::write(1, data, size);
        if (n <= 0) break;
        data += n;
        size -= size_t(n);
    }
    out.clear();
}

void scanFile(const std::string& path, const std::string& needle, std::vector<char>& buffer) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    const size_t m = needle.size(), chunk = buffer.size() - m;
    long long found = 0;
    size_t kept = 0;
    for (;;) {
        const ssize_t got = ::read(fd, buffer.data() + kept, chunk);
        if (got <= 0) break;
        const char* p = buffer.data();
        const char* end = p + kept + size_t(got);
        while (size_t(end - p) >= m) {
            const void* hit = std::memchr(p, needle[0], size_t(end - p) - m + 1);
            if (!hit) break;
            p = static_cast<const char*>(hit);
            if (std::memcmp(p, needle.data(), m) == 0) {
                ++found;
                p += m;
            } else {
                ++p;
            }
        }
        kept = std::min(m - 1, size_t(end - p));
        std::memmove(buffer.data(), end - kept, kept);
    }
    ::close(fd);
    if (!found) return;
    total += found;
    out += path + ':' + std::to_string(found) + '\n';
    if (out.size() > (1 << 16)) flush();
}

void walk(const std::string& folder, const std::string& needle, std::vector<char>& buffer) {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return;
    while (const dirent* entry = ::readdir(dir)) {
        if (!std::strcmp(entry->d_name, ".") || !std::strcmp(entry->d_name, "..")) continue;
        const std::string path = folder + '/' + entry->d_name;
        unsigned char type = entry->d_type;
        if (type == DT_LNK || type == DT_UNKNOWN) {
            struct stat info;
            if (::stat(path.c_str(), &info) != 0) continue;
            type = S_ISDIR(info.st_mode) ? DT_DIR : S_ISREG(info.st_mode) ? DT_REG : DT_UNKNOWN;
        }
        if (type == DT_DIR) walk(path, needle, buffer);
        else if (type == DT_REG) scanFile(path, needle, buffer);
    }
    ::closedir(dir);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || !*argv[1]) {
        std::fprintf(stderr, "usage: readmemchr LITERAL ROOT\n");
        return 2;
    }
    const std::string needle = argv[1];
    std::vector<char> buffer(64 * 1024 + needle.size());
    std::string root = argv[2];
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    walk(root, needle, buffer);
    flush();
    return total ? 0 : 1;
}
