// The editor's attributed text: UTF-16 characters, attribute runs, line index and edit batches.
#pragma once

#include "platform/LineIndex.h"
#include "platform/PieceText.h"
#include "platform/QVError.h"
#include "platform/QVRange.h"
#include "platform/QVTextAttachment.h"
#include "platform/RunArray.h"

#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QStringView>
#include <QVariant>
#include <QVariantMap>

#include <functional>
#include <memory>
#include <utility>
#include <vector>

// Text and attributes of one document, sized for files of a gigabyte: the characters sit in pieces
// (see PieceText), each attribute name has its own run array, and line starts are indexed; an
// edit costs O(log n) plus what it touches plus a pass over the pieces, wherever the last edit was;
// lookups are O(log n).
//
// Attribute values are QVariants keyed by name; an invalid QVariant is "no value". Values of two
// runs are equal when their types match and they compare equal. Conventions:
// - colours are QColor, the font a QFont, "multi-line" a bool;
// - "parser" holds QVariant::fromValue(std::shared_ptr<P>) for the parser's own class P. Two such
//   values are equal when they point to the same parser, and objectOf<P>(value) answers the raw
//   pointer without copying, which is the cheap comparison for a parser asking "is this mine?";
// - "attachment" holds QVariant::fromValue(std::shared_ptr<QVTextAttachment>) over one U+FFFC.
//
// Every change goes through replaceCharacters() or the attribute setters, each of which bumps
// revision(). Changes are grouped in editing batches (beginEditing()/endEditing(), nested); a
// change made outside a batch is a batch of its own. When the outermost batch ends, observers
// get one Edit describing all its changes. Main thread only: work done elsewhere carries the
// revision it saw and is applied only when revision() still equals it.
class QVTextStorage {
public:
    static inline const QString ParserAttribute = QStringLiteral("parser");
    static inline const QString MultiLineAttribute = QStringLiteral("multi-line");
    static inline const QString ForegroundColorAttribute = QStringLiteral("foreground-color");
    static inline const QString BackgroundColorAttribute = QStringLiteral("background-color");
    static inline const QString FontAttribute = QStringLiteral("font");
    static inline const QString UnderlineAttribute = QStringLiteral("underline");
    static inline const QString AttachmentAttribute = QStringLiteral("attachment");

    // EditedParserOrAttachment: the "parser" or "attachment" attribute took another value
    // somewhere in the edit (colours alone leave it out, so watchers of those two skip them).
    enum EditedFlag { EditedCharacters = 0x1, EditedAttributes = 0x2, EditedParserOrAttachment = 0x4 };

    // What one outermost batch changed. editedRange is in the coordinates after the batch: the
    // union of every changed stretch, each carried through the later edits of the batch.
    // changeInLength is the new length minus the length before the batch.
    struct Edit {
        int editedMask = 0;
        QVRange editedRange;
        qint64 changeInLength = 0;
        quint64 revision = 0;  // revision() after the batch
        bool operator==(const Edit&) const = default;
    };
    using Observer = std::function<void(const Edit&)>;
    using ObserverToken = quint64;

    // chunkSize: how the characters are cut into pieces (see PieceText); tests make it small.
    explicit QVTextStorage(qsizetype chunkSize = PieceText::DefaultChunkSize);
    QVTextStorage(const QVTextStorage&) = delete;
    QVTextStorage& operator=(const QVTextStorage&) = delete;

