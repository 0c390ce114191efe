// Reading and writing the indexing rules of a bundle, and running them over a file's UTF-8 bytes.
#include "completion/QVCodeIndexer.h"

#include "completion/QVPathResolver.h"
#include "languages/QVBundle.h"
#include "languages/QVBundleRepository.h"
#include "platform/PropertyList.h"
#include "platform/QVRegex.h"
#include "platform/SystemLog.h"
#include "platform/TextEncoding.h"
#include "shell/Defaults.h"
#include "shell/FileEncodings.h"
#include "shell/QVFileCategories.h"

#include <QDir>
#include <QFile>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

const QString kPathResolution = QStringLiteral("pathResolution");
const QString kExternalFiles = QStringLiteral("external-files");
const QString kTags = QStringLiteral("tags");
const QString kIncludes = QStringLiteral("includes");
const QString kKeys = QStringLiteral("keys");
const QString kPreRemoveKeys = QStringLiteral("pre-remove-keys");
const QString kRemove = QStringLiteral("remove");
const QString kComments = QStringLiteral("comments");
const QString kEnabled = QStringLiteral("enabled");
const QString kFormatVersion = QStringLiteral("format-version");
const QString kIdentifier = QStringLiteral("id");
const QString kBegin = QStringLiteral("begin");
const QString kEnd = QStringLiteral("end");
const QString kType = QStringLiteral("type");
const QString kPattern = QStringLiteral("pattern");
const QString kKey = QStringLiteral("key");
const QString kCompletion = QStringLiteral("completion");

bool isString(const QVariant& value) { return value.typeId() == QMetaType::QString; }

QList<std::shared_ptr<const QVRegex>> compiledPatterns(const QVariant& value) {
    QList<std::shared_ptr<const QVRegex>> patterns;
    for (const QVariant& item : value.toList()) {
        if (!isString(item)) continue;
        if (auto regex = QVRegex::create(item.toString())) patterns.append(std::move(regex));
    }
    return patterns;
}

QList<QVSearch> searches(const QVariant& value) {
    QList<QVSearch> list;
    for (const QVariant& item : value.toList()) {
        if (!isString(item) || !QVSearch::validRegexSearch(item.toString())) continue;
        list.append(QVSearch::withExpressionString(item.toString(), false));
    }
    return list;
}

// A capture number as the rules store it: an integer, or anything that reads as one.
int captureNumber(const QVariant& value) {
    bool ok = false;
    const int number = value.toInt(&ok);
    return ok ? number : 0;
}

QStringList patternStrings(const QList<std::shared_ptr<const QVRegex>>& patterns) {
    QStringList strings;
    for (const auto& pattern : patterns) strings.append(pattern->pattern());
    return strings;
}

// Whether the bytes are ASCII from i on for sixteen bytes.
inline bool asciiBlock(const unsigned char* s, qsizetype i) {
    quint64 a, b;
    std::memcpy(&a, s + i, 8);
    std::memcpy(&b, s + i + 8, 8);
    return ((a | b) & 0x8080808080808080ULL) == 0;
}

bool isValidUtf8(const char* bytes, qsizetype size) {
    const auto* s = reinterpret_cast<const unsigned char*>(bytes);
    qsizetype i = 0;
    while (i < size) {
        // Source text is mostly ASCII: sixteen bytes at a time while it is.
        if (i + 16 <= size && asciiBlock(s, i)) {
            i += 16;
            continue;
        }
        const unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        int length;
        unsigned minimum;
        unsigned code;
        if ((c & 0xE0) == 0xC0) {
            length = 2, minimum = 0x80, code = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            length = 3, minimum = 0x800, code = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            length = 4, minimum = 0x10000, code = c & 0x07;
        } else {
            return false;
        }
        if (i + length > size) return false;
        for (int k = 1; k < length; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
            code = (code << 6) | (s[i + k] & 0x3F);
        }
        if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        i += length;
    }
    return true;
}

bool isAscii(const QByteArray& bytes) {
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.constData());
    qsizetype i = 0;
    for (; i + 16 <= bytes.size(); i += 16)
        if (!asciiBlock(s, i)) return false;
    return std::all_of(bytes.cbegin() + i, bytes.cend(), [](char c) { return (static_cast<unsigned char>(c) & 0x80) == 0; });
}

