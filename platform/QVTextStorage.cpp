// The editor's attributed text storage.
#include "platform/QVTextStorage.h"

#include <QColor>
#include <QFont>
#include <QHash>
#include <QStringList>
#include <QtDebug>

#include <algorithm>

QVTextStorage::QVTextStorage(qsizetype chunkSize) : _text(chunkSize) {}

// --- Characters -------------------------------------------------------------------------------

bool QVTextStorage::isValid(QVRange range) const {
    return range.location >= 0 && range.length >= 0 && range.location <= length() &&
           range.length <= length() - range.location;
}

QVError QVTextStorage::rangeError(QVRange range) const {
    return QVError::make(QStringLiteral("QVTextStorageErrorDomain"), 1,
                         QStringLiteral("The range {%1, %2} lies outside the text of %3 characters.")
                             .arg(range.location).arg(range.length).arg(length()));
}

QString QVTextStorage::string() const { return _text.string(); }

QString QVTextStorage::substring(QVRange range) const {
    if (!isValid(range)) return {};
    QString result(range.length, Qt::Uninitialized);
    _text.copyTo(range.location, range.length, reinterpret_cast<char16_t*>(result.data()));
    return result;
}

QStringView QVTextStorage::characters(QVRange range) const {
    if (!isValid(range) || range.length == 0) return {};
    // The whole text is asked for by readers that keep it (another thread, a save): joined into
    // one piece, it is not copied again, and stays put while nothing changes.
    if (range.length == length()) _text.join();
    return QStringView(_text.rangePointer(range.location, range.length), range.length);
}

QVError QVTextStorage::replaceCharacters(QVRange range, QStringView string) {
    if (!isValid(range)) return rangeError(range);
    if (range.length == 0 && string.isEmpty()) return {};
    releaseCharacterReader(range);
    beginEditing();
    const qint64 inserted = string.size();
    // A view of this very text is copied before anything it points to goes.
    _text.replace(range.location, range.length, reinterpret_cast<const char16_t*>(string.utf16()), inserted);
    _lines.replaced(range.location, range.length, inserted, _text);
    // An attachment belongs to its one U+FFFC: typed or pasted text never takes it over.
    for (Attribute& attribute : _attributes)
        attribute.runs.replace(range.location, range.length, inserted, attribute.name != AttachmentAttribute);
    ++_revision;
    ++_charactersRevision;
    noteEdit(EditedCharacters, range.location, range.length, inserted);
    endEditing();
    return {};
}

void QVTextStorage::replaceAllCharacters(TextUnits&& units, qsizetype length, qsizetype from) {
    replaceAll([&] { _text.adopt(std::move(units), length, from); });
}

void QVTextStorage::replaceAllCharacters(const QString& text) {
    if (text.isEmpty() && length() == 0) return;
    replaceAll([&] { _text.adopt(text); });
}

void QVTextStorage::replaceAll(const std::function<void()>& adopt) {
    releaseCharacterReader(QVRange(0, this->length()));
    beginEditing();
    const qint64 removed = this->length();
    adopt();
    const qint64 length = this->length();
    _lines.replaced(0, removed, length, _text);
    for (Attribute& attribute : _attributes)
        attribute.runs.replace(0, removed, length, attribute.name != AttachmentAttribute);
    ++_revision;
    ++_charactersRevision;
    noteEdit(EditedCharacters, 0, removed, length);
    endEditing();
}

void QVTextStorage::releaseCharacterReader(QVRange replaced) {
    // Taken out first: the reader may set itself again once it has stopped.
    if (std::function<void(QVRange)> release = std::exchange(_characterReader, {})) release(replaced);
}

// --- Attributes -------------------------------------------------------------------------------

QVTextStorage::Attribute* QVTextStorage::find(const QString& name) {
    return const_cast<Attribute*>(std::as_const(*this).find(name));
}

