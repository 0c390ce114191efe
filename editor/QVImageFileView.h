// The image view of a file document: the image at one point per pixel in a scroll view, centred
// with a margin of 40 points on each side, and its pixel size in a bar below.
#pragma once

#include "editor/QVFileView.h"

#include <QImage>
#include <QPointer>
#include <QSizeF>

class QLabel;
class QScrollArea;

// The image keeps the bytes it was read from: saving an image (under another name) writes them
// as they were. Decoding goes through QImageReader and its allocation limit, so a file that
// claims a huge size is refused instead of exhausting memory.
class QVImageFileView : public QVFileView {
public:
    explicit QVImageFileView(QVFileDocument* document);
    ~QVImageFileView() override;

    // The file categories call the path an image.
    static bool canDisplayPath(const QString& path);

    QWidget* mainView() override;
    bool loadFromPath(const QString& path, const QString& actionName, QVError* error) override;
    bool loadFromData(const QByteArray& data, const QString& path, const QString& actionName, QVError* error) override;
    std::optional<QByteArray> contents() const override { return _bytes; }

    // The pixel size with 80 points added to the width (the side margins); empty before a load.
    QSizeF imageSize() const { return _imageSize; }
    const QImage& image() const { return _image; }
    // "Size: W x H" in the bar.
    QString descriptionText() const;
    QScrollArea* scrollView() const { return _scrollView; }
    QWidget* imageView() const { return _imageView; }

private:
    // The image view fills the scroll view's content area, or is the image's size where that is
    // larger; the scrollers show exactly where the image does not fit. The scroll view keeps this
    // through every change of its frame (its widget is resizable down to that minimum).
    void scrollFrameChanged();

    QPointer<QWidget> _mainView;
    QWidget* _imageView = nullptr;
    QVGradientBar* _descriptionBox = nullptr;
    QScrollArea* _scrollView = nullptr;
    QLabel* _descriptionField = nullptr;
    QSizeF _imageSize;
    QImage _image;
    std::optional<QByteArray> _bytes;
};
