// Setting up capture once per launch: the guarded mapping and the crash context, the record paths
// of the report folder, the image table, host values, user logging, the signal and terminate
// handlers and the metadata file; then the context is made read-only. Capture is built for x86-64
// Linux: elsewhere initialisation answers false and installs nothing.
#pragma once

#include "faultline/FLTContext.h"

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
// (also when an installer failed: it logged why).
bool FLTContextInitialize(const FLTContextInitOptions* options);
// The metadata file: identity, host, application and executable lines.
bool FLTContextRecordMetadata(const FLTContextInitOptions* options);