const QVTextStorage::Attribute* QVTextStorage::find(const QString& name) const {
    // The few names come with every token coloured, nearly always as copies of one string that
    // share its characters.
    for (const Attribute& attribute : _attributes)
        if (attribute.name.constData() == name.constData() && attribute.name.size() == name.size()) return &attribute;
    for (const Attribute& attribute : _attributes)
        if (attribute.name == name) return &attribute;
    return nullptr;
}

int QVTextStorage::setRunValue(const QString& name, QVRange range, const QVariant& value) {
    const bool watched = name == ParserAttribute || name == AttachmentAttribute;
    if (watched && !find(name) && !value.isValid()) return 0;
    RunArray& runs = runsFor(name);
    int flags = 0;
    if (watched) {
        // Colouring sets the parser again over every line it colours; the same value over the
        // whole range is no change.
        QVRange run;
        const QVariant& old = runs.valueAt(range.location, &run);
        if (!(RunArray::sameValue(old, value) && run.end() >= range.end())) flags = EditedParserOrAttachment;
    }
    runs.setValue(range, value);
    return flags;
}

RunArray& QVTextStorage::runsFor(const QString& name) {
    if (Attribute* attribute = find(name)) return attribute->runs;
    _attributes.push_back(Attribute{name, RunArray()});
    RunArray& runs = _attributes.back().runs;
    runs.replace(0, 0, length());
    return runs;
}

QVError QVTextStorage::setAttributes(const QVariantMap& attributes, QVRange range) {
    if (!isValid(range)) return rangeError(range);
    if (range.length == 0) return {};
    beginEditing();
    int flags = EditedAttributes;
    for (const QString& name : {ParserAttribute, AttachmentAttribute})
        if (!attributes.contains(name)) flags |= setRunValue(name, range, QVariant());
    for (Attribute& attribute : _attributes)
        if (!attributes.contains(attribute.name)) attribute.runs.setValue(range, QVariant());
    for (auto it = attributes.begin(); it != attributes.end(); ++it) flags |= setRunValue(it.key(), range, it.value());
    ++_revision;
    noteEdit(flags, range.location, range.length, range.length);
    endEditing();
    return {};
}

QVError QVTextStorage::addAttribute(const QString& name, const QVariant& value, QVRange range) {
    if (!isValid(range)) return rangeError(range);
    if (range.length == 0) return {};
    beginEditing();
    const int flags = EditedAttributes | setRunValue(name, range, value);
    ++_revision;
    noteEdit(flags, range.location, range.length, range.length);
    endEditing();
    return {};
}

QVError QVTextStorage::addAttributes(const QVariantMap& attributes, QVRange range) {
    if (!isValid(range)) return rangeError(range);
    if (range.length == 0 || attributes.isEmpty()) return {};
    beginEditing();
    int flags = EditedAttributes;
    // A range holds a break when a line starts inside it or at its end.
    const bool skipMultiLine = _multiLineAcrossLinesOnly && range.end() < length() &&
                               lineOfPosition(range.end()) == lineOfPosition(range.location);
    for (auto it = attributes.begin(); it != attributes.end(); ++it)
        if (!skipMultiLine || it.key() != MultiLineAttribute) flags |= setRunValue(it.key(), range, it.value());
    ++_revision;
    noteEdit(flags, range.location, range.length, range.length);
    endEditing();
    return {};
}

QVError QVTextStorage::removeAttribute(const QString& name, QVRange range) {
    if (!isValid(range)) return rangeError(range);
    if (range.length == 0) return {};
    beginEditing();
    int flags = EditedAttributes;
    if (find(name)) flags |= setRunValue(name, range, QVariant());
    ++_revision;
    noteEdit(flags, range.location, range.length, range.length);
    endEditing();
    return {};
}

