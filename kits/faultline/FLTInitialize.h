// Setting up capture once per launch: the guarded mapping and the crash context, the record paths
// of the report folder, then side by side the image table, host values, user logging, the signal
// and terminate handlers and the metadata file; then the context is made read-only. Capture is
// built for x86-64 Linux: elsewhere initialisation answers false and installs nothing.
#pragma once

#include "kits/faultline/FLTContext.h"

#include <cstdint>

struct FLTContextInitOptions {
    const char* apiKey = "";
    FLTUrgentSubmission urgentSubmission = nullptr;
    void* urgentSubmissionInfo = nullptr;
    bool firstInstall = false;
    FLTCrashCallback crashCallback = nullptr;
    void* crashCallbackInfo = nullptr;
    const char* customBundleID = nullptr;
    const char* reportPath = nullptr;  // the report folder, which exists
    const char* reportID = "";         // written as "session_id"
    const char* installID = "";
    const char* betaToken = "";
    uint32_t machExclusionMask = 0;
    bool errorReportingEnabled = true;
    bool customExceptionsEnabled = true;
    uint32_t maxCustomExceptions = 8;
    uint32_t errorLogBufferSize = 0;
    uint32_t logBufferSize = 65536;
    uint32_t maxCustomKeys = 64;
    // The application's identity for the metadata file.
    const char* bundleID = "";
    const char* buildVersion = "";
    const char* displayVersion = "";
};

// False for null options, a missing report folder, or an unsupported machine; true otherwise
// (also when an installer failed: it logged why). The installers run side by side; the call waits
// for them at most five seconds, and the context becomes initialised and read-only when the last
// one is done, which may be after the call returned.
bool FLTContextInitialize(const FLTContextInitOptions* options);
// Waits until the last initialisation's installers are done (a negative time: for as long as
// it takes); false when they still run.
bool FLTContextWaitForInstallers(int milliseconds);
// The metadata file: identity, host, application and executable lines.
bool FLTContextRecordMetadata(const FLTContextInitOptions* options);