// Encodings in which ASCII bytes read as themselves, so pure-ASCII text needs no decoding.
bool readsAsciiAsItself(QVStringEncoding encoding) {
    switch (encoding) {
    case TextEncoding::ASCII:
    case TextEncoding::JapaneseEUC:
    case TextEncoding::UTF8:
    case TextEncoding::ISOLatin1:
    case TextEncoding::ISOLatin2:
    case TextEncoding::WindowsCP1251:
    case 12:  // Windows 1252
    case TextEncoding::WindowsCP1253:
    case TextEncoding::WindowsCP1254:
    case TextEncoding::WindowsCP1250:
    case TextEncoding::MacOSRoman:
        return true;
    default:
        return false;
    }
}

// The text of a capture, or nothing when the capture took no part in the match, lies outside
// the data or is not valid UTF-8 (deletions may have cut a character in two).
std::optional<QString> captureText(const QByteArray& data, const QVRegexMatch& match, int capture) {
    if (capture < 0 || capture >= match.count()) return std::nullopt;
    const QVRange range = match.rangeForCapture(capture);
    if (range.isNotFound() || range.location < 0 || range.end() > data.size()) return std::nullopt;
    const char* bytes = data.constData() + range.location;
    if (!isValidUtf8(bytes, qsizetype(range.length))) return std::nullopt;
    return QString::fromUtf8(bytes, qsizetype(range.length));
}

// The start of the character after the one at position.
qint64 nextCharacter(const QByteArray& data, qint64 position) {
    qint64 next = position + 1;
    while (next < data.size() && (static_cast<unsigned char>(data.at(next)) & 0xC0) == 0x80) ++next;
    return next;
}

// A rule that gives up on a file (its pattern is too complex for the text) is skipped for the
// rest of that file; the file's other rules still run.
void logSkippedRule(const QString& pattern, const QString& path) {
    SystemLog::warning(QStringLiteral("The code index skipped a rule for \"%1\": the pattern \"%2\" is too complex "
                                      "for the file.").arg(path, pattern));
}

// Calls visit for every match of the pattern over the whole data, in order; visit answers the
// end of the part of the match it used, from where the next search starts. A search always
// moves on: after an empty match, or when the part used ends where the search began, the next
// one starts a character further, so patterns that match the empty string cannot loop.
template <class Visit>
void scan(const QVRegex& pattern, const QByteArray& data, const QString& path, Visit&& visit) {
    const qint64 size = data.size();
    const QVRange whole(0, size);
    qint64 from = 0;
    while (from <= size) {
        QVError error;
        const std::optional<QVRegexMatch> match =
            pattern.copyMatchForUTF8Data(data, whole, QVRegex::MatchDefault, from, &error);
        if (error) logSkippedRule(pattern.pattern(), path);
        if (!match) break;
        const QVRange range = match->rangeForCapture(0);
        if (range.isNotFound()) break;
        qint64 next = visit(*match);
        if (range.length == 0) next = std::max(next, nextCharacter(data, range.location));
        else if (next <= from) next = range.end();
        from = next;
    }
}

}  // namespace

struct QVCodeIndexer::Run {
    QVBundleRepository* repository = nullptr;
    // The indexers, and their bundles, working on the text, outermost first.
    QList<const QVCodeIndexer*> indexers;
    QList<const QVBundle*> bundles;
};

QVCodeIndexer::QVCodeIndexer(const std::shared_ptr<QVBundle>& bundle, const QVariantMap& plist) : _bundle(bundle) {
    const QVariant resolution = plist.value(kPathResolution);
    if (isString(resolution)) {
        _pathResolution = resolution.toString();
        _fileResolver = QVPathResolver::resolverNamed(_pathResolution);
    }
    if (!_fileResolver) _fileResolver = &QVPathResolver::sharedResolver();

    _filePatterns = compiledPatterns(plist.value(kExternalFiles));
    _tagPatterns = compiledPatterns(plist.value(kTags));

    for (const QVariant& item : plist.value(kIncludes).toList()) {
        if (item.typeId() != QMetaType::QVariantMap) continue;
        IncludeRule rule;
        rule.definition = item.toMap();
        rule.identifier = rule.definition.value(kIdentifier).toString();
        const QVariant begin = rule.definition.value(kBegin);
        const QVariant end = rule.definition.value(kEnd);
        if (isString(begin)) rule.begin = QVRegex::create(begin.toString());
        if (isString(end)) rule.end = QVRegex::create(end.toString());
        _includes.append(rule);
    }

    const auto keyRules = [](const QVariant& value) {
        QList<KeyRule> rules;
        for (const QVariant& item : value.toList()) {
            if (item.typeId() != QMetaType::QVariantMap) continue;
            KeyRule rule;
            rule.definition = item.toMap();
            const QVariant pattern = rule.definition.value(kPattern);
            if (!isString(pattern)) continue;
            rule.pattern = QVRegex::create(pattern.toString());
            if (!rule.pattern) continue;
            const QVariant type = rule.definition.value(kType);
            if (isString(type)) rule.type = type.toString();
            rule.keyCapture = captureNumber(rule.definition.value(kKey));
            rule.completionCapture = captureNumber(rule.definition.value(kCompletion));
            rules.append(rule);
        }
        return rules;
    };
    _keys = keyRules(plist.value(kKeys));
    _preRemoveKeys = keyRules(plist.value(kPreRemoveKeys));
    _remove = searches(plist.value(kRemove));
    _comments = searches(plist.value(kComments));

    // A boolean; a number stands for one, as hand-written lists sometimes have it.
    const QVariant enabled = plist.value(kEnabled);
    if (PropertyList::isFlag(enabled)) _enabled = enabled.toBool() ? EnabledOn : EnabledOff;
}

