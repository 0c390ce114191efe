// The editor's layout manager: the platform's line layout plus marks for blanks, tabs and line
// ends, and the picture of collapsed regions.
#pragma once

#include "platform/NotificationCenter.h"
#include "platform/QVTextLayoutManager.h"

#include <QColor>
#include <QFont>
#include <QImage>
#include <QString>

// With QVShowInvisibles on, each line shows marks in the theme's invisibles colour: a middle
// dot for a blank, a midline ellipsis for a tab, a pilcrow for each line-end character (line
// feed, carriage return, line or paragraph separator; a "\r\n" pair shows two). A mark stands
// with its top-left corner where its character's glyph starts on its row; line-end characters,
// which have no glyph, follow the end of the row's text one mark apart.
class QVLayoutManager : public QVTextLayoutManager {
public:
    QVLayoutManager();
    ~QVLayoutManager() override;

    // A different colour is kept and the marks' attributes rebuilt; an invalid colour means grey.
    void setInvisiblesColor(const QColor& color);
    QColor invisiblesColor() const { return _invisiblesColor; }
    void setShowInvisibleCharacters(bool flag) { _showInvisibleCharacters = flag; }
    bool showInvisibleCharacters() const { return _showInvisibleCharacters; }
    // Reads QVShowInvisibles again and rebuilds the marks' attributes (a new default font).
    void updateSIC();

    // The marks' font (the stored editor font, else the fixed-pitch font at 11 points) and
    // colour (the invisibles colour, else grey).
    const QFont& markFont() const { return _attributesFont; }
    const QColor& markColor() const { return _attributesColor; }
    static QString spaceCharacter() { return QStringLiteral("\u00B7"); }
    static QString tabCharacter() { return QStringLiteral("\u22EF"); }
    static QString newLineCharacter() { return QStringLiteral("\u00B6"); }

    void drawLine(QPainter& painter, qint64 line, const QPointF& origin,
                  const QList<QTextLayout::FormatRange>& selections, const QRectF& clip) override;
    // Draws a collapsed region's picture, tinted with the text colour; other attachments as
    // the platform does.
    void drawAttachment(QPainter& painter, const std::shared_ptr<QVTextAttachment>& attachment,
                        const QRectF& cell) override;

private:
    void _reloadAttributes();
    void drawInvisibles(QPainter& painter, qint64 line, const QPointF& origin);

    QFont _attributesFont;
    QColor _attributesColor;
    QColor _invisiblesColor;
    bool _showInvisibleCharacters = false;
    NotificationCenter::Token _observer = 0;
    QImage _tintedMarker;  // the fold picture tinted for _tintColor
    QColor _tintColor;
    qint64 _tintSource = 0;  // cacheKey of the picture that was tinted
};
