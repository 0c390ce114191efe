// Property lists through libplist 2.2, with the guards that library needs against hostile input.
#include "platform/PropertyList.h"

#include "platform/AtomicFile.h"
#include "platform/RegularFile.h"

#include <QDateTime>
#include <QFile>
#include <QHash>
#include <QRegularExpression>
#include <QUrl>

#include <plist/plist.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Seconds between the Unix epoch and the property-list epoch, 2001-01-01T00:00:00Z.
constexpr qint64 kPlistEpochMSecs = 978307200000LL;

QVError makeError(PropertyList::ErrorCode code, const QString& description) {
    return QVError::make(PropertyList::errorDomain(), code, description);
}

// Owns a libplist tree until it is handed over to a container.
class Node {
public:
    explicit Node(plist_t node = nullptr) : _node(node) {}
    ~Node() {
        if (_node) plist_free(_node);
    }
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;
    plist_t get() const { return _node; }
    plist_t release() {
        plist_t n = _node;
        _node = nullptr;
        return n;
    }

private:
    plist_t _node;
};

// ---- Guards run before libplist sees the bytes ----------------------------------------------
//
// libplist 2.2 parses both formats by recursion, once per nesting level, and a few thousand
// levels overflow a thread's stack. Its binary reader also copies an object each time it is
// referenced, so a chain of arrays that each name the next twice grows as 2^n. Both checks below
// are exact for what they accept: the XML one only lets through markup whose element structure
// cannot be read two ways, the binary one follows the format's own offset table.

struct Verdict {
    PropertyList::ErrorCode code = PropertyList::MalformedError;
    QString reason;  // empty when the input may go to libplist
};

Verdict tooDeep() {
    return {PropertyList::NestingTooDeepError,
            QStringLiteral("its containers are nested more than %1 levels deep").arg(PropertyList::maximumDepth)};
}

Verdict malformed(const QString& why) { return {PropertyList::MalformedError, why}; }

bool isNameStart(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':';
}

