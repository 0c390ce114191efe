// The readers of untrusted bytes as fuzzing entry points. Each takes any bytes, runs the reader
// as the editor would, checks what must hold of its answer, and answers what failed (empty when
// all held). The libFuzzer programs and the replay of the kept inputs call the same functions.
#pragma once

#include <QByteArray>
#include <QString>

namespace fuzz {

// Property lists, both formats: a value or an error, never both; a value written out and read
// back is the same value.
QString propertyList(const QByteArray& bytes);
// Encoding detection and decoding: what a file's bytes decode to, in the detected encoding and in
// each of a set of encodings, encodes back to bytes that decode to the same text.
QString encodings(const QByteArray& bytes);
// The piece-by-piece UTF-8 read of a file (FileEncodings::readUTF8Units), strict and keeping
// the bytes that are not UTF-8, with a piece's end at every place (the first byte picks one
// more size): it reads what a whole-file decode by the book reads, and refuses what it refuses.
QString utf8Read(const QByteArray& bytes);
// The regular-expression component: the first byte picks the options, the bytes up to the first
// NUL are the pattern, the rest the subject. Matches lie inside the text, enumerations move
// forward, and UTF-8 and UTF-16 subjects give the same matches.
QString regex(const QByteArray& bytes);
// Highlighting with a shipped bundle picked by the first byte; the storage stays sound.
QString highlighting(const QByteArray& bytes);
// The code index with the shipped rules of a language picked by the first byte.
QString indexer(const QByteArray& bytes);

// Mach-O images (thin, fat, either byte order): every slice and load command the reader hands
// out lies inside the input, and the identity built from them is well formed.
QString machO(const QByteArray& bytes);
// ELF images: the identity read from them stays inside the input.
QString elf(const QByteArray& bytes);
// The cached server settings: any file gives a document or none, and the values read from it
// have their types.
QString settings(const QByteArray& bytes);
// Call-frame information: the bytes are an .eh_frame section; every FDE found at the first offsets
// is parsed and run over a fake stack, and a successful step moves the stack pointer.
QString callFrames(const QByteArray& bytes);
// A compact unwind table looked up at PCs picked from its own bytes; reads stay inside it.
QString compactUnwind(const QByteArray& bytes);
// An .eh_frame_hdr section: a found FDE lies inside the section.
QString ehFrameHeader(const QByteArray& bytes);
// Record files: any bytes read as lines, and any bytes written as a string keep their line whole.
QString records(const QByteArray& bytes);
// Listings of each client (the first byte picks it): every entry is a child of the folder.
QString listings(const QByteArray& bytes);
// A WebDAV 207 answer, to a listing and to a save's question about one resource (the first byte
// picks the folder, and the shipped bounds or small ones every input can pass): no answer past a
// bound is taken, every member taken is named by a response's own href one step inside the
// folder, and a resource's type is one answer of one response says.
QString multistatus(const QByteArray& bytes);
// Reply lines: status codes in range, the working folder of a "pwd" on one line.
QString replies(const QByteArray& bytes);
// Path quoting (the first byte picks the client): a quoted path reads back as one word equal to
// the path, or is refused with a reason.
QString quoting(const QByteArray& bytes);
// Client options (NUL-separated, the first byte picks the client): what passes passes again.
QString options(const QByteArray& bytes);
// A project file or projects.plist (by the first byte): no option that starts a program, no
// host or user read as an option, and no two listed projects with one identifier come out.
QString projects(const QByteArray& bytes);

// The editing tools' readers (ToolFuzzTargets.cpp).
// A snippet file: its metadata, its expansion (the part before the first NUL the body, the rest
// the selection) with the caret inside the result, and its first line as a safe file name.
QString snippets(const QByteArray& bytes);
// User-script directives: entries of the script itself, values that end at their directive.
QString userScripts(const QByteArray& bytes);
// A Tidy operation file: what it reads writes out and reads back the same.
QString tidyConfigurations(const QByteArray& bytes);
// A desktop entry: a hostile page name stays one argument (or one quoted shell word) and is
// never the program.
QString desktopEntries(const QByteArray& bytes);
// A qvdt: address: ranges clamp inside any text.
QString qvdtAddresses(const QByteArray& bytes);
// The head of a page: applying the values read leaves the text as it was, and it reads again
// to the same values.
QString documentProperties(const QByteArray& bytes);

// The entry point of a target by its name (the corpus folder's name); null for an unknown one.
using Entry = QString (*)(const QByteArray&);
Entry entryNamed(const QString& name);
// The names of every target.
const char* const* targetNames();

}  // namespace fuzz
