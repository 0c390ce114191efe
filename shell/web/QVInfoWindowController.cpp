#include "shell/web/QVInfoWindowController.h"

#include "platform/AppBundle.h"
#include "platform/MainQueue.h"
#include "platform/SystemLog.h"
#include "platform/UserDefaults.h"
#include "platform/web/QVWebView.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QPushButton>
#include <QScreen>
#include <QThread>
#include <QVBoxLayout>

namespace {

QString frameKey() { return QStringLiteral("QVWindowFrame ") + QVInfoWindowController::FrameAutosaveName; }

QVInfoWindowController::UsageEvents& usageEvents() {
    static QVInfoWindowController::UsageEvents events;
    return events;
}

QString undefinedIfEmpty(const QString& value) { return value.isEmpty() ? QStringLiteral("undefined") : value; }

}  // namespace

QVInfoWindowController& QVInfoWindowController::sharedInstance() {
    Q_ASSERT(QThread::currentThread() == qApp->thread());
    // Made once; a window of the application lives until the application ends.
    static QVInfoWindowController* shared = [] {
        auto* window = new QVInfoWindowController();
        // Gone before WebEngine's profile goes at exit (a deferred delete would never run then).
        QObject::connect(qApp, &QCoreApplication::aboutToQuit, window, [window] { delete window; });
        return window;
    }();
    sendEvent(QStringLiteral("Info Open"));
    return *shared;
}

bool QVInfoWindowController::shouldShowAtLaunch() {
    return AppBundle::main().shortVersion() != UserDefaults::standard().stringForKey(DisplayInfoViewKey);
}

bool QVInfoWindowController::showAtLaunchIfNeeded() {
    if (!shouldShowAtLaunch()) return false;
    MainQueue::post([] {
        QVInfoWindowController& window = sharedInstance();
        window.show();
        window.raise();
    });
    return true;
}

void QVInfoWindowController::setUsageEvents(UsageEvents events) { usageEvents() = std::move(events); }

QVariantMap QVInfoWindowController::linkProperties(const QUrl& url, const QString& title) {
    return {{QStringLiteral("link-url"), undefinedIfEmpty(url.toString())},
            {QStringLiteral("link-title"), undefinedIfEmpty(title.trimmed().isEmpty() ? QString() : title)}};
}

void QVInfoWindowController::sendEvent(const QString& event, const QVariantMap& properties) {
    if (!usageEvents() || !UserDefaults::standard().boolForKey(QStringLiteral("qvAnonymousUsageTracking"))) return;
    usageEvents()(event, properties);
}

QVInfoWindowController::QVInfoWindowController() {
    setObjectName(FrameAutosaveName);
    setAttribute(Qt::WA_DeleteOnClose, false);
    setWindowTitle(QVLocalized(QStringLiteral("Welcome to %1")).arg(AppBundle::main().bundleName()));
    auto* content = new QWidget(this);
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(0, 0, 0, 8);
    _infoWebView = QVWebView::create(content);
    column->addWidget(_infoWebView, 1);
    auto* row = new QHBoxLayout();
    row->setContentsMargins(12, 0, 12, 0);
    _dontShowCheckBox = new QCheckBox(QVLocalized(QStringLiteral("Show this window when %1 starts")).arg(AppBundle::main().bundleName()), content);
    _closeButton = new QPushButton(QVLocalized(QStringLiteral("Close")), content);
    _closeButton->setDefault(true);
    row->addWidget(_dontShowCheckBox);
    row->addStretch(1);
    row->addWidget(_closeButton);
    column->addLayout(row);
    setCentralWidget(content);
    connect(_closeButton, &QPushButton::clicked, this, &QVInfoWindowController::closeWindow);
    connect(_dontShowCheckBox, &QCheckBox::clicked, this, &QVInfoWindowController::displayOnLaunch);
    QVWebView::Policy policy;
    policy.linkClicked = [](const QUrl& url, const QString& title) {
        sendEvent(QStringLiteral("Info Internal Click"), linkProperties(url, title));
    };
    // The view hands the address to the desktop's browser itself.
    policy.newWindowRequested = [](const QUrl& url) { sendEvent(QStringLiteral("Info External Click"), linkProperties(url, {})); };
    _infoWebView->setPolicy(std::move(policy));
    awake();
}

void QVInfoWindowController::awake() {
    const QString page = AppBundle::main().pathForResource(QStringLiteral("info"), QStringLiteral("html"));
    if (page.isEmpty()) {
        SystemLog::warning(QStringLiteral("The information page info.html is missing from the resources"));
        _infoWebView->setHtml(QStringLiteral("<p>%1</p>").arg(QVLocalized(QStringLiteral("The information page is missing."))));
    } else {
        _infoWebView->load(QUrl::fromLocalFile(page));
    }
    resize(720, 560);
    const QByteArray frame = UserDefaults::standard().objectForKey(frameKey()).toByteArray();
    if (frame.isEmpty() || !restoreGeometry(frame)) {
        if (const QScreen* screen = QGuiApplication::primaryScreen()) move(screen->availableGeometry().center() - rect().center());
    }
    _dontShowCheckBox->setChecked(shouldShowAtLaunch());
}

void QVInfoWindowController::closeWindow() {
    sendEvent(QStringLiteral("Info Close"));
    close();
}

void QVInfoWindowController::displayOnLaunch(bool show) {
    UserDefaults::standard().setString(show ? QString() : AppBundle::main().shortVersion(), DisplayInfoViewKey);
    UserDefaults::standard().synchronize();
}

void QVInfoWindowController::closeEvent(QCloseEvent* event) {
    UserDefaults::standard().setObject(saveGeometry(), frameKey());
    QVNormalWindow::closeEvent(event);
}
