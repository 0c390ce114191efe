// Enumeration of matches that always moves forward and ends.
#include "shell/QVSearchEnumerator.h"

QVSearchEnumerator::QVSearchEnumerator(const QVSearch& search, const QString& string)
    : _search(search), _string(string) {
    _exhausted = string.isNull() || !_search.canMatch();
}

QVSearchEnumerator::QVSearchEnumerator(const QVSearch& search, const QByteArray& utf8Data)
    : _search(search), _data(utf8Data), _overData(true) {
    _exhausted = utf8Data.isNull() || !_search.isRegularExpression();
}

QVRange QVSearchEnumerator::matchFrom(qint64 start, bool nonEmptyAtStart) {
    return _overData ? _search.nextMatchInUTF8Data(_data, start, nonEmptyAtStart, &_error)
                     : _search.nextMatchInString(_string, start, nonEmptyAtStart, &_error);
}

qint64 QVSearchEnumerator::stepOver(qint64 p) const {
    const qint64 size = _overData ? _data.size() : _string.size();
    qint64 next = p + 1;
    if (_overData) {
        // A CR LF pair is one line break: an anchor must not find the place between them.
        if (_data.at(p) == '\r' && next < size && _data.at(next) == '\n')
            return next + 1;
        for (int i = 0; i < 3 && next < size && (quint8(_data.at(next)) & 0xC0) == 0x80; ++i)
            ++next;
    } else {
        if (_string.at(p) == u'\r' && next < size && _string.at(next) == u'\n')
            return next + 1;
        if (next < size && _string.at(next).isLowSurrogate() && _string.at(p).isHighSurrogate())
            ++next;
    }
    return next;
}

std::optional<QVSearchResult> QVSearchEnumerator::nextObject() {
    if (_exhausted)
        return std::nullopt;
    const qint64 size = _overData ? _data.size() : _string.size();
    // A search never starts at the end of the text.
    auto from = [this, size](qint64 start, bool nonEmptyAtStart) {
        return start < size ? matchFrom(start, nonEmptyAtStart) : QVRange();
    };
    QVRange found;
    qint64 start = 0;
    if (!_matched) {
        found = from(0, false);
    } else if (_range.length > 0) {
        start = _range.end();
        found = from(start, false);
    } else {
        // After an empty match: a longer one at the same place, else on from the next character.
        start = _range.location;
        found = from(start, true);
        if (found.isNotFound() && start < size && !_error) {
            start = stepOver(start);
            found = from(start, false);
        }
    }
    // A match that does not move forward (a misbehaving range) ends the walk rather than loop.
    if (found.isNotFound() || found.location < start || found.end() > size ||
        (_matched && found == _range)) {
        _exhausted = true;
        return std::nullopt;
    }
    _range = found;
    _matched = true;
    if (_returnJustRanges || _overData)
        return QVSearchResult(found);
    return QVSearchResult(found, _string);
}
