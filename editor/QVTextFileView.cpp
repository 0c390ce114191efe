// The text file view.
#include "editor/QVTextFileView.h"

#include "editor/HTMLView.h"
#include "platform/NotificationCenter.h"

#include <QScrollBar>

QVTextFileView::QVTextFileView(QVFileDocument* document, const QString& path) : QVFileView(document) {
    _textView = new HTMLView(path);
}

QVTextFileView::~QVTextFileView() {
    if (_textView && !_textView->parent()) delete _textView.data();
}

void QVTextFileView::close() {
    if (_textView) NotificationCenter::defaultCenter().post(QString::fromLatin1(QVTextViewIsClosing), _textView.data());
}

void QVTextFileView::releaseAndDestroy() {
    QVFileView::releaseAndDestroy();
    if (_textView) _textView->releaseAndDestroy();
}

QVariantMap QVTextFileView::plistRepresentationForProject() const {
    qint64 x = 0, y = 0;
    if (_textView) {
        // The vertical scroller counts rows; the origin is in points.
        x = _textView->horizontalScrollBar()->value();
        y = qint64(_textView->scrollOffset().y());
    }
    return {{QStringLiteral("position"), QStringLiteral("{%1, %2}").arg(x).arg(y)}};
}

QWidget* QVTextFileView::mainView() { return _textView.data(); }

HTMLView* QVTextFileView::textView() { return _textView.data(); }

bool QVTextFileView::loadFromPath(const QString& path, const QString& actionName, QVError* error) {
    return _textView && _textView->loadFromPath(path, actionName, error);
}

bool QVTextFileView::loadFromData(const QByteArray& data, const QString& path, const QString& actionName, QVError* error) {
    return _textView && _textView->loadFromData(data, path, actionName, error);
}

void QVTextFileView::loadFromString(const QString& text, const QString& actionName) {
    if (!_textView) return;
    if (actionName.isEmpty()) _textView->setString(text);
    else _textView->undoableSetString(text, actionName);
}
