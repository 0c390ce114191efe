#include "kits/faultline/FLTException.h"

#include "kits/faultline/FLTFile.h"
#include "kits/faultline/FLTProcess.h"
#include "kits/faultline/FLTSDKLog.h"
#include "kits/faultline/FLTUserLogging.h"
#include "kits/faultline/FLTWebView.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cxxabi.h>
#include <exception>
#include <string>
#include <typeinfo>

#include <dlfcn.h>
#include <unistd.h>

namespace {

const char* typeName(int type) {
    switch (type) {
    case kFLTExceptionObjC: return "objective-c";
    case kFLTExceptionCpp: return "c++";
    case kFLTExceptionJavaScript: return "javascript";
    case kFLTExceptionCustom: return "custom";
    default: return "unknown";
    }
}

// Demangles into buffer; the mangled name when that fails.
const char* demangled(const char* mangled, char* buffer, size_t capacity) {
    if (!mangled) return "unknown";
    int status = 0;
    char* name = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    if (status != 0 || !name) {
        std::free(name);
        return mangled;
    }
    std::strncpy(buffer, name, capacity - 1);
    buffer[capacity - 1] = 0;
    std::free(name);
    return buffer;
}

}  // namespace

void FLTExceptionWriteSection(FLTFile* file, int type, const char* name, const char* reason,
                              const FLTStackFrame* frames, uint64_t frameCount) {
    FLTFileWriteSectionStart(file, "exception");
    FLTFileWriteHashStart(file);
    FLTFileWriteHashEntryString(file, "type", typeName(type));
    FLTFileWriteHashEntryHexEncodedString(file, "name", name ? name : "");
    FLTFileWriteHashEntryHexEncodedString(file, "reason", reason ? reason : "");
    FLTFileWriteHashEntryUint64(file, "time", uint64_t(::time(nullptr)));
    if (frames && frameCount) {
        FLTFileWriteHashKey(file, "frames");
        FLTFileWriteArrayStart(file);
        for (uint64_t i = 0; i < frameCount; ++i) {
            const FLTStackFrame& frame = frames[i];
            FLTFileWriteHashStart(file);
            FLTFileWriteHashEntryUint64(file, "pc", frame.address);
            if (frame.symbol) FLTFileWriteHashEntryHexEncodedString(file, "symbol", frame.symbol);
            FLTFileWriteHashEntryUint64(file, "offset", frame.offset);
            if (frame.library) FLTFileWriteHashEntryHexEncodedString(file, "library", frame.library);
            if (frame.fileName) FLTFileWriteHashEntryHexEncodedString(file, "file", frame.fileName);
            FLTFileWriteHashEntryUint64(file, "line", frame.lineNumber & 0xFFFFFFFF);
            FLTFileWriteHashEnd(file);
        }
        FLTFileWriteArrayEnd(file);
    }
    FLTFileWriteHashEnd(file);
    FLTFileWriteSectionEnd(file);
}

bool FLTExceptionInitialize(FLTExceptionState* state, uint32_t customExceptionLimit) {
    if (!state) return false;
    if (state->exceptionFilePath && ::unlink(state->exceptionFilePath) != 0 && errno != ENOENT)
        FLTLogWarn("Unable to reset the exception file %s\n", FLTErrnoName(errno));
    state->previousTerminate = std::set_terminate(FLTTerminateHandler);
    state->customExceptionLimit = customExceptionLimit;
    if (FLTWritableStore* store = g_fltStore.load()) store->customExceptionCount.store(0);
    return true;
}

void FLTAttemptUrgentSubmission() {
    FLTContext* context = g_fltContext.load();
    if (context && context->urgentSubmission) context->urgentSubmission(context->urgentSubmissionInfo);
}

void FLTExceptionRecord(int type, const char* name, const char* reason, const FLTStackFrame* frames,
                        uint64_t frameCount, bool attemptDelivery) {
    if (!FLTContextIsInitialized()) return;
    const bool crash = type == kFLTExceptionObjC || type == kFLTExceptionCpp;
    FLTLogWarn("Recording an exception structure (%d, %d)\n", int(attemptDelivery), int(crash));
    FLTContext* context = g_fltContext.load();
    FLTWritableStore* store = g_fltStore.load();
    if (crash) {
        // Recorded here, on the thread that is ending: it is the crashed thread of the report.
        const FLTCrashClaim claim = FLTContextClaimCrash();
        if (claim == kFLTClaimOtherOwner) {
            FLTContextWaitForCrashOwner(kFLTResumeTimeoutMs);
            return;
        }
        if (claim != kFLTClaimOwner) return;
        FLTFile file;
        if (!FLTFileInitWithBuffer(&file, context->exception.exceptionFilePath, store->crashBuffer,
                                   sizeof store->crashBuffer)) {
            FLTLogWarn("Unable to open exception file\n");
            return;
        }
        FLTExceptionWriteSection(&file, type, name, reason, frames, frameCount);
        FLTFileFlush(&file);
        FLTHandler(&file, FLTCurrentThreadID(), nullptr);
        FLTFileClose(&file);
        FLTContextMarkCrashFinished();
        if (attemptDelivery) FLTAttemptUrgentSubmission();
    } else {
        struct Line {
            int type;
            const char* name;
            const char* reason;
            const FLTStackFrame* frames;
            uint64_t count;
        } line{type, name, reason, frames, frameCount};
        FLTUserLoggingWriteAndCheckABFiles(&context->customExceptions, &store->currentCustomExceptionFile,
                                           [&line](FLTFile* file) {
                                               FLTExceptionWriteSection(file, line.type, line.name, line.reason,
                                                                        line.frames, line.count);
                                           });
    }
    FLTLogWarn("Finished recording an exception structure\n");
}

