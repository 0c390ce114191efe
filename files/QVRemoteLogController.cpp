// The connection log and its drawer.
#include "files/QVRemoteLogController.h"

#include "platform/MainQueue.h"
#include "platform/UserDefaults.h"

#include <QEvent>
#include <QFontDatabase>
#include <QPlainTextEdit>
#include <QVariantAnimation>
#include <QScrollBar>
#include <QTextCursor>
#include <QVBoxLayout>

namespace {

// Drops whole lines from the start until the text fits the bound.
void trimToBound(QString& text, qsizetype bound) {
    if (text.size() <= bound) return;
    qsizetype cut = text.size() - bound;
    const qsizetype lineEnd = text.indexOf(QLatin1Char('\n'), cut);
    if (lineEnd >= 0 && lineEnd < cut + 4096) cut = lineEnd + 1;
    text.remove(0, cut);
}

}  // namespace

QVRemoteLogController::QVRemoteLogController(QObject* parent) : QObject(parent) {}

QVRemoteLogController::~QVRemoteLogController() {
    if (_window) _window->removeEventFilter(this);
    delete _drawer;
}

void QVRemoteLogController::appendStringToLog(const QString& text) {
    {
        std::lock_guard<std::mutex> locker(_logLock);
        _logString += text;
        trimToBound(_logString, MaximumLogLength);
    }
    MainQueue::post([guard = QPointer<QVRemoteLogController>(this), text] {
        if (guard) guard->showAppended(text);
    });
}

QString QVRemoteLogController::logString() const {
    std::lock_guard<std::mutex> locker(_logLock);
    return _logString;
}

void QVRemoteLogController::showAppended(const QString& text) {
    if (!_textView) return;
    QTextCursor cursor(_textView->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(text);
    // The view keeps the same bound as the log.
    const int excess = _textView->document()->characterCount() - int(MaximumLogLength);
    if (excess > 0) {
        QTextCursor head(_textView->document());
        head.movePosition(QTextCursor::NextCharacter, QTextCursor::KeepAnchor, excess);
        head.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
        head.movePosition(QTextCursor::NextCharacter, QTextCursor::KeepAnchor);
        head.removeSelectedText();
    }
    _textView->moveCursor(QTextCursor::End);
    _textView->verticalScrollBar()->setValue(_textView->verticalScrollBar()->maximum());
}

void QVRemoteLogController::makeDrawer() {
    _drawer = new QWidget;
    _drawer->setObjectName(QStringLiteral("RemoteLogDrawer"));
    _drawer->setAutoFillBackground(true);
    _textView = new QPlainTextEdit(_drawer);
    _textView->setReadOnly(true);
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSize(11);
    _textView->setFont(font);
    auto* layout = new QVBoxLayout(_drawer);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addWidget(_textView);
    // Whatever was logged before the drawer existed shows in full when it first opens.
    _textView->setPlainText(logString());
    _textView->moveCursor(QTextCursor::End);
    _animation = new QVariantAnimation(this);
    _animation->setDuration(200);
}

void QVRemoteLogController::placeDrawer(int height) {
    if (!_drawer || !_window) return;
    const QRect area = _window->rect();
    _drawer->setGeometry(0, area.height() - height, area.width(), height);
}

void QVRemoteLogController::animateTo(int height, DrawerState during, DrawerState after) {
    _animation->stop();
    _animation->disconnect(this);
    const int from = _drawer->isVisible() ? _drawer->height() : 0;
    _animation->setStartValue(from);
    _animation->setEndValue(height);
    connect(_animation, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) { placeDrawer(value.toInt()); });
    connect(_animation, &QAbstractAnimation::finished, this, [this, after] {
        _state = after;
        if (after == Closed && _drawer) _drawer->hide();
    });
    _state = during;
    _drawer->show();
    _drawer->raise();
    placeDrawer(from);
    _animation->start();
}

void QVRemoteLogController::toggle(QWidget* window) {
    if (!window) return;
    if (!_drawer) makeDrawer();
    if (_window != window) {
        if (_window) _window->removeEventFilter(this);
        _window = window;
        _drawer->setParent(window);
        window->installEventFilter(this);
    }
    const double stored = UserDefaults::standard().doubleForKey(QLatin1String(DrawerHeightKey));
    if (stored >= MinimumContentHeight) _contentHeight = int(stored);
    if (_state == Open || _state == Opening) animateTo(0, Closing, Closed);
    else animateTo(_contentHeight, Opening, Open);
}

void QVRemoteLogController::drawerWillResizeContents(int height) {
    if (height < MinimumContentHeight) return;
    _contentHeight = height;
    UserDefaults::standard().setDouble(height, QLatin1String(DrawerHeightKey));
}

bool QVRemoteLogController::eventFilter(QObject* watched, QEvent* event) {
    if (watched == _window && event->type() == QEvent::Resize && _drawer && _drawer->isVisible())
        placeDrawer(_drawer->height());
    return QObject::eventFilter(watched, event);
}
