// Enumeration of matches, stepping past empty matches so that no enumeration loops.
#include "shell/QVSearchEnumerator.h"

QVSearchEnumerator::QVSearchEnumerator(const QVSearch& search, const QString& string)
    : _search(search), _string(string) {
    _exhausted = string.isNull() || !_search.canMatch();
}

QVSearchEnumerator::QVSearchEnumerator(const QVSearch& search, const QByteArray& utf8Data)
    : _search(search), _data(utf8Data), _overData(true) {
    _exhausted = utf8Data.isNull() || !_search.isRegularExpression();
}

qint64 QVSearchEnumerator::nextStart() const {
    if (!_matched)
        return 0;
    if (_range.length > 0)
        return _range.end();
    // An empty match would be found again from the same place: step over one character.
    qint64 next = _range.location + 1;
    if (_overData) {
        for (int i = 0; i < 3 && next < _data.size() && (quint8(_data.at(next)) & 0xC0) == 0x80; ++i)
            ++next;
    } else if (next < _string.size() && _string.at(next).isLowSurrogate() &&
               _string.at(next - 1).isHighSurrogate()) {
        ++next;
    }
    return next;
}

std::optional<QVSearchResult> QVSearchEnumerator::nextObject() {
    if (_exhausted)
        return std::nullopt;
    const qint64 start = nextStart();
    const qint64 size = _overData ? _data.size() : _string.size();
    if (start >= size) {
        _exhausted = true;
        return std::nullopt;
    }
    const QVRange rest(start, size - start);
    const QVRange found = _overData ? _search.firstMatchInUTF8Data(_data, rest)
                                    : _search.firstMatchInString(_string, rest);
    // A match that does not move forward (a misbehaving range) ends the walk rather than loop.
    if (found.isNotFound() || found.location < start) {
        _exhausted = true;
        return std::nullopt;
    }
    _range = found;
    _matched = true;
    if (_returnJustRanges || _overData)
        return QVSearchResult(found);
    return QVSearchResult(found, _string);
}
