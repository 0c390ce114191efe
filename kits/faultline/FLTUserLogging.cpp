#include "kits/faultline/FLTUserLogging.h"

#include "kits/faultline/FLTBinaryImage.h"
#include "kits/faultline/FLTFile.h"
#include "kits/faultline/FLTRecordReader.h"
#include "kits/faultline/FLTSDKLog.h"
#include "platform/QVError.h"
#include "platform/SystemLog.h"

#include <QDateTime>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <execinfo.h>
#include <mutex>
#include <vector>

#include <unistd.h>

namespace {

thread_local quint64 t_recordsOnThread = 0;
std::recursive_mutex g_loggingQueue;  // the logging queue: every file access of this file
// Sets whose current file was just swapped: the file is emptied by the next line written to it,
// not at the swap, so the other file's lines stay until then and the pair always holds the
// latest lines of two limits.
std::vector<const FLTABFileSet*> g_swapped;

QByteArray textOf(const QVariant& value) {
    if (!value.isValid() || value.isNull()) return {};
    return value.toString().toUtf8();
}

void writeKV(const FLTKeyValueStore* store, const QByteArray& key, const QByteArray* value, bool hexAlready) {
    FLTFile file;
    if (!FLTFileInitWithPath(&file, store->incrementalPath, true)) {
        FLTLogError("Unable to open k-v file\n");
        return;
    }
    FLTFileWriteSectionStart(&file, "kv");
    FLTFileWriteHashStart(&file);
    if (hexAlready) {
        FLTFileWriteHashEntryBytes(&file, "key", key.constData(), uint64_t(key.size()));
        if (value) FLTFileWriteHashEntryBytes(&file, "value", value->constData(), uint64_t(value->size()));
        else FLTFileWriteHashEntryNull(&file, "value");
    } else {
        FLTFileWriteHashEntryHexEncodedBytes(&file, "key", key.constData(), uint64_t(key.size()));
        if (value) FLTFileWriteHashEntryHexEncodedBytes(&file, "value", value->constData(), uint64_t(value->size()));
        else FLTFileWriteHashEntryNull(&file, "value");
    }
    FLTFileWriteHashEnd(&file);
    FLTFileWriteSectionEnd(&file);
    FLTFileClose(&file);
}

struct Entry {
    QString key;
    QVariant value;  // hex text, or null for a removal
};

// Entries in the order they were last set, removals applied.
std::vector<Entry> mergedEntries(const FLTKeyValueStore* store) {
    std::vector<Entry> entries;
    auto apply = [&](const QVariantList& sections, bool compacted) {
        for (const QVariant& section : sections) {
            const QVariantMap kv = section.toMap().value(QStringLiteral("kv")).toMap();
            const QVariant key = kv.value(QStringLiteral("key"));
            const QVariant value = kv.value(QStringLiteral("value"));
            if (!key.isValid() || key.isNull() || !kv.contains(QStringLiteral("value"))) {
                FLTLogError("%s key/value contains a nil and must be dropped\n", compacted ? "compacted" : "incremental");
                continue;
            }
            for (auto it = entries.begin(); it != entries.end(); ++it)
                if (it->key == key.toString()) {
                    entries.erase(it);
                    break;
                }
            if (value.isNull()) {
                if (compacted) FLTLogError("compacted key/value contains a nil and must be dropped\n");
                continue;
            }
            entries.push_back({key.toString(), value});
        }
    };
    if (auto compacted = FLTFileReadSections(QString::fromUtf8(store->compactedPath), true)) apply(*compacted, true);
    if (auto incremental = FLTFileReadSections(QString::fromUtf8(store->incrementalPath), true)) apply(*incremental, false);
    return entries;
}

}  // namespace

void FLTUserLoggingInitialize() {
    FLTWritableStore* store = g_fltStore.load();
    FLTContext* context = g_fltContext.load();
    if (!store || !context) return;
    store->currentLogFile.store(context->logs.pathA);
    store->currentErrorFile.store(context->errors.pathA);
    store->currentCustomExceptionFile.store(context->customExceptions.pathA);
    store->userKVCount.store(0);
    store->internalKVCount.store(0);
    store->errorCount.store(0);
}

void FLTUserLoggingRecordKeyValue(const QString& key, const QVariant& value, const FLTKeyValueStore* store,
                                  std::atomic<uint32_t>* counter) {
    if (key.isEmpty()) {
        FLTLogWarn("User provided bad key\n");
        return;
    }
    if (!FLTContextIsInitialized()) return;
    if (!store || !counter || !store->incrementalPath) {
        FLTLogError("Bad parameters\n");
        return;
    }
    if (store->entryLimit == 0) return;
    ++t_recordsOnThread;
    FLTBinaryImageRefreshIfNeeded();
    std::lock_guard<std::recursive_mutex> locker(g_loggingQueue);
    const QByteArray text = textOf(value);
    const bool remove = !value.isValid() || value.isNull();
    writeKV(store, key.toUtf8(), remove ? nullptr : &text, false);
    if (counter->fetch_add(1) + 1 >= store->compactionThreshold) {
        FLTUserLoggingCompactKVEntries(store);
        counter->store(0);
    }
}

