// Reading record files back (never at crash time): every line that parses as a JSON object is one
// section; a line that does not parse (cut short by a crash, written by hand) is dropped and the
// lines around it are kept.
#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>

#include <functional>
#include <optional>

// The sections of the file in file order, each a one-member map. A transform replaces each section
// by its result, dropping invalid results. Nothing (and the file removed when deleteOnFailure)
// when the file cannot be read.
std::optional<QVariantList> FLTFileReadSections(
    const QString& path, bool deleteOnFailure,
    const std::function<QVariant(const QVariantMap&)>& transform = {});
// The same over bytes already read.
QVariantList FLTFileParseSections(const QByteArray& bytes,
                                  const std::function<QVariant(const QVariantMap&)>& transform = {});

// What keeps a crash record (the crash's own line, then the sections recorded at crash time) from
// being whole: "is empty", "is cut short" (a line cut off or unreadable, or the sections written
// after the crash's own line not all there, whatever byte the file ends on); empty when whole.
QString FLTCrashRecordDamage(const QByteArray& bytes);

QByteArray FLTFileHexEncodeString(const QByteArray& bytes);
// Every pair of hex digits becomes one byte, zero bytes included. A character that is no hex digit
// ends the decoding and *ok is set false (true otherwise); an odd length drops the last digit and
// is refused too.
QByteArray FLTFileHexDecodeString(const QByteArray& hex, bool* ok = nullptr);