QVCodeIndexer::~QVCodeIndexer() = default;

void QVCodeIndexer::registerFactory() {
    static std::once_flag once;
    std::call_once(once, [] {
        QVBundle::registerIndexerFactory(
            [](const std::shared_ptr<QVBundle>& bundle, const QVariantMap& definition) -> std::shared_ptr<QVBundleComponent> {
                return std::make_shared<QVCodeIndexer>(bundle, definition);
            });
    });
}

std::shared_ptr<QVCodeIndexer> QVCodeIndexer::indexerForPath(const QString& path, QVBundleRepository* repository) {
    registerFactory();
    QVBundleRepository& registry = repository ? *repository : QVBundleRepository::sharedRepository();
    const std::shared_ptr<QVBundle> bundle = registry.bundleForFileCategory(QString(), QVFileCategories::pathExtension(path));
    if (!bundle) return nullptr;
    auto indexer = std::dynamic_pointer_cast<QVCodeIndexer>(bundle->codeIndexer());
    if (!indexer || indexer->enabled() == EnabledOff) return nullptr;
    return indexer;
}

QString QVCodeIndexer::indexClass() const {
    const std::shared_ptr<QVBundle> owner = _bundle.lock();
    return owner ? owner->identifier() : QString();
}

// ---- reading a file ---------------------------------------------------------------------------

std::optional<QByteArray> QVCodeIndexer::readUTF8Text(const QString& path, QVError* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qvSetError(error, QVError::posix(errno ? errno : EACCES, QStringLiteral("read the file"), path));
        return std::nullopt;
    }
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        qvSetError(error, QVError::posix(errno ? errno : EIO, QStringLiteral("read the file"), path));
        return std::nullopt;
    }

    QVStringEncoding encoding = FileEncodings::encodingFromFileName(path);
    if (!encoding) encoding = FileEncodings::encodingFromContents(bytes);
    if (!encoding) encoding = FileEncodings::defaultEncoding();

    QByteArray utf8;
    // Most files are UTF-8 or plain ASCII already: decoding and encoding them again would give
    // the same bytes, so they are taken as they are.
    if ((encoding == TextEncoding::UTF8 && isValidUtf8(bytes.constData(), bytes.size())) ||
        (readsAsciiAsItself(encoding) && isAscii(bytes))) {
        utf8 = std::move(bytes);
        if (utf8.startsWith("\xEF\xBB\xBF")) utf8.remove(0, 3);
    } else {
        const std::optional<QString> text = FileEncodings::createWithData(bytes, path, &encoding);
        if (text) utf8 = text->toUtf8();
    }
    const qsizetype zero = utf8.indexOf('\0');
    if (zero >= 0) utf8.truncate(zero);
    return utf8;
}

// ---- running the rules ------------------------------------------------------------------------

std::optional<QVCodeIndexer::Output> QVCodeIndexer::runOnFile(const QString& path, QVBundleRepository* repository,
                                                              QVError* error) const {
    std::optional<QByteArray> data = readUTF8Text(path, error);
    if (!data) return std::nullopt;
    return runOnData(*data, path, repository);
}

QVCodeIndexer::Output QVCodeIndexer::runOnData(QByteArray& data, const QString& path,
                                               QVBundleRepository* repository) const {
    registerFactory();
    Run run;
    run.repository = repository ? repository : &QVBundleRepository::sharedRepository();
    return runNested(data, path, run);
}

