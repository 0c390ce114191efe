#include "shell/web/QVHelpWindowController.h"

#include "platform/AppBundle.h"
#include "platform/UserDefaults.h"
#include "platform/web/QVWebView.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QStatusBar>
#include <QThread>

namespace {

QString frameKey() { return QStringLiteral("QVWindowFrame ") + QVHelpWindowController::FrameAutosaveName; }

}  // namespace

QVHelpWindowController& QVHelpWindowController::sharedInstance() {
    Q_ASSERT(QThread::currentThread() == qApp->thread());
    static QVHelpWindowController* shared = [] {
        auto* window = new QVHelpWindowController();
        // Gone before WebEngine's profile goes at exit (a deferred delete would never run then).
        QObject::connect(qApp, &QCoreApplication::aboutToQuit, window, [window] { delete window; });
        return window;
    }();
    return *shared;
}

QVHelpWindowController::QVHelpWindowController() {
    setObjectName(FrameAutosaveName);
    setAttribute(Qt::WA_DeleteOnClose, false);
    setWindowTitle(QVLocalized(QStringLiteral("%1 Help")).arg(AppBundle::main().bundleName()));
    _webView = QVWebView::create(this);
    setCentralWidget(_webView);
    // A page that asks for a window of its own leaves the help for the desktop's browser (on a
    // click); what it was refused shows below the page.
    connect(_webView, &QVWebView::refused, this, [this](const QString& message) { statusBar()->showMessage(message, 10000); });
    resize(760, 640);
    const QByteArray frame = UserDefaults::standard().objectForKey(frameKey()).toByteArray();
    if (frame.isEmpty() || !restoreGeometry(frame))
        if (const QScreen* screen = QGuiApplication::primaryScreen()) move(screen->availableGeometry().center() - rect().center());
}

void QVHelpWindowController::showPage(const QUrl& page) {
    if (_webView->url() != page) _webView->load(page);
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

void QVHelpWindowController::closeEvent(QCloseEvent* event) {
    UserDefaults::standard().setObject(saveGeometry(), frameKey());
    QVNormalWindow::closeEvent(event);
}