quint64 FLTUserLoggingRecordsOnThisThread() { return t_recordsOnThread; }

void FLTUserLoggingRecordUserKeyValue(const QString& key, const QVariant& value) {
    FLTContext* context = g_fltContext.load();
    FLTWritableStore* store = g_fltStore.load();
    if (context && store) FLTUserLoggingRecordKeyValue(key, value, &context->userKV, &store->userKVCount);
}

void FLTUserLoggingRecordInternalKeyValue(const QString& key, const QVariant& value) {
    FLTContext* context = g_fltContext.load();
    FLTWritableStore* store = g_fltStore.load();
    if (context && store) FLTUserLoggingRecordKeyValue(key, value, &context->internalKV, &store->internalKVCount);
}

void FLTUserLoggingWriteInternalKeyValueNow(const char* key, const char* value) {
    FLTContext* context = g_fltContext.load();
    if (!context || !key || !context->internalKV.incrementalPath) return;
    std::lock_guard<std::recursive_mutex> locker(g_loggingQueue);
    const QByteArray text = value ? QByteArray(value) : QByteArray();
    writeKV(&context->internalKV, QByteArray(key), value ? &text : nullptr, false);
}

QVariantMap FLTUserLoggingGetCompactedKVEntries(const FLTKeyValueStore* store, bool decodeHex) {
    if (!FLTIsValidPointer(store)) {
        FLTLogError("storage invalid\n");
        return {};
    }
    std::lock_guard<std::recursive_mutex> locker(g_loggingQueue);
    QVariantMap result;
    for (const Entry& entry : mergedEntries(store)) {
        if (decodeHex)
            result.insert(QString::fromUtf8(FLTFileHexDecodeString(entry.key.toUtf8())),
                          QString::fromUtf8(FLTFileHexDecodeString(entry.value.toString().toUtf8())));
        else
            result.insert(entry.key, entry.value);
    }
    return result;
}

void FLTUserLoggingCompactKVEntries(const FLTKeyValueStore* store) {
    if (!FLTIsValidPointer(store)) {
        FLTLogError("Error: storage invalid\n");
        return;
    }
    std::lock_guard<std::recursive_mutex> locker(g_loggingQueue);
    std::vector<Entry> entries = mergedEntries(store);
    if (entries.size() > store->entryLimit) {
        FLTLogInfo("Truncating KV set, which is above max %d\n", int(store->entryLimit));
        // The most recently set keys stay: they are what the application last said.
        entries.erase(entries.begin(), entries.end() - store->entryLimit);
    }
    const QByteArray temporary = QByteArray(store->compactedPath) + ".new";
    FLTFile file;
    if (!FLTFileInitWithPathMode(&file, temporary.constData(), false, true)) {
        FLTLogWarn("Error: Unable to open compacted k-v file\n");
        return;
    }
    for (const Entry& entry : entries) {
        const QByteArray key = entry.key.toUtf8(), value = entry.value.toString().toUtf8();
        FLTFileWriteSectionStart(&file, "kv");
        FLTFileWriteHashStart(&file);
        FLTFileWriteHashEntryBytes(&file, "key", key.constData(), uint64_t(key.size()));
        FLTFileWriteHashEntryBytes(&file, "value", value.constData(), uint64_t(value.size()));
        FLTFileWriteHashEnd(&file);
        FLTFileWriteSectionEnd(&file);
    }
    const bool flushed = FLTFileFlush(&file);
    const bool synced = ::fsync(file.fd) == 0;
    FLTFileClose(&file);
    // A write that failed (a full disk) leaves both files as they were.
    if (!flushed || !synced || ::rename(temporary.constData(), store->compactedPath) != 0) {
        FLTLogWarn("Error: Unable to remove compacted KV store before compaction %s\n", FLTErrnoName(errno));
        ::unlink(temporary.constData());
        return;
    }
    if (::unlink(store->incrementalPath) != 0 && errno != ENOENT)
        FLTLogWarn("Error: Unable to remove incremental KV store after compaction %s\n", FLTErrnoName(errno));
}

void FLTUserLoggingCheckAndSwapABFiles(const FLTABFileSet* set, std::atomic<const char*>* current, uint64_t size) {
    if (!set || !current) return;
    if (set->limitedBySize) {
        if (size <= set->byteLimit) return;
    } else {
        if (!set->entryCounter) {
            FLTLogError("Error: storage has invalid pointer, but is restricted by entry count\n");
            return;
        }
        if (set->entryCounter->load() < set->entryLimit) return;
        set->entryCounter->store(0);
    }
    const char* next = current->load() == set->pathA ? set->pathB : set->pathA;
    std::lock_guard<std::recursive_mutex> locker(g_loggingQueue);
    if (std::find(g_swapped.begin(), g_swapped.end(), set) == g_swapped.end()) g_swapped.push_back(set);
    current->store(next);
}

