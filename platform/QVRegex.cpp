// PCRE2-backed regular expressions: 16-bit code for QString subjects, 8-bit code for UTF-8 bytes.
#include "platform/QVRegex.h"

#include <pcre2.h>

#include <algorithm>
#include <type_traits>
#include <mutex>

namespace {

constexpr uint32_t kPatternFlags = PCRE2_UTF | PCRE2_MATCH_INVALID_UTF;
// The JIT's own stack: enough for deeply nested repeats on long lines, grown only when needed
// (the reservation is address space; pages are taken as the stack grows).
constexpr size_t kJitStackStart = 32 * 1024;
constexpr size_t kJitStackMax = 8 * 1024 * 1024;
// What one match may spend before it is given up as too complex. The match limit counts
// backtracking steps from one start position (a few hundredths of a second in the JIT); the
// depth and heap limits bound the interpreter's nesting and memory.
constexpr uint32_t kMatchLimit = 10'000'000;
constexpr uint32_t kDepthLimit = 10'000'000;
constexpr uint32_t kHeapLimitKiB = 64 * 1024;
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
    if (options & QVRegex::UnicodeClasses)
        flags |= PCRE2_UCP;
    return flags;
}

// The two widths of the library behind one set of names.
#define QV_PCRE2_WIDTH(W, UnitType)                                           \
    struct Width##W {                                                         \
        using Code = pcre2_code_##W;                                          \
        using Data = pcre2_match_data_##W;                                    \
        using Context = pcre2_match_context_##W;                              \
        using JitStack = pcre2_jit_stack_##W;                                 \
        using Unit = UnitType;                                                \
        using Subject = PCRE2_SPTR##W;                                        \
        static constexpr auto compile = pcre2_compile_##W;                    \
        static constexpr auto compileContextCreate = pcre2_compile_context_create_##W; \
        static constexpr auto compileContextFree = pcre2_compile_context_free_##W;     \
        static constexpr auto setNewline = pcre2_set_newline_##W;             \
        static constexpr auto jitCompile = pcre2_jit_compile_##W;             \
        static constexpr auto codeFree = pcre2_code_free_##W;                 \
        static constexpr auto match = pcre2_match_##W;                        \
        static constexpr auto jitMatch = pcre2_jit_match_##W;                 \
        static constexpr auto dataCreate = pcre2_match_data_create_##W;       \
        static constexpr auto dataFree = pcre2_match_data_free_##W;           \
        static constexpr auto ovector = pcre2_get_ovector_pointer_##W;        \
        static constexpr auto contextCreate = pcre2_match_context_create_##W; \
        static constexpr auto contextFree = pcre2_match_context_free_##W;     \
        static constexpr auto jitStackCreate = pcre2_jit_stack_create_##W;    \
        static constexpr auto jitStackFree = pcre2_jit_stack_free_##W;        \
        static constexpr auto jitStackAssign = pcre2_jit_stack_assign_##W;    \
        static constexpr auto setMatchLimit = pcre2_set_match_limit_##W;      \
        static constexpr auto setDepthLimit = pcre2_set_depth_limit_##W;      \
        static constexpr auto setHeapLimit = pcre2_set_heap_limit_##W;        \
    };
QV_PCRE2_WIDTH(16, char16_t)
QV_PCRE2_WIDTH(8, char)
#undef QV_PCRE2_WIDTH

// Matching state of one width owned by one thread: match data (its ovector and the
// interpreter's cached frames), and a match context carrying the limits and a JIT stack.
// Nothing here belongs to a pattern, so one compiled pattern can be matched from any number of
// threads at once.
template <class W>
struct Scratch {
    typename W::Data* data = nullptr;
    uint32_t pairs = 0;
    typename W::Context* context = nullptr;
    typename W::JitStack* jit = nullptr;

    Scratch() = default;
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    ~Scratch() {
        W::dataFree(data);
        W::contextFree(context);
        W::jitStackFree(jit);
    }