bool isNameChar(char c) { return isNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.'; }

Verdict checkXmlShape(const QByteArray& data) {
    const char* p = data.constData();
    const char* const end = p + data.size();
    const auto find = [&](const char* from, const char* what) -> const char* {
        const size_t n = std::strlen(what);
        for (const char* q = from; q + n <= end; ++q)
            if (std::memcmp(q, what, n) == 0) return q;
        return nullptr;
    };
    // A NUL byte is never legal XML, and one inside a key trips an assertion in libplist.
    if (std::memchr(p, '\0', size_t(end - p))) return malformed(QStringLiteral("it contains a NUL byte"));
    // Element names on the open path, and how many of them are containers.
    std::vector<QByteArray> open;
    int containers = 0;
    bool sawElement = false;
    while (p < end) {
        if (*p != '<') {
            ++p;
            continue;
        }
        if (end - p >= 4 && std::memcmp(p, "<!--", 4) == 0) {
            const char* close = find(p + 4, "-->");
            if (!close) return malformed(QStringLiteral("a comment is not closed"));
            p = close + 3;
        } else if (end - p >= 9 && std::memcmp(p, "<![CDATA[", 9) == 0) {
            // Character data belongs inside a value, never between the elements of a container.
            if (open.empty() || open.back() == "array" || open.back() == "dict" || open.back() == "plist")
                return malformed(QStringLiteral("character data stands outside a value"));
            const char* close = find(p + 9, "]]>");
            if (!close) return malformed(QStringLiteral("a CDATA section is not closed"));
            p = close + 3;
        } else if (end - p >= 2 && p[1] == '?') {
            const char* close = find(p + 2, "?>");
            if (!close) return malformed(QStringLiteral("a processing instruction is not closed"));
            p = close + 2;
        } else if (end - p >= 9 && std::memcmp(p, "<!DOCTYPE", 9) == 0 && !sawElement) {
            const char* close = static_cast<const char*>(std::memchr(p, '>', size_t(end - p)));
            if (!close) return malformed(QStringLiteral("the document type is not closed"));
            // An internal subset could declare entities; property lists never have one.
            if (std::memchr(p, '[', size_t(close - p)) || std::memchr(p + 1, '<', size_t(close - p - 1)))
                return malformed(QStringLiteral("the document type declares an internal subset"));
            p = close + 1;
        } else {
            const bool closing = end - p >= 2 && p[1] == '/';
            const char* nameStart = p + (closing ? 2 : 1);
            if (nameStart >= end || !isNameStart(*nameStart))
                return malformed(QStringLiteral("a \"<\" starts no element"));
            const char* q = nameStart;
            while (q < end && isNameChar(*q)) ++q;
            const QByteArray name(nameStart, q - nameStart);
            // The tag runs to the first ">"; a quote left open there, or a "<" inside, would let
            // two readers see different elements, so both are refused.
            char quote = 0;
            for (; q < end && *q != '>'; ++q) {
                if (*q == '<') return malformed(QStringLiteral("a tag contains \"<\""));
                if (quote) {
                    if (*q == quote) quote = 0;
                } else if (*q == '"' || *q == '\'') {
                    quote = *q;
                }
            }
            if (q >= end) return malformed(QStringLiteral("a tag is not closed"));
            if (quote) return malformed(QStringLiteral("an attribute value contains \">\""));
            const bool selfClosing = !closing && q[-1] == '/';
            p = q + 1;
            sawElement = true;
            if (closing) {
                if (open.empty() || open.back() != name)
                    return malformed(QStringLiteral("the closing tag \"%1\" does not match").arg(QString::fromLatin1(name)));
                if (name == "array" || name == "dict") --containers;
                open.pop_back();
            } else if (!selfClosing) {
                open.push_back(name);
                if (name == "array" || name == "dict") ++containers;
                // The second bound covers elements libplist may descend into before refusing them.
                if (containers > PropertyList::maximumDepth || open.size() > size_t(PropertyList::maximumDepth) + 8)
                    return tooDeep();
            }
        }
    }
    return {};
}

quint64 readBigEndian(const uchar* p, int size) {
    quint64 v = 0;
    for (int i = 0; i < size; ++i) v = (v << 8) | p[i];
    return v;
}

Verdict checkBinaryShape(const QByteArray& data) {
    const auto* bytes = reinterpret_cast<const uchar*>(data.constData());
    const quint64 size = quint64(data.size());
    constexpr quint64 kHeader = 8, kTrailer = 32;
    if (size < kHeader + kTrailer) return malformed(QStringLiteral("it is too short"));
    const uchar* trailer = bytes + size - kTrailer;
    const int offsetSize = trailer[6];
    const int refSize = trailer[7];
    const quint64 count = readBigEndian(trailer + 8, 8);
    const quint64 top = readBigEndian(trailer + 16, 8);
    const quint64 tableOffset = readBigEndian(trailer + 24, 8);
    const quint64 tableLimit = size - kTrailer;
    if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8 || count == 0 || top >= count ||
        tableOffset < kHeader || tableOffset > tableLimit || count > (tableLimit - tableOffset) / quint64(offsetSize))
        return malformed(QStringLiteral("its trailer is damaged"));

    // The element count after an object's marker (the low nibble, or an integer object after it
    // when the nibble is 0xF) and where the elements start; false when it runs past the objects.
    const auto readCount = [&](quint64 offset, quint64* n, quint64* at) -> bool {
        *n = bytes[offset] & 0x0F;
        *at = offset + 1;
        if (*n != 0x0F) return true;
        if (*at >= tableOffset) return false;
        const uchar intMarker = bytes[*at];
        if ((intMarker & 0xF0) != 0x10 || (intMarker & 0x0F) > 3) return false;
        const int intSize = 1 << (intMarker & 0x0F);
        if (*at + 1 + quint64(intSize) > tableOffset) return false;
        *n = readBigEndian(bytes + *at + 1, intSize);
        *at += 1 + quint64(intSize);
        return true;
    };

    // Where the references of a container start and how many there are; false for a damaged one.
    struct Container {
        quint64 refsAt = 0;
        quint64 refCount = 0;
        bool isContainer = false;
        bool isDict = false;  // then the first half of the references are the keys
    };
    const auto inspect = [&](quint64 object, Container* out) -> bool {
        const quint64 offset = readBigEndian(bytes + tableOffset + object * quint64(offsetSize), offsetSize);
        if (offset < kHeader || offset >= tableOffset) return false;
        const uchar marker = bytes[offset];
        const int kind = marker >> 4;
        // 0xA array, 0xB ordered set, 0xC set, 0xD dictionary: the only kinds that refer onwards.
        if (kind < 0xA || kind > 0xD) {
            out->isContainer = false;
            return true;
        }
        quint64 n = 0, at = 0;
        if (!readCount(offset, &n, &at)) return false;
        const quint64 refs = kind == 0xD ? n * 2 : n;
        if ((kind == 0xD && n > std::numeric_limits<quint64>::max() / 2) ||
            refs > (tableOffset - at) / quint64(refSize))
            return false;
        *out = Container{at, refs, true, kind == 0xD};
        return true;
    };

    // libplist asserts (aborting the process) when a dictionary key holds a NUL character.
    const auto keyIsSafe = [&](quint64 object) -> bool {
        const quint64 offset = readBigEndian(bytes + tableOffset + object * quint64(offsetSize), offsetSize);
        if (offset < kHeader || offset >= tableOffset) return false;
        const uchar marker = bytes[offset];
        const int kind = marker >> 4;
        if (kind != 0x5 && kind != 0x6) return true;  // not a string: libplist judges it
        quint64 n = 0, at = 0;
        if (!readCount(offset, &n, &at)) return false;
        const int unit = kind == 0x6 ? 2 : 1;
        if (n > (tableOffset - at) / quint64(unit)) return false;
        for (quint64 i = 0; i < n; ++i) {
            const uchar* c = bytes + at + i * quint64(unit);
            if (c[0] == 0 && (unit == 1 || c[1] == 0)) return false;
        }
        return true;
    };

    // Iterative depth-first walk with memoised depth and expanded size of every object; a
    // reference to an object still on the path is a loop.
    enum : uchar { Unseen = 0, OnPath = 1, Done = 2 };
    std::vector<uchar> state(count, Unseen);
    std::vector<quint32> depth(count, 0);
    std::vector<quint64> expanded(count, 0);
    // A writer shares leaves (one string named by many arrays), so a sound file expands to at
    // most one object per reference it holds, plus its own objects; only containers named more
    // than once, which no writer produces, make a file grow beyond that. A small multiple of
    // what the file itself can hold is plenty.
    constexpr quint64 kExpansionFactor = 8;
    const quint64 expandedLimit = kExpansionFactor * (count + (tableOffset - kHeader) / quint64(refSize));
    struct Frame {
        quint64 object;
        Container c;
        quint64 next = 0;
        quint32 deepestChild = 0;
        quint64 sum = 0;
    };
    std::vector<Frame> path;
    const auto finish = [&](quint64 object, quint32 d, quint64 e) -> bool {
        state[object] = Done;
        depth[object] = d;
        expanded[object] = e;
        if (path.empty()) return true;
        Frame& parent = path.back();
        parent.deepestChild = qMax(parent.deepestChild, d);
        parent.sum = qMin(parent.sum + e, expandedLimit + 1);
        return true;
    };
    const auto enter = [&](quint64 object) -> Verdict {
        Container c;
        if (!inspect(object, &c)) return malformed(QStringLiteral("object %1 is damaged").arg(object));
        if (!c.isContainer) {
            finish(object, 0, 1);
            return {};
        }
        if (path.size() >= size_t(PropertyList::maximumDepth)) return tooDeep();
        state[object] = OnPath;
        path.push_back(Frame{object, c});
        return {};
    };
    if (Verdict v = enter(top); !v.reason.isEmpty()) return v;
    while (!path.empty()) {
        Frame& f = path.back();
        if (f.next < f.c.refCount) {
            const quint64 child = readBigEndian(bytes + f.c.refsAt + f.next * quint64(refSize), refSize);
            ++f.next;
            if (child >= count) return malformed(QStringLiteral("a reference points past the last object"));
            if (f.c.isDict && f.next <= f.c.refCount / 2 && !keyIsSafe(child))
                return malformed(QStringLiteral("a dictionary key is damaged or contains a NUL character"));
            if (state[child] == OnPath) return malformed(QStringLiteral("its references form a loop"));
            if (state[child] == Done) {
                f.deepestChild = qMax(f.deepestChild, depth[child]);
                f.sum = qMin(f.sum + expanded[child], expandedLimit + 1);
                continue;
            }
            if (Verdict v = enter(child); !v.reason.isEmpty()) return v;
            continue;
        }
        const Frame done = f;
        path.pop_back();
        const quint64 total = done.sum + 1;
        if (total > expandedLimit)
            return {PropertyList::TooLargeError,
                    QStringLiteral("its shared references expand to more than %1 objects, %2 times what "
                                   "the file holds").arg(expandedLimit).arg(kExpansionFactor)};
        finish(done.object, done.deepestChild + 1, total);
    }
    return {};
}

