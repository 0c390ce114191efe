// Generic passwords in the user's default keyring (the Secret Service), keyed by service and account.
//
// Items carry the attributes "service" and "account" (UTF-8), so `secret-tool lookup service S
// account A` finds them. Every call talks to the Secret Service over the session bus, is bounded
// by a time-out and may be made from any thread; none keeps state between calls. Failures go to
// the system log; passwords never do.
#pragma once

#include <QtGlobal>

#include <chrono>

// Result codes, stable numbers that stored settings and log lines carry.
enum : qint32 {
    QVKeychainNoError = 0,
    QVKeychainBadParameter = -50,          // a null or non-UTF-8 service or account, a null password
    QVKeychainNotAvailable = -25291,       // no Secret Service reachable, or it did not answer in time
    QVKeychainAuthFailed = -25293,         // the keyring is locked and was not unlocked, or access denied
    QVKeychainDuplicateItem = -25299,
    QVKeychainItemNotFound = -25300,
    QVKeychainNoDefaultKeychain = -25307,  // the Secret Service has no default collection
    QVKeychainUnknownError = -26276,       // anything else the service reported
};

// Looks the password of (service, account) up. Answers a newly allocated NUL-terminated copy that
// the caller releases with free(), or null. *status (when given) always receives the result:
// QVKeychainNoError with a non-null answer, otherwise the reason. A password of length 0 comes
// back as an empty string.
char* GetPasswordFromKeychain(const char* service, const char* account, qint32* status);

// Replaces the password of the existing item for (service, account), wherever it is kept.
// Answers QVKeychainNoError, or why nothing changed (QVKeychainItemNotFound when there is no such
// item: none is created).
qint32 UpdatePasswordInKeychain(const char* service, const char* account, const char* password);

// Stores the password for (service, account) in the default collection; when an item for the
// pair exists already, updates that item instead. Answers the result of the store or the update.
qint32 AddPasswordToKeychain(const char* service, const char* account, const char* password);

// Removes every item for (service, account). Answers QVKeychainItemNotFound when there was none.
qint32 DeletePasswordFromKeychain(const char* service, const char* account);

// The bound on one call, D-Bus round trips and any unlock prompt included (10 s by default).
// A call that runs out of time answers QVKeychainNotAvailable.
void SetKeychainTimeout(std::chrono::milliseconds timeout);
std::chrono::milliseconds KeychainTimeout();
