// The editor's layout manager with invisible-character marks.
#include "editor/QVLayoutManager.h"

#include "editor/QVEditorNotifications.h"
#include "editor/QVFoldMarkerTextAttachment.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"
#include "shell/ImageTint.h"

#include <QFontDatabase>
#include <QFontMetricsF>
#include <QPainter>

QVLayoutManager::QVLayoutManager() {
    _reloadAttributes();
    _showInvisibleCharacters = UserDefaults::standard().boolForKey(QVShowInvisibles);
    _observer = NotificationCenter::defaultCenter().addObserver(QString::fromLatin1(QorvelEditorPrefsChange), nullptr,
                                                                [this](const Notification&) { updateSIC(); });
}

QVLayoutManager::~QVLayoutManager() { NotificationCenter::defaultCenter().removeObserver(_observer); }

void QVLayoutManager::_reloadAttributes() {
    if (std::optional<QFont> stored = Defaults::storedDefaultFont()) {
        _attributesFont = *stored;
    } else {
        _attributesFont = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        _attributesFont.setPointSizeF(11.0);
    }
    _attributesColor = _invisiblesColor.isValid() ? _invisiblesColor : QColor(Qt::gray);
}

void QVLayoutManager::setInvisiblesColor(const QColor& color) {
    if (color == _invisiblesColor) return;
    _invisiblesColor = color;
    _reloadAttributes();
}

void QVLayoutManager::updateSIC() {
    _showInvisibleCharacters = UserDefaults::standard().boolForKey(QVShowInvisibles);
    _reloadAttributes();
}

void QVLayoutManager::drawLine(QPainter& painter, qint64 line, const QPointF& origin,
                               const QList<QTextLayout::FormatRange>& selections, const QRectF& clip) {
    // The marks stand over the text's backgrounds and selection and under its glyphs. Blanks,
    // tabs and line ends have no ink of their own, so drawing the marks after the text puts
    // them exactly there (before it, a background colour would hide them).
    QVTextLayoutManager::drawLine(painter, line, origin, selections, clip);
    if (_showInvisibleCharacters) drawInvisibles(painter, line, origin);
}

void QVLayoutManager::drawInvisibles(QPainter& painter, qint64 line, const QPointF& origin) {
    QVTextStorage* storage = textStorage();
    if (!storage) return;
    const QVRange range = storage->lineRange(line);
    if (range.isNotFound()) return;
    // The part of the line that drawLine() laid out (all of it unless the line is very long),
    // then the line's break.
    const QTextLayout& layout = layoutForLine(line);
    const QVRange part = partOfLine(line);
    const qint64 contentsEnd = storage->lineContentsEnd(line);
    const QString text = storage->substring(QVRange(range.location + part.location, part.length));
    const QString lineEnd = storage->substring(QVRange(contentsEnd, range.end() - contentsEnd));
    const QPointF textEnd = endOfLineText(line);
    const QFontMetricsF metrics(_attributesFont);
    const qreal newLineWidth = metrics.horizontalAdvance(newLineCharacter());
    painter.save();
    painter.setFont(_attributesFont);
    painter.setPen(_attributesColor);
    auto draw = [&](const QString& mark, qreal x, qreal y) {
        painter.drawText(QRectF(origin.x() + x, origin.y() + y, metrics.horizontalAdvance(mark) + 1, lineHeight()),
                         Qt::AlignLeft | Qt::AlignTop, mark);
    };
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        if (c != u' ' && c != u'\t' && c != u'\u2028' && c != u'\u2029') continue;
        QTextLine row = layout.lineForTextPosition(int(std::min<qsizetype>(i, layout.text().size())));
        if (!row.isValid()) row = layout.lineAt(layout.lineCount() - 1);
        if (!row.isValid()) continue;
        const qreal x = part.location * spaceWidth() + row.cursorToX(int(i));
        draw(c == u' ' ? spaceCharacter() : c == u'\t' ? tabCharacter() : newLineCharacter(), x, row.y());
    }
    // Line ends are not in the layout: they follow the text of the last row.
    for (qsizetype i = 0; i < lineEnd.size(); ++i)
        draw(newLineCharacter(), textEnd.x() + i * newLineWidth, textEnd.y());
    painter.restore();
}

void QVLayoutManager::drawAttachment(QPainter& painter, const std::shared_ptr<QVTextAttachment>& attachment,
                                     const QRectF& cell) {
    auto* marker = dynamic_cast<QVFoldMarkerTextAttachment*>(attachment.get());
    if (!marker || marker->image().isNull()) {
        QVTextLayoutManager::drawAttachment(painter, attachment, cell);
        return;
    }
    // The picture is drawn in the text's colour, so that it shows on dark themes too.
    if (_tintedMarker.isNull() || _tintColor != textColor() || _tintSource != marker->image().cacheKey()) {
        _tintColor = textColor();
        _tintSource = marker->image().cacheKey();
        _tintedMarker = ImageTint::tintedImageWithColor(marker->image(), _tintColor);
    }
    QSizeF size = _tintedMarker.size();
    size.scale(cell.size(), Qt::KeepAspectRatio);
    const QRectF target(cell.center() - QPointF(size.width() / 2, size.height() / 2), size);
    painter.save();
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(target, _tintedMarker);
    painter.restore();
}
