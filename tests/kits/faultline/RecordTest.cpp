// Record files written and read back, the kit log's formatting, safe reads at the edges of
// mapped memory, the guarded allocator, and user logging's compaction and rotation.
#include "kits/faultline/FLTBinaryImage.h"
#include "kits/faultline/FLTContext.h"
#include "kits/faultline/FLTHelpers.h"
#include "kits/faultline/FLTFile.h"
#include "kits/faultline/FLTInitialize.h"
#include "kits/faultline/FLTRecordReader.h"
#include "kits/faultline/FLTSDKLog.h"
#include "kits/faultline/FLTSafeRead.h"
#include "kits/faultline/FLTUserLogging.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

TEST(Records, StringsOfAnyBytesKeepTheirLineAndReadBack) {
    QTemporaryDir folder;
    const QByteArray path = folder.filePath("r.fltrecord").toUtf8();
    struct Case {
        QByteArray written;
        QString read;
    } cases[] = {
        {"plain", "plain"},
        {"a \"quote\" and a \\ backslash", "a \"quote\" and a \\ backslash"},
        {"line\nbreak\ttab", "line\nbreak\ttab"},
        {"caf\xc3\xa9", QString::fromUtf8("caf\xc3\xa9")},
        {"bad \xff byte \xc3", QString::fromUtf8("bad \xef\xbf\xbd byte \xef\xbf\xbd")},
    };
    FLTFile file;
    ASSERT_TRUE(FLTFileInitWithPathMode(&file, path.constData(), false, true));
    for (const Case& c : cases) {
        FLTFileWriteSectionStart(&file, "s");
        FLTFileWriteHashStart(&file);
        FLTFileWriteHashEntryBytes(&file, "text", c.written.constData(), uint64_t(c.written.size()));
        FLTFileWriteHashEntryHexEncodedBytes(&file, "hex", c.written.constData(), uint64_t(c.written.size()));
        FLTFileWriteHashKey(&file, "list");
        FLTFileWriteArrayStart(&file);
        FLTFileWriteArrayEntryUint64(&file, 1);
        FLTFileWriteArrayEntryUint64(&file, 2);
        FLTFileWriteArrayEnd(&file);
        FLTFileWriteHashEntryInt64(&file, "n", -5);
        FLTFileWriteHashEnd(&file);
        FLTFileWriteSectionEnd(&file);
    }
    FLTFileWriteSectionStart(&file, "empty");
    FLTFileWriteArrayStart(&file);
    FLTFileWriteArrayEnd(&file);
    FLTFileWriteSectionEnd(&file);
    uint64_t total = 0;
    ASSERT_TRUE(FLTFileCloseWithOffset(&file, &total));
    EXPECT_EQ(qint64(total), QFileInfo(QString::fromUtf8(path)).size());

    // A line cut short and a line of garbage between good ones lose only themselves.
    QFile append(QString::fromUtf8(path));
    ASSERT_TRUE(append.open(QIODevice::Append));
    append.write("{\"s\":{\"text\":\"cut\nnot json at all\n{\"last\":{}}\n");
    append.close();

    const auto sections = FLTFileReadSections(QString::fromUtf8(path), false);
    ASSERT_TRUE(sections.has_value());
    ASSERT_EQ(sections->size(), qsizetype(std::size(cases)) + 2);
    for (size_t i = 0; i < std::size(cases); ++i) {
        const QVariantMap s = sections->at(qsizetype(i)).toMap().value("s").toMap();
        EXPECT_EQ(s.value("text").toString(), cases[i].read);
        EXPECT_EQ(FLTFileHexDecodeString(s.value("hex").toByteArray()), cases[i].written);
        EXPECT_EQ(s.value("list").toList(), (QVariantList{1, 2}));
        EXPECT_EQ(s.value("n").toInt(), -5);
    }
    EXPECT_EQ(sections->at(qsizetype(std::size(cases))).toMap().value("empty").toList().size(), 0);
    EXPECT_EQ(sections->last().toMap().firstKey(), "last");

    bool ok = false;
    EXPECT_EQ(FLTFileHexDecodeString("00ff4100", &ok), QByteArray("\x00\xff\x41\x00", 4));
    EXPECT_TRUE(ok);
    FLTFileHexDecodeString("0g", &ok);
    EXPECT_FALSE(ok);
    EXPECT_FALSE(FLTFileReadSections(folder.filePath("missing"), false).has_value());
}