// ---- libplist tree -> QVariant ----------------------------------------------------------------

// libplist 2.2 hands dates out as int32 seconds plus an unsigned microsecond part: negative times
// truncate toward zero (so -1.25 s is -1 and 250000), and anything beyond the int32 range comes
// out as INT32_MIN. Those far dates are recovered from the library's own XML text of the node,
// which it prints with 64-bit time arithmetic.
bool readDate(plist_t node, QDateTime* out) {
    int32_t sec = 0, usec = 0;
    plist_get_date_val(node, &sec, &usec);
    if (sec != std::numeric_limits<int32_t>::min()) {
        const qint64 ms = (usec + 500) / 1000;
        const qint64 total = qint64(sec) * 1000 + (sec < 0 ? -ms : ms);
        *out = QDateTime::fromMSecsSinceEpoch(total + kPlistEpochMSecs, Qt::UTC);
        return true;
    }
    Node copy(plist_copy(node));
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(copy.get(), &xml, &length);
    if (!xml) return false;
    const QString text = QString::fromUtf8(xml, int(length));
    plist_to_xml_free(xml);
    static const QRegularExpression datePattern(
        QStringLiteral("<date>(-?\\d+)-(\\d\\d)-(\\d\\d)T(\\d\\d):(\\d\\d):(\\d\\d)Z</date>"));
    const QRegularExpressionMatch m = datePattern.match(text);
    if (!m.hasMatch()) return false;
    const QDate date(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt());
    const QTime time(m.captured(4).toInt(), m.captured(5).toInt(), m.captured(6).toInt());
    if (!date.isValid() || !time.isValid()) return false;
    *out = QDateTime(date, time, Qt::UTC);
    return true;
}

bool toVariant(plist_t node, QVariant* out, QString* why) {
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t b = 0;
        plist_get_bool_val(node, &b);
        *out = QVariant(b != 0);
        return true;
    }
    case PLIST_UINT: {
        // The library keeps every integer as uint64; the file meant a signed value.
        uint64_t v = 0;
        plist_get_uint_val(node, &v);
        *out = QVariant(qint64(v));
        return true;
    }
    case PLIST_REAL: {
        double d = 0;
        plist_get_real_val(node, &d);
        *out = QVariant(d);
        return true;
    }
    case PLIST_STRING:
    case PLIST_KEY: {
        uint64_t length = 0;
        const char* s = plist_get_string_ptr(node, &length);
        *out = QVariant(s ? QString::fromUtf8(s, qsizetype(length)) : QString(QLatin1String("")));
        return true;
    }
    case PLIST_DATA: {
        uint64_t length = 0;
        const char* d = plist_get_data_ptr(node, &length);
        *out = QVariant(d ? QByteArray(d, qsizetype(length)) : QByteArray(""));
        return true;
    }
    case PLIST_DATE: {
        QDateTime dt;
        if (!readDate(node, &dt)) {
            *why = QStringLiteral("a date is out of range");
            return false;
        }
        *out = QVariant(dt);
        return true;
    }
    case PLIST_UID: {
        uint64_t v = 0;
        plist_get_uid_val(node, &v);
        *out = QVariant(quint64(v));
        return true;
    }
    case PLIST_ARRAY: {
        // The iterator, not plist_array_get_item: on arrays from the binary reader that walks the
        // list from the start on every call, which made a large array quadratic.
        QVariantList list;
        list.reserve(qsizetype(plist_array_get_size(node)));
        plist_array_iter it = nullptr;
        plist_array_new_iter(node, &it);
        bool ok = true;
        while (it) {
            plist_t child = nullptr;
            plist_array_next_item(node, it, &child);
            if (!child) break;
            QVariant item;
            if (!toVariant(child, &item, why)) {
                ok = false;
                break;
            }
            list.append(item);
        }
        std::free(it);
        if (!ok) return false;
        *out = QVariant(list);
        return true;
    }
    case PLIST_DICT: {
        QVariantMap map;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        bool ok = true;
        while (it) {
            char* key = nullptr;
            plist_t value = nullptr;
            plist_dict_next_item(node, it, &key, &value);
            if (!value) {
                std::free(key);
                break;
            }
            QVariant item;
            if (!toVariant(value, &item, why)) {
                std::free(key);
                ok = false;
                break;
            }
            // Our own files list keys in order: a hint at the end makes each insert constant time.
            map.insert(map.cend(), QString::fromUtf8(key ? key : ""), item);
            std::free(key);
        }
        std::free(it);
        if (!ok) return false;
        *out = QVariant(map);
        return true;
    }
    default:
        *why = QStringLiteral("it holds a value of an unknown kind");
        return false;
    }
}

// ---- QVariant -> libplist tree ----------------------------------------------------------------

// Where a value sits, for error messages only: made into text when a value is refused, so
// writing a large tree builds no path strings.
struct Place {
    const Place* parent = nullptr;
    const QString* key = nullptr;  // in a dictionary; otherwise index in an array
    qsizetype index = 0;

    QString text() const {
        if (!parent) return QString();
        const QString above = parent->text();
        if (key) return above.isEmpty() ? *key : above + QLatin1Char('.') + *key;
        return QStringLiteral("%1[%2]").arg(above).arg(index);
    }
};

class Writer {
public:
    explicit Writer(PlistFormat format) : _format(format) {}

