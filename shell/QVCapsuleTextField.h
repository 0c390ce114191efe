// A count label drawn on a pill.
#pragma once

#include <QColor>
#include <QLabel>

class QVCapsuleTextField : public QLabel {
    Q_OBJECT
public:
    explicit QVCapsuleTextField(QWidget* parent = nullptr);

    QColor capsuleColor() const { return _capsuleColor; }
    // The pill's normal colour; it becomes the colour shown too.
    void setCapsuleColor(const QColor& color);
    QColor activeColor() const { return _activeColor; }
    void setActiveColor(const QColor& color);
    // On a selected row: a white pill with the selection's colour as text; off: the normal pill
    // with white text.
    void invert(bool inverted);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor _capsuleColor;
    QColor _activeColor;
};