    typename W::Data* matchData(uint32_t wanted) {
        if (wanted > pairs || !data) {
            W::dataFree(data);
            pairs = std::max(wanted, kMinPairs);
            data = W::dataCreate(pairs, nullptr);
            if (!data)
                pairs = 0;
        }
        return data;
    }
    typename W::Context* matchContext() {
        if (!context) {
            context = W::contextCreate(nullptr);
            if (!context)
                return nullptr;
            W::setMatchLimit(context, kMatchLimit);
            W::setDepthLimit(context, kDepthLimit);
            W::setHeapLimit(context, kHeapLimitKiB);
            jit = W::jitStackCreate(kJitStackStart, kJitStackMax, nullptr);
            if (jit)
                W::jitStackAssign(context, nullptr, jit);
        }
        return context;
    }
};

template <class W>
Scratch<W>& scratch() {
    thread_local Scratch<W> s;
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

bool isLimitError(int rc) {
    return rc == PCRE2_ERROR_MATCHLIMIT || rc == PCRE2_ERROR_DEPTHLIMIT || rc == PCRE2_ERROR_HEAPLIMIT ||
           rc == PCRE2_ERROR_JIT_STACKLIMIT || rc == PCRE2_ERROR_NOMEMORY;
}

// PCRE2 10.42's 8-bit JIT, with invalid UTF allowed, lets the bare negated shorthands "\S",
// "\D" and "\W" stop at non-ASCII characters ("key (\S+)" over "key café" captures "caf"),
// while the same classes written in brackets match correctly. The byte code is compiled from
// the pattern with each bare one put in brackets, which means the same.
QString bracketNegatedShorthands(const QString& pattern) {
    QString out;
    out.reserve(pattern.size() + 8);
    bool inClass = false;
    bool quoted = false;  // inside \Q...\E
    const qsizetype n = pattern.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = pattern[i];
        if (quoted) {
            if (c == u'\\' && i + 1 < n && pattern[i + 1] == u'E')
                quoted = false;
            out += c;
            continue;
        }
        if (c == u'\\' && i + 1 < n) {
            const QChar e = pattern[i + 1];
            if (!inClass && (e == u'S' || e == u'D' || e == u'W')) {
                out += u'[';
                out += c;
                out += e;
                out += u']';
                ++i;
                continue;
            }
            out += c;
            out += e;
            ++i;
            if (e == u'Q')
                quoted = true;
            else if (e == u'c' && i + 1 < n)  // "\c" takes the next character, even a backslash
                out += pattern[++i];
            continue;
        }
        if (inClass) {
            if (c == u'[' && i + 1 < n && pattern[i + 1] == u':') {
                // A POSIX class "[:name:]" inside brackets: its "]" does not close the class.
                const qsizetype close = pattern.indexOf(QStringLiteral(":]"), i + 2);
                if (close > 0) {
                    out += QStringView(pattern).sliced(i, close + 2 - i);
                    i = close + 1;
                    continue;
                }
            }
            if (c == u']')
                inClass = false;
            out += c;
            continue;
        }
        out += c;
        if (c == u'[') {
            inClass = true;
            // A "]" first in the class (after an optional "^") is a literal.
            if (i + 1 < n && pattern[i + 1] == u'^')
                out += pattern[++i];
            if (i + 1 < n && pattern[i + 1] == u']')
                out += pattern[++i];
        }
    }
    return out;
}

// One compiled form of the pattern, built on first use, once, whichever thread gets there first.
template <class W>
struct Program {
    std::once_flag once;
    typename W::Code* code = nullptr;
    bool jit = false;  // JIT code was made: matches may skip pcre2_match's checks
    ~Program() { W::codeFree(code); }
};

template <class W>
typename W::Code* compileUnits(const typename W::Unit* units, qsizetype count, uint32_t flags) {
    auto* context = W::compileContextCreate(nullptr);
    if (!context)
        return nullptr;
    W::setNewline(context, PCRE2_NEWLINE_ANYCRLF);
    static const typename W::Unit empty[1] = {0};
    int error = 0;
    PCRE2_SIZE errorOffset = 0;
    auto* code = W::compile(reinterpret_cast<typename W::Subject>(count ? units : empty), PCRE2_SIZE(count),
                            flags, &error, &errorOffset, context);
    W::compileContextFree(context);
    return code;
}

pcre2_code_16* compile16(const QString& pattern, uint32_t flags) {
    return compileUnits<Width16>(reinterpret_cast<const char16_t*>(pattern.utf16()), pattern.size(), flags);
}