void FLTTerminateHandler() {
    FLTLogWarn("C++ terminate handler invoked\n");
    FLTContext* context = g_fltContext.load();
    std::terminate_handler previous = context ? context->exception.previousTerminate : nullptr;
    if (previous == FLTTerminateHandler) {
        FLTLogWarn("Error: original handler was set recursively\n");
        previous = nullptr;
    } else if (previous) {
        FLTLogWarn("restoring pre-existing handler\n");
        if (std::set_terminate(previous) == previous) {
            FLTLogWarn("handler has already been restored, aborting\n");
            std::abort();
        }
    }
    std::exception_ptr active = std::current_exception();
    if (!active) {
        FLTLogWarn("no active exception\n");
    } else {
        const std::type_info* type = abi::__cxa_current_exception_type();
        if (!type) {
            FLTLogWarn("Error: invalid parameter\n");
        } else {
            FLTLogWarn("Recording exception of type '%s'\n", type->name());
            char nameBuffer[256];
            const char* name = demangled(type->name(), nameBuffer, sizeof nameBuffer);
            try {
                std::rethrow_exception(active);
            } catch (const char* text) {
                FLTExceptionRecord(kFLTExceptionCpp, "const char *", text, nullptr, 0, true);
            } catch (const std::string& text) {
                FLTExceptionRecord(kFLTExceptionCpp, "std::string", text.c_str(), nullptr, 0, true);
            } catch (const std::exception& error) {
                FLTExceptionRecord(kFLTExceptionCpp, name, error.what(), nullptr, 0, true);
            } catch (const std::exception* error) {
                FLTExceptionRecord(kFLTExceptionCpp, name, error ? error->what() : "", nullptr, 0, true);
            } catch (...) {
                FLTExceptionRecord(kFLTExceptionCpp, name, "", nullptr, 0, true);
            }
        }
    }
    if (previous) {
        FLTLogWarn("invoking pre-existing handler\n");
        previous();
    }
    FLTLogWarn("aborting\n");
    std::abort();
}

void FLTExceptionCheckHandlers() {
    if (FLTContextDebuggerAttached()) return;
    const std::terminate_handler current = std::get_terminate();
    if (current == FLTTerminateHandler) return;
    Dl_info where{};
    const bool found = ::dladdr(reinterpret_cast<const void*>(current), &where) != 0;
    std::fprintf(stderr, "[Faultline:Crash] Warning: std::get_terminate is '%s' in '%s'\n",
                 found && where.dli_sname ? where.dli_sname : "unknown",
                 found && where.dli_fname ? where.dli_fname : "unknown");
}

QString FLTWebViewErrorScript() {
    // The first part keeps the page's handlers and puts ours in their place; the second reports
    // and hands the error on. They run as one script, so the function declared in the second is
    // known in the first. A handler that is already ours is never kept as the page's: that would
    // call itself forever.
    static const char* const takeOver =
        "window.faultlineOriginalOnLoad = window.onload;\n"
        "window.faultlineOriginalOnError = window.onerror === faultlineOnError ? null : window.onerror;\n"
        "window.faultlineTakeOverOnError = function () {\n"
        "  if (window.onerror === faultlineOnError) return;\n"
        "  if (window.onerror) window.faultlineOriginalOnError = window.onerror;\n"
        "  window.onerror = faultlineOnError;\n"
        "};\n"
        // A handler the page sets before its load, or in its own onload, becomes the one called.
        "window.faultlineOnLoad = function () {\n"
        "  window.faultlineTakeOverOnError();\n"
        "  var result;\n"
        "  if (typeof window.faultlineOriginalOnLoad === 'function')\n"
        "    result = window.faultlineOriginalOnLoad.apply(this, arguments);\n"
        "  window.faultlineTakeOverOnError();\n"
        "  return result;\n"
        "};\n"
        "window.onerror = faultlineOnError;\n"
        "window.onload = window.faultlineOnLoad;\n";
    static const char* const report =
        "function faultlineOnError(msg, url, line, column, error) {\n"
        "  var message = { msg: String(msg), url: String(url || ''), line: Number(line) || 0,\n"
        "                  column: Number(column) || 0 };\n"
        "  try { window.qorvelMessageHandlers.faultline.postMessage(message); } catch (e) {}\n"
        "  if (typeof window.faultlineOriginalOnError === 'function')\n"
        "    return window.faultlineOriginalOnError(msg, url, line, column, error);\n"
        "}\n";
    return QString::fromLatin1(takeOver) + QString::fromLatin1(report);
}

bool FLTWebViewRecordScriptMessage(const QVariant& body) {
    if (body.typeId() != QMetaType::QVariantMap) return false;
    const QByteArray message = body.toMap().value(QStringLiteral("msg")).toString().toUtf8();
    FLTExceptionRecord(kFLTExceptionJavaScript, "exception", message.constData(), nullptr, 0, false);
    return true;
}

void FLTThrowCppTestException() { throw "Faultline C++ Test Exception"; }
