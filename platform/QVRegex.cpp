// PCRE2-backed regular expressions: 16-bit code for QString subjects, 8-bit code for UTF-8 bytes.
#include "platform/QVRegex.h"

#include <pcre2.h>

#include <algorithm>
#include <mutex>

namespace {

constexpr uint32_t kPatternFlags = PCRE2_UTF | PCRE2_MATCH_INVALID_UTF;
// The JIT's own stack: enough for deeply nested repeats on long lines, grown only when needed.
constexpr size_t kJitStackStart = 32 * 1024;
constexpr size_t kJitStackMax = 1024 * 1024;
// Smallest ovector kept per thread, so most patterns never make it grow.
constexpr uint32_t kMinPairs = 16;

uint32_t compileFlags(quint32 options) {
    uint32_t flags = kPatternFlags;
    if (options & QVRegex::CaseInsensitive)
        flags |= PCRE2_CASELESS;
    if (options & QVRegex::MultiLine)
        flags |= PCRE2_MULTILINE;
    if (options & QVRegex::DotMatchesAll)
        flags |= PCRE2_DOTALL;
    return flags;
}

// The PCRE2 options of a match-option word.
uint32_t matchFlags(quint32 matchOptions) {
    // Anchoring at the start costs the JIT (the interpreter runs such a match), but it only
    // serves the retry after an empty match, which looks at a single place.
    return (matchOptions & QVRegex::MatchNonEmptyAtStart) ? PCRE2_NOTEMPTY_ATSTART | PCRE2_ANCHORED : 0;
}

// Matching state owned by one thread: match data (its ovector and the interpreter's cached
// frames), and a match context carrying a JIT stack. Nothing here belongs to a pattern, so one
// compiled pattern can be matched from any number of threads at once.
struct Scratch {
    pcre2_match_data_16* data16 = nullptr;
    uint32_t pairs16 = 0;
    pcre2_match_context_16* context16 = nullptr;
    pcre2_jit_stack_16* jit16 = nullptr;

    pcre2_match_data_8* data8 = nullptr;
    uint32_t pairs8 = 0;
    pcre2_match_context_8* context8 = nullptr;
    pcre2_jit_stack_8* jit8 = nullptr;

    Scratch() = default;
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    ~Scratch() {
        pcre2_match_data_free_16(data16);
        pcre2_match_context_free_16(context16);
        pcre2_jit_stack_free_16(jit16);
        pcre2_match_data_free_8(data8);
        pcre2_match_context_free_8(context8);
        pcre2_jit_stack_free_8(jit8);
    }

