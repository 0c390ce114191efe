// What the application attaches to its reports while it runs: custom and internal key-value pairs
// (an incremental file compacted every 64 lines and cut to a limit, the most recently set keys
// kept), log lines, recorded errors and custom exceptions (each an A/B pair of files that rotate
// at a size or entry limit). All file access is serialised by one lock; none of this runs at crash
// time.
#pragma once

#include "kits/faultline/FLTContext.h"
#include "kits/faultline/FLTTypes.h"

#include <QString>
#include <QVariant>

#include <functional>

class QVError;

void FLTUserLoggingInitialize();
// A null (invalid) value records the key's removal.
void FLTUserLoggingRecordUserKeyValue(const QString& key, const QVariant& value);
void FLTUserLoggingRecordInternalKeyValue(const QString& key, const QVariant& value);
void FLTUserLoggingWriteInternalKeyValueNow(const char* key, const char* value);
// Key-value records written by the calling thread so far (each one may rescan the loaded images
// and writes a file): what tests count to keep them off the main thread at launch.
quint64 FLTUserLoggingRecordsOnThisThread();
void FLTUserLoggingRecordKeyValue(const QString& key, const QVariant& value, const FLTKeyValueStore* store,
                                  std::atomic<uint32_t>* counter);
// The merged view: compacted entries, then the incremental lines in order (a null value removes).
QVariantMap FLTUserLoggingGetCompactedKVEntries(const FLTKeyValueStore* store, bool decodeHex);
// Rewrites the compacted file from the merged view (through a temporary file renamed over it, so
// that a process killed midway loses nothing), keeping the entry limit's most recently set keys,
// then removes the incremental file.
void FLTUserLoggingCompactKVEntries(const FLTKeyValueStore* store);

void FLTUserLoggingRecordLogMessage(const QString& message);
void FLTLog(const QString& message);
void FLTUserLoggingRecordError(const QVError& error, const QVariantMap& additionalInfo);

void FLTUserLoggingWriteAndCheckABFiles(const FLTABFileSet* set, std::atomic<const char*>* current,
                                        const std::function<void(FLTFile*)>& writer);
void FLTUserLoggingCheckAndSwapABFiles(const FLTABFileSet* set, std::atomic<const char*>* current, uint64_t size);