QVariant QVTextStorage::attribute(const QString& name, qint64 index, QVRange* effectiveRange) const {
    if (index < 0 || index >= length()) {
        if (effectiveRange) *effectiveRange = QVRange(0, 0);
        return {};
    }
    const Attribute* attribute = find(name);
    if (!attribute) {
        if (effectiveRange) *effectiveRange = QVRange(0, length());
        return {};
    }
    return attribute->runs.valueAt(index, effectiveRange);
}

QVariant QVTextStorage::attribute(const QString& name, qint64 index, QVRange* longestEffectiveRange,
                                  QVRange inRange) const {
    const QVRange limit = inRange.intersection(QVRange(0, length()));
    if (limit.isNotFound() || !limit.contains(index)) {
        if (longestEffectiveRange) *longestEffectiveRange = QVRange(0, 0);
        return {};
    }
    QVRange run;
    QVariant value = attribute(name, index, &run);
    if (longestEffectiveRange) *longestEffectiveRange = run.intersection(limit);
    return value;
}

QVariantMap QVTextStorage::attributes(qint64 index, QVRange* effectiveRange) const {
    QVariantMap result;
    if (index < 0 || index >= length()) {
        if (effectiveRange) *effectiveRange = QVRange(0, 0);
        return result;
    }
    QVRange common(0, length());
    for (const Attribute& attribute : _attributes) {
        QVRange run;
        const QVariant& value = attribute.runs.valueAt(index, &run);
        if (value.isValid()) result.insert(attribute.name, value);
        common = common.intersection(run);
    }
    if (effectiveRange) *effectiveRange = common;
    return result;
}

QStringList QVTextStorage::attributeNames() const {
    QStringList names;
    for (const Attribute& attribute : _attributes) names << attribute.name;
    return names;
}

std::shared_ptr<QVTextAttachment> QVTextStorage::attachmentAt(qint64 index, QVRange* effectiveRange) const {
    return qvariant_cast<std::shared_ptr<QVTextAttachment>>(attribute(AttachmentAttribute, index, effectiveRange));
}

// --- Lines ------------------------------------------------------------------------------------

qint64 QVTextStorage::lineStart(qint64 line) const {
    return line >= 0 && line < lineCount() ? _lines.lineStart(line) : QVRange::NotFound;
}

QVRange QVTextStorage::lineRange(qint64 line) const {
    if (line < 0 || line >= lineCount()) return QVRange();
    const qint64 start = _lines.lineStart(line);
    return QVRange(start, _lines.lineStart(line + 1) - start);
}

qint64 QVTextStorage::lineContentsEnd(qint64 line) const {
    const QVRange range = lineRange(line);
    if (range.isNotFound()) return QVRange::NotFound;
    qint64 end = range.end();
    if (end > range.location && _text[end - 1] == u'\n') --end;
    if (end > range.location && _text[end - 1] == u'\r') --end;
    return end;
}

QVRange QVTextStorage::lineRangeForRange(QVRange range) const {
    const qint64 start = std::clamp<qint64>(range.location, 0, length());
    const qint64 end = std::clamp<qint64>(range.location == QVRange::NotFound ? start : range.location + std::max<qint64>(range.length, 0), start, length());
    const qint64 first = lineOfPosition(start);
    const qint64 last = end > start ? lineOfPosition(end - 1) : first;
    const qint64 from = _lines.lineStart(first);
    return QVRange(from, _lines.lineStart(last + 1) - from);
}

// --- Batches and observers --------------------------------------------------------------------

void QVTextStorage::beginEditing() { ++_editingDepth; }