    // --- Characters ---------------------------------------------------------------------------
    qint64 length() const { return _text.size(); }
    // The character at index; a null QChar outside [0, length()).
    QChar characterAt(qint64 index) const {
        return index >= 0 && index < length() ? QChar(_text[index]) : QChar();
    }
    // The whole text, sharing the storage's characters: an edited text's pieces are first joined
    // into one (as characters() over the whole text does, which ends earlier views); an unedited
    // file's characters are copied.
    QString string() const;
    // How many times the pieces were joined for a whole-text view or string().
    quint64 wholeTextJoins() const { return _text.joins(); }
    // A copy of the range; an empty string for a range outside the text.
    QString substring(QVRange range) const;
    // The range as one contiguous view; an empty view for a range outside the text. In place
    // when one piece holds the range, else a copy (const for callers, not for threads); the whole
    // text is joined into one piece, which ends earlier views. A view ends with the next change
    // of the characters (copies, also once they hold tens of megabytes). segments() reads a long
    // range without a copy.
    QStringView characters(QVRange range) const;
    // How far from position characters() reads in place (position itself at or past the end).
    qint64 contiguousEnd(qint64 position) const {
        return position >= 0 && position < length() ? _text.pieceEnd(position) : std::max<qint64>(position, 0);
    }
    // Calls f(QStringView) on consecutive parts of the range, in order, copying nothing; the views
    // are valid until the next change of the characters. Nothing for a range outside the text.
    template <typename F>
    void segments(QVRange range, F&& f) const {
        if (!isValid(range)) return;
        _text.forEachSegment(range.location, range.length, [&](std::span<const char16_t> part) {
            f(QStringView(part.data(), qsizetype(part.size())));
        });
    }

    // The one primitive for text changes: replaces range by string. The new characters take
    // the attributes of the first replaced character, or with an empty range, of the character
    // before (at 0, of the first character), except the attachment, which stays with its own
    // character. A range outside the text is refused with an error and changes nothing.
    QVError replaceCharacters(QVRange range, QStringView string);
    // The whole text replaced by the first `length` units of units, taken over without a copy
    // (the units past them are room for typing): the edit replaceCharacters makes over the
    // whole text, for a file's text decoded straight into its final place.
    // The text may begin past the first units: at from.
    void replaceAllCharacters(TextUnits&& units, qsizetype length, qsizetype from = 0);
    // The whole text replaced by text, whose characters are shared rather than copied.
    void replaceAllCharacters(const QString& text);

    // --- Attributes ---------------------------------------------------------------------------
    // Gives every character of range exactly these attributes (others are removed).
    QVError setAttributes(const QVariantMap& attributes, QVRange range);
    // Sets one attribute over range; an invalid value removes it.
    QVError addAttribute(const QString& name, const QVariant& value, QVRange range);
    QVError addAttributes(const QVariantMap& attributes, QVRange range);
    QVError removeAttribute(const QString& name, QVRange range);
    // With this on, addAttributes() sets MultiLineAttribute only over a range that holds a line
    // break or reaches the end of the text. An editor that reads the mark only at line ends
    // (whether a line ends inside a string or comment) loses nothing, and a page dense with
    // quoted values holds a third fewer runs once coloured.
    void setMultiLineMarksAcrossLinesOnly(bool flag) { _multiLineAcrossLinesOnly = flag; }

    // The value of one attribute at index and, when asked, its effective range: the whole run
    // of that value, which is also the longest one. An index outside the text gives an invalid
    // value and the range (0, 0).
    QVariant attribute(const QString& name, qint64 index, QVRange* effectiveRange = nullptr) const;
    // The same with the run cut to inRange (itself cut to the text); an index outside inRange
    // is treated like one outside the text.
    QVariant attribute(const QString& name, qint64 index, QVRange* longestEffectiveRange, QVRange inRange) const;
    // Every attribute at index and the range around it over which none of them changes (not
    // always the longest such range). An index outside the text gives none and the range (0, 0).
    QVariantMap attributes(qint64 index, QVRange* effectiveRange = nullptr) const;
    // The names that have a run array, in order of first use (values may all be removed).
    QStringList attributeNames() const;

    // The object a shared-pointer value points to, without copying the pointer; null when the
    // value holds anything but a std::shared_ptr<T>.
    template <typename T>
    static T* objectOf(const QVariant& value) {
        if (value.metaType() != QMetaType::fromType<std::shared_ptr<T>>()) return nullptr;
        return static_cast<const std::shared_ptr<T>*>(value.constData())->get();
    }
    // The attachment at index and its run; null when there is none.
    std::shared_ptr<QVTextAttachment> attachmentAt(qint64 index, QVRange* effectiveRange = nullptr) const;