    plist_t convert(const QVariant& value, int depth, const Place& where, QVError* error) {
        const int type = value.typeId();
        switch (type) {
        case QMetaType::Bool:
            return plist_new_bool(value.toBool() ? 1 : 0);
        case QMetaType::Int:
        case QMetaType::Long:
        case QMetaType::LongLong:
        case QMetaType::Short:
        case QMetaType::Char:
        case QMetaType::SChar:
            return plist_new_uint(uint64_t(value.toLongLong()));
        case QMetaType::UInt:
        case QMetaType::ULong:
        case QMetaType::ULongLong:
        case QMetaType::UShort:
        case QMetaType::UChar: {
            const quint64 v = value.toULongLong();
            // Larger values would be written as their two's-complement negative and read back so.
            if (v > quint64(std::numeric_limits<qint64>::max()))
                return refuse(error, where, QStringLiteral("the integer %1 is too large").arg(v));
            return plist_new_uint(uint64_t(v));
        }
        case QMetaType::Double:
        case QMetaType::Float:
            return plist_new_real(value.toDouble());
        case QMetaType::QString:
            return newString(value.toString(), where, error);
        case QMetaType::QUrl:
            return newString(value.toUrl().toString(), where, error);
        case QMetaType::QByteArray: {
            const QByteArray bytes = value.toByteArray();
            return plist_new_data(bytes.constData(), uint64_t(bytes.size()));
        }
        case QMetaType::QDateTime:
            return newDate(value.toDateTime(), where, error);
        case QMetaType::QVariantList:
        case QMetaType::QStringList:
            return newArray(value.toList(), depth, where, error);
        case QMetaType::QVariantMap:
            return newDict(value.toMap(), depth, where, error);
        case QMetaType::QVariantHash: {
            // Through a map, so the keys come out sorted and the output is reproducible.
            const QVariantHash hash = value.toHash();
            QVariantMap map;
            for (auto it = hash.cbegin(); it != hash.cend(); ++it) map.insert(it.key(), it.value());
            return newDict(map, depth, where, error);
        }
        default:
            return refuse(error, where,
                          value.isValid() ? QStringLiteral("a %1 has no property-list form")
                                                .arg(QString::fromLatin1(value.typeName()))
                                          : QStringLiteral("a null value has no property-list form"));
        }
    }

private:
    plist_t refuse(QVError* error, const Place& at, const QString& what,
                   PropertyList::ErrorCode code = PropertyList::UnsupportedValueError) {
        const QString where = at.text();
        const QString place = where.isEmpty() ? QStringLiteral("at the top level") : QStringLiteral("at %1").arg(where);
        qvSetError(error, makeError(code, QStringLiteral("The value can't be written as a property list: %1 (%2).")
                                              .arg(what, place)));
        return nullptr;
    }

    // libplist takes C strings: a NUL would silently cut the text short.
    bool checkText(const QString& s, const Place& where, QVError* error, const char* what) {
        if (!s.contains(QChar(0))) return true;
        refuse(error, where, QStringLiteral("a %1 contains a NUL character").arg(QLatin1String(what)));
        return false;
    }

    plist_t newString(const QString& s, const Place& where, QVError* error) {
        if (!checkText(s, where, error, "string")) return nullptr;
        return plist_new_string(s.toUtf8().constData());
    }

    plist_t newDate(const QDateTime& dt, const Place& where, QVError* error) {
        if (!dt.isValid()) return refuse(error, where, QStringLiteral("an invalid date has no property-list form"));
        const qint64 ms = dt.toMSecsSinceEpoch() - kPlistEpochMSecs;
        // XML dates carry whole seconds; round down, as the readers of the format do.
        qint64 seconds = ms / 1000;
        qint64 millis = ms % 1000;
        if (millis < 0) {
            millis += 1000;
            --seconds;
        }
        if (_format == PlistFormat::XML) millis = 0;
        if (seconds >= std::numeric_limits<int32_t>::min() && seconds <= std::numeric_limits<int32_t>::max())
            return plist_new_date(int32_t(seconds), int32_t(millis * 1000));
        // Beyond the library's int32 seconds: let its XML reader, which uses 64-bit time, make
        // the node from the date's text (whole seconds).
        const QDateTime utc = QDateTime::fromMSecsSinceEpoch((seconds * 1000) + kPlistEpochMSecs, Qt::UTC);
        if (utc.date().year() < 1 || utc.date().year() > 9999)
            return refuse(error, where, QStringLiteral("the date is out of range"), PropertyList::TooLargeError);
        const QByteArray xml = "<plist><date>" +
                               utc.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ssZ")).toLatin1() +
                               "</date></plist>";
        plist_t node = nullptr;
        plist_from_xml(xml.constData(), uint32_t(xml.size()), &node);
        if (!node || plist_get_node_type(node) != PLIST_DATE) {
            if (node) plist_free(node);
            return refuse(error, where, QStringLiteral("the date is out of range"), PropertyList::TooLargeError);
        }
        return node;
    }

    plist_t newArray(const QVariantList& list, int depth, const Place& where, QVError* error) {
        if (depth >= PropertyList::maximumDepth) return tooDeepAt(where, error);
        Node array(plist_new_array());
        for (qsizetype i = 0; i < list.size(); ++i) {
            plist_t item = convert(list.at(i), depth + 1, Place{&where, nullptr, i}, error);
            if (!item) return nullptr;
            plist_array_append_item(array.get(), item);
        }
        return array.release();
    }

    plist_t newDict(const QVariantMap& map, int depth, const Place& where, QVError* error) {
        if (depth >= PropertyList::maximumDepth) return tooDeepAt(where, error);
        Node dict(plist_new_dict());
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            const Place path{&where, &it.key(), 0};
            if (!checkText(it.key(), path, error, "key")) return nullptr;
            plist_t item = convert(it.value(), depth + 1, path, error);
            if (!item) return nullptr;
            plist_dict_set_item(dict.get(), it.key().toUtf8().constData(), item);
        }
        return dict.release();
    }

    plist_t tooDeepAt(const Place& where, QVError* error) {
        return refuse(error, where,
                      QStringLiteral("containers are nested more than %1 levels deep").arg(PropertyList::maximumDepth),
                      PropertyList::NestingTooDeepError);
    }

    PlistFormat _format;
};

// ---- QVariant -> XML text, directly ----------------------------------------------------------
//
// The XML form is printed here without a libplist tree: building the tree, printing it and freeing
// it cost several times the printing alone, and a project file of 10,000 entries is written on
// every change. The text is the one libplist prints, byte for byte, so files under version control
// do not change for nothing. Whatever this writer does not print itself (a value to refuse with an
// error, a real that is not finite, a date beyond the library's 32-bit seconds, data nested deeper
// than the library's line width allows) sends the whole value through libplist instead.
class XmlWriter {
public:
    bool write(const QVariant& value) {
        _out.reserve(4096);
        _out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                "<plist version=\"1.0\">\n";
        if (!node(value, 0)) return false;
        _out += "</plist>\n";
        return true;
    }
    QByteArray take() { return std::move(_out); }

private:
    void indent(int depth) { _out.append(qsizetype(depth), '\t'); }