    pcre2_match_data_16* matchData16(uint32_t pairs) {
        if (pairs > pairs16 || !data16) {
            pcre2_match_data_free_16(data16);
            pairs16 = std::max(pairs, kMinPairs);
            data16 = pcre2_match_data_create_16(pairs16, nullptr);
            if (!data16)
                pairs16 = 0;
        }
        return data16;
    }
    pcre2_match_data_8* matchData8(uint32_t pairs) {
        if (pairs > pairs8 || !data8) {
            pcre2_match_data_free_8(data8);
            pairs8 = std::max(pairs, kMinPairs);
            data8 = pcre2_match_data_create_8(pairs8, nullptr);
            if (!data8)
                pairs8 = 0;
        }
        return data8;
    }
    pcre2_match_context_16* matchContext16() {
        if (!context16) {
            context16 = pcre2_match_context_create_16(nullptr);
            jit16 = pcre2_jit_stack_create_16(kJitStackStart, kJitStackMax, nullptr);
            if (context16 && jit16)
                pcre2_jit_stack_assign_16(context16, nullptr, jit16);
        }
        return context16;
    }
    pcre2_match_context_8* matchContext8() {
        if (!context8) {
            context8 = pcre2_match_context_create_8(nullptr);
            jit8 = pcre2_jit_stack_create_8(kJitStackStart, kJitStackMax, nullptr);
            if (context8 && jit8)
                pcre2_jit_stack_assign_8(context8, nullptr, jit8);
        }
        return context8;
    }
};

Scratch& scratch() {
    thread_local Scratch s;
    return s;
}

// The part of [0, size) the range covers, or false when the range starts outside it. A range
// running past the end is cut at the end.
bool clampRange(qint64 size, QVRange range, qint64& start, qint64& length) {
    if (range.location < 0 || range.location > size || range.length < 0)
        return false;
    start = range.location;
    length = std::min(range.length, size - start);
    return true;
}

// Turns the offsets of a successful match (relative to the range start) into ranges in the
// caller's coordinates; groups past the last one set, or unset, are not found.
std::optional<QVRegexMatch> makeMatch(const PCRE2_SIZE* ovector, int setPairs, int captures, qint64 base) {
    // Built in place: a match is handed back often enough for its copies to count.
    std::optional<QVRegexMatch> match(std::in_place, captures);
    for (int i = 0; i < captures && i < setPairs; ++i) {
        const PCRE2_SIZE b = ovector[2 * i];
        const PCRE2_SIZE e = ovector[2 * i + 1];
        if (b == PCRE2_UNSET || e == PCRE2_UNSET)
            continue;
        // \K inside a lookahead can leave the start after the end: report an empty range there.
        match->setRange(i, QVRange(base + qint64(b), e > b ? qint64(e - b) : 0));
    }
    return match;
}

const char16_t kEmpty16[1] = {0};
const char kEmpty8[1] = {0};

}  // namespace

struct QVRegex::Compiled {
    pcre2_code_16* code16 = nullptr;
    bool jit16 = false;  // JIT code was made: matches may skip pcre2_match's checks
    int captures = 1;    // groups plus the whole match

    // The byte-subject code is built on first use, once, whichever thread gets there first.
    mutable std::once_flag once8;
    mutable pcre2_code_8* code8 = nullptr;
    mutable bool jit8 = false;

    ~Compiled() {
        pcre2_code_free_16(code16);
        pcre2_code_free_8(code8);
    }
};

QVRange QVRegexMatch::rangeForCapture(int n) const {
    if (n < 0 || n >= int(_ranges.size()))
        return QVRange();
    return _ranges[n];
}

static pcre2_code_16* compile16(const QString& pattern, quint32 options) {
    pcre2_compile_context_16* context = pcre2_compile_context_create_16(nullptr);
    if (!context)
        return nullptr;
    pcre2_set_newline_16(context, PCRE2_NEWLINE_ANYCRLF);
    int error = 0;
    PCRE2_SIZE errorOffset = 0;
    const auto* units = pattern.isEmpty() ? reinterpret_cast<PCRE2_SPTR16>(kEmpty16)
                                          : reinterpret_cast<PCRE2_SPTR16>(pattern.utf16());
    pcre2_code_16* code = pcre2_compile_16(units, PCRE2_SIZE(pattern.size()), compileFlags(options),
                                           &error, &errorOffset, context);
    pcre2_compile_context_free_16(context);
    return code;
}

static pcre2_code_8* compile8(const QString& pattern, quint32 options) {
    pcre2_compile_context_8* context = pcre2_compile_context_create_8(nullptr);
    if (!context)
        return nullptr;
    pcre2_set_newline_8(context, PCRE2_NEWLINE_ANYCRLF);
    const QByteArray utf8 = pattern.toUtf8();
    int error = 0;
    PCRE2_SIZE errorOffset = 0;
    pcre2_code_8* code = pcre2_compile_8(reinterpret_cast<PCRE2_SPTR8>(utf8.constData()),
                                         PCRE2_SIZE(utf8.size()), compileFlags(options), &error,
                                         &errorOffset, context);
    pcre2_compile_context_free_8(context);
    return code;
}

bool QVRegex::validPattern(const QString& pattern) {
    pcre2_code_16* code = compile16(pattern, DefaultOptions);
    pcre2_code_free_16(code);
    return code != nullptr;
}

