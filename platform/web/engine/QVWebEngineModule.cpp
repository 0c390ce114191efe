// The library that holds Qt WebEngine, loaded by the web view the first time it shows a page
// with it: a QWebEngineView whose page reports to the view's hooks.
#include "platform/web/QVWebEngineBackend.h"

#include <QQuickWindow>
#include <QTimer>
#include <QVBoxLayout>
#include <QWebEngineLoadingInfo>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineSettings>
#include <QWebEngineView>

namespace {

// A page asked for a new window: the first address it is sent to goes to the owner instead.
class NewWindowPage : public QWebEnginePage {
public:
    NewWindowPage(QWebEngineProfile* profile, std::function<void(const QUrl&)> open, QObject* parent)
        : QWebEnginePage(profile, parent), _open(std::move(open)) {
        connect(this, &QWebEnginePage::urlChanged, this, [this](const QUrl& url) { take(url); });
        // A window opened with no address never navigates: let it go.
        QTimer::singleShot(30000, this, &QObject::deleteLater);
    }

protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType, bool) override {
        take(url);
        return false;
    }

private:
    void take(const QUrl& url) {
        if (_taken || url.isEmpty() || url == QUrl(QStringLiteral("about:blank"))) return;
        _taken = true;
        if (_open) _open(url);
        deleteLater();
    }
    std::function<void(const QUrl&)> _open;
    bool _taken = false;
};

class PolicyPage : public QWebEnginePage {
public:
    PolicyPage(const QVWebEngineBackend::Hooks& hooks, QObject* parent) : QWebEnginePage(parent), _hooks(hooks) {}

protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) override {
        if (type == NavigationTypeLinkClicked && isMainFrame && _hooks.linkClicked) _hooks.linkClicked(url);
        return true;
    }
    QWebEnginePage* createWindow(WebWindowType) override { return new NewWindowPage(profile(), _hooks.newWindowRequested, parent()); }
    void javaScriptAlert(const QUrl&, const QString& message) override {
        if (_hooks.alert) _hooks.alert(message);
    }
    bool javaScriptConfirm(const QUrl&, const QString& message) override { return _hooks.confirm && _hooks.confirm(message); }
    bool javaScriptPrompt(const QUrl&, const QString&, const QString&, QString*) override { return false; }
    void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel level, const QString& message, int line,
                                  const QString& source) override {
        if (!_hooks.consoleMessage || !_hooks.consoleMessage(message))
            QWebEnginePage::javaScriptConsoleMessage(level, message, line, source);
    }

private:
    const QVWebEngineBackend::Hooks& _hooks;
};

class Backend : public QWidget, public QVWebEngineBackend {
public:
    Backend(QWidget* parent, const Hooks& hooks, const QList<Script>& scripts) : QWidget(parent), _hooks(hooks) {
        _view = new QWebEngineView(this);
        _page = new PolicyPage(_hooks, this);
        for (const Script& s : scripts) {
            QWebEngineScript script;
            script.setName(s.name);
            script.setSourceCode(s.source);
            script.setInjectionPoint(s.atCreation ? QWebEngineScript::DocumentCreation : QWebEngineScript::DocumentReady);
            script.setWorldId(QWebEngineScript::MainWorld);
            script.setRunsOnSubFrames(false);
            _page->scripts().insert(script);
        }
        // A failure is the owner's to show (the preview's error page), not Chromium's.
        _page->settings()->setAttribute(QWebEngineSettings::ErrorPageEnabled, false);
        _view->setPage(_page);
        _view->setContextMenuPolicy(Qt::NoContextMenu);
        auto* layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(_view);
        auto call = [](const auto& hook, auto... arguments) {
            if (hook) hook(arguments...);
        };
        connect(_page, &QWebEnginePage::loadStarted, this, [this, call] { call(_hooks.loadStarted); });
        connect(_page, &QWebEnginePage::loadProgress, this, [this, call](int progress) { call(_hooks.loadProgress, progress); });
        connect(_page, &QWebEnginePage::loadingChanged, this, [this, call](const QWebEngineLoadingInfo& info) {
            if (info.status() == QWebEngineLoadingInfo::LoadFailedStatus) call(_hooks.loadFailed, info.url(), info.errorString());
        });
        connect(_page, &QWebEnginePage::loadFinished, this, [this, call](bool ok) { call(_hooks.loadFinished, ok); });
        connect(_page, &QWebEnginePage::urlChanged, this, [this, call](const QUrl& url) { call(_hooks.urlChanged, url); });
        connect(_page, &QWebEnginePage::titleChanged, this, [this, call](const QString& title) { call(_hooks.titleChanged, title); });
        connect(_page, &QWebEnginePage::linkHovered, this, [this, call](const QString& url) { call(_hooks.linkHovered, url); });
        connect(_page, &QWebEnginePage::renderProcessTerminated, this,
                [this, call](QWebEnginePage::RenderProcessTerminationStatus status, int code) {
                    if (status == QWebEnginePage::NormalTerminationStatus) return;
                    call(_hooks.processEnded, QStringLiteral("The web page process of %1 ended (status %2, code %3)")
                                                  .arg(_page->url().toString()).arg(int(status)).arg(code));
                    call(_hooks.loadFinished, false);
                });
    }
    QWidget* widget() override { return this; }
    void load(const QUrl& url) override { _page->load(url); }
    void setHtml(const QString& html, const QUrl& base) override { _page->setHtml(html, base); }
    QUrl url() const override { return _page->url(); }
    void reload() override { _page->triggerAction(QWebEnginePage::Reload); }
    void stop() override { _page->triggerAction(QWebEnginePage::Stop); }
    void back() override { _page->triggerAction(QWebEnginePage::Back); }
    void forward() override { _page->triggerAction(QWebEnginePage::Forward); }
    QPointF scrollPosition() const override { return _page->scrollPosition(); }
    void setScrollPosition(const QPointF& position) override {
        _page->runJavaScript(QStringLiteral("window.scrollTo(%1, %2);").arg(position.x()).arg(position.y()));
    }

private:
    const Hooks _hooks;
    QWebEngineView* _view = nullptr;
    PolicyPage* _page = nullptr;
};

}  // namespace

extern "C" Q_DECL_EXPORT QVWebEngineBackend* qorvelMakeWebEngineBackend(QWidget* parent, const QVWebEngineBackend::Hooks& hooks,
                                                                         const QList<QVWebEngineBackend::Script>& scripts) {
    // WebEngine draws through Qt Quick's OpenGL scene graph, which a program that made no
    // OpenGL window before may not have picked yet.
    static const bool ready = [] {
        QQuickWindow::setGraphicsApi(QSGRendererInterface::OpenGLRhi);
        return true;
    }();
    Q_UNUSED(ready);
    return new Backend(parent, hooks, scripts);
}
