// When opening a file asks first: a text takes about twice its size in memory once open, so a
// file that would take a good part of the machine's memory is opened only when the user says so.
#pragma once

#include <QString>
#include <QtGlobal>

namespace LargeFiles {

// The size in megabytes from which opening asks (0: never); without a setting, a sixteenth of
// the machine's memory.
inline constexpr const char* SizeKey = "QVLargeFileSizeMB";
qint64 confirmationSize();
bool needsConfirmation(qint64 fileSize);
// The question asked, naming the file and its size.
QString question(const QString& path, qint64 fileSize);

}  // namespace LargeFiles