pcre2_code_8* compile8(const QString& pattern, uint32_t flags) {
    const QByteArray utf8 = bracketNegatedShorthands(pattern).toUtf8();
    return compileUnits<Width8>(utf8.constData(), utf8.size(), flags);
}

// Runs one match of a compiled form over subject[0, count) from offset. Answers the match, or
// nothing with *tooComplex set when the engine gave up at one of its limits.
template <class W>
std::optional<QVRegexMatch> run(const Program<W>& program, int captures, const typename W::Unit* subject,
                                qint64 count, qint64 offset, uint32_t flags, qint64 base, bool* tooComplex) {
    Scratch<W>& s = scratch<W>();
    auto* data = s.matchData(uint32_t(captures));
    auto* context = s.matchContext();
    if (!data || !context) {
        *tooComplex = true;
        return std::nullopt;
    }
    static const typename W::Unit empty[1] = {0};
    const auto units = reinterpret_cast<typename W::Subject>(subject ? subject : empty);
    // The JIT's own entry skips the general entry's checks, which cost as much as a short match.
    int rc = program.jit ? W::jitMatch(program.code, units, PCRE2_SIZE(count), PCRE2_SIZE(offset), flags, data, context)
                         : W::match(program.code, units, PCRE2_SIZE(count), PCRE2_SIZE(offset), flags, data, context);
    // A long line can need more JIT stack than a thread keeps; the interpreter keeps its
    // backtracking on the heap, within the heap limit.
    if (rc == PCRE2_ERROR_JIT_STACKLIMIT)
        rc = W::match(program.code, units, PCRE2_SIZE(count), PCRE2_SIZE(offset), flags | PCRE2_NO_JIT, data,
                      context);
    if (rc > 0)
        return makeMatch(W::ovector(data), rc, captures, base);
    *tooComplex = isLimitError(rc);
    return std::nullopt;
}

}  // namespace

struct QVRegex::Compiled {
    int captures = 1;  // groups plus the whole match
    // Plain and anchored forms for each width. The anchored ones serve the retry after an empty
    // match: anchoring at match time would keep the JIT out.
    Program<Width16> plain16, anchored16;
    Program<Width8> plain8, anchored8;
};

template <class W>
static const Program<W>& programFor(Program<W>& program, const QString& pattern, quint32 options, bool anchored,
                                    typename W::Code* (*compile)(const QString&, uint32_t)) {
    std::call_once(program.once, [&] {
        program.code = compile(pattern, compileFlags(options) | (anchored ? PCRE2_ANCHORED : 0u));
        // Without JIT support (or when it fails) the interpreter runs the same code.
        if (program.code)
            program.jit = W::jitCompile(program.code, PCRE2_JIT_COMPLETE) == 0;
    });
    return program;
}

QVRange QVRegexMatch::rangeForCapture(int n) const {
    if (n < 0 || n >= int(_ranges.size()))
        return QVRange();
    return _ranges[n];
}

QString QVRegex::errorDomain() { return QStringLiteral("QVRegexErrorDomain"); }

QVError QVRegex::tooComplexError() {
    return QVError::make(errorDomain(), TooComplexError, QStringLiteral("The pattern is too complex."),
                         QStringLiteral("The search gave up before finding out whether the text holds a "
                                        "match. Try a simpler pattern."));
}

bool QVRegex::isTooComplex(const QVError& error) {
    return error.domain() == errorDomain() && error.code() == TooComplexError;
}

bool QVRegex::validPattern(const QString& pattern) {
    pcre2_code_16* code = compile16(pattern, compileFlags(DefaultOptions));
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
    const Program<Width16>& program = programFor(_compiled->plain16, _pattern, _options, false, compile16);
    if (!program.code)
        return false;
    uint32_t groups = 0;
    pcre2_pattern_info_16(program.code, PCRE2_INFO_CAPTURECOUNT, &groups);
    _compiled->captures = int(groups) + 1;
    return true;
}

int QVRegex::captureCount() const { return _compiled->captures; }

namespace {
// The subject's units in place: the match is bounded by the length, so a text over borrowed
// units (QString::fromRawData) is matched where it lies rather than copied to be terminated.
const char16_t* units(const QString& subject) { return reinterpret_cast<const char16_t*>(subject.constData()); }
}  // namespace

