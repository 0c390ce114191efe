// Generic passwords through libsecret: look-up, add, update and delete, each bounded in time.
#include "platform/Keychain.h"
#include "platform/Threads.h"

#include "platform/SystemLog.h"

#include <libsecret/secret.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

namespace {

std::atomic<qint64> g_timeoutMs{10000};

const SecretSchema* passwordSchema() {
    // DONT_MATCH_NAME: items made by other tools with the same two attributes (secret-tool, an
    // earlier version) are found and updated too.
    static const SecretSchema schema = {
        "com.qorvel.Qorvel.GenericPassword",
        SECRET_SCHEMA_DONT_MATCH_NAME,
        {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
         {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
         {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
    };
    return &schema;
}

// Cancels the call's cancellable when the call outlives the time-out. D-Bus calls, the bus
// connection and unlock prompts all honour it, so no call can hang on a dead or stopped service.
class Deadline {
public:
    Deadline() : _cancellable(g_cancellable_new()) {
        const auto limit = std::chrono::milliseconds(g_timeoutMs.load());
        _timer = Threads::start("KeychainDeadline", [this, limit] {
            std::unique_lock<std::mutex> locker(_mutex);
            if (!_done.wait_for(locker, limit, [this] { return _finished; })) {
                _expired = true;
                g_cancellable_cancel(_cancellable);
            }
        });
    }
    ~Deadline() {
        {
            std::lock_guard<std::mutex> locker(_mutex);
            _finished = true;
        }
        _done.notify_all();
        _timer.join();
        g_object_unref(_cancellable);
    }
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;

    GCancellable* cancellable() const { return _cancellable; }
    bool expired() {
        std::lock_guard<std::mutex> locker(_mutex);
        return _expired;
    }

private:
    GCancellable* _cancellable;
    std::mutex _mutex;
    std::condition_variable _done;
    bool _finished = false;
    bool _expired = false;
    std::thread _timer;
};

struct ErrorFree {
    void operator()(GError* e) const { g_error_free(e); }
};

// Maps a libsecret, GDBus or GIO error to a result code.
qint32 statusForError(const GError* error) {
    if (!error) return QVKeychainUnknownError;
    if (error->domain == G_IO_ERROR) {
        // Cancelled (the time-out), refused, missing socket, closed connection, no bus address:
        // in every case there is no keyring to talk to.
        return error->code == G_IO_ERROR_PERMISSION_DENIED ? QVKeychainAuthFailed : QVKeychainNotAvailable;
    }
    if (error->domain == G_DBUS_ERROR) {
        switch (error->code) {
        case G_DBUS_ERROR_ACCESS_DENIED:
        case G_DBUS_ERROR_AUTH_FAILED:
            return QVKeychainAuthFailed;
        case G_DBUS_ERROR_SERVICE_UNKNOWN:
        case G_DBUS_ERROR_NAME_HAS_NO_OWNER:
        case G_DBUS_ERROR_NO_REPLY:
        case G_DBUS_ERROR_TIMEOUT:
        case G_DBUS_ERROR_TIMED_OUT:
        case G_DBUS_ERROR_DISCONNECTED:
        case G_DBUS_ERROR_NO_SERVER:
        case G_DBUS_ERROR_SPAWN_EXEC_FAILED:
        case G_DBUS_ERROR_SPAWN_FAILED:
        case G_DBUS_ERROR_SPAWN_CHILD_EXITED:
        case G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND:
        case G_DBUS_ERROR_SPAWN_SERVICE_INVALID:
            return QVKeychainNotAvailable;
        default:
            return QVKeychainUnknownError;
        }
    }
    if (error->domain == SECRET_ERROR) {
        switch (error->code) {
        case SECRET_ERROR_IS_LOCKED:
            return QVKeychainAuthFailed;
        case SECRET_ERROR_ALREADY_EXISTS:
            return QVKeychainDuplicateItem;
        case SECRET_ERROR_NO_SUCH_OBJECT:
            return QVKeychainItemNotFound;
        default:
            return QVKeychainUnknownError;
        }
    }
    return QVKeychainUnknownError;
}

// The detail behind a logged failure: the service's own message (never a secret), or the time-out.
void logDetail(int priority, Deadline& deadline, const GError* error) {
    if (deadline.expired()) {
        SystemLog::log(priority, QStringLiteral("Secret Service did not answer within %1 ms")
                                     .arg(g_timeoutMs.load()));
    } else if (error && error->message) {
        SystemLog::log(priority, QStringLiteral("Secret Service: %1").arg(QString::fromUtf8(error->message)));
    }
}

qint32 statusFor(Deadline& deadline, const GError* error) {
    return deadline.expired() ? QVKeychainNotAvailable : statusForError(error);
}

bool validKey(const char* text) {
    return text && g_utf8_validate(text, -1, nullptr);
}

class Attributes {
public:
    Attributes(const char* service, const char* account)
        : _table(secret_attributes_build(passwordSchema(), "service", service, "account", account, nullptr)) {}
    ~Attributes() { g_hash_table_unref(_table); }
    Attributes(const Attributes&) = delete;
    Attributes& operator=(const Attributes&) = delete;
    GHashTable* table() const { return _table; }

private:
    GHashTable* _table;
};

// The shared service connection with a transfer session open ("the default keychain").
SecretService* openService(Deadline& deadline, const QString& failureText, qint32* status) {
    GError* raw = nullptr;
    SecretService* service = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, deadline.cancellable(), &raw);
    std::unique_ptr<GError, ErrorFree> error(raw);
    if (service) return service;
    SystemLog::error(failureText);
    logDetail(SystemLog::Error, deadline, error.get());
    const qint32 code = statusFor(deadline, error.get());
    // Whatever stopped the connection, the caller's answer is that no keyring can be used.
    *status = (code == QVKeychainAuthFailed) ? code : QVKeychainNotAvailable;
    return nullptr;
}

// Logs a failed look-up the way every operation words it.
void logLookupFailure(qint32 status, Deadline& deadline, const GError* error) {
    switch (status) {
    case QVKeychainNoDefaultKeychain:
        SystemLog::log(SystemLog::Info, QStringLiteral("No default keychain!"));
        break;
    case QVKeychainItemNotFound:
        SystemLog::log(SystemLog::Info, QStringLiteral("keychain item not found"));
        break;
    case QVKeychainAuthFailed:
        SystemLog::error(QStringLiteral("authorization failed."));
        logDetail(SystemLog::Error, deadline, error);
        break;
    default:
        SystemLog::error(QStringLiteral("unknown error"));
        logDetail(SystemLog::Error, deadline, error);
        break;
    }
}

// The first item for the pair, unlocked when it was locked and the keyring allows it.
// Null with *status set when there is none or the search failed.
SecretItem* findItem(SecretService* service, const Attributes& attributes, Deadline& deadline, qint32* status) {
    GError* raw = nullptr;
    GList* items = secret_service_search_sync(service, passwordSchema(), attributes.table(),
                                              SECRET_SEARCH_UNLOCK, deadline.cancellable(), &raw);
    std::unique_ptr<GError, ErrorFree> error(raw);
    if (error) {
        *status = statusFor(deadline, error.get());
        logLookupFailure(*status, deadline, error.get());
        return nullptr;
    }
    if (!items) {
        *status = QVKeychainItemNotFound;
        logLookupFailure(*status, deadline, nullptr);
        return nullptr;
    }
    auto* item = static_cast<SecretItem*>(g_object_ref(items->data));
    g_list_free_full(items, g_object_unref);
    if (secret_item_get_locked(item)) {
        g_object_unref(item);
        *status = QVKeychainAuthFailed;
        logLookupFailure(*status, deadline, nullptr);
        return nullptr;
    }
    *status = QVKeychainNoError;
    return item;
}

qint32 updateItem(SecretService* service, const char* service_, const char* account, const char* password,
                  Deadline& deadline) {
    const Attributes attributes(service_, account);
    qint32 status = QVKeychainNoError;
    SecretItem* item = findItem(service, attributes, deadline, &status);
    if (!item) return status;
    SecretValue* value = secret_value_new(password, -1, "text/plain");
    GError* raw = nullptr;
    const bool ok = secret_item_set_secret_sync(item, value, deadline.cancellable(), &raw);
    std::unique_ptr<GError, ErrorFree> error(raw);
    secret_value_unref(value);
    g_object_unref(item);
    if (ok) return QVKeychainNoError;
    status = statusFor(deadline, error.get());
    SystemLog::error(QStringLiteral("keychain item could not be updated."));
    logDetail(SystemLog::Error, deadline, error.get());
    return status == QVKeychainNoError ? QVKeychainUnknownError : status;
}

// The checks and the connection every call starts with: null, with *status set, when the service
// and account are not UTF-8 text, a password is missing or the service cannot be reached.
SecretService* openChecked(const char* service, const char* account, bool passwordGiven, const QString& failure,
                           Deadline& deadline, qint32* status) {
    if (!validKey(service) || !validKey(account) || !passwordGiven) {
        SystemLog::error(QStringLiteral("keychain: service and account must be UTF-8 text"));
        *status = QVKeychainBadParameter;
        return nullptr;
    }
    *status = QVKeychainNoError;
    return openService(deadline, failure, status);
}

}  // namespace

void SetKeychainTimeout(std::chrono::milliseconds timeout) {
    g_timeoutMs.store(std::max<qint64>(1, timeout.count()));
}

std::chrono::milliseconds KeychainTimeout() {
    return std::chrono::milliseconds(g_timeoutMs.load());
}

char* GetPasswordFromKeychain(const char* service, const char* account, qint32* status) {
    qint32 ignored = 0;
    if (!status) status = &ignored;
    Deadline deadline;
    SecretService* secrets =
        openChecked(service, account, true, QStringLiteral("SecKeychainCopyDefault failed"), deadline, status);
    if (!secrets) return nullptr;

    const Attributes attributes(service, account);
    GError* raw = nullptr;
    SecretValue* value = secret_service_lookup_sync(secrets, passwordSchema(), attributes.table(),
                                                    deadline.cancellable(), &raw);
    std::unique_ptr<GError, ErrorFree> error(raw);
    g_object_unref(secrets);
    if (!value) {
        *status = error ? statusFor(deadline, error.get()) : QVKeychainItemNotFound;
        logLookupFailure(*status, deadline, error.get());
        return nullptr;
    }
    gsize length = 0;
    const gchar* bytes = secret_value_get(value, &length);
    auto* copy = static_cast<char*>(std::malloc(length + 1));
    if (!copy) {
        SystemLog::error(QStringLiteral("malloc: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
        secret_value_unref(value);
        *status = QVKeychainUnknownError;
        return nullptr;
    }
    if (length) std::memcpy(copy, bytes, length);
    copy[length] = '\0';
    secret_value_unref(value);  // wipes the service's copy
    *status = QVKeychainNoError;
    return copy;
}

qint32 UpdatePasswordInKeychain(const char* service, const char* account, const char* password) {
    Deadline deadline;
    qint32 status = QVKeychainNoError;
    SecretService* secrets = openChecked(service, account, password != nullptr,
                                         QStringLiteral("SecKeychainCopyDefault failed"), deadline, &status);
    if (!secrets) return status;
    status = updateItem(secrets, service, account, password, deadline);
    g_object_unref(secrets);
    return status;
}

qint32 AddPasswordToKeychain(const char* service, const char* account, const char* password) {
    Deadline deadline;
    qint32 status = QVKeychainNoError;
    SecretService* secrets = openChecked(
        service, account, password != nullptr,
        QStringLiteral("SecKeychainCopyDefault failed. Make sure you have a keychain available."), deadline, &status);
    if (!secrets) return status;

    const Attributes attributes(service, account);
    GError* raw = nullptr;
    // Locked items count too: they are duplicates all the same, and the update unlocks them.
    GList* existing = secret_service_search_sync(secrets, passwordSchema(), attributes.table(), SECRET_SEARCH_NONE,
                                                 deadline.cancellable(), &raw);
    std::unique_ptr<GError, ErrorFree> error(raw);
    if (error) {
        status = statusFor(deadline, error.get());
    } else if (existing) {
        g_list_free_full(existing, g_object_unref);
        status = QVKeychainDuplicateItem;
    } else {
        SecretValue* value = secret_value_new(password, -1, "text/plain");
        // The store replaces an item with the same attributes in the collection, so two adds
        // racing past the search above still leave one item.
        const bool ok = secret_service_store_sync(secrets, passwordSchema(), attributes.table(),
                                                  SECRET_COLLECTION_DEFAULT, service, value,
                                                  deadline.cancellable(), &raw);
        error.reset(raw);
        secret_value_unref(value);
        status = ok ? QVKeychainNoError : statusFor(deadline, error.get());
        if (!ok && status == QVKeychainNoError) status = QVKeychainUnknownError;
    }

    switch (status) {
    case QVKeychainNoError:
        break;
    case QVKeychainDuplicateItem:
        SystemLog::log(SystemLog::Info, QStringLiteral("keychain item already exists."));
        status = updateItem(secrets, service, account, password, deadline);
        break;
    case QVKeychainAuthFailed:
        SystemLog::error(QStringLiteral("authorization failed."));
        logDetail(SystemLog::Error, deadline, error.get());
        break;
    default:
        SystemLog::error(QStringLiteral("unknown error adding password to keychain"));
        logDetail(SystemLog::Error, deadline, error.get());
        break;
    }
    g_object_unref(secrets);
    return status;
}

qint32 DeletePasswordFromKeychain(const char* service, const char* account) {
    Deadline deadline;
    qint32 status = QVKeychainNoError;
    SecretService* secrets =
        openChecked(service, account, true, QStringLiteral("SecKeychainCopyDefault failed"), deadline, &status);
    if (!secrets) return status;
    const Attributes attributes(service, account);
    GError* raw = nullptr;
    const bool removed = secret_service_clear_sync(secrets, passwordSchema(), attributes.table(),
                                                   deadline.cancellable(), &raw);
    std::unique_ptr<GError, ErrorFree> error(raw);
    g_object_unref(secrets);
    if (removed) return QVKeychainNoError;
    status = error ? statusFor(deadline, error.get()) : QVKeychainItemNotFound;
    logLookupFailure(status, deadline, error.get());
    return status;
}
