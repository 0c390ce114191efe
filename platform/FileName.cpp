// File names kept as bytes through QString.
#include "platform/FileName.h"

#include <QDir>

#include <algorithm>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char16_t EscapeBase = 0xDC00;

bool isEscape(char16_t c) { return c >= 0xDC80 && c <= 0xDCFF; }

// The length of the valid UTF-8 sequence at p (end - p bytes left) and its code point, or 0 when
// the byte at p starts none (stray continuation, overlong form, surrogate, beyond U+10FFFF, cut).
int sequenceAt(const unsigned char* p, const unsigned char* end, char32_t* code) {
    const unsigned char b = p[0];
    if (b < 0x80) {
        *code = b;
        return 1;
    }
    int length = 0;
    char32_t c = 0;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
        length = 2;
        c = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        length = 3;
        c = b & 0x0F;
        if (b == 0xE0) low = 0xA0;   // overlong
        if (b == 0xED) high = 0x9F;  // UTF-16 surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
        length = 4;
        c = b & 0x07;
        if (b == 0xF0) low = 0x90;   // overlong
        if (b == 0xF4) high = 0x8F;  // beyond U+10FFFF
    } else {
        return 0;
    }
    if (end - p < length) return 0;
    for (int i = 1; i < length; ++i) {
        const unsigned char next = p[i];
        if (i == 1 ? (next < low || next > high) : (next < 0x80 || next > 0xBF)) return 0;
        c = (c << 6) | (next & 0x3F);
    }
    *code = c;
    return length;
}

bool statOf(const QString& path, struct stat* st) {
    const QByteArray name = FileName::encode(path);
    // A name holding a NUL names no file: cut at it, it would name another one (its folder).
    return !name.isEmpty() && !name.contains('\0') && ::stat(name.constData(), st) == 0;
}

}  // namespace

QString FileName::decode(const QByteArray& bytes) {
    // Nearly every name is ASCII, and a walk decodes tens of thousands of them: each byte is
    // widened as it is checked, in one pass.
    const qsizetype size = bytes.size();
    if (size == 0) return QString::fromLatin1(bytes);  // null stays null
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData());
    QString text(size, Qt::Uninitialized);
    char16_t* units = reinterpret_cast<char16_t*>(text.data());
    unsigned char seen = 0;
    for (qsizetype i = 0; i < size; ++i) {
        seen |= p[i];
        units[i] = p[i];
    }
    if (seen < 0x80) return text;
    const auto* end = p + size;
    text.resize(0);
    text.reserve(size);
    while (p < end) {
        char32_t code = 0;
        if (const int length = sequenceAt(p, end, &code)) {
            if (code < 0x10000) {
                text.append(QChar(char16_t(code)));
            } else {
                const char32_t ucs4[] = {code};
                text.append(QString::fromUcs4(ucs4, 1));
            }
            p += length;
        } else {
            text.append(QChar(char16_t(EscapeBase + *p)));
            ++p;
        }
    }
    return text;
}

QString FileName::decode(const char* bytes) {
    return bytes ? decode(QByteArray::fromRawData(bytes, qsizetype(std::strlen(bytes)))) : QString();
}

QByteArray FileName::encode(const QString& path) {
    if (QtPrivate::isAscii(QStringView(path))) return path.toLatin1();
    QByteArray bytes;
    encode(path, bytes);
    return bytes;
}

void FileName::encode(const QString& path, QByteArray& bytes) {
    // ASCII, nearly every path, is narrowed as it is checked, in one pass.
    const qsizetype n = path.size();
    const char16_t* in = reinterpret_cast<const char16_t*>(path.constData());
    bytes.resize(n);
    char* out = bytes.data();
    qsizetype i = 0;
#if defined(__SSE2__)
    // Eight units at a time while they are ASCII (a path is mostly long runs of it).
    const __m128i beyondAscii = _mm_set1_epi16(short(0xFF80));
    for (; i + 8 <= n; i += 8) {
        const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(units, beyondAscii), _mm_setzero_si128())) != 0xFFFF) break;
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(units, units));
    }
#endif
    char16_t seen = 0;
    for (; i < n; ++i) {
        seen |= in[i];
        out[i] = char(in[i]);
    }
    if (seen < 0x80) return;
    bytes.resize(0);
    bytes.reserve(n + n / 2);
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t c = path.at(i).unicode();
        char32_t code = c;
        if (QChar::isHighSurrogate(c) && i + 1 < n && QChar::isLowSurrogate(path.at(i + 1).unicode())) {
            code = QChar::surrogateToUcs4(c, path.at(++i).unicode());
        } else if (isEscape(c)) {
            bytes.append(char(c - EscapeBase));
            continue;
        } else if (QChar::isSurrogate(c)) {
            code = 0xFFFD;  // a lone surrogate no decoded name holds: what Qt writes for it
        }
        if (code < 0x80) {
            bytes.append(char(code));
        } else if (code < 0x800) {
            bytes.append(char(0xC0 | (code >> 6)));
            bytes.append(char(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            bytes.append(char(0xE0 | (code >> 12)));
            bytes.append(char(0x80 | ((code >> 6) & 0x3F)));
            bytes.append(char(0x80 | (code & 0x3F)));
        } else {
            bytes.append(char(0xF0 | (code >> 18)));
            bytes.append(char(0x80 | ((code >> 12) & 0x3F)));
            bytes.append(char(0x80 | ((code >> 6) & 0x3F)));
            bytes.append(char(0x80 | (code & 0x3F)));
        }
    }
}

