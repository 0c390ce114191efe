// The status bar of document windows.
#include "editor/QVStatusBar.h"

#include "languages/QVBundle.h"
#include "languages/QVBundleRepository.h"
#include "platform/AppBundle.h"
#include "shell/Defaults.h"

#include <QComboBox>
#include <QEvent>
#include <QGraphicsOpacityEffect>
#include <QLabel>
#include <QPaintEvent>
#include <QPainter>
#include <QParallelAnimationGroup>
#include <QProgressBar>
#include <QPropertyAnimation>

#include <cmath>

namespace {

// The pictures every bar shares, loaded by the first one.
struct BarImages {
    QPixmap background, separator;
    static const BarImages& shared() {
        static const BarImages images = [] {
            BarImages loaded;
            auto load = [](const char* name) {
                QPixmap pixmap;
                const QString path = Defaults::pathForResource(QString::fromLatin1(name), QStringLiteral("png"), QStringLiteral("Images"));
                if (!path.isEmpty()) pixmap.load(path);
                return pixmap;
            };
            loaded.background = load("ActionBarBackground");
            loaded.separator = load("StatusBarSeparator");
            return loaded;
        }();
        return images;
    }
};

QGraphicsOpacityEffect* opacityOf(QWidget* view, qreal start) {
    auto* effect = qobject_cast<QGraphicsOpacityEffect*>(view->graphicsEffect());
    if (!effect) {
        effect = new QGraphicsOpacityEffect(view);
        view->setGraphicsEffect(effect);
    }
    effect->setOpacity(start);
    return effect;
}

}  // namespace

QVStatusBar::QVStatusBar(QWidget* parent, QVBundleRepository* repository) : QWidget(parent) {
    QFont small = font();
    small.setPointSizeF(std::max<qreal>(7.0, small.pointSizeF() - 1.0));
    setFont(small);
    setFixedHeight(BarHeight);
    setAttribute(Qt::WA_OpaquePaintEvent);

    _modeSelector = new QComboBox(this);
    _modeSelector->setObjectName(QStringLiteral("modeSelector"));
    _modeSelector->setFixedSize(150, 20);
    _modeSelector->setFocusPolicy(Qt::NoFocus);
    connect(_modeSelector, &QComboBox::activated, this, &QVStatusBar::selectMode);

    _repSelector = new QComboBox(this);
    _repSelector->setObjectName(QStringLiteral("representationSelector"));
    _repSelector->addItems({QVLocalized(QStringLiteral("Local File")), QVLocalized(QStringLiteral("Remote File")),
                            QVLocalized(QStringLiteral("Local/Remote Diff"))});
    _repSelector->setFixedSize(130, 20);
    _repSelector->setFocusPolicy(Qt::NoFocus);

    _progressIndicator = new QProgressBar(this);
    _progressIndicator->setTextVisible(false);
    _progressIndicator->setRange(0, 1);
    _progressIndicator->setValue(0);
    _progressIndicator->setFixedSize(60, 10);

    _statusField = new QLabel(this);
    _statusField->setObjectName(QStringLiteral("statusField"));
    _statusField->setFixedHeight(16);
    _statusField->setTextFormat(Qt::PlainText);

    _lineColumnField = new QLabel(this);
    _lineColumnField->setObjectName(QStringLiteral("lineColumnField"));
    _lineColumnField->setFixedSize(80, 16);
    _lineColumnField->setAlignment(Qt::AlignCenter);

    _escapeField = new QLabel(this);
    _escapeField->setObjectName(QStringLiteral("escapeField"));
    _escapeField->setFixedSize(28, 16);
    _escapeField->setAlignment(Qt::AlignCenter);

    for (QWidget* view : {static_cast<QWidget*>(_modeSelector), static_cast<QWidget*>(_repSelector),
                          static_cast<QWidget*>(_progressIndicator), static_cast<QWidget*>(_statusField),
                          static_cast<QWidget*>(_lineColumnField), static_cast<QWidget*>(_escapeField)})
        view->hide();
    layoutForMode(Local, false);
    fillModeSelector(repository ? *repository : QVBundleRepository::sharedRepository());
    validate();
}

