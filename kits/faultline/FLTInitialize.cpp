#include "kits/faultline/FLTInitialize.h"

#include "kits/faultline/FLTBinaryImage.h"
#include "kits/faultline/FLTException.h"
#include "kits/faultline/FLTFile.h"
#include "kits/faultline/FLTHost.h"
#include "kits/faultline/FLTMachException.h"
#include "kits/faultline/FLTSDKLog.h"
#include "kits/faultline/FLTSafeRead.h"
#include "kits/faultline/FLTSignal.h"
#include "kits/faultline/FLTUserLogging.h"
#include "platform/SystemLog.h"
#include "platform/Threads.h"

#include <QString>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <functional>
#include <mutex>
#include <new>
#include <system_error>
#include <vector>

#include <unistd.h>

namespace {

constexpr uint64_t kInternalKeyLimit = 32;
constexpr uint32_t kCompactionThreshold = 64;
constexpr auto kInstallWait = std::chrono::seconds(5);

// The installers of one initialisation, run side by side. The last to finish marks the context
// initialised and makes it read-only: nothing may write into it after that, so that happens only
// once every installer is done, even when the caller stopped waiting.
struct InstallGroup {
    std::mutex lock;
    std::condition_variable finished;
    int running = 0;
    FLTContext* context = nullptr;
    FLTAllocator* allocator = nullptr;
};

InstallGroup& installGroup() {
    static auto* group = new InstallGroup;  // installers may outlive static destruction
    return *group;
}

void installerFinished() {
    InstallGroup& group = installGroup();
    std::lock_guard<std::mutex> locker(group.lock);
    if (--group.running > 0) return;
    group.context->initialized.store(1);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (!FLTAllocatorProtect(group.allocator)) FLTLogWarn("Error: Memory protection failed\n");
    group.finished.notify_all();
}

void runInstallers(std::vector<std::function<void()>> installers) {
    InstallGroup& group = installGroup();
    {
        std::lock_guard<std::mutex> locker(group.lock);
        group.running = int(installers.size());
    }
    for (auto& installer : installers) {
        auto task = [installer = std::move(installer)] {
            installer();
            installerFinished();
        };
        try {
            Threads::start("FLTInstall", task).detach();
        } catch (const std::system_error&) {
            task();  // no thread to be had: install here
        }
    }
}

}  // namespace

bool FLTContextWaitForInstallers(int milliseconds) {
    InstallGroup& group = installGroup();
    std::unique_lock<std::mutex> locker(group.lock);
    const auto done = [&group] { return group.running == 0; };
    if (milliseconds < 0) {
        group.finished.wait(locker, done);
        return true;
    }
    return group.finished.wait_for(locker, std::chrono::milliseconds(milliseconds), done);
}

bool FLTContextRecordMetadata(const FLTContextInitOptions* options) {
    FLTContext* context = g_fltContext.load();
    const char* path = FLTContextPathForFile(options->reportPath, "metadata.fltrecord");
    if (!context || !path) return false;
    if (::unlink(path) != 0 && errno != ENOENT) FLTLogWarn("Unable to unlink existing metadata file %s\n", path);
    FLTFile file;
    if (!FLTFileInitWithPath(&file, path, false)) {
        FLTLogWarn("Unable to open metadata file %s\n", path);
        FLTLogWarn("Unable to record context metadata\n");
        return false;
    }
    FLTFileWriteSectionStart(&file, "identity");
    FLTFileWriteHashStart(&file);
    FLTFileWriteHashEntryString(&file, "generator", "Faultline Mac SDK/3.8.4");
    FLTFileWriteHashEntryString(&file, "build_version", "121");
    FLTFileWriteHashEntryString(&file, "display_version", "3.8.4");
    FLTFileWriteHashEntryString(&file, "api_key", options->apiKey);
    FLTFileWriteHashEntryUint64(&file, "started_at", uint64_t(::time(nullptr)));
    FLTFileWriteHashEntryString(&file, "session_id", options->reportID);
    FLTFileWriteHashEntryString(&file, "install_id", options->installID);
    FLTFileWriteHashEntryString(&file, "beta_token", options->betaToken);
    FLTFileWriteHashEntryBoolean(&file, "absolute_log_timestamps", true);
    FLTFileWriteHashEnd(&file);
    FLTFileWriteSectionEnd(&file);
    if (!FLTHostRecordHostMetadata(&file)) FLTLogWarn("Unable to write out host metadata\n");
    FLTFileWriteSectionStart(&file, "application");
    FLTFileWriteHashStart(&file);
    FLTFileWriteHashEntryString(&file, "bundle_id", options->bundleID);
    FLTFileWriteHashEntryString(&file, "custom_bundle_id", options->customBundleID);
    FLTFileWriteHashEntryString(&file, "build_version", options->buildVersion);
    FLTFileWriteHashEntryString(&file, "display_version", options->displayVersion);
    FLTFileWriteHashEntryString(&file, "extension_id", nullptr);
    FLTFileWriteHashEnd(&file);
    FLTFileWriteSectionEnd(&file);
    if (!FLTBinaryImageRecordMainExecutable(&file)) FLTLogWarn("Unable to write out executable metadata\n");
    FLTFileClose(&file);
    return true;
}