bool FileName::hasEscapes(const QString& path) {
    return std::any_of(path.begin(), path.end(), [](QChar c) { return isEscape(c.unicode()); });
}

QString FileName::displayed(const QString& path) {
    QString shown = path;
    for (QChar& c : shown)
        if (isEscape(c.unicode())) c = QChar::ReplacementCharacter;
    return shown;
}

namespace {

// The marks and embeddings, overrides and isolates that reorder the text around them: a name
// holding one ("x", U+202E, "lmth.php") would read as another ("xphp.html").
bool isBidiControl(char16_t c) {
    return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

}  // namespace

QString FileName::readable(const QString& path) {
    const bool escapes = hasEscapes(path);
    if (!escapes && std::none_of(path.begin(), path.end(), [](QChar c) { return isBidiControl(c.unicode()); }))
        return path;
    QString shown;
    shown.reserve(path.size());
    for (QChar c : path) {
        if (isEscape(c.unicode()))
            shown += QChar(char16_t(c.unicode() - EscapeBase));
        else if (isBidiControl(c.unicode()))
            shown += QStringLiteral("<U+%1>").arg(c.unicode(), 4, 16, QLatin1Char('0')).toUpper();
        else
            shown += c;
    }
    return escapes ? shown + QStringLiteral(" (not UTF-8)") : shown;
}

QString FileName::editable(const QString& name) {
    QString text;
    text.reserve(name.size());
    for (QChar c : name) {
        if (isBidiControl(c.unicode())) text += QStringLiteral("<U+%1>").arg(c.unicode(), 4, 16, QLatin1Char('0')).toUpper();
        else text += c;
    }
    return text;
}

QString FileName::fromEditable(const QString& text) {
    QString name;
    name.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == u'<' && i + 8 <= text.size() && text.mid(i + 1, 2) == QStringLiteral("U+") && text[i + 7] == u'>') {
            bool ok = false;
            const uint code = text.mid(i + 3, 4).toUInt(&ok, 16);
            if (ok && isBidiControl(char16_t(code))) {
                name += QChar(char16_t(code));
                i += 7;
                continue;
            }
        }
        name += text[i];
    }
    return name;
}

namespace {

QString picturedControls(const QString& name, bool* control) {
    QString shown = FileName::readable(name);
    for (QChar& c : shown) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f) {
            // U+2400..U+241F picture the C0 controls, U+2421 DEL.
            c = QChar(char16_t(c.unicode() == 0x7f ? 0x2421 : 0x2400 + c.unicode()));
            *control = true;
        }
    }
    return shown;
}

}  // namespace

QString FileName::shown(const QString& name) {
    bool control = false;
    const QString shown = picturedControls(name, &control);
    return control ? shown + QStringLiteral(" (control character)") : shown;
}

QString FileName::pictured(const QString& name) {
    bool control = false;
    return picturedControls(name, &control);
}

bool FileName::exists(const QString& path) {
    struct stat st {};
    return statOf(path, &st);
}

bool FileName::isFolder(const QString& path) {
    struct stat st {};
    return statOf(path, &st) && S_ISDIR(st.st_mode);
}

bool FileName::isRegularFile(const QString& path) {
    struct stat st {};
    return statOf(path, &st) && S_ISREG(st.st_mode);
}

qint64 FileName::size(const QString& path) {
    struct stat st {};
    return statOf(path, &st) ? qint64(st.st_size) : -1;
}

bool FileName::isSymbolicLink(const QString& path) {
    const QByteArray name = encode(path);
    struct stat st {};
    return !name.isEmpty() && !name.contains('\0') && ::lstat(name.constData(), &st) == 0 && S_ISLNK(st.st_mode);
}

QString FileName::canonical(const QString& path) {
    const QByteArray name = encode(path);
    if (name.isEmpty()) return {};
    char* resolved = ::realpath(name.constData(), nullptr);
    if (!resolved) return {};
    const QString result = decode(resolved);
    std::free(resolved);
    return result;
}

QStringList FileName::entries(const QString& folder) {
    QStringList names;
    const QByteArray name = encode(folder);
    DIR* dir = name.isEmpty() ? nullptr : ::opendir(name.constData());
    if (!dir) return names;
    while (const dirent* entry = ::readdir(dir)) {
        if (!std::strcmp(entry->d_name, ".") || !std::strcmp(entry->d_name, "..")) continue;
        names.append(decode(entry->d_name));
    }
    ::closedir(dir);
    return names;
}

QString FileName::absolute(const QString& path) {
    if (path.isEmpty()) return path;
    return QDir::cleanPath(QDir::isAbsolutePath(path) ? path : currentFolder() + u'/' + path);
}

QString FileName::currentFolder() {
    char* folder = ::getcwd(nullptr, 0);
    if (!folder) return QDir::currentPath();  // removed since: Qt's answer, whatever it is
    const QString result = decode(folder);
    std::free(folder);
    return result;
}