QVCodeIndexer::Output QVCodeIndexer::runNested(QByteArray& data, const QString& path, Run& run) const {
    const std::shared_ptr<QVBundle> owner = _bundle.lock();
    run.indexers.append(this);
    run.bundles.append(owner.get());
    Output output;
    const QString keyClass = owner ? owner->identifier() : QString();

    const auto deleteMatches = [&data, &path](const QList<QVSearch>& list) {
        for (const QVSearch& search : list) {
            // What was found before a pattern gave up is still removed.
            QVError error;
            const QList<QVSearchResult> found = search.findAllForUTF8Data(data, false, &error);
            if (error) logSkippedRule(search.searchString(), path);
            if (found.isEmpty()) continue;
            // The matches come in order and never overlap: copy what lies between them.
            QByteArray kept;
            kept.reserve(data.size());
            qint64 copied = 0;
            for (const QVSearchResult& result : found) {
                const QVRange range = result.range();
                if (range.location < copied || range.end() > data.size()) break;
                kept.append(data.constData() + copied, qsizetype(range.location - copied));
                copied = range.end();
            }
            kept.append(data.constData() + copied, qsizetype(data.size() - copied));
            data = std::move(kept);
        }
    };

    deleteMatches(_comments);
    handIncludes(data, path, run, output);

    for (const auto& pattern : _tagPatterns) {
        scan(*pattern, data, path, [&](const QVRegexMatch& match) -> qint64 {
            const int capture = match.count() >= 2 ? 1 : 0;
            const QVRange range = match.rangeForCapture(capture);
            if (range.isNotFound()) return match.rangeForCapture(0).end();
            const std::optional<QString> text = captureText(data, match, capture);
            if (text && !text->isEmpty()) output.tags.append(*text);
            return range.end();
        });
    }

    for (const auto& pattern : _filePatterns) {
        scan(*pattern, data, path, [&](const QVRegexMatch& match) -> qint64 {
            const int capture = match.count() >= 2 ? 1 : 0;
            const QVRange range = match.rangeForCapture(capture);
            if (range.isNotFound()) return match.rangeForCapture(0).end();
            const std::optional<QString> text = captureText(data, match, capture);
            if (text && !text->isEmpty()) {
                bool isTag = false;
                const QString resolved = _fileResolver->pathForString(*text, path, &isTag);
                if (!resolved.isNull()) {
                    if (isTag) output.referencedTags.append(resolved);
                    else output.referencedFiles.append(QDir::cleanPath(resolved));
                }
            }
            return range.end();
        });
    }

    appendKeys(_preRemoveKeys, data, path, keyClass, output);
    deleteMatches(_remove);
    appendKeys(_keys, data, path, keyClass, output);

    run.indexers.removeLast();
    run.bundles.removeLast();
    return output;
}

void QVCodeIndexer::appendKeys(const QList<KeyRule>& rules, const QByteArray& data, const QString& path,
                               const QString& keyClass, Output& output) const {
    QSet<QString> seen;
    for (const KeyRule& rule : rules) {
        scan(*rule.pattern, data, path, [&](const QVRegexMatch& match) -> qint64 {
            const qint64 end = match.rangeForCapture(0).end();
            const std::optional<QString> key = captureText(data, match, rule.keyCapture);
            if (!key || key->isEmpty() || seen.contains(*key)) return end;
            const std::optional<QString> completion = captureText(data, match, rule.completionCapture);
            if (!completion) return end;
            QVCodeIndexKey found(*key, *completion);
            found.setType(rule.type);
            found.setClassString(keyClass);
            output.results.append(std::move(found));
            seen.insert(*key);
            return end;
        });
    }
}

void QVCodeIndexer::handIncludes(QByteArray& data, const QString& path, Run& run, Output& output) const {
    for (const IncludeRule& rule : _includes) {
        if (!rule.begin || !rule.end) continue;
        const std::shared_ptr<QVBundle> otherBundle = run.repository->bundleForIdentifier(rule.identifier);
        if (!otherBundle) continue;
        const auto other = std::dynamic_pointer_cast<QVCodeIndexer>(otherBundle->codeIndexer());
        if (!other) continue;
        // A language already working on this text (directly or through others) is not asked
        // again: rules that include each other would otherwise never end.
        if (run.indexers.contains(other.get()) || run.bundles.contains(otherBundle.get()) ||
            run.indexers.size() >= MaximumIncludeDepth)
            continue;

        const qint64 size = data.size();
        const QVRange whole(0, size);
        qint64 from = 0;
        while (from <= size) {
            QVError error;
            const auto begin = rule.begin->copyMatchForUTF8Data(data, whole, QVRegex::MatchDefault, from, &error);
            if (error) logSkippedRule(rule.begin->pattern(), path);
            if (!begin) break;
            const QVRange beginRange = begin->rangeForCapture(0);
            // An end that gives up leaves the section running to the end of the text.
            const auto end = rule.end->copyMatchForUTF8Data(data, whole, QVRegex::MatchDefault, beginRange.end(), &error);
            if (error) logSkippedRule(rule.end->pattern(), path);
            const qint64 sectionEnd = end ? std::max(end->rangeForCapture(0).end(), beginRange.end()) : size;
            const qint64 length = sectionEnd - beginRange.location;

            QByteArray section = data.mid(qsizetype(beginRange.location), qsizetype(length));
            Output nested = other->runNested(section, path, run);
            output.results.append(nested.results);
            output.referencedFiles.append(nested.referencedFiles);
            // This language's own rules must not see the section.
            if (length > 0) std::memset(data.data() + beginRange.location, 0, size_t(length));

            from = length > 0 ? sectionEnd : nextCharacter(data, beginRange.location);
        }
    }
}

