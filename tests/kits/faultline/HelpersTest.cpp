// The shared helpers: application values from the Info dictionary (with malformed entries), hex
// coding of every byte, activities that must balance however they are ended, delayed work, and
// initialisation's installers that run side by side yet leave the calling thread its own stack;
// a thread that blocks the stop signal, known by its mask and read from its system call.
#include "kits/faultline/FLTContext.h"
#include "kits/faultline/FLTException.h"
#include "kits/faultline/FLTHelpers.h"
#include "kits/faultline/FLTInitialize.h"
#include "kits/faultline/FLTProcess.h"
#include "kits/faultline/FLTRecordReader.h"
#include "kits/faultline/FLTSignal.h"
#include "platform/OperationQueue.h"
#include "kits/trellis/TRLHelpers.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <csignal>
#include <thread>

#include <dlfcn.h>
#include <sys/syscall.h>
#include <unistd.h>

TEST(Helpers, ApplicationValuesComeFromTheInfoDictionaryAndMalformedEntriesAreRefused) {
    struct Case {
        QVariantMap info;
        QString escapedID, name, extension;
    } cases[] = {
        {{{"CFBundleIdentifier", "com.qorvel/beta"}, {"CFBundleVersion", "12"}, {"CFBundleName", "Qorvel"}},
         "com.qorvel_beta", "Qorvel", ""},
        {{{"CFBundleVersion", "12"}, {"CFBundleDisplayName", "Q"}, {"CFBundleName", "Qorvel"}}, "", "Q", ""},
        {{{"CFBundleVersion", "12"}}, "", "12", ""},
        {{{"NSExtension", "not a dictionary"}}, "", "", ""},
        {{{"NSExtension", QVariantMap{{"NSExtensionPointIdentifier", 5}}}}, "", "", ""},
        {{{"NSExtension", QVariantMap{{"NSExtensionPointIdentifier", "com.qorvel.share"}}}}, "", "", "com.qorvel.share"},
    };
    for (const Case& c : cases) {
        TRLSetInfoDictionary(c.info);
        EXPECT_EQ(FLTApplicationGetEscapedBundleIdentifier(), c.escapedID);
        EXPECT_EQ(FLTApplicationGetName(), c.name);
        EXPECT_EQ(FLTApplicationExtensionPointIdentifier(), c.extension);
        EXPECT_EQ(FLTApplicationIsExtension(), !c.extension.isEmpty());
    }
    TRLSetInfoDictionary(std::nullopt);
}

TEST(Helpers, HexCodesEveryByteAndRefusesWhatIsNoDigit) {
    const uint8_t bytes[] = {0x00, 0xff, 0x0a, 0x00, 0x7f};
    char out[2 * sizeof bytes + 1];
    std::memset(out, 'x', sizeof out);
    FLTHexFromBytes(bytes, sizeof bytes, out);
    EXPECT_STREQ(out, "00ff0a007f");  // a zero byte inside does not end the text
    for (int value = 0; value < 256; ++value) {
        char pair[2];
        FLTHexFromByte(uint8_t(value), pair);
        EXPECT_EQ(FLTHexDigitValue(pair[0]) * 16 + FLTHexDigitValue(pair[1]), value);
    }
    for (char c : {'/', ':', '@', 'G', '`', 'g', ' ', '\0', char(0xc3)}) EXPECT_EQ(FLTHexDigitValue(c), 255) << int(c);
    EXPECT_EQ(FLTHexDigitValue('F'), 15);
}

TEST(Helpers, ActivitiesHoldTerminationOffUntilTheLastOneEndsOnce) {
    QVariantMap both = FLTApplicationBeginActivity(kFLTActivitySuddenTerminationDisabled |
                                                       kFLTActivityAutomaticTerminationDisabled, "upload");
    QVariantMap sudden = FLTApplicationBeginActivity(kFLTActivitySuddenTerminationDisabled, "package");
    EXPECT_EQ(both.value("reason").toString(), "upload");
    FLTApplicationEndActivity(both);
    FLTApplicationEndActivity(both);  // a second end gives back nothing
    QVariantMap never;
    FLTApplicationEndActivity(never);
    EXPECT_TRUE(FLTApplicationSuddenTerminationDisabled());
    EXPECT_FALSE(FLTApplicationAutomaticTerminationDisabled());
    FLTApplicationEndActivity(sudden);
    EXPECT_FALSE(FLTApplicationSuddenTerminationDisabled());

    bool heldInside = false;
    EXPECT_THROW(FLTApplicationActivity(kFLTActivityAutomaticTerminationDisabled, "throws", [&] {
                     heldInside = FLTApplicationAutomaticTerminationDisabled();
                     throw std::runtime_error("out");
                 }),
                 std::runtime_error);
    EXPECT_TRUE(heldInside);
    EXPECT_FALSE(FLTApplicationAutomaticTerminationDisabled());
}