    // libplist escapes these three and leaves every other byte as it is.
    bool text(const QString& s) {
        const QByteArray utf8 = s.toUtf8();
        const char* p = utf8.constData();
        const char* const end = p + utf8.size();
        if (std::memchr(p, '\0', size_t(end - p))) return false;
        const char* run = p;
        for (; p < end; ++p) {
            const char c = *p;
            if (c != '&' && c != '<' && c != '>') continue;
            _out.append(run, p - run);
            _out += c == '&' ? "&amp;" : c == '<' ? "&lt;" : "&gt;";
            run = p + 1;
        }
        _out.append(run, end - run);
        return true;
    }

    bool element(int depth, const char* open, const QString& s, const char* close) {
        indent(depth);
        _out += open;
        if (!text(s)) return false;
        _out += close;
        return true;
    }

    void integer(int depth, qint64 v) {
        char buffer[32];
        const auto r = std::to_chars(buffer, buffer + sizeof buffer, v);
        indent(depth);
        _out += "<integer>";
        _out.append(buffer, r.ptr - buffer);
        _out += "</integer>\n";
    }

    bool real(int depth, double v) {
        if (!std::isfinite(v)) return false;
        char buffer[64];
        const char* end = buffer;
        if (v == 0) {
            std::memcpy(buffer, "0.0", 3);
            end = buffer + 3;
        } else {
            end = std::to_chars(buffer, buffer + sizeof buffer, v, std::chars_format::general, 17).ptr;
        }
        indent(depth);
        _out += "<real>";
        _out.append(buffer, end - buffer);
        _out += "</real>\n";
        return true;
    }

    bool data(int depth, const QByteArray& bytes) {
        // The library's lines hold fewer bytes the deeper they are indented, and past eight levels
        // it indents them differently: those it prints itself.
        if (depth > 8) return false;
        const int perLine = ((76 - (depth << 3)) >> 2) * 3;
        indent(depth);
        _out += "<data>\n";
        for (qsizetype at = 0; at < bytes.size(); at += perLine) {
            indent(depth);
            _out += QByteArray::fromRawData(bytes.constData() + at, std::min<qsizetype>(perLine, bytes.size() - at)).toBase64();
            _out += '\n';
        }
        indent(depth);
        _out += "</data>\n";
        return true;
    }

    bool date(int depth, const QDateTime& dt) {
        if (!dt.isValid()) return false;
        // Whole seconds, rounded down, as the tree writer gives the library.
        const qint64 ms = dt.toMSecsSinceEpoch() - kPlistEpochMSecs;
        const qint64 seconds = ms / 1000 - (ms % 1000 < 0 ? 1 : 0);
        if (seconds < std::numeric_limits<int32_t>::min() || seconds > std::numeric_limits<int32_t>::max()) return false;
        const QDateTime utc = QDateTime::fromMSecsSinceEpoch(seconds * 1000 + kPlistEpochMSecs, Qt::UTC);
        const QDate d = utc.date();
        const QTime t = utc.time();
        char buffer[32];
        const int n = std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02dZ", d.year(), d.month(), d.day(), t.hour(),
                                    t.minute(), t.second());
        indent(depth);
        _out += "<date>";
        _out.append(buffer, n);
        _out += "</date>\n";
        return true;
    }

    bool list(int depth, const QVariantList& items) {
        if (depth >= PropertyList::maximumDepth) return false;
        indent(depth);
        if (items.isEmpty()) {
            _out += "<array/>\n";
            return true;
        }
        _out += "<array>\n";
        for (const QVariant& item : items)
            if (!node(item, depth + 1)) return false;
        indent(depth);
        _out += "</array>\n";
        return true;
    }

    bool dict(int depth, const QVariantMap& map) {
        if (depth >= PropertyList::maximumDepth) return false;
        indent(depth);
        if (map.isEmpty()) {
            _out += "<dict/>\n";
            return true;
        }
        _out += "<dict>\n";
        for (auto it = map.cbegin(); it != map.cend(); ++it)
            if (!element(depth + 1, "<key>", it.key(), "</key>\n") || !node(it.value(), depth + 1)) return false;
        indent(depth);
        _out += "</dict>\n";
        return true;
    }

    bool node(const QVariant& value, int depth) {
        switch (value.typeId()) {
        case QMetaType::Bool:
            indent(depth);
            _out += value.toBool() ? "<true/>\n" : "<false/>\n";
            return true;
        case QMetaType::Int:
        case QMetaType::Long:
        case QMetaType::LongLong:
        case QMetaType::Short:
        case QMetaType::Char:
        case QMetaType::SChar:
            integer(depth, value.toLongLong());
            return true;
        case QMetaType::UInt:
        case QMetaType::ULong:
        case QMetaType::ULongLong:
        case QMetaType::UShort:
        case QMetaType::UChar: {
            const quint64 v = value.toULongLong();
            if (v > quint64(std::numeric_limits<qint64>::max())) return false;
            integer(depth, qint64(v));
            return true;
        }
        case QMetaType::Double:
        case QMetaType::Float:
            return real(depth, value.toDouble());
        case QMetaType::QString:
            return element(depth, "<string>", value.toString(), "</string>\n");
        case QMetaType::QUrl:
            return element(depth, "<string>", value.toUrl().toString(), "</string>\n");
        case QMetaType::QByteArray:
            return data(depth, value.toByteArray());
        case QMetaType::QDateTime:
            return date(depth, value.toDateTime());
        case QMetaType::QVariantList:
        case QMetaType::QStringList:
            return list(depth, value.toList());
        case QMetaType::QVariantMap:
            return dict(depth, value.toMap());
        case QMetaType::QVariantHash: {
            const QVariantHash hash = value.toHash();
            QVariantMap map;
            for (auto it = hash.cbegin(); it != hash.cend(); ++it) map.insert(it.key(), it.value());
            return dict(depth, map);
        }
        default:
            return false;
        }
    }

    QByteArray _out;
};

// ---- QVariant -> binary form, directly --------------------------------------------------------
//
// libplist 2.2's binary writer takes time that grows with the square of the objects (a list of
// 200,000 projects took 17 s where 25,000 took 0.3 s), so the binary form is written here, in one
// pass: a container takes its index before its children and is written after them, the offset
// table maps indices to where each object landed. Keys and short strings are written once
// and shared. As with XML, a value this writer does not handle goes to libplist,
// which refuses it with the reason.
class BinaryWriter {
public:
    bool write(const QVariant& value) {
        quint64 nodes = 0;
        if (!count(value, 0, &nodes)) return false;
        // The references are sized for every node, before strings are shared: a bound, never short.
        _refSize = nodes < 0x100 ? 1 : nodes < 0x10000 ? 2 : nodes < 0x100000000ULL ? 4 : 8;
        _out.reserve(qsizetype(std::min<quint64>(nodes * 16, 1 << 26)));
        _out += "bplist00";
        quint64 top = 0;
        if (!object(value, 0, &top)) return false;
        const quint64 tableOffset = quint64(_out.size());
        const int offsetSize = bytesFor(tableOffset);
        for (const quint64 offset : _offsets) bigEndian(offset, offsetSize);
        _out.append(6, '\0');
        _out += char(offsetSize);
        _out += char(_refSize);
        bigEndian(_offsets.size(), 8);
        bigEndian(top, 8);
        bigEndian(tableOffset, 8);
        return true;
    }
    QByteArray take() { return std::move(_out); }

private:
    static int bytesFor(quint64 v) { return v < 0x100 ? 1 : v < 0x10000 ? 2 : v < 0x100000000ULL ? 4 : 8; }