bool FLTContextInitialize(const FLTContextInitOptions* options) {
#if !defined(__x86_64__) || !defined(__linux__)
    (void)options;
    return false;
#else
    if (!options || !FLTIsValidPointer(options->reportPath)) return false;
    // A second initialisation (tests, a new report folder) starts from a fresh mapping, once the
    // last one's installers no longer write into the old.
    FLTContextWaitForInstallers(-1);
    FLTContextBaseDeinitialize();
    g_fltContext.store(nullptr);
    g_fltStore.store(nullptr);
    FLTSafeReadPrepare();
    FLTSafeReadNoteThreadStack();

    const uint64_t writable = kFLTSignalStackSize + sizeof(FLTWritableStore) + 4096;
    const uint64_t protectable = sizeof(FLTContext) + 16384;
    FLTAllocator* allocator = FLTAllocatorCreate(writable, protectable);
    g_fltAllocator.store(allocator);
    // The signal stack comes first: the guard page below the writable region guards it.
    void* signalStack = FLTAllocatorSafeAllocate(allocator, kFLTSignalStackSize, kFLTWritable);
    auto* context = new (FLTAllocatorSafeAllocate(allocator, sizeof(FLTContext), kFLTProtectable)) FLTContext{};
    auto* store = new (FLTAllocatorSafeAllocate(allocator, sizeof(FLTWritableStore), kFLTWritable)) FLTWritableStore{};
    store->sdkLogFD.store(-1);
    store->minimumLogLevel.store(kFLTLogDebug);
    store->binaryImageFile.fd = -1;
    context->signalStack = signalStack;
    context->processID = int32_t(::getpid());
    context->pidNamespace = FLTContextPidNamespace();
    context->initialized.store(0);
    std::atomic_thread_fence(std::memory_order_seq_cst);

    const char* folder = options->reportPath;
    context->reportPath = FLTDupString(folder);
    context->sdkLogPath = FLTContextPathForFile(folder, "sdk.log");
    if (context->sdkLogPath && ::unlink(context->sdkLogPath) != 0 && errno != ENOENT)
        SystemLog::warning(QStringLiteral("[Faultline:Crash] Unable to write initialize SDK write paths %1")
                               .arg(QString::fromUtf8(std::strerror(errno))));
    g_fltStore.store(store);
    g_fltContext.store(context);

    context->debuggerAttached = FLTProcessDebuggerAttached();
    context->urgentSubmission = options->urgentSubmission;
    context->urgentSubmissionInfo = options->urgentSubmissionInfo;
    context->crashCallback = options->crashCallback;
    context->crashCallbackInfo = options->crashCallbackInfo;
    context->firstInstall = options->firstInstall;
    // Every path the installers use is set before they start: they write disjoint fields only.
    context->binaryImagePath = FLTContextPathForFile(folder, "binary_images.fltrecord");
    context->exception.exceptionFilePath = FLTContextPathForFile(folder, "exception.fltrecord");
    context->signal.signalFilePath = FLTContextPathForFile(folder, "signal.fltrecord");
    context->mach.machFilePath = FLTContextPathForFile(folder, "mach_exception.fltrecord");
    context->userKV = {FLTContextPathForFile(folder, "user_incremental_kv.fltrecord"),
                       FLTContextPathForFile(folder, "user_compacted_kv.fltrecord"), kCompactionThreshold,
                       options->maxCustomKeys};
    context->internalKV = {FLTContextPathForFile(folder, "internal_incremental_kv.fltrecord"),
                           FLTContextPathForFile(folder, "internal_compacted_kv.fltrecord"), kCompactionThreshold,
                           uint32_t(kInternalKeyLimit)};
    context->logs.pathA = FLTContextPathForFile(folder, "log_a.fltrecord");
    context->logs.pathB = FLTContextPathForFile(folder, "log_b.fltrecord");
    context->logs.byteLimit = options->logBufferSize;
    context->logs.limitedBySize = true;
    context->errors.pathA = FLTContextPathForFile(folder, "errors_a.fltrecord");
    context->errors.pathB = FLTContextPathForFile(folder, "errors_b.fltrecord");
    context->errors.entryLimit = options->errorReportingEnabled ? options->maxCustomExceptions : 0;
    context->errors.entryCounter = &store->errorCount;
    context->customExceptions.pathA = FLTContextPathForFile(folder, "custom_exception_a.fltrecord");
    context->customExceptions.pathB = FLTContextPathForFile(folder, "custom_exception_b.fltrecord");
    context->customExceptions.entryLimit = options->maxCustomExceptions;
    context->customExceptions.entryCounter = &store->customExceptionCount;

    // The metadata file outlives this call when its installer is slow: it keeps its own copy of
    // the options (their strings live in the protected region).
    FLTContextInitOptions metadata = *options;
    metadata.apiKey = FLTDupString(options->apiKey);
    metadata.customBundleID = FLTDupString(options->customBundleID);
    metadata.reportPath = context->reportPath;
    metadata.reportID = FLTDupString(options->reportID);
    metadata.installID = FLTDupString(options->installID);
    metadata.betaToken = FLTDupString(options->betaToken);
    metadata.bundleID = FLTDupString(options->bundleID);
    metadata.buildVersion = FLTDupString(options->buildVersion);
    metadata.displayVersion = FLTDupString(options->displayVersion);

    std::vector<std::function<void()>> installers = {
        [] { FLTHostInitialize(); },
        [] { FLTUserLoggingInitialize(); },
        [] { FLTBinaryImageInit(); },
        [metadata] { FLTContextRecordMetadata(&metadata); },
    };
    if (!context->debuggerAttached) {
        // The alternate stack is per thread: this thread's is set here, not by an installer.
        FLTSignalInstallContextStack(&context->signal);
        const uint32_t machMask = options->machExclusionMask;
        const uint32_t exceptionLimit = options->customExceptionsEnabled ? options->maxCustomExceptions : 0;
        installers.push_back([context] {
            FLTSignalInitialize(&context->signal);
            Threads::setHooks(FLTSignalInstallThreadStack, FLTSignalReleaseThreadStack);
        });
        installers.push_back([context, machMask] { FLTMachExceptionInit(&context->mach, machMask); });
        installers.push_back([context, exceptionLimit] { FLTExceptionInitialize(&context->exception, exceptionLimit); });
    } else {
        FLTLogWarn("Debugger present - not installing handlers\n");
    }
    {
        InstallGroup& group = installGroup();
        std::lock_guard<std::mutex> locker(group.lock);
        group.context = context;
        group.allocator = allocator;
    }
    runInstallers(std::move(installers));
    if (!FLTContextWaitForInstallers(int(std::chrono::milliseconds(kInstallWait).count())))
        FLTLogWarn("Error: Delayed initialization\n");
    return true;
#endif
}