void FLTUserLoggingWriteAndCheckABFiles(const FLTABFileSet* set, std::atomic<const char*>* current,
                                        const std::function<void(FLTFile*)>& writer) {
    if (!set || !current || !writer || !current->load()) return;
    if ((set->limitedBySize ? set->byteLimit : set->entryLimit) == 0) return;
    std::lock_guard<std::recursive_mutex> locker(g_loggingQueue);
    const auto swapped = std::find(g_swapped.begin(), g_swapped.end(), set);
    const bool fresh = swapped != g_swapped.end();
    if (fresh) g_swapped.erase(swapped);
    FLTFile file;
    if (!FLTFileInitWithPathMode(&file, current->load(), !fresh, true)) {
        FLTLogWarn("Unable to open log file\n");
        return;
    }
    writer(&file);
    uint64_t size = 0;
    FLTFileCloseWithOffset(&file, &size);
    if (!set->limitedBySize && set->entryCounter) set->entryCounter->fetch_add(1);
    FLTUserLoggingCheckAndSwapABFiles(set, current, size);
}

void FLTUserLoggingRecordLogMessage(const QString& message) {
    if (message.isNull()) return;
    if (!FLTContextIsInitialized()) {
        SystemLog::warning(QStringLiteral("[Faultline:Crash] WARNING: FLTLog has been used before (or concurrently with) "
                                        "Faultline initialization and cannot be recorded. The message was: \n") +
                         message);
        return;
    }
    FLTContext* context = g_fltContext.load();
    FLTWritableStore* store = g_fltStore.load();
    const QByteArray text = message.toUtf8();
    const uint64_t time = uint64_t(QDateTime::currentMSecsSinceEpoch());
    FLTUserLoggingWriteAndCheckABFiles(&context->logs, &store->currentLogFile, [&](FLTFile* file) {
        FLTFileWriteSectionStart(file, "log");
        FLTFileWriteHashStart(file);
        FLTFileWriteHashEntryHexEncodedBytes(file, "msg", text.constData(), uint64_t(text.size()));
        FLTFileWriteHashEntryUint64(file, "time", time);
        FLTFileWriteHashEnd(file);
        FLTFileWriteSectionEnd(file);
    });
}

void FLTLog(const QString& message) { FLTUserLoggingRecordLogMessage(message); }

namespace {
void writeDictionary(FLTFile* file, const char* key, const QVariantMap& map) {
    if (map.isEmpty()) return;
    FLTFileWriteHashKey(file, key);
    FLTFileWriteArrayStart(file);
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        const QByteArray k = it.key().toUtf8(), v = it.value().toString().toUtf8();
        FLTFileWriteArrayStart(file);
        FLTFileWriteArrayEntryHexEncodedBytes(file, k.constData(), uint64_t(k.size()));
        FLTFileWriteArrayEntryHexEncodedBytes(file, v.constData(), uint64_t(v.size()));
        FLTFileWriteArrayEnd(file);
    }
    FLTFileWriteArrayEnd(file);
}
}  // namespace

void FLTUserLoggingRecordError(const QVError& error, const QVariantMap& additionalInfo) {
    if (!FLTContextIsInitialized()) return;
    void* frames[64];
    const int count = ::backtrace(frames, 64);
    const uint64_t time = uint64_t(QDateTime::currentSecsSinceEpoch());
    FLTContext* context = g_fltContext.load();
    FLTWritableStore* store = g_fltStore.load();
    const QByteArray domain = error.domain().toUtf8();
    FLTUserLoggingWriteAndCheckABFiles(&context->errors, &store->currentErrorFile, [&](FLTFile* file) {
        FLTFileWriteSectionStart(file, "error");
        FLTFileWriteHashStart(file);
        FLTFileWriteHashEntryHexEncodedBytes(file, "domain", domain.constData(), uint64_t(domain.size()));
        FLTFileWriteHashEntryInt64(file, "code", error.code());
        FLTFileWriteHashEntryUint64(file, "time", time);
        FLTFileWriteHashKey(file, "stacktrace");
        FLTFileWriteArrayStart(file);
        for (int i = 0; i < count; ++i) FLTFileWriteArrayEntryUint64(file, uint64_t(reinterpret_cast<uintptr_t>(frames[i])));
        FLTFileWriteArrayEnd(file);
        writeDictionary(file, "info", error.userInfo());
        writeDictionary(file, "extra_info", additionalInfo);
        FLTFileWriteHashEnd(file);
        FLTFileWriteSectionEnd(file);
    });
}