    void bigEndian(quint64 v, int size) {
        for (int shift = (size - 1) * 8; shift >= 0; shift -= 8) _out += char((v >> shift) & 0xFF);
    }

    // Counts the objects a value makes before any are shared; false past the nesting limit.
    bool count(const QVariant& value, int depth, quint64* nodes) {
        ++*nodes;
        switch (value.typeId()) {
        case QMetaType::QVariantList:
        case QMetaType::QStringList: {
            if (depth >= PropertyList::maximumDepth) return false;
            for (const QVariant& item : value.toList())
                if (!count(item, depth + 1, nodes)) return false;
            return true;
        }
        case QMetaType::QVariantMap:
        case QMetaType::QVariantHash: {
            if (depth >= PropertyList::maximumDepth) return false;
            const QVariantMap map = value.toMap();
            *nodes += quint64(map.size());
            for (auto it = map.cbegin(); it != map.cend(); ++it)
                if (!count(it.value(), depth + 1, nodes)) return false;
            return true;
        }
        default:
            return true;
        }
    }

    quint64 begin() {
        _offsets.push_back(quint64(_out.size()));
        return _offsets.size() - 1;
    }

    // A marker with its element count: in the low nibble, or an integer object after it.
    void marker(uchar kind, quint64 n) {
        if (n < 15) {
            _out += char(kind | n);
            return;
        }
        _out += char(kind | 0x0F);
        integerBody(n);
    }

    void integerBody(quint64 v) {
        const int size = bytesFor(v);
        _out += char(0x10 | (size == 1 ? 0 : size == 2 ? 1 : size == 4 ? 2 : 3));
        bigEndian(v, size);
    }

    quint64 integer(qint64 v) {
        const quint64 index = begin();
        // Negative numbers take the eight-byte form, the one readers take as signed.
        if (v < 0) {
            _out += char(0x13);
            bigEndian(quint64(v), 8);
        } else {
            integerBody(quint64(v));
        }
        return index;
    }

    quint64 real(uchar kind, double v) {
        const quint64 index = begin();
        _out += char(kind);
        quint64 bits = 0;
        std::memcpy(&bits, &v, sizeof bits);
        bigEndian(bits, 8);
        return index;
    }

    // Keys and short values are written once and shared; long values (paths, identifiers) are
    // seldom repeated, and hashing each would cost more than it saves.
    bool string(const QString& s, quint64* index, bool key = false) {
        const bool shared = key || s.size() <= 16;
        if (shared) {
            const auto known = _strings.constFind(s);
            if (known != _strings.cend()) {
                *index = *known;
                return true;
            }
        }
        if (s.contains(QChar(0))) return false;
        *index = begin();
        bool ascii = true;
        for (const QChar c : s)
            if (c.unicode() >= 0x80) {
                ascii = false;
                break;
            }
        if (ascii) {
            marker(0x50, quint64(s.size()));
            for (const QChar c : s) _out += char(c.unicode());
        } else {
            marker(0x60, quint64(s.size()));
            for (const QChar c : s) bigEndian(c.unicode(), 2);
        }
        if (shared) _strings.insert(s, *index);
        return true;
    }

    bool date(const QDateTime& dt, quint64* index) {
        if (!dt.isValid()) return false;
        const qint64 ms = dt.toMSecsSinceEpoch() - kPlistEpochMSecs;
        const qint64 seconds = ms / 1000 - (ms % 1000 < 0 ? 1 : 0);
        // Beyond 32-bit seconds the reader gives whole seconds: the writer keeps to them too.
        const bool far = seconds < std::numeric_limits<int32_t>::min() || seconds > std::numeric_limits<int32_t>::max();
        if (far) {
            const int year = QDateTime::fromMSecsSinceEpoch(seconds * 1000 + kPlistEpochMSecs, Qt::UTC).date().year();
            if (year < 1 || year > 9999) return false;
        }
        *index = real(0x33, far ? double(seconds) : double(ms) / 1000.0);
        return true;
    }

    bool object(const QVariant& value, int depth, quint64* index) {
        switch (value.typeId()) {
        case QMetaType::Bool:
            *index = begin();
            _out += char(value.toBool() ? 0x09 : 0x08);
            return true;
        case QMetaType::Int:
        case QMetaType::Long:
        case QMetaType::LongLong:
        case QMetaType::Short:
        case QMetaType::Char:
        case QMetaType::SChar:
            *index = integer(value.toLongLong());
            return true;
        case QMetaType::UInt:
        case QMetaType::ULong:
        case QMetaType::ULongLong:
        case QMetaType::UShort:
        case QMetaType::UChar: {
            const quint64 v = value.toULongLong();
            if (v > quint64(std::numeric_limits<qint64>::max())) return false;
            *index = integer(qint64(v));
            return true;
        }
        case QMetaType::Double:
        case QMetaType::Float:
            *index = real(0x23, value.toDouble());
            return true;
        case QMetaType::QString:
            return string(value.toString(), index);
        case QMetaType::QUrl:
            return string(value.toUrl().toString(), index);
        case QMetaType::QByteArray: {
            const QByteArray bytes = value.toByteArray();
            *index = begin();
            marker(0x40, quint64(bytes.size()));
            _out += bytes;
            return true;
        }
        case QMetaType::QDateTime:
            return date(value.toDateTime(), index);
        case QMetaType::QVariantList:
        case QMetaType::QStringList: {
            if (depth >= PropertyList::maximumDepth) return false;
            const QVariantList items = value.toList();
            const quint64 self = begin();
            std::vector<quint64> refs(size_t(items.size()));
            for (qsizetype i = 0; i < items.size(); ++i)
                if (!object(items.at(i), depth + 1, &refs[size_t(i)])) return false;
            _offsets[self] = quint64(_out.size());
            marker(0xA0, refs.size());
            for (const quint64 ref : refs) bigEndian(ref, _refSize);
            *index = self;
            return true;
        }
        case QMetaType::QVariantMap:
        case QMetaType::QVariantHash: {
            if (depth >= PropertyList::maximumDepth) return false;
            // A hash goes through a map, so its keys come out sorted, as in the tree writer.
            const QVariantMap map = value.toMap();
            const quint64 self = begin();
            std::vector<quint64> refs(size_t(map.size()) * 2);
            size_t i = 0;
            for (auto it = map.cbegin(); it != map.cend(); ++it, ++i)
                if (!string(it.key(), &refs[i], true) || !object(it.value(), depth + 1, &refs[refs.size() / 2 + i])) return false;
            _offsets[self] = quint64(_out.size());
            marker(0xD0, quint64(map.size()));
            for (const quint64 ref : refs) bigEndian(ref, _refSize);
            *index = self;
            return true;
        }
        default:
            return false;
        }
    }

