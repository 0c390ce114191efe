// When opening a file asks first: a UTF-8 text takes about twice its size in memory once open
// (two bytes a character) and, once coloured, up to about four times (a page dense with markup
// has a colour run every few characters), so a file that would take a good part of the
// machine's memory is opened only when the user says so.
#pragma once

#include <QString>
#include <QtGlobal>

namespace LargeFiles {

// The size in megabytes from which opening asks (0: never); without a setting, a sixteenth of
// the machine's memory.
inline constexpr const char* SizeKey = "QVLargeFileSizeMB";
qint64 confirmationSize();
bool needsConfirmation(qint64 fileSize);
// The memory a file of fileSize bytes takes at most once open and coloured, as measured on
// pages dense with markup; what the question names.
qint64 memoryEstimate(qint64 fileSize);
// The question asked, naming the file, its size and memoryEstimate().
QString question(const QString& path, qint64 fileSize);
// The memory Replace All in Multi File Find takes at most for the file at path: about three
// times the file for UTF-8 and single-byte encodings (its text, two bytes a character, and its new
// bytes), about six for the others; the encoding as the file's name and first megabyte tell it.
qint64 replaceMemoryEstimate(const QString& path, qint64 fileSize);
// What it says before it replaces in such a file on disk, naming replaceMemoryEstimate().
QString replaceQuestion(const QString& path, qint64 fileSize);

}  // namespace LargeFiles