void QVTextStorage::endEditing() {
    if (_editingDepth == 0) {
        qWarning("QVTextStorage: endEditing without beginEditing ignored");
        return;
    }
    if (--_editingDepth == 0) {
        // Nothing stays pending outside a batch, so that readers on other threads only read.
        // A batch of attributes alone reports only where values changed: re-colouring lines
        // that come out as they were (after most keystrokes) leaves their layouts alone.
        const bool attributesOnly = !(_pending.editedMask & EditedCharacters);
        qint64 from = -1, to = -1;
        for (Attribute& attribute : _attributes) {
            const QVRange changed = attribute.runs.takeChanges();
            if (changed.length == 0 || !attributesOnly) continue;
            from = from < 0 ? changed.location : std::min(from, changed.location);
            to = std::max(to, changed.end());
        }
        if (attributesOnly && _pending.editedMask) {
            const QVRange edited = _pending.editedRange;
            _pending.editedRange = from < 0 ? QVRange(edited.location, 0)
                                            : QVRange(from, to - from).intersection(edited);
            if (_pending.editedRange.isNotFound()) _pending.editedRange = QVRange(edited.location, 0);
        }
        verify(_pending.editedMask ? _pending.editedRange.length : 0);
        processEditing();
    }
}

// In builds with assertions, the storage proves itself after every outermost batch, before any
// observer sees the batch: the containers' lengths agree every time, and the full O(length)
// check() runs as often as keeps its cost near CheckBudget characters per batch (plus what the
// batch itself wrote). Small texts are checked after every batch; a large one within a few
// thousand edits, and at once after a batch as large as the text (loading it).
void QVTextStorage::verify([[maybe_unused]] qint64 edited) {
#ifndef QT_NO_DEBUG
    constexpr qint64 CheckBudget = 16 * 1024;
    Q_ASSERT_X(_lines.length() == length(), "QVTextStorage", "the line index does not span the text");
    for (const Attribute& attribute : _attributes)
        Q_ASSERT_X(attribute.runs.length() == length(), "QVTextStorage", "a run array does not span the text");
    _checkCredit += CheckBudget + edited;
    if (_checkCredit < length()) return;
    _checkCredit = 0;
    const QString problem = check();
    Q_ASSERT_X(problem.isEmpty(), "QVTextStorage", qUtf8Printable(problem));
#endif
}

void QVTextStorage::noteEdit(int mask, qint64 location, qint64 oldLength, qint64 newLength) {
    const qint64 delta = newLength - oldLength;
    if (_pending.editedMask == 0) {
        _pending.editedRange = QVRange(location, newLength);
        _pending.changeInLength = delta;
    } else {
        // Carry the range edited so far through this edit, then take in this edit's own range.
        const qint64 oldEnd = location + oldLength;
        auto carry = [&](qint64 p, bool isEnd) {
            if (p <= location) return p;
            if (p >= oldEnd) return p + delta;
            return isEnd ? location + newLength : location;
        };
        const QVRange before = _pending.editedRange;
        const qint64 start = std::min(carry(before.location, false), location);
        const qint64 end = std::max(carry(before.end(), true), location + newLength);
        _pending.editedRange = QVRange(start, end - start);
        _pending.changeInLength += delta;
    }
    _pending.editedMask |= mask;
}

void QVTextStorage::processEditing() {
    Edit edit = _pending;
    _pending = Edit();
    if (edit.editedMask == 0) return;
    edit.revision = _revision;
    if (_reporting) {
        _queued.push_back(edit);
        return;
    }
    _reporting = true;
    struct Done {
        QVTextStorage* storage;
        ~Done() {
            storage->_reporting = false;
            storage->_reported = Edit();
        }
    } done{this};
    report(edit);
    while (!_queued.empty()) {
        const Edit next = _queued.front();
        _queued.erase(_queued.begin());
        report(next);
    }
}

void QVTextStorage::report(const Edit& edit) {
    _reported = edit;
    const std::vector<ObserverEntry> observers = _observers;
    for (const ObserverEntry& entry : observers) {
        const bool stillThere = std::any_of(_observers.begin(), _observers.end(),
                                            [&](const ObserverEntry& e) { return e.token == entry.token; });
        if (stillThere) (*entry.observer)(edit);
    }
}