TEST(Records, AFullDiskIsAFailureNotASuccess) {
    FLTFile file;
    ASSERT_TRUE(FLTFileInitWithPathMode(&file, "/dev/full", true, false));
    EXPECT_FALSE(FLTFileWriteRaw(&file, "x", 1));
    FLTFileClose(&file);
}

namespace {
std::string format(const char* f, ...) {
    char buffer[256];
    va_list arguments;
    va_start(arguments, f);
    FLTSDKLogFormat(buffer, sizeof buffer, f, arguments);
    va_end(arguments);
    return buffer;
}
}  // namespace

TEST(KitLog, FormatsWithoutTheCLibrary) {
    EXPECT_EQ(format("%p %p", nullptr, reinterpret_cast<void*>(0xbeef)), "0x0 0xbeef");
    EXPECT_EQ(format("%s|%s", "a", static_cast<const char*>(nullptr)), "a|(null)");
    EXPECT_EQ(format("%d %u %x %i", -12, 4000000000u, 255u, 7), "-12 4000000000 ff 7");
    EXPECT_EQ(format("%zu %llu %lld %lx %%", size_t(5), 18446744073709551615ull, -9ll, 0xabcUL),
              "5 18446744073709551615 -9 abc %");
    EXPECT_EQ(format("%q stays"), "%q stays");
}

