// Uncaught C++ exceptions: the terminate handler records the active exception into
// "exception.fltrecord" with every thread, on the terminating thread itself, then hands over to
// the previous terminate handler or aborts. The same exception line serves script errors of web
// views and custom exceptions, which go to the custom-exception A/B files and record no threads.
#pragma once

#include "kits/faultline/FLTContext.h"
#include "kits/faultline/FLTTypes.h"

#include <QString>
#include <QVariant>

#include <cstdint>
#include <functional>

enum FLTExceptionType : int {
    kFLTExceptionObjC = 1,
    kFLTExceptionCpp = 2,
    kFLTExceptionJavaScript = 3,
    kFLTExceptionCustom = 4,
};

struct FLTStackFrame {
    uint64_t address;
    const char* symbol;   // null when unknown
    uint64_t offset;
    const char* library;  // null when unknown
    const char* fileName; // null when unknown
    uint64_t lineNumber;
};

bool FLTExceptionInitialize(FLTExceptionState* state, uint32_t customExceptionLimit);
// Crash types (1, 2) are written with every thread; others go to the custom-exception files.
void FLTExceptionRecord(int type, const char* name, const char* reason, const FLTStackFrame* frames,
                        uint64_t frameCount, bool attemptDelivery);
void FLTExceptionWriteSection(FLTFile* file, int type, const char* name, const char* reason,
                              const FLTStackFrame* frames, uint64_t frameCount);
void FLTTerminateHandler();
void FLTAttemptUrgentSubmission();
// Warns on standard error when the terminate handler is no longer the kit's.
void FLTExceptionCheckHandlers();
// Where web views take the scripts their pages run and the handlers pages post to; whoever makes
// the web views implements it (a handler gets what a page posts, as JSON gives it).
class FLTWebViewUserContent {
public:
    virtual ~FLTWebViewUserContent() = default;
    // Run at the end of each main-frame document, in the page's own world.
    virtual void addUserScript(const QString& source) = 0;
    virtual void addMessageHandler(const QString& name, std::function<void(const QVariant& body)> handler) = 0;
};
// The script that reports a page's uncaught errors: it takes over window.onerror, calling the
// page's own handler after (one the page set before the script ran or in its onload included),
// and posts {msg, url, line, column} to window.qorvelMessageHandlers.faultline.
QString FLTWebViewErrorScript();
// Gives content the script and the "faultline" handler that records what it posts; true when
// both were added.
bool FLTWebViewMonitorErrors(FLTWebViewUserContent* content);
// A posted page error: a map's "msg" is recorded as a "javascript" custom exception named
// "exception"; anything else is refused (false).
bool FLTWebViewRecordScriptMessage(const QVariant& body);
// Throws the C string "Faultline C++ Test Exception".
[[noreturn]] void FLTThrowCppTestException();