QVStatusBar::~QVStatusBar() {
    if (_animation) _animation->stop();
    // The overlay lives in the window, not in the bar.
    delete _overlay;
}

QSize QVStatusBar::sizeHint() const { return QSize(400, BarHeight); }

// --- Layout -----------------------------------------------------------------------------------

void QVStatusBar::setBarMode(int mode, bool animate) {
    if (mode == _mode || mode < Local || mode > Transfer) return;
    layoutForMode(mode, animate);
    _mode = mode;
}

QList<QWidget*> QVStatusBar::placedElements() const {
    QList<QWidget*> elements = _placed;
    for (QLabel* separator : _separators) elements.append(separator);
    std::sort(elements.begin(), elements.end(), [](QWidget* a, QWidget* b) { return a->geometry().x() < b->geometry().x(); });
    return elements;
}

void QVStatusBar::layoutForMode(int mode, bool animate) {
    // A layout still moving ends where it was going first.
    if (_animation) _animation->setCurrentTime(_animation->totalDuration());
    qDeleteAll(_separators);
    _separators.clear();
    _placed.clear();
    auto* group = animate ? new QParallelAnimationGroup(this) : nullptr;
    _animation = group;
    int x = 8;
    switch (mode) {
    case Local:
        place(_modeSelector, x, animate, false);
        addSeparator(x);
        hide(_repSelector, animate);
        place(_lineColumnField, x, animate, false);
        addSeparator(x);
        place(_escapeField, x, animate, false);
        addSeparator(x);
        hide(_progressIndicator, animate);
        place(_statusField, x, animate, true);
        break;
    case Remote:
    case LocalAndRemote:
        place(_modeSelector, x, animate, false);
        addSeparator(x);
        hide(_repSelector, animate);
        place(_lineColumnField, x, animate, false);
        addSeparator(x);
        place(_escapeField, x, animate, false);
        addSeparator(x);
        place(_progressIndicator, x, animate, false);
        addSeparator(x);
        place(_statusField, x, animate, true);
        break;
    case Transfer:
        hide(_modeSelector, animate);
        hide(_repSelector, animate);
        hide(_lineColumnField, animate);
        hide(_escapeField, animate);
        place(_progressIndicator, x, animate, false);
        addSeparator(x);
        place(_statusField, x, animate, true);
        break;
    default:
        break;
    }
    if (group && group->animationCount() > 0) {
        connect(group, &QAbstractAnimation::finished, this, &QVStatusBar::animationDidEnd);
        group->start(QAbstractAnimation::DeleteWhenStopped);
    } else {
        delete group;
        _animation = nullptr;
        for (QLabel* separator : _separators) separator->show();
    }
}

void QVStatusBar::place(QWidget* view, int& x, bool animate, bool stretch) {
    const int h = view->height();
    const int w = stretch ? std::max(0, width() - x - 10) : view->width();
    const QRect target(x, int(std::floor((BarHeight - h) * 0.5)), w, h);
    _placed.append(view);
    x = target.x() + target.width() + 4;
    if (!animate) {
        view->setGraphicsEffect(nullptr);
        view->setGeometry(target);
        view->show();
        return;
    }
    auto* group = static_cast<QParallelAnimationGroup*>(_animation.data());
    _hiding.removeAll(view);
    if (view->isHidden()) {
        // Rises into place from just below the bar, fading in.
        view->setGeometry(QRect(target.x(), BarHeight, target.width(), h));
        view->show();
        auto* fade = new QPropertyAnimation(opacityOf(view, 0.0), "opacity", group);
        fade->setEndValue(1.0);
        fade->setDuration(AnimationDuration);
        group->addAnimation(fade);
    }
    auto* move = new QPropertyAnimation(view, "geometry", group);
    move->setEndValue(target);
    move->setDuration(AnimationDuration);
    group->addAnimation(move);
}