    QByteArray _out;
    std::vector<quint64> _offsets;
    QHash<QString, quint64> _strings;
    int _refSize = 1;
};

// ---- binary form -> QVariant, directly -------------------------------------------------------
//
// Once checkBinaryShape has passed a binary list (offsets, references, nesting, no loops), its
// common objects are read here straight into QVariants: building libplist's tree and freeing it
// again cost more than reading. The values are those the tree would give. Anything less common
// (sets, 16-byte integers, surrogates or NUL in strings, far dates, keys that are not strings)
// makes the whole list go through libplist instead.
class BinaryReader {
public:
    explicit BinaryReader(const QByteArray& data) : _bytes(reinterpret_cast<const uchar*>(data.constData())) {
        const quint64 size = quint64(data.size());
        const uchar* trailer = _bytes + size - 32;
        _offsetSize = trailer[6];
        _refSize = trailer[7];
        _count = be(trailer + 8, 8);
        _top = be(trailer + 16, 8);
        _tableOffset = be(trailer + 24, 8);
    }

    // False when the list holds something left to libplist.
    bool read(QVariant* out) { return object(_top, out); }

private:
    static quint64 be(const uchar* p, int size) {
        quint64 v = 0;
        for (int i = 0; i < size; ++i) v = (v << 8) | p[i];
        return v;
    }

    quint64 offsetOf(quint64 object) const { return be(_bytes + _tableOffset + object * quint64(_offsetSize), _offsetSize); }

    // The element count after a marker and where the elements start, within the objects.
    bool count(quint64 offset, quint64* n, quint64* at) const {
        *n = _bytes[offset] & 0x0F;
        *at = offset + 1;
        if (*n != 0x0F) return true;
        if (*at >= _tableOffset) return false;
        const uchar intMarker = _bytes[*at];
        if ((intMarker & 0xF0) != 0x10 || (intMarker & 0x0F) > 3) return false;
        const int intSize = 1 << (intMarker & 0x0F);
        if (*at + 1 + quint64(intSize) > _tableOffset) return false;
        *n = be(_bytes + *at + 1, intSize);
        *at += 1 + quint64(intSize);
        return true;
    }

    bool fits(quint64 at, quint64 n, quint64 unit) const { return n <= (_tableOffset - at) / unit; }

    bool string(quint64 offset, QString* out) const {
        const int kind = _bytes[offset] >> 4;
        quint64 n = 0, at = 0;
        if ((kind != 0x5 && kind != 0x6) || !count(offset, &n, &at) || !fits(at, n, kind == 0x6 ? 2 : 1)) return false;
        if (kind == 0x5) {
            for (quint64 i = 0; i < n; ++i)
                if (_bytes[at + i] == 0 || _bytes[at + i] >= 0x80) return false;
            *out = QString::fromLatin1(reinterpret_cast<const char*>(_bytes + at), qsizetype(n));
            return true;
        }
        QString s(qsizetype(n), Qt::Uninitialized);
        char16_t* d = reinterpret_cast<char16_t*>(s.data());
        for (quint64 i = 0; i < n; ++i) {
            const char16_t c = char16_t((_bytes[at + 2 * i] << 8) | _bytes[at + 2 * i + 1]);
            if (c == 0 || (c >= 0xD800 && c <= 0xDFFF)) return false;
            d[i] = c;
        }
        *out = std::move(s);
        return true;
    }

