// A pull-down button drawn as its image alone (the alternate image while pressed).
#pragma once

#include <QPixmap>
#include <QToolButton>

// Its menu drops down on press; it shows no frame, no title and no arrow. The items keep the
// enabled state their owner gives them.
class QVImagePopUpButton : public QToolButton {
    Q_OBJECT
public:
    explicit QVImagePopUpButton(QWidget* parent = nullptr);

    QPixmap image() const { return _image; }
    void setImage(const QPixmap& image);
    QPixmap alternateImage() const { return _alternateImage; }
    void setAlternateImage(const QPixmap& image);
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QPixmap _image;
    QPixmap _alternateImage;
};