void QVStatusBar::hide(QWidget* view, bool animate) {
    if (view->isHidden()) return;
    if (!animate) {
        view->hide();
        return;
    }
    // Sinks below the bar, fading out; hidden once the animation ends.
    auto* group = static_cast<QParallelAnimationGroup*>(_animation.data());
    auto* fade = new QPropertyAnimation(opacityOf(view, 1.0), "opacity", group);
    fade->setEndValue(0.0);
    fade->setDuration(AnimationDuration);
    group->addAnimation(fade);
    auto* move = new QPropertyAnimation(view, "geometry", group);
    move->setEndValue(QRect(view->x(), BarHeight, view->width(), view->height()));
    move->setDuration(AnimationDuration);
    group->addAnimation(move);
    _hiding.append(view);
}

void QVStatusBar::addSeparator(int& x) {
    auto* separator = new QLabel(this);
    separator->setPixmap(BarImages::shared().separator);
    separator->setGeometry(x, 0, 2, 22);
    separator->hide();
    _separators.append(separator);
    x += 2 + 4;
}

void QVStatusBar::animationDidEnd() {
    for (const QPointer<QWidget>& view : std::as_const(_hiding))
        if (view && !_placed.contains(view.data())) view->hide();
    _hiding.clear();
    for (QWidget* view : std::as_const(_placed)) view->setGraphicsEffect(nullptr);
    for (QLabel* separator : std::as_const(_separators)) separator->show();
    _animation = nullptr;
    // The bar may have been resized while the elements moved.
    _statusField->resize(std::max(0, width() - _statusField->x() - 10), _statusField->height());
}

void QVStatusBar::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    const QRect dirty = event->rect();
    const QPixmap& background = BarImages::shared().background;
    if (background.isNull()) painter.fillRect(dirty, palette().color(QPalette::Window));
    else painter.drawPixmap(QRect(dirty.x(), 0, dirty.width(), height()), background, QRect(0, 0, 1, background.height()));
}

void QVStatusBar::resizeEvent(QResizeEvent*) {
    if (!_animation && !_statusField->isHidden())
        _statusField->resize(std::max(0, width() - _statusField->x() - 10), _statusField->height());
    placeOverlay();
}

void QVStatusBar::moveEvent(QMoveEvent*) { placeOverlay(); }

// --- Contents ---------------------------------------------------------------------------------

void QVStatusBar::fillModeSelector(QVBundleRepository& repository) {
    _modeSelector->clear();
    _modeBundles.clear();
    _modeSelector->addItem(QVLocalized(QStringLiteral("Unknown")));
    _modeBundles.append(nullptr);
    _modeSelector->insertSeparator(1);
    _modeBundles.append(nullptr);
    const auto bundles = repository.bundles([](const QVBundle& a, const QVBundle& b) { return a.compareTitle(b); });
    for (const std::shared_ptr<QVBundle>& bundle : bundles) {
        if (bundle->hideInList()) continue;
        _modeSelector->addItem(bundle->title());
        _modeSelector->setItemData(_modeSelector->count() - 1, bundle->tooltip(), Qt::ToolTipRole);
        _modeBundles.append(bundle);
    }
}

void QVStatusBar::setMode(const std::shared_ptr<QVBundle>& bundle) {
    const qsizetype index = bundle ? _modeBundles.indexOf(bundle) : -1;
    _modeSelector->setCurrentIndex(index > 0 ? int(index) : 0);
}

std::shared_ptr<QVBundle> QVStatusBar::selectedMode() const { return _modeBundles.value(_modeSelector->currentIndex()); }

