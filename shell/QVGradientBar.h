// A bar that fills itself with one colour or a two-colour gradient and draws a border of its own
// width and colour on each side: the bottom bars of document views and tool windows.
#pragma once

#include <QColor>
#include <QWidget>

#include <optional>

// Borders are drawn over the edge strips of the bar, each exactly its width; the fill covers what
// lies between them. Colours are kept as RGB. Widths below zero count as zero.
class QVGradientBar : public QWidget {
    Q_OBJECT
public:
    explicit QVGradientBar(QWidget* parent = nullptr);

    float topBorderWidth() const { return _topBorderWidth; }
    float rightBorderWidth() const { return _rightBorderWidth; }
    float bottomBorderWidth() const { return _bottomBorderWidth; }
    float leftBorderWidth() const { return _leftBorderWidth; }
    void setTopBorderWidth(float width);
    void setRightBorderWidth(float width);
    void setBottomBorderWidth(float width);
    void setLeftBorderWidth(float width);
    // Top, right, bottom and left alike.
    void setAllBorderWidths(float width);

    QColor topBorderColor() const { return _topBorderColor; }
    QColor rightBorderColor() const { return _rightBorderColor; }
    QColor bottomBorderColor() const { return _bottomBorderColor; }
    QColor leftBorderColor() const { return _leftBorderColor; }
    void setTopBorderColor(const QColor& color);
    void setRightBorderColor(const QColor& color);
    void setBottomBorderColor(const QColor& color);
    void setLeftBorderColor(const QColor& color);
    void setAllBorderColors(const QColor& color);

    // The fill; with a second colour, a gradient from the background colour at the bottom of the
    // fill to the second colour at its top.
    QColor backgroundColor() const { return _backgroundColor; }
    void setBackgroundColor(const QColor& color);
    std::optional<QColor> backgroundColor2() const { return _backgroundColor2; }
    // An invalid colour takes the second colour away (a flat fill again).
    void setBackgroundColor2(const QColor& color);

    // The inner rectangle the fill covers: the bounds less the four borders.
    QRectF fillRect() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void setWidth(float& field, float width);
    void setColor(QColor& field, const QColor& color);

    float _topBorderWidth = 0;
    float _rightBorderWidth = 0;
    float _bottomBorderWidth = 0;
    float _leftBorderWidth = 0;
    QColor _topBorderColor = Qt::black;
    QColor _rightBorderColor = Qt::black;
    QColor _bottomBorderColor = Qt::black;
    QColor _leftBorderColor = Qt::black;
    QColor _backgroundColor = QColor(0, 0, 0, 0);
    std::optional<QColor> _backgroundColor2;
};