std::shared_ptr<const QVRegex> QVRegex::create(const QString& pattern, quint32 options) {
    std::shared_ptr<QVRegex> regex(new QVRegex(pattern, options));
    if (!regex->compile())
        return nullptr;
    return regex;
}

QVRegex::QVRegex(QString pattern, quint32 options)
    : _pattern(std::move(pattern)), _options(options), _compiled(std::make_unique<Compiled>()) {}

QVRegex::~QVRegex() = default;

bool QVRegex::compile() {
    pcre2_code_16* code = compile16(_pattern, _options);
    if (!code)
        return false;
    // Without JIT support (or when it fails) the interpreter runs the same code.
    _compiled->jit16 = pcre2_jit_compile_16(code, PCRE2_JIT_COMPLETE) == 0;
    uint32_t groups = 0;
    pcre2_pattern_info_16(code, PCRE2_INFO_CAPTURECOUNT, &groups);
    _compiled->code16 = code;
    _compiled->captures = int(groups) + 1;
    return true;
}

// PCRE2 10.42's 8-bit JIT, with invalid UTF allowed, lets negated shorthand classes such as "\S",
// "\D" and "\W" stop at non-ASCII characters ("key (\S+)" over "key café" captures "caf"); the
// interpreter gets them right. Patterns that may hold one (over-counted inside \Q..\E) skip the JIT.
static bool mayHoldNegatedShorthand(const QString& pattern) {
    for (qsizetype i = 0; i + 1 < pattern.size(); ++i) {
        if (pattern[i] != u'\\')
            continue;
        switch (pattern[i + 1].unicode()) {
        case u'S': case u'D': case u'W': case u'H': case u'V': case u'N': case u'B':
        case u'P': case u'X': case u'R':
            return true;
        default:
            ++i;  // an escaped character, never the start of another escape
        }
    }
    return false;
}

const void* QVRegex::code8() const {
    Compiled& c = *_compiled;
    std::call_once(c.once8, [this, &c] {
        pcre2_code_8* code = compile8(_pattern, _options);
        if (code && !mayHoldNegatedShorthand(_pattern))
            c.jit8 = pcre2_jit_compile_8(code, PCRE2_JIT_COMPLETE) == 0;
        c.code8 = code;
    });
    return c.code8;
}

int QVRegex::captureCount() const { return _compiled->captures; }

std::optional<QVRegexMatch> QVRegex::copyMatchForString(const QString& subject) const {
    return copyMatchForUTF16(reinterpret_cast<const char16_t*>(subject.utf16()), subject.size(),
                             QVRange(0, subject.size()));
}

std::optional<QVRegexMatch> QVRegex::copyMatchForString(const QString& subject, QVRange range,
                                                        quint32 matchOptions) const {
    // Both match-option words callers use mean a plain match (see the header).
    Q_UNUSED(matchOptions);
    return copyMatchForUTF16(reinterpret_cast<const char16_t*>(subject.utf16()), subject.size(),
                             range);
}

std::optional<QVRegexMatch> QVRegex::copyMatchForString(const QString& subject, QVRange range,
                                                        quint32 matchOptions, qint64 startLocation) const {
    return copyMatchForUTF16(reinterpret_cast<const char16_t*>(subject.utf16()), subject.size(), range,
                             matchOptions, startLocation);
}

std::optional<QVRegexMatch> QVRegex::copyMatchForUTF16(const char16_t* units, qint64 length,
                                                       QVRange range) const {
    return copyMatchForUTF16(units, length, range, MatchDefault, range.location);
}