    bool object(quint64 index, QVariant* out) {
        if (index >= _count) return false;
        const quint64 offset = offsetOf(index);
        if (offset < 8 || offset >= _tableOffset) return false;
        const uchar marker = _bytes[offset];
        const int kind = marker >> 4, low = marker & 0x0F;
        switch (kind) {
        case 0x0:
            if (marker != 0x08 && marker != 0x09) return false;
            *out = QVariant(marker == 0x09);
            return true;
        case 0x1: {
            if (low > 3) return false;
            const int size = 1 << low;
            if (offset + 1 + quint64(size) > _tableOffset) return false;
            // Kept as an unsigned 64-bit number by the library, meant as a signed one.
            *out = QVariant(qint64(be(_bytes + offset + 1, size)));
            return true;
        }
        case 0x2: {
            if ((low != 2 && low != 3) || offset + 1 + (1u << low) > _tableOffset) return false;
            if (low == 2) {
                const quint32 bits = quint32(be(_bytes + offset + 1, 4));
                float f = 0;
                std::memcpy(&f, &bits, sizeof f);
                *out = QVariant(double(f));
            } else {
                const quint64 bits = be(_bytes + offset + 1, 8);
                double d = 0;
                std::memcpy(&d, &bits, sizeof d);
                *out = QVariant(d);
            }
            return true;
        }
        case 0x3: {
            if (marker != 0x33 || offset + 9 > _tableOffset) return false;
            const quint64 bits = be(_bytes + offset + 1, 8);
            double v = 0;
            std::memcpy(&v, &bits, sizeof v);
            // As the library hands dates out: whole seconds toward zero, then the microseconds
            // of what is left; far dates go to the tree, which reads them from its own text.
            if (!(v > double(std::numeric_limits<int32_t>::min()) && v < double(std::numeric_limits<int32_t>::max()) + 1.0))
                return false;
            const qint64 sec = qint64(v);
            const qint64 usec = qint64(std::fabs((v - double(sec)) * 1000000));
            const qint64 ms = (usec + 500) / 1000;
            const qint64 total = sec * 1000 + (sec < 0 ? -ms : ms);
            *out = QVariant(QDateTime::fromMSecsSinceEpoch(total + kPlistEpochMSecs, Qt::UTC));
            return true;
        }
        case 0x4: {
            quint64 n = 0, at = 0;
            if (!count(offset, &n, &at) || !fits(at, n, 1)) return false;
            *out = QVariant(QByteArray(reinterpret_cast<const char*>(_bytes + at), qsizetype(n)));
            return true;
        }
        case 0x5:
        case 0x6: {
            QString s;
            if (!string(offset, &s)) return false;
            *out = QVariant(std::move(s));
            return true;
        }
        case 0xA: {
            quint64 n = 0, at = 0;
            if (!count(offset, &n, &at) || !fits(at, n, quint64(_refSize))) return false;
            QVariantList list;
            list.reserve(qsizetype(n));
            for (quint64 i = 0; i < n; ++i) {
                QVariant item;
                if (!object(be(_bytes + at + i * quint64(_refSize), _refSize), &item)) return false;
                list.append(std::move(item));
            }
            *out = QVariant(std::move(list));
            return true;
        }
        case 0xD: {
            quint64 n = 0, at = 0;
            if (!count(offset, &n, &at) || n > std::numeric_limits<quint64>::max() / 2 || !fits(at, n * 2, quint64(_refSize)))
                return false;
            QVariantMap map;
            for (quint64 i = 0; i < n; ++i) {
                const quint64 key = be(_bytes + at + i * quint64(_refSize), _refSize);
                const quint64 value = be(_bytes + at + (n + i) * quint64(_refSize), _refSize);
                if (key >= _count) return false;
                const quint64 keyOffset = offsetOf(key);
                QString name;
                QVariant item;
                if (keyOffset < 8 || keyOffset >= _tableOffset || !string(keyOffset, &name) || !object(value, &item)) return false;
                // Our own lists keep their keys in order: a hint at the end makes each insert
                // constant time; a repeated key keeps its last value, as from the tree.
                map.insert(map.cend(), name, item);
            }
            *out = QVariant(std::move(map));
            return true;
        }
        default:
            return false;
        }
    }

    const uchar* _bytes;
    int _offsetSize = 1;
    int _refSize = 1;
    quint64 _count = 0, _top = 0, _tableOffset = 0;
};

QVariant parse(const QByteArray& data, PlistFormat* format, QString* why, PropertyList::ErrorCode* code) {
    const bool binary = data.startsWith("bplist00");
    if (format) *format = binary ? PlistFormat::Binary : PlistFormat::XML;
    *code = PropertyList::MalformedError;
    if (data.isEmpty()) {
        *why = QStringLiteral("it is empty");
        return {};
    }
    if (quint64(data.size()) > std::numeric_limits<uint32_t>::max()) {
        *code = PropertyList::TooLargeError;
        *why = QStringLiteral("it is larger than 4 GB");
        return {};
    }
    const Verdict verdict = binary ? checkBinaryShape(data) : checkXmlShape(data);
    if (!verdict.reason.isEmpty()) {
        *code = verdict.code;
        *why = verdict.reason;
        return {};
    }
    if (binary) {
        QVariant direct;
        if (BinaryReader(data).read(&direct)) return direct;
    }
    // Some failure paths of plist_from_memory leave the out-parameter as it was.
    plist_t root = nullptr;
    plist_from_memory(data.constData(), uint32_t(data.size()), &root);
    Node owner(root);
    if (!root) {
        *why = binary ? QStringLiteral("it is not a valid binary property list")
                      : QStringLiteral("it is not a valid XML property list");
        return {};
    }
    QVariant result;
    if (!toVariant(root, &result, why)) return {};
    return result;
}

}  // namespace

QVariant PropertyList::fromData(const QByteArray& data, QVError* error, PlistFormat* format) {
    QString why;
    ErrorCode code = MalformedError;
    QVariant result = parse(data, format, &why, &code);
    if (!result.isValid())
        qvSetError(error, makeError(code, QStringLiteral("The data isn't a property list: %1.").arg(why)));
    return result;
}

QVariant PropertyList::readFile(const QString& path, QVError* error, PlistFormat* format) {
    const std::optional<QByteArray> bytes = RegularFile::read(path, error);
    if (!bytes) return {};
    const QByteArray& data = *bytes;
    QString why;
    ErrorCode code = MalformedError;
    QVariant result = parse(data, format, &why, &code);
    if (!result.isValid()) {
        QVError e = makeError(code, QStringLiteral("The file \"%1\" isn't a valid property list: %2.").arg(path, why));
        e.setUserInfoValue(QLatin1String(QVFilePathErrorKey), path);
        qvSetError(error, e);
    }
    return result;
}

QByteArray PropertyList::toData(const QVariant& value, PlistFormat format, QVError* error) {
    if (format == PlistFormat::XML) {
        XmlWriter direct;
        if (direct.write(value)) return direct.take();
    } else {
        BinaryWriter direct;
        if (direct.write(value)) return direct.take();
    }
    Writer writer(format);
    Node root(writer.convert(value, 0, Place{}, error));
    if (!root.get()) return {};
    char* bytes = nullptr;
    uint32_t length = 0;
    QByteArray out;
    if (format == PlistFormat::Binary) {
        plist_to_bin(root.get(), &bytes, &length);
        if (bytes) out = QByteArray(bytes, qsizetype(length));
        if (bytes) plist_to_bin_free(bytes);
    } else {
        plist_to_xml(root.get(), &bytes, &length);
        if (bytes) out = QByteArray(bytes, qsizetype(length));
        if (bytes) plist_to_xml_free(bytes);
    }
    if (out.isEmpty())
        qvSetError(error, makeError(TooLargeError, QStringLiteral("The value couldn't be serialized as a property list.")));
    return out;
}

bool PropertyList::writeFile(const QVariant& value, const QString& path, PlistFormat format, QVError* error) {
    QVError e;
    const QByteArray data = toData(value, format, &e);
    if (data.isEmpty()) {
        e.setUserInfoValue(QLatin1String(QVFilePathErrorKey), path);
        qvSetError(error, e);
        return false;
    }
    return AtomicFile::write(path, data, error);
}

bool PropertyList::isInteger(const QVariant& value) {
    switch (value.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
        return true;
    default:
        return false;
    }
}

bool PropertyList::isFloatingPoint(const QVariant& value) {
    return value.typeId() == QMetaType::Double || value.typeId() == QMetaType::Float;
}