    // --- Lines --------------------------------------------------------------------------------
    // Lines end after "\n", "\r\n" or a lone "\r"; a text ending with a break has an empty last
    // line, and the empty text has one line.
    qint64 lineCount() const { return _lines.lineCount(); }
    // The line holding position (clamped to [0, length()]).
    qint64 lineOfPosition(qint64 position) const { return _lines.lineOfPosition(position); }
    // Start of line, or NotFound for a line outside [0, lineCount()).
    qint64 lineStart(qint64 line) const;
    // The line with its break; NotFound for a line outside [0, lineCount()).
    QVRange lineRange(qint64 line) const;
    // The end of the line's text before its break.
    qint64 lineContentsEnd(qint64 line) const;
    // The whole lines that range touches, breaks included (range clamped to the text).
    QVRange lineRangeForRange(QVRange range) const;

    // --- Batches, revision, observers ---------------------------------------------------------
    void beginEditing();
    // Ends a batch; the outermost end reports. An end without a begin is ignored (with a warning).
    void endEditing();
    int editingDepth() const { return _editingDepth; }
    // The batch being built or reported: mask 0, range NotFound and change 0 outside of that.
    int editedMask() const { return current().editedMask; }
    QVRange editedRange() const { return current().editedRange; }
    qint64 changeInLength() const { return current().changeInLength; }

    // Bumped by every change (an empty attribute range or an empty replace by "" is no change).
    quint64 revision() const { return _revision; }
    // Bumped only by changes of the characters (colours and other attributes leave it).
    quint64 charactersRevision() const { return _charactersRevision; }

    // Observers run after the outermost end of every batch, in the order they were added. One
    // may change the storage: its changes form a new batch, reported once this report is done.
    // Removing an observer (also from inside a report) stops its calls at once.
    ObserverToken addObserver(Observer observer);
    void removeObserver(ObserverToken token);
    // A reader on another thread may hold a view of the characters (of one piece: characters()
    // over the whole text of a single piece moves nothing until they change) while it reads: release is called with
    // the range about to be replaced before any character changes, and returns once the reader
    // has stopped reading. One reader at a time; an empty function removes it.
    void setCharacterReader(std::function<void(QVRange replaced)> release) { _characterReader = std::move(release); }

    // --- Tests --------------------------------------------------------------------------------
    // Every attribute that has a value somewhere, sorted by name, one line each:
    // `name: [0,4)=#ff0000 [4,9)=none`. Objects behind shared pointers are numbered in order of
    // appearance ("attachment#1"), so the dump of a state does not depend on addresses.
    QString dump() const;
    // Empty when every container holds its invariants, the line index matches the text
    // (O(length)) and every run array spans the text; otherwise what is wrong. Builds with
    // assertions run it after every outermost batch (sampled on large texts, see verify()).
    QString check() const;

private:
    struct Attribute {
        QString name;
        RunArray runs;
    };
    Attribute* find(const QString& name);
    const Attribute* find(const QString& name) const;
    RunArray& runsFor(const QString& name);
    // Sets name's value over range; the edit flags it sets (EditedParserOrAttachment or none).
    int setRunValue(const QString& name, QVRange range, const QVariant& value);
    bool isValid(QVRange range) const;
    QVError rangeError(QVRange range) const;
    // The edit of replaceAllCharacters(): adopt puts the new text in place.
    void replaceAll(const std::function<void()>& adopt);
    void noteEdit(int mask, qint64 location, qint64 oldLength, qint64 newLength);
    void verify(qint64 edited);
    void processEditing();
    void report(const Edit& edit);
    const Edit& current() const { return _editingDepth > 0 ? _pending : _reported; }

    mutable PieceText _text;  // characters() joins the pieces for a whole-text view
    LineIndex _lines;
    std::vector<Attribute> _attributes;

    int _editingDepth = 0;
    Edit _pending;   // the open batch
    Edit _reported;  // the batch being reported
    std::vector<Edit> _queued;  // batches ended while observers were being told of another
    bool _reporting = false;
    bool _multiLineAcrossLinesOnly = false;
    quint64 _revision = 0;
    quint64 _charactersRevision = 0;
    qint64 _checkCredit = 0;  // characters of checking earned since the last full check()

    struct ObserverEntry {
        ObserverToken token;
        std::shared_ptr<Observer> observer;
    };
    std::vector<ObserverEntry> _observers;
    ObserverToken _nextToken = 1;
    std::function<void(QVRange)> _characterReader;
    void releaseCharacterReader(QVRange replaced);
};