std::optional<QVRegexMatch> QVRegex::copyMatchForUTF16(const char16_t* units, qint64 length, QVRange range,
                                                       quint32 matchOptions, qint64 startLocation) const {
    qint64 start = 0, count = 0;
    if (length < 0 || !clampRange(length, range, start, count))
        return std::nullopt;
    if (startLocation < start || startLocation > start + count)
        return std::nullopt;
    const char16_t* begin = units ? units + start : kEmpty16;
    if (!units && count > 0)
        return std::nullopt;

    Scratch& s = scratch();
    pcre2_match_data_16* data = s.matchData16(uint32_t(_compiled->captures));
    if (!data)
        return std::nullopt;
    pcre2_match_context_16* context = s.matchContext16();
    // The subject starts at the range, so anchors and lookbehind see only the range; matching
    // begins at the start offset, with the text before it still in view.
    const auto subject = reinterpret_cast<PCRE2_SPTR16>(begin);
    const PCRE2_SIZE offset = PCRE2_SIZE(startLocation - start);
    const uint32_t flags = matchFlags(matchOptions);
    // The JIT's own entry skips the general entry's checks, which cost as much as a short match;
    // anchoring at match time is for the interpreter only.
    int rc = _compiled->jit16 && !(flags & PCRE2_ANCHORED)
                 ? pcre2_jit_match_16(_compiled->code16, subject, PCRE2_SIZE(count), offset, flags, data, context)
                 : pcre2_match_16(_compiled->code16, subject, PCRE2_SIZE(count), offset, flags, data, context);
    if (rc == PCRE2_ERROR_JIT_STACKLIMIT)
        rc = pcre2_match_16(_compiled->code16, subject, PCRE2_SIZE(count), offset, flags | PCRE2_NO_JIT,
                            data, context);
    if (rc <= 0)
        return std::nullopt;
    return makeMatch(pcre2_get_ovector_pointer_16(data), rc, _compiled->captures, start);
}

std::optional<QVRegexMatch> QVRegex::copyMatchForUTF8Data(const QByteArray& data, QVRange range) const {
    return copyMatchForUTF8Data(data.constData(), data.size(), range);
}

std::optional<QVRegexMatch> QVRegex::copyMatchForUTF8Data(const char* bytes, qint64 size,
                                                          QVRange range) const {
    return copyMatchForUTF8Data(bytes, size, range, MatchDefault, range.location);
}

std::optional<QVRegexMatch> QVRegex::copyMatchForUTF8Data(const QByteArray& data, QVRange range,
                                                          quint32 matchOptions, qint64 startLocation) const {
    return copyMatchForUTF8Data(data.constData(), data.size(), range, matchOptions, startLocation);
}

std::optional<QVRegexMatch> QVRegex::copyMatchForUTF8Data(const char* bytes, qint64 size, QVRange range,
                                                          quint32 matchOptions, qint64 startLocation) const {
    qint64 start = 0, count = 0;
    if (size < 0 || !clampRange(size, range, start, count))
        return std::nullopt;
    if (startLocation < start || startLocation > start + count)
        return std::nullopt;
    if (!bytes && count > 0)
        return std::nullopt;
    const char* begin = bytes ? bytes + start : kEmpty8;
    auto* code = static_cast<const pcre2_code_8*>(code8());
    if (!code)
        return std::nullopt;

    Scratch& s = scratch();
    pcre2_match_data_8* data = s.matchData8(uint32_t(_compiled->captures));
    if (!data)
        return std::nullopt;
    pcre2_match_context_8* context = s.matchContext8();
    const auto subject = reinterpret_cast<PCRE2_SPTR8>(begin);
    const PCRE2_SIZE offset = PCRE2_SIZE(startLocation - start);
    const uint32_t flags = matchFlags(matchOptions);
    int rc = _compiled->jit8 && !(flags & PCRE2_ANCHORED)
                 ? pcre2_jit_match_8(code, subject, PCRE2_SIZE(count), offset, flags, data, context)
                 : pcre2_match_8(code, subject, PCRE2_SIZE(count), offset, flags, data, context);
    if (rc == PCRE2_ERROR_JIT_STACKLIMIT)
        rc = pcre2_match_8(code, subject, PCRE2_SIZE(count), offset, flags | PCRE2_NO_JIT, data, context);
    if (rc <= 0)
        return std::nullopt;
    return makeMatch(pcre2_get_ovector_pointer_8(data), rc, _compiled->captures, start);
}