QVTextStorage::ObserverToken QVTextStorage::addObserver(Observer observer) {
    const ObserverToken token = _nextToken++;
    _observers.push_back(ObserverEntry{token, std::make_shared<Observer>(std::move(observer))});
    return token;
}

void QVTextStorage::removeObserver(ObserverToken token) {
    std::erase_if(_observers, [token](const ObserverEntry& e) { return e.token == token; });
}

// --- Tests ------------------------------------------------------------------------------------

namespace {

QString quoted(const QString& s) {
    QString out = QStringLiteral("\"");
    for (const QChar c : s) {
        if (c == u'"' || c == u'\\') out += u'\\', out += c;
        else if (c == u'\n') out += QStringLiteral("\\n");
        else if (c == u'\r') out += QStringLiteral("\\r");
        else if (c == u'\t') out += QStringLiteral("\\t");
        else out += c;
    }
    return out + u'"';
}

// Names values for the dump; objects get numbers in order of first appearance.
class ValueNamer {
public:
    QString name(const QVariant& value) {
        if (!value.isValid()) return QStringLiteral("none");
        const int type = value.metaType().id();
        if (type == QMetaType::QColor) {
            const QColor color = value.value<QColor>();
            return color.name(color.alpha() == 255 ? QColor::HexRgb : QColor::HexArgb);
        }
        if (type == QMetaType::QFont) return QStringLiteral("font(%1)").arg(value.value<QFont>().toString());
        if (type == QMetaType::QString) return quoted(value.toString());
        if (type == QMetaType::Bool) return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
        if (type < QMetaType::User && value.canConvert<QString>()) return value.toString();
        const QString label = value.metaType() == QMetaType::fromType<std::shared_ptr<QVTextAttachment>>()
                                  ? QStringLiteral("attachment")
                                  : QString::fromLatin1(value.metaType().name());
        auto it = std::find_if(_seen.begin(), _seen.end(),
                               [&](const QVariant& seen) { return RunArray::sameValue(seen, value); });
        qsizetype number;
        if (it != _seen.end()) {
            number = _numbers[it - _seen.begin()];
        } else {
            number = ++_counts[label];
            _seen.push_back(value);
            _numbers.push_back(number);
        }
        return QStringLiteral("%1#%2").arg(label).arg(number);
    }

private:
    std::vector<QVariant> _seen;
    std::vector<qsizetype> _numbers;
    QHash<QString, qsizetype> _counts;
};

}  // namespace

QString QVTextStorage::dump() const {
    std::vector<const Attribute*> sorted;
    for (const Attribute& attribute : _attributes)
        if (!attribute.runs.isEmpty()) sorted.push_back(&attribute);
    std::sort(sorted.begin(), sorted.end(), [](const Attribute* a, const Attribute* b) { return a->name < b->name; });
    ValueNamer namer;
    QString out;
    for (const Attribute* attribute : sorted) {
        out += attribute->name + u':';
        for (qsizetype r = 0; r < attribute->runs.runCount(); ++r) {
            const QVRange run = attribute->runs.runRange(r);
            out += QStringLiteral(" [%1,%2)=").arg(run.location).arg(run.end()) + namer.name(attribute->runs.runValue(r));
        }
        out += u'\n';
    }
    return out;
}

QString QVTextStorage::check() const {
    if (QString problem = _text.check(); !problem.isEmpty()) return QStringLiteral("text: ") + problem;
    if (QString problem = _lines.check(&_text); !problem.isEmpty()) return QStringLiteral("lines: ") + problem;
    for (const Attribute& attribute : _attributes) {
        if (QString problem = attribute.runs.check(); !problem.isEmpty())
            return attribute.name + QStringLiteral(": ") + problem;
        if (attribute.runs.length() != length())
            return QStringLiteral("%1: runs span %2 of %3 characters").arg(attribute.name).arg(attribute.runs.length()).arg(length());
    }
    if (_editingDepth < 0) return QStringLiteral("editing depth %1").arg(_editingDepth);
    return {};
}