TEST(Helpers, DelayedWorkRunsInOrderAndNeverForAQueueThatIsGone) {
    OperationQueue queue(QStringLiteral("delays"));
    std::mutex lock;
    QStringList order;
    auto note = [&](const char* what) {
        return [&, what] {
            std::lock_guard<std::mutex> locker(lock);
            order << what;
        };
    };
    FLTDispatchAfter(0.15, queue, note("later"));
    FLTDispatchAfter(-3, queue, note("negative"));
    FLTDispatchAfter(std::nan(""), queue, note("nan"));
    auto shared = std::make_shared<OperationQueue>(QStringLiteral("shared"));
    FLTAddOperationAfterDelay(shared, note("added"), 0.05);
    auto gone = std::make_shared<OperationQueue>(QStringLiteral("gone"));
    FLTAddOperationAfterDelay(gone, note("gone"), 0.05);
    gone.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    std::lock_guard<std::mutex> locker(lock);
    ASSERT_EQ(order.size(), 4) << order.join(' ').toStdString();
    EXPECT_EQ(order.last(), "later");
    EXPECT_EQ(order.mid(2, 1), QStringList{"added"});
    EXPECT_FALSE(order.contains("gone"));
}

TEST(Initialisation, InstallersRunAsideButTheCallingThreadGetsTheSignalStack) {
    QTemporaryDir folder;
    const QByteArray path = folder.path().toUtf8();
    std::string apiKey = "key-that-goes-away";
    FLTContextInitOptions options;
    options.reportPath = path.constData();
    options.apiKey = apiKey.c_str();
    ASSERT_TRUE(FLTContextInitialize(&options));
    apiKey.assign(apiKey.size(), '!');  // the metadata installer holds its own copy
    ASSERT_TRUE(FLTContextWaitForInstallers(-1));
    FLTContext* context = g_fltContext.load();
    EXPECT_TRUE(FLTContextIsInitialized());
    EXPECT_TRUE(g_fltAllocator.load()->isProtected.load());
    stack_t stack{};
    ASSERT_EQ(::sigaltstack(nullptr, &stack), 0);
    EXPECT_EQ(stack.ss_sp, context->signalStack);
    struct sigaction action{};
    ASSERT_EQ(::sigaction(SIGSEGV, nullptr, &action), 0);
    EXPECT_EQ(action.sa_sigaction, &FLTSignalHandler);
    EXPECT_EQ(std::get_terminate(), &FLTTerminateHandler);
    const auto metadata = FLTFileReadSections(folder.filePath("metadata.fltrecord"), false);
    ASSERT_TRUE(metadata && metadata->size() == 4);
    EXPECT_EQ(metadata->first().toMap().value("identity").toMap().value("api_key").toString(), "key-that-goes-away");
    const auto images = FLTFileReadSections(folder.filePath("binary_images.fltrecord"), false);
    ASSERT_TRUE(images);
    EXPECT_FALSE(images->isEmpty());

    FLTContextInitOptions missing;
    EXPECT_FALSE(FLTContextInitialize(nullptr));
    EXPECT_FALSE(FLTContextInitialize(&missing));
    // Handlers out of the test process again.
    FLTSignalSafeRemoveHandlers(true);
    FLTContextBaseDeinitialize();
}

TEST(Threads, ABlockingThreadIsKnownByItsMaskAndReadFromItsSystemCall) {
    // A thread that blocks every signal but the faults, waiting in read(2) on a pipe: its mask
    // shows the stop signal blocked, and its system-call file gives the call and where it stands.
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::atomic<int32_t> tid{0};
    std::atomic<uintptr_t> stackMark{0};
    std::thread blocked([&] {
        sigset_t set;
        sigfillset(&set);
        sigdelset(&set, SIGSEGV);
        ::pthread_sigmask(SIG_SETMASK, &set, nullptr);
        // The frame's own address: a local's may live on a fake stack of AddressSanitizer's.
        stackMark.store(reinterpret_cast<uintptr_t>(__builtin_frame_address(0)));
        tid.store(FLTCurrentThreadID());
        char byte = 0;
        (void)!::read(fds[0], &byte, 1);
    });
    while (!tid.load()) std::this_thread::yield();
    FLTRegisters registers{};
    bool read = false;
    for (int i = 0; i < 200 && !(read = FLTProcessRegistersFromSyscallFile(tid.load(), &registers)); ++i) ::usleep(5000);
    EXPECT_TRUE(FLTProcessThreadBlocksSignal(tid.load(), SIGRTMAX - 3));
    EXPECT_FALSE(FLTProcessThreadBlocksSignal(tid.load(), SIGSEGV));
    EXPECT_FALSE(FLTProcessThreadBlocksSignal(FLTCurrentThreadID(), SIGRTMAX - 3));
    ASSERT_TRUE(read);
    EXPECT_EQ(registers.rax, uint64_t(SYS_read));
    EXPECT_EQ(registers.rdi, uint64_t(fds[0]));
    // The stack pointer lies just below the thread's own frame, the program counter in libc.
    EXPECT_LT(registers.rsp, stackMark.load());
    EXPECT_GT(registers.rsp, stackMark.load() - 65536);
    Dl_info where{};
    ASSERT_NE(::dladdr(reinterpret_cast<void*>(registers.rip), &where), 0);
    EXPECT_TRUE(QByteArray(where.dli_fname).contains("libc.so")) << where.dli_fname;
    // A thread running in user space has no such registers.
    std::atomic<bool> stop{false};
    std::atomic<int32_t> spinner{0};
    std::thread spinning([&] {
        spinner.store(FLTCurrentThreadID());
        while (!stop.load()) {
        }
    });
    while (!spinner.load()) std::this_thread::yield();
    FLTRegisters running{};
    EXPECT_FALSE(FLTProcessRegistersFromSyscallFile(spinner.load(), &running));
    stop.store(true);
    spinning.join();
    (void)!::write(fds[1], "x", 1);
    blocked.join();
    ::close(fds[0]);
    ::close(fds[1]);
}
