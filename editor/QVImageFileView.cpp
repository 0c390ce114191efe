// The image file view.
#include "editor/QVImageFileView.h"

#include "platform/FileName.h"
#include "platform/AppBundle.h"
#include "shell/QVFileCategories.h"
#include "shell/QVGradientBar.h"

#include <QBuffer>
#include <QFile>
#include <QHBoxLayout>
#include <QImageReader>
#include <QLabel>
#include <QPainter>
#include <QScrollArea>
#include <QVBoxLayout>

#include <cerrno>
#include <cmath>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Draws the image centred, one pixel to a point.
class ImageCanvas : public QWidget {
public:
    explicit ImageCanvas(const QImage* image) : _image(image) {}

protected:
    void paintEvent(QPaintEvent*) override {
        if (_image->isNull()) return;
        QPainter painter(this);
        const QSizeF size = _image->size();
        const QPointF origin((width() - size.width()) / 2.0, (height() - size.height()) / 2.0);
        painter.drawImage(QRectF(origin, size), *_image);
    }

private:
    const QImage* _image;
};

std::optional<QByteArray> readFile(const QString& path, QVError* error) {
    const QByteArray name = FileName::encode(path);
    const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        qvSetError(error, QVError::posix(errno, QStringLiteral("open"), path));
        return std::nullopt;
    }
    QByteArray bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            qvSetError(error, QVError::posix(errno, QStringLiteral("read"), path));
            ::close(fd);
            return std::nullopt;
        }
        bytes.append(buffer, n);
    }
    ::close(fd);
    return bytes;
}

}  // namespace

QVImageFileView::QVImageFileView(QVFileDocument* document) : QVFileView(document) {}

QVImageFileView::~QVImageFileView() {
    if (_mainView && !_mainView->parent()) delete _mainView.data();
}

bool QVImageFileView::canDisplayPath(const QString& path) {
    return !path.isEmpty() && QVFileCategories::sharedCategories()->path(path, QVFileCategoryKindImage);
}

QWidget* QVImageFileView::mainView() {
    if (_mainView) return _mainView;
    _mainView = new QWidget;
    _mainView->setObjectName(QStringLiteral("ImageViewer"));
    auto* layout = new QVBoxLayout(_mainView);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    _scrollView = new QScrollArea(_mainView);
    _scrollView->setFrameShape(QFrame::NoFrame);
    _scrollView->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    // The image view is resized with the content area but never below its minimum, the image's
    // size; the scrollers then appear exactly where the image does not fit.
    _scrollView->setWidgetResizable(true);
    _imageView = new ImageCanvas(&_image);
    _scrollView->setWidget(_imageView);
    layout->addWidget(_scrollView, 1);
    _descriptionBox = new QVGradientBar(_mainView);
    configureBottomBar(_descriptionBox);
    auto* barLayout = new QHBoxLayout(_descriptionBox);
    barLayout->setContentsMargins(8, 3, 8, 2);
    _descriptionField = new QLabel(_descriptionBox);
    QFont small = _descriptionField->font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    _descriptionField->setFont(small);
    barLayout->addWidget(_descriptionField);
    barLayout->addStretch(1);
    layout->addWidget(_descriptionBox);
    if (!_image.isNull()) _descriptionField->setText(descriptionText());
    scrollFrameChanged();
    return _mainView;
}

void QVImageFileView::scrollFrameChanged() {
    if (!_imageView || _imageSize.isEmpty()) return;
    _imageView->setMinimumSize(int(std::ceil(_imageSize.width())), int(std::ceil(_imageSize.height())));
}

QString QVImageFileView::descriptionText() const {
    return QVLocalized(QStringLiteral("Size: %1 x %2")).arg(_image.width()).arg(_image.height());
}

bool QVImageFileView::loadFromPath(const QString& path, const QString& actionName, QVError* error) {
    std::optional<QByteArray> bytes = readFile(path, error);
    return bytes && loadFromData(*bytes, path, actionName, error);
}

bool QVImageFileView::loadFromData(const QByteArray& data, const QString& path, const QString&, QVError* error) {
    QByteArray bytes = data;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setDecideFormatFromContent(true);
    QImage image = reader.read();
    if (image.isNull()) {
        // What was shown stays: a broken file must not look like an empty image that saves.
        qvSetError(error, QVError::make(QStringLiteral("QVImageErrorDomain"), reader.error(),
                                        QVLocalized(QStringLiteral("The image could not be read.")), reader.errorString(), {},
                                        {{QString::fromLatin1(QVFilePathErrorKey), path}}));
        return false;
    }
    // One pixel is one point, whatever resolution or scale the file claims.
    image.setDevicePixelRatio(1.0);
    _image = std::move(image);
    _bytes = std::move(bytes);
    _imageSize = QSizeF(_image.width() + 80, _image.height());
    if (_imageView) _imageView->update();
    scrollFrameChanged();
    if (_descriptionField) _descriptionField->setText(descriptionText());
    return true;
}
