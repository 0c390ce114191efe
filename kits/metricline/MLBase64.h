// Base64 (RFC 4648's standard alphabet, "=" padding) for the bodies of the analytics requests,
// and the anonymous, stable identifier of this machine that events carry by default.
#pragma once

#include <QByteArray>
#include <QString>

// The Base64 text of length bytes. With separateLines, a carriage return and line feed follow
// every 64 characters that more text follows.
QByteArray MLBase64EncodeBytes(const char* bytes, qsizetype length, bool separateLines = false);
// The bytes of Base64 text. Characters outside the alphabet (padding, white space, line breaks,
// any other byte) are skipped; a short last group yields the bytes its characters hold, so the
// padding may be left out. Never fails.
QByteArray MLBase64DecodeBytes(const char* characters, qsizetype length);

// The data's Base64 text on one line, and data from Base64 text (an empty text is empty data).
QString MLBase64EncodedString(const QByteArray& data);
QByteArray MLDataFromBase64String(const QString& text);

// 40 lower-case hexadecimal characters, the same on every run on this machine: a keyed digest
// (HMAC-SHA1 with a key of Qorvel's own) of the machine's identity, which cannot be turned back
// into it nor matched with what other programs derive from it. The identity is /etc/machine-id
// (else /var/lib/dbus/machine-id), else the hardware address of the interface that carries the
// default route. Empty when none can be read.
QString MLDefaultDistinctIdentifier();
// The same from given places, for tests: machine-id files tried in order, the kernel's route
// table (/proc/net/route's format) and the folder of network interfaces (/sys/class/net).
QString MLDefaultDistinctIdentifier(const QStringList& machineIdFiles, const QString& routeTable,
                                    const QString& interfacesFolder);