TEST(SafeRead, EdgesOfMappedMemory) {
    const long page = ::sysconf(_SC_PAGESIZE);
    auto* bytes = static_cast<char*>(::mmap(nullptr, size_t(2 * page), PROT_READ | PROT_WRITE,
                                            MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(bytes, MAP_FAILED);
    ::mprotect(bytes + page, size_t(page), PROT_NONE);
    std::memset(bytes, 'a', size_t(page));
    bytes[page - 2] = 0;  // "a" right before the unreadable page
    const auto at = [&](long offset) { return uint64_t(reinterpret_cast<uintptr_t>(bytes + offset)); };
    const char* out = nullptr;
    char copy[8];
    EXPECT_FALSE(FLTReadMemory(0, copy, 1));
    EXPECT_FALSE(FLTReadMemory(4095, copy, 1));
    EXPECT_FALSE(FLTReadMemory(~uint64_t(0) - 2, copy, 8));
    EXPECT_FALSE(FLTReadMemory(at(page - 4), copy, 8));  // runs into the unreadable page
    EXPECT_TRUE(FLTReadMemory(at(page - 8), copy, 8));
    EXPECT_TRUE(FLTReadStringSafely(at(page - 3), &out, 64));
    EXPECT_FALSE(FLTReadStringSafely(at(page - 1), &out, 64));  // no NUL before the unreadable page
    EXPECT_TRUE(FLTReadStringSafely(at(0), &out, 16));           // no NUL within the maximum: accepted
    EXPECT_FALSE(FLTReadStringSafely(at(0), &out, 0));
    EXPECT_FALSE(FLTReadStringSafely(~uint64_t(0) - 4, &out, 64));
    ::munmap(bytes, size_t(2 * page));
}

TEST(Allocator, AlignedRegionsThenTheHeap) {
    FLTAllocator* allocator = FLTAllocatorCreate(100, 100);
    ASSERT_NE(allocator, nullptr);
    const long page = ::sysconf(_SC_PAGESIZE);
    EXPECT_EQ(allocator->writable.size, uint64_t(page));  // one page asked, one page plus nothing
    void* first = FLTAllocatorSafeAllocate(allocator, 1, kFLTWritable);
    void* second = FLTAllocatorSafeAllocate(allocator, 8, kFLTWritable);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(second) % alignof(std::max_align_t), 0u);
    EXPECT_NE(first, second);
    void* beyond = FLTAllocatorSafeAllocate(allocator, uint64_t(page) * 4, kFLTWritable);
    ASSERT_NE(beyond, nullptr);
    EXPECT_FALSE(reinterpret_cast<uintptr_t>(beyond) >= allocator->writable.start &&
                 reinterpret_cast<uintptr_t>(beyond) < allocator->writable.start + allocator->writable.size);
    std::free(beyond);
    ASSERT_TRUE(FLTAllocatorProtect(allocator));
    void* afterwards = FLTAllocatorSafeAllocate(allocator, 8, kFLTProtectable);
    ASSERT_NE(afterwards, nullptr);
    std::free(afterwards);
    EXPECT_TRUE(FLTAllocatorUnprotect(allocator));
}

TEST(UserLogging, CompactionKeepsTheNewestKeysAndRotationKeepsTwoLimits) {
    QTemporaryDir folder;
    const QByteArray path = folder.path().toUtf8();
    FLTContextInitOptions options;
    options.reportPath = path.constData();
    options.maxCustomKeys = 4;
    options.logBufferSize = 200;
    ASSERT_TRUE(FLTContextInitialize(&options));
    for (int i = 0; i < 10; ++i)
        FLTUserLoggingRecordUserKeyValue(QStringLiteral("k%1").arg(i), QStringLiteral("v%1").arg(i));
    FLTUserLoggingRecordUserKeyValue(QStringLiteral("k2"), QStringLiteral("again"));  // set last: newest
    FLTUserLoggingRecordUserKeyValue(QStringLiteral("k9"), QVariant());             // removed
    FLTContext* context = g_fltContext.load();
    FLTUserLoggingCompactKVEntries(&context->userKV);
    const QVariantMap kept = FLTUserLoggingGetCompactedKVEntries(&context->userKV, true);
    EXPECT_EQ(kept, (QVariantMap{{"k6", "v6"}, {"k7", "v7"}, {"k8", "v8"}, {"k2", "again"}}));
    EXPECT_FALSE(QFile::exists(QString::fromUtf8(context->userKV.incrementalPath)));

    for (int i = 0; i < 12; ++i) FLTLog(QStringLiteral("line %1 with \"quotes\"").arg(i));
    const auto a = FLTFileReadSections(folder.filePath("log_a.fltrecord"), false);
    const auto b = FLTFileReadSections(folder.filePath("log_b.fltrecord"), false);
    ASSERT_TRUE(a && b);
    EXPECT_FALSE(a->isEmpty());
    EXPECT_FALSE(b->isEmpty());
    QStringList all;
    for (const auto* set : {&*a, &*b})
        for (const QVariant& line : *set)
            all << QString::fromUtf8(FLTFileHexDecodeString(line.toMap().value("log").toMap().value("msg").toByteArray()));
    EXPECT_TRUE(all.contains("line 11 with \"quotes\""));
    FLTContextBaseDeinitialize();
}

TEST(Helpers, ImagesByBuildIdDigestsAndIdentifiers) {
    // The executable's own build id finds the executable.
    QTemporaryDir folder;
    FLTFile file;
    const QByteArray path = folder.filePath("m").toUtf8();
    ASSERT_TRUE(FLTFileInitWithPathMode(&file, path.constData(), false, false));
    ASSERT_TRUE(FLTBinaryImageRecordMainExecutable(&file));
    FLTFileClose(&file);
    const auto lines = FLTFileReadSections(QString::fromUtf8(path), false);
    ASSERT_TRUE(lines && lines->size() == 1);
    const QByteArray id = lines->first().toMap().value("executable").toMap().value("uuid").toString().toLatin1();
    ASSERT_EQ(id.size(), 32);  // the first 16 bytes of the build id
    FLTImageDetails details;
    ASSERT_TRUE(FLTBinaryImageFindImageForUUID(id.constData(), &details));
    EXPECT_LE(details.base, uint64_t(reinterpret_cast<uintptr_t>(&FLTBinaryImageFindImageForUUID)));
    EXPECT_FALSE(FLTBinaryImageFindImageForUUID("00", &details));

    EXPECT_EQ(FLTSHA1HexString("abc", 3), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(FLTNormalizeUUIDString("0A1B-C2D3"), "0a1bc2d3");
    EXPECT_EQ(FLTGenerateNormalizedUUID().size(), 32);
    EXPECT_TRUE(FLTUnlinkIfExists(path.constData()));
    EXPECT_TRUE(FLTUnlinkIfExists(path.constData()));  // already gone
    EXPECT_FALSE(FLTUnlinkIfExists("/proc/version"));
    // A function of the C library that no sanitizer's runtime takes over (ThreadSanitizer's
    // has an unlink of its own in the program).
    std::string symbol;
    FLTDladdrLookup(uint64_t(reinterpret_cast<uintptr_t>(&::getppid)), [&](const char* name, const char*) {
        symbol = name ? name : "";
    });
    EXPECT_EQ(symbol, "getppid");
}
