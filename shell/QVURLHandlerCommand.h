// The qvdt: address other programs use to send the user to a place in a file:
// "qvdt://open?file=PATH&range=LOCATION,LENGTH". Parsing is separate from opening so that the
// application controller (which owns the open path) decides what opening means.
#pragma once

#include "platform/QVRange.h"

#include <QString>

#include <optional>

class QVURLHandlerCommand {
public:
    struct Request {
        QString file;                // percent-decoded path; empty without "file"
        std::optional<QVRange> range;  // only when "range" had exactly two parts
    };

    // The request of a qvdt://open address; nothing for another scheme or host.
    static std::optional<Request> parse(const QString& url);
    // Pairs split on "&" and "="; a later key replaces an earlier one; pieces without "=" are
    // skipped; values are percent-decoded, a "%" that starts no escape staying as it is.
    static Request requestFromQuery(const QString& query);
    // The range as it can be selected in a text of textLength characters.
    static QVRange clampedRange(QVRange range, qint64 textLength);
    // "%41%zz" → "A%zz": escapes decoded as UTF-8, anything else kept.
    static QString percentDecoded(const QString& value);
};
