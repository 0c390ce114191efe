// A colour swatch that drags its colour out (as a colour and as hex text) and takes colours and
// hex texts dropped on it, showing the hex form in its field.
#pragma once

#include <QColor>
#include <QPointer>
#include <QLineEdit>
#include <QWidget>

class QMimeData;

class QVColorWell : public QWidget {
    Q_OBJECT
public:
    explicit QVColorWell(QWidget* parent = nullptr);

    QColor color() const { return _color; }
    void setColor(const QColor& color);
    // The field that shows the colour as hex after a drop.
    void setColorField(QLineEdit* field) { _colorField = field; }

    // What a drag of this well carries: hex text and the colour.
    QMimeData* mimeDataForDrag() const;
    // Whether dropped data would be taken: a colour, or a text of six or more characters that
    // holds the hex form of the colour it reads as.
    static bool acceptsDrop(const QMimeData* data);
    // Takes the dropped colour (else the colour the text reads as), shows its hex in the field.
    bool takeDrop(const QMimeData* data);

Q_SIGNALS:
    void colorChanged(const QColor& color);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    QColor _color = Qt::white;
    QPointer<QLineEdit> _colorField;
    QPoint _pressPosition;
};