// ---- runs that keep their outputs -------------------------------------------------------------

void QVCodeIndexer::keepOutput(const Output& output) {
    std::lock_guard locker(_outputLock);
    _output = output;
}

QList<QVCodeIndexKey> QVCodeIndexer::indexFile(const QString& path, QVBundleRepository* repository) {
    const Output output = runOnFile(path, repository).value_or(Output());
    keepOutput(output);
    return output.results;
}

QList<QVCodeIndexKey> QVCodeIndexer::indexUTF8Data(QByteArray& data, const QString& path,
                                                   QVBundleRepository* repository) {
    const Output output = runOnData(data, path, repository);
    keepOutput(output);
    return output.results;
}

QList<QVCodeIndexKey> QVCodeIndexer::results() const {
    std::lock_guard locker(_outputLock);
    return _output.results;
}

QStringList QVCodeIndexer::referencedFiles() const {
    std::lock_guard locker(_outputLock);
    return _output.referencedFiles;
}

QStringList QVCodeIndexer::referencedTags() const {
    std::lock_guard locker(_outputLock);
    return _output.referencedTags;
}

QStringList QVCodeIndexer::tags() const {
    std::lock_guard locker(_outputLock);
    return _output.tags;
}

// ---- writing ----------------------------------------------------------------------------------

QVariantMap QVCodeIndexer::plistRepresentation() const {
    QVariantMap plist;
    plist.insert(kFormatVersion, QStringLiteral("1.0"));
    const Enabled enabled = _enabled.load();
    if (enabled == EnabledOn) plist.insert(kEnabled, true);
    else if (enabled == EnabledOff) plist.insert(kEnabled, false);

    const auto searchStrings = [](const QList<QVSearch>& list) {
        QStringList strings;
        for (const QVSearch& search : list) strings.append(search.searchString());
        return strings;
    };
    if (!_remove.isEmpty()) plist.insert(kRemove, searchStrings(_remove));
    if (!_comments.isEmpty()) plist.insert(kComments, searchStrings(_comments));

    const auto definitions = [](const auto& rules) {
        QVariantList list;
        for (const auto& rule : rules) list.append(rule.definition);
        return list;
    };
    if (!_keys.isEmpty()) plist.insert(kKeys, definitions(_keys));
    if (!_preRemoveKeys.isEmpty()) plist.insert(kPreRemoveKeys, definitions(_preRemoveKeys));
    if (!_filePatterns.isEmpty()) plist.insert(kExternalFiles, patternStrings(_filePatterns));
    if (!_includes.isEmpty()) plist.insert(kIncludes, definitions(_includes));
    // Not edited anywhere, but written back so that a rewritten file keeps what it said.
    if (!_tagPatterns.isEmpty()) plist.insert(kTags, patternStrings(_tagPatterns));
    if (!_pathResolution.isEmpty()) plist.insert(kPathResolution, _pathResolution);
    return plist;
}

QStringList QVCodeIndexer::definitionKeys() const {
    return {kFormatVersion, kEnabled,      kRemove,   kComments, kKeys,
            kPreRemoveKeys, kExternalFiles, kIncludes, kTags,     kPathResolution};
}

bool QVCodeIndexer::commitToPath(const QString& folder, QVError* error) const {
    return Defaults::writePlist(plistRepresentation(), folder + QLatin1Char('/') + FileName,
                                int(PlistFormat::Binary), error);
}

namespace {
// Bundles build their indexer through this class as soon as it is linked in.
const bool kFactoryRegistered = (QVCodeIndexer::registerFactory(), true);
}  // namespace