void QVStatusBar::selectMode(int index) {
    if (auto delegate = _delegate.lock()) delegate->statusBarSetMode(this, _modeBundles.value(index));
}

void QVStatusBar::setDelegate(std::weak_ptr<QVStatusBarDelegate> delegate) {
    _delegate = std::move(delegate);
    validate();
}

void QVStatusBar::setIsText(bool flag) {
    _notText = !flag;
    validate();
}

void QVStatusBar::validate() {
    const bool enabled = !_delegate.expired() && !_notText;
    _modeSelector->setEnabled(enabled);
    _repSelector->setEnabled(enabled);
    if (enabled) return;
    _modeSelector->setCurrentIndex(0);
    setEscaped(false);
    setLineNumber(0, 0);
    if (_overlay) _overlay->view()->cancelAnimation();
}

void QVStatusBar::setEscaped(bool flag) { _escapeField->setText(flag ? QStringLiteral("ESC") : QString()); }

void QVStatusBar::setLineNumber(quint64 line, quint64 column) {
    _lineColumnField->setText(line == 0 ? QString() : QStringLiteral("%1::%2").arg(line).arg(column));
}

void QVStatusBar::setStatus(const QString& status) {
    _status = status;
    _statusField->setText(status.isEmpty() ? _documentNotice : status);
    _statusField->setToolTip(_statusField->text());
}

void QVStatusBar::setDocumentNotice(const QString& notice) {
    _documentNotice = notice;
    setStatus(_status);
}

void QVStatusBar::showProgress(bool flag) {
    // An empty range is Qt's indeterminate bar, which animates by itself while shown.
    _progressIndicator->setRange(0, flag ? 0 : 1);
    _progressIndicator->setValue(0);
}

void QVStatusBar::showWarning(const QString& message) { overlayView()->showStatusMessage(message, QVStatusBarOverlayView::Fade); }

void QVStatusBar::setRepresentationType(int type) {
    if (_mode != Remote) return;
    static const char* const announcements[] = {"Editing local file version", "Editing remote file version", "Viewing local/remote diff"};
    if (type >= 0 && type < 3) _repSelector->setCurrentIndex(type);
    const QString text = type >= 0 && type < 3 ? QVLocalized(QString::fromLatin1(announcements[type])) : QString();
    QVStatusBarOverlayView* view = overlayView();
    const QRect target(_overlay->mapFromGlobal(_repSelector->mapToGlobal(QPoint(0, 0))), _repSelector->size());
    view->showStatusMessage(text, QVStatusBarOverlayView::Slide, target);
}

// --- Overlay ----------------------------------------------------------------------------------

QVStatusBarOverlayView* QVStatusBar::overlayView() {
    QWidget* host = window();
    if (!_overlay || _overlayHost != host) {
        delete _overlay;
        if (_overlayHost) _overlayHost->removeEventFilter(this);
        _overlayHost = host;
        _overlay = new QVStatusBarOverlayWindow(host);
        if (host != this) host->installEventFilter(this);
        placeOverlay();
        _overlay->show();
    }
    return _overlay->view();
}

void QVStatusBar::showEvent(QShowEvent*) {
    if (_overlayHost != window()) overlayView();
}

void QVStatusBar::placeOverlay() {
    if (!_overlay) return;
    const QPoint origin = _overlayHost == this ? QPoint(0, 0) : mapTo(_overlayHost, QPoint(0, 0));
    const int h = QVStatusBarOverlayView::defaultHeight();
    _overlay->setGeometry(origin.x(), origin.y() + height() - h, width(), h);
    _overlay->raise();
}

bool QVStatusBar::eventFilter(QObject* watched, QEvent* event) {
    if (watched == _overlayHost && (event->type() == QEvent::Resize || event->type() == QEvent::Move ||
                                    event->type() == QEvent::LayoutRequest || event->type() == QEvent::ChildAdded))
        placeOverlay();
    return QWidget::eventFilter(watched, event);
}
