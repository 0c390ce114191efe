// A pill-shaped text button: the capsule shows while the pointer is over it, while pressed, and
// while the button is the active one of its group.
#pragma once

#include <QAbstractButton>
#include <QPainterPath>

class QVCapsuleButton : public QAbstractButton {
    Q_OBJECT
public:
    explicit QVCapsuleButton(const QString& title = {}, QWidget* parent = nullptr);

    bool active() const { return _active; }
    void setActive(bool active);
    bool hovered() const { return _hover; }
    // The pill, in the button's coordinates: half discs of radius 8 at both ends of the title.
    QPainterPath capsulePath() const;
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool hitButton(const QPoint& position) const override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    qreal titleWidth() const;
    QFont titleFont() const;

    bool _hover = false;
    bool _active = false;
};