std::optional<QVRegexMatch> QVRegex::copyMatchForString(const QString& subject, QVError* error) const {
    return copyMatchForUTF16(units(subject), subject.size(),
                             QVRange(0, subject.size()), MatchDefault, 0, error);
}

std::optional<QVRegexMatch> QVRegex::copyMatchForString(const QString& subject, QVRange range,
                                                        quint32 matchOptions, QVError* error) const {
    // Both match-option words callers use mean a plain match (see the header).
    Q_UNUSED(matchOptions);
    return copyMatchForUTF16(units(subject), subject.size(), range,
                             MatchDefault, range.location, error);
}

std::optional<QVRegexMatch> QVRegex::copyMatchForString(const QString& subject, QVRange range,
                                                        quint32 matchOptions, qint64 startLocation,
                                                        QVError* error) const {
    return copyMatchForUTF16(units(subject), subject.size(), range,
                             matchOptions, startLocation, error);
}

std::optional<QVRegexMatch> QVRegex::copyMatchForUTF16(const char16_t* units, qint64 length, QVRange range,
                                                       QVError* error) const {
    return copyMatchForUTF16(units, length, range, MatchDefault, range.location, error);
}

std::optional<QVRegexMatch> QVRegex::copyMatchForUTF16(const char16_t* units, qint64 length, QVRange range,
                                                       quint32 matchOptions, qint64 startLocation,
                                                       QVError* error) const {
    qint64 start = 0, count = 0;
    if (length < 0 || !clampRange(length, range, start, count))
        return std::nullopt;
    if (startLocation < start || startLocation > start + count)
        return std::nullopt;
    if (!units && count > 0)
        return std::nullopt;
    const bool retry = matchOptions & MatchNonEmptyAtStart;
    const Program<Width16>& program =
        retry ? programFor(_compiled->anchored16, _pattern, _options, true, compile16) : _compiled->plain16;
    if (!program.code)
        return std::nullopt;
    // The subject starts at the range, so anchors and lookbehind see only the range; matching
    // begins at the start offset, with the text before it still in view.
    bool tooComplex = false;
    auto match = run(program, _compiled->captures, units ? units + start : nullptr, count, startLocation - start,
                     retry ? PCRE2_NOTEMPTY_ATSTART : 0u, start, &tooComplex);
    if (tooComplex)
        qvSetError(error, tooComplexError());
    return match;
}

std::optional<QVRegexMatch> QVRegex::copyMatchForUTF8Data(const QByteArray& data, QVRange range,
                                                          QVError* error) const {
    return copyMatchForUTF8Data(data.constData(), data.size(), range, MatchDefault, range.location, error);
}

std::optional<QVRegexMatch> QVRegex::copyMatchForUTF8Data(const char* bytes, qint64 size, QVRange range,
                                                          QVError* error) const {
    return copyMatchForUTF8Data(bytes, size, range, MatchDefault, range.location, error);
}

std::optional<QVRegexMatch> QVRegex::copyMatchForUTF8Data(const QByteArray& data, QVRange range,
                                                          quint32 matchOptions, qint64 startLocation,
                                                          QVError* error) const {
    return copyMatchForUTF8Data(data.constData(), data.size(), range, matchOptions, startLocation, error);
}

std::optional<QVRegexMatch> QVRegex::copyMatchForUTF8Data(const char* bytes, qint64 size, QVRange range,
                                                          quint32 matchOptions, qint64 startLocation,
                                                          QVError* error) const {
    qint64 start = 0, count = 0;
    if (size < 0 || !clampRange(size, range, start, count))
        return std::nullopt;
    if (startLocation < start || startLocation > start + count)
        return std::nullopt;
    if (!bytes && count > 0)
        return std::nullopt;
    const bool retry = matchOptions & MatchNonEmptyAtStart;
    const Program<Width8>& program = programFor(retry ? _compiled->anchored8 : _compiled->plain8, _pattern,
                                                _options, retry, compile8);
    if (!program.code)
        return std::nullopt;
    bool tooComplex = false;
    auto match = run(program, _compiled->captures, bytes ? bytes + start : nullptr, count, startLocation - start,
                     retry ? PCRE2_NOTEMPTY_ATSTART : 0u, start, &tooComplex);
    if (tooComplex)
        qvSetError(error, tooComplexError());
    return match;
}
