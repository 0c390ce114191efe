#include "platform/web/QVWebView.h"

#include "platform/AppBundle.h"
#include "platform/SystemLog.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QHideEvent>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QLibraryInfo>
#include <QMimeDatabase>
#include <QPointer>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScrollBar>
#include <QStringDecoder>
#include <QTextBrowser>
#include <QVBoxLayout>
#include <QWebEngineLoadingInfo>
#include <QWebEngineNewWindowRequest>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineSettings>
#include <QWebEngineUrlRequestInfo>
#include <QWebEngineUrlRequestInterceptor>
#include <QWebEngineUrlRequestJob>
#include <QWebEngineUrlScheme>
#include <QWebEngineUrlSchemeHandler>
#include <QWebEngineView>

#include <mutex>
#include <unistd.h>

namespace {

struct EngineChoice {
    QVWebView::Engine engine = QVWebView::Engine::WebEngine;
    QString reason;
    QString remedy;  // what the user can do about it
};

EngineChoice chooseEngine() {
    if (!qEnvironmentVariableIsEmpty("QORVEL_NO_WEBENGINE"))
        return {QVWebView::Engine::TextBrowser, QStringLiteral("QORVEL_NO_WEBENGINE is set"),
                QStringLiteral("Start Qorvel without QORVEL_NO_WEBENGINE to see pages as a browser shows them.")};
    const QString helper = qEnvironmentVariableIsEmpty("QTWEBENGINEPROCESS_PATH")
                               ? QLibraryInfo::path(QLibraryInfo::LibraryExecutablesPath) + QStringLiteral("/QtWebEngineProcess")
                               : qEnvironmentVariable("QTWEBENGINEPROCESS_PATH");
    if (!QFileInfo(helper).isExecutable())
        return {QVWebView::Engine::TextBrowser, QStringLiteral("its helper %1 is missing").arg(helper),
                QStringLiteral("Install Qt WebEngine's helper program (Debian's package libqt6webenginecore6-bin) and start "
                               "Qorvel again.")};
    const bool unsandboxed = !qEnvironmentVariableIsEmpty("QTWEBENGINE_DISABLE_SANDBOX") ||
                             qEnvironmentVariable("QTWEBENGINE_CHROMIUM_FLAGS").contains(QLatin1String("--no-sandbox"));
    if (::geteuid() == 0 && !unsandboxed)
        return {QVWebView::Engine::TextBrowser,
                QStringLiteral("it will not run as root with its sandbox on"),
                QStringLiteral("Run Qorvel as a normal user, or start it as root with QTWEBENGINE_DISABLE_SANDBOX=1 in its "
                               "environment.")};
    return {};
}

const EngineChoice& engineChoice() {
    static std::once_flag once;
    static EngineChoice choice;
    std::call_once(once, [] {
        choice = chooseEngine();
        if (choice.engine == QVWebView::Engine::TextBrowser)
            SystemLog::warning(QStringLiteral("Qt WebEngine cannot start: %1; web pages show in a plain text view. %2")
                                   .arg(choice.reason, choice.remedy));
    });
    return choice;
}

// The process's page scripts and message handlers. Pages post through the console: the bridge
// script keeps the console's own function from the moment the document is made, before any page
// script could replace it, and marks each message with a token made per process, so no line a
// page logs is taken for a message by chance.
struct PageContent {
    std::mutex lock;
    QStringList scripts;
    QHash<QString, std::function<void(const QVariant&)>> handlers;
    const QString token = QStringLiteral("qorvel-message-%1:")
                              .arg(QRandomGenerator::system()->generate64(), 16, 16, QLatin1Char('0'));
};

PageContent& pageContent() {
    static auto* content = new PageContent;  // lives for the process: pages outlive statics' order
    return *content;
}

QString bridgeScript(const QStringList& names, const QString& token) {
    const QString namesJSON = QString::fromUtf8(QJsonDocument(QJsonArray::fromStringList(names)).toJson(QJsonDocument::Compact));
    const QString tokenJSON = QString::fromUtf8(QJsonDocument(QJsonArray{token}).toJson(QJsonDocument::Compact));
    return QStringLiteral(
               "(function () {\n"
               "  if (window.qorvelMessageHandlers) return;\n"
               "  var log = console.log.bind(console), stringify = JSON.stringify, token = %2[0];\n"
               "  var handlers = {};\n"
               "  %1.forEach(function (name) {\n"
               "    handlers[name] = Object.freeze({ postMessage: function (body) {\n"
               "      var text;\n"
               "      try { text = stringify([name, body === undefined ? null : body]); } catch (e) { return; }\n"
               "      log(token + text);\n"
               "    } });\n"
               "  });\n"
               "  Object.defineProperty(window, 'qorvelMessageHandlers', { value: Object.freeze(handlers) });\n"
               "})();\n")
        .arg(namesJSON, tokenJSON);
}

// Puts the page scripts and, when there are handlers, the bridge into page.
void installPageContent(QWebEnginePage* page) {
    PageContent& content = pageContent();
    QStringList scripts, names;
    {
        std::lock_guard<std::mutex> locker(content.lock);
        scripts = content.scripts;
        names = content.handlers.keys();
    }
    names.sort();
    if (!names.isEmpty()) {
        QWebEngineScript bridge;
        bridge.setName(QStringLiteral("qorvel-message-bridge"));
        bridge.setSourceCode(bridgeScript(names, content.token));
        bridge.setInjectionPoint(QWebEngineScript::DocumentCreation);
        bridge.setWorldId(QWebEngineScript::MainWorld);
        bridge.setRunsOnSubFrames(false);
        page->scripts().insert(bridge);
    }
    for (qsizetype i = 0; i < scripts.size(); ++i) {
        QWebEngineScript script;
        script.setName(QStringLiteral("qorvel-page-script-%1").arg(i));
        script.setSourceCode(scripts.at(i));
        script.setInjectionPoint(QWebEngineScript::DocumentReady);
        script.setWorldId(QWebEngineScript::MainWorld);
        script.setRunsOnSubFrames(false);
        page->scripts().insert(script);
    }
}

// A console line that carries a posted message goes to its handler; true when it was one.
bool deliverPosted(const QString& line) {
    PageContent& content = pageContent();
    if (!line.startsWith(content.token)) return false;
    const QJsonDocument document = QJsonDocument::fromJson(line.mid(content.token.size()).toUtf8());
    const QJsonArray message = document.array();
    if (message.size() != 2 || !message.at(0).isString()) return true;
    std::function<void(const QVariant&)> handler;
    {
        std::lock_guard<std::mutex> locker(content.lock);
        handler = content.handlers.value(message.at(0).toString());
    }
    if (handler) handler(message.at(1).toVariant());
    return true;
}

// Pages from the disk. Qt WebEngine gives a file: page either every file on the disk to read
// (LocalContentCanAccessFileUrls on) or none of its own stylesheets, scripts and images (off), and
// keeps it from the network unless it may also reach every site. So a file is shown as
// "qvfile://local/<path>", served here, a scheme whose pages have an opaque origin: what a page
// is made of loads as it would from a web server, another file it names loads only as what it
// is made of (a frame shows, its document cannot be read; a read by XHR or fetch fails), and
// remote stylesheets, scripts and fonts load as they do for any page of no site.
constexpr char PageScheme[] = "qvfile";
const QString PageHost = QStringLiteral("local");

bool isPageAddress(const QUrl& url) { return url.scheme() == QLatin1String(PageScheme) && url.host() == PageHost; }

// The address a view loads for url: a file's in the page scheme, any other as it is.
QUrl pageAddress(const QUrl& url) {
    if (!url.isLocalFile()) return url;
    QUrl page = url;
    page.setScheme(QString::fromLatin1(PageScheme));
    page.setHost(PageHost);
    return page;
}

// What callers see of an address the view shows: a served file as its file: address.
QUrl shownAddress(const QUrl& url) {
    if (!isPageAddress(url)) return url;
    QUrl file = url;
    file.setScheme(QStringLiteral("file"));
    file.setHost(QString());
    return file;
}

// The type a page's file is served as: what the name and content say, and text the engine would
// not show itself (a PHP page, a log) as plain text rather than a download.
QByteArray servedType(const QString& path) {
    const QMimeType type = QMimeDatabase().mimeTypeForFile(path);
    static const QStringList shown{QStringLiteral("text/html"), QStringLiteral("application/xhtml+xml"), QStringLiteral("text/css"),
                                   QStringLiteral("application/javascript"), QStringLiteral("text/javascript"),
                                   QStringLiteral("application/json"), QStringLiteral("image/svg+xml"), QStringLiteral("application/xml"),
                                   QStringLiteral("text/xml")};
    if (!shown.contains(type.name()) && type.inherits(QStringLiteral("text/plain"))) return "text/plain";
    return type.name().toUtf8();
}

class PageServer : public QWebEngineUrlSchemeHandler {
public:
    using QWebEngineUrlSchemeHandler::QWebEngineUrlSchemeHandler;
    void requestStarted(QWebEngineUrlRequestJob* job) override {
        const QUrl url = job->requestUrl();
        if (!isPageAddress(url)) return job->fail(QWebEngineUrlRequestJob::UrlInvalid);
        const QString path = url.path(QUrl::FullyDecoded);
        if (!QFileInfo(path).isFile()) return job->fail(QWebEngineUrlRequestJob::UrlNotFound);
        auto* file = new QFile(path, job);
        if (!file->open(QIODevice::ReadOnly)) return job->fail(QWebEngineUrlRequestJob::RequestDenied);
        job->reply(servedType(path), file);
    }
};

// A web page (its top document from a site) gets nothing from the disk, not even in a frame of
// its own: the disk's files are for pages from the disk.
class PageGuard : public QWebEngineUrlRequestInterceptor {
public:
    using QWebEngineUrlRequestInterceptor::QWebEngineUrlRequestInterceptor;
    void interceptRequest(QWebEngineUrlRequestInfo& info) override {
        if (info.requestUrl().scheme() != QLatin1String(PageScheme) ||
            info.resourceType() == QWebEngineUrlRequestInfo::ResourceTypeMainFrame)
            return;
        const QString top = info.firstPartyUrl().scheme();
        if (top == QLatin1String("http") || top == QLatin1String("https") || top == QLatin1String("blob")) info.block(true);
    }
};

// Before Qt WebEngine starts: the scheme is known to the engine only if registered first.
void registerPageScheme() {
    static std::once_flag once;
    std::call_once(once, [] {
        QWebEngineUrlScheme scheme(PageScheme);
        scheme.setSyntax(QWebEngineUrlScheme::Syntax::Host);
        scheme.setFlags(QWebEngineUrlScheme::NoAccessAllowed);
        QWebEngineUrlScheme::registerScheme(scheme);
    });
}

void servePages(QWebEngineProfile* profile) {
    static std::once_flag once;
    std::call_once(once, [profile] {
        profile->installUrlSchemeHandler(PageScheme, new PageServer(profile));
        profile->setUrlRequestInterceptor(new PageGuard(profile));
    });
}

// What a browser allows a page, where Qt WebEngine's defaults allow more: a file page reads no
// other file (moot for our served pages, kept for any file: page), and WebRTC tells a page no
// address of this machine's private networks.
void settleSettings(QWebEngineSettings* settings) {
    // A failure is ours to show (the preview's error page), not Chromium's.
    settings->setAttribute(QWebEngineSettings::ErrorPageEnabled, false);
    settings->setAttribute(QWebEngineSettings::LocalContentCanAccessFileUrls, false);
    settings->setAttribute(QWebEngineSettings::WebRTCPublicInterfacesOnly, true);
}

// Schemes a view shows itself; any other address a page goes to is the desktop's to open, or no one's.
bool shownInside(const QUrl& url) {
    static const QStringList schemes{QStringLiteral("http"), QStringLiteral("https"), QString::fromLatin1(PageScheme),
                                     QStringLiteral("data"), QStringLiteral("about"), QStringLiteral("blob")};
    return schemes.contains(url.scheme());
}

class PolicyPage : public QWebEnginePage {
public:
    PolicyPage(QVWebView* owner, std::function<void(const QUrl&, bool)> handOut)
        : QWebEnginePage(owner), _owner(owner), _handOut(std::move(handOut)) {
        installPageContent(this);
        // No page opens a window here: what a page asks to open goes through the hand-off.
        connect(this, &QWebEnginePage::newWindowRequested, this, [this](QWebEngineNewWindowRequest& request) {
            _handOut(shownAddress(request.requestedUrl()), request.isUserInitiated());
        });
    }

protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) override {
        const bool clicked = type == NavigationTypeLinkClicked;
        if (shownInside(url)) {
            if (clicked && isMainFrame && _owner->policy().linkClicked) _owner->policy().linkClicked(shownAddress(url), QString());
            return true;
        }
        // Left to the engine, an address of another scheme (mailto:, qvdt:) would go straight
        // to the desktop.
        _handOut(url, clicked);
        return false;
    }
    QWebEnginePage* createWindow(WebWindowType) override { return nullptr; }
    void javaScriptAlert(const QUrl&, const QString& message) override {
        if (_owner->policy().alert) _owner->policy().alert(message);
    }
    bool javaScriptConfirm(const QUrl&, const QString& message) override {
        return _owner->policy().confirm && _owner->policy().confirm(message);
    }
    bool javaScriptPrompt(const QUrl&, const QString&, const QString&, QString*) override { return false; }
    void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel level, const QString& message, int line,
                                  const QString& source) override {
        if (!deliverPosted(message)) QWebEnginePage::javaScriptConsoleMessage(level, message, line, source);
    }

private:
    QVWebView* _owner;
    std::function<void(const QUrl&, bool)> _handOut;
};

class WebEngineView : public QVWebView {
public:
    explicit WebEngineView(QWidget* parent) : QVWebView(parent) {
        registerPageScheme();
        _view = new QWebEngineView(this);
        _page = new PolicyPage(this, [this](const QUrl& url, bool clicked) { handToDesktop(url, clicked); });
        servePages(_page->profile());
        settleSettings(_page->settings());
        _view->setPage(_page);
        _view->setContextMenuPolicy(Qt::NoContextMenu);
        auto* layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(_view);
        connect(_page, &QWebEnginePage::loadStarted, this, [this] {
            _progress = 0;
            Q_EMIT loadStarted();
        });
        connect(_page, &QWebEnginePage::loadProgress, this, [this](int progress) { _progress = progress; });
        connect(_page, &QWebEnginePage::loadingChanged, this, [this](const QWebEngineLoadingInfo& info) {
            if (info.status() == QWebEngineLoadingInfo::LoadFailedStatus)
                Q_EMIT loadFailed(shownAddress(info.url()), info.errorString());
        });
        connect(_page, &QWebEnginePage::loadFinished, this, [this](bool ok) {
            _progress = 100;
            Q_EMIT loadFinished(ok);
        });
        connect(_page, &QWebEnginePage::urlChanged, this, [this](const QUrl& url) { Q_EMIT urlChanged(shownAddress(url)); });
        connect(_page, &QWebEnginePage::titleChanged, this, &QVWebView::titleChanged);
        connect(_page, &QWebEnginePage::linkHovered, this, [this](const QString& link) {
            Q_EMIT linkHovered(link.isEmpty() ? link : shownAddress(QUrl(link)).toString());
        });
        // A click (a press of a key, a release of the button) in the page is what lets the
        // page hand one address to the desktop.
        qApp->installEventFilter(this);
        connect(_page, &QWebEnginePage::renderProcessTerminated, this,
                [this](QWebEnginePage::RenderProcessTerminationStatus status, int code) {
                    if (status == QWebEnginePage::NormalTerminationStatus) return;
                    SystemLog::warning(QStringLiteral("The web page process of %1 ended (status %2, code %3)")
                                           .arg(url().toString()).arg(int(status)).arg(code));
                    _progress = 100;
                    Q_EMIT loadFinished(false);
                });
    }
    Engine viewEngine() const override { return Engine::WebEngine; }
    void load(const QUrl& url) override { _page->load(pageAddress(url)); }
    void setHtml(const QString& html, const QUrl& base) override { _page->setHtml(html, pageAddress(base)); }
    QUrl url() const override { return shownAddress(_page->url()); }
    void reload() override { _page->triggerAction(QWebEnginePage::Reload); }
    void stop() override { _page->triggerAction(QWebEnginePage::Stop); }
    void back() override { _page->triggerAction(QWebEnginePage::Back); }
    void forward() override { _page->triggerAction(QWebEnginePage::Forward); }
    int loadProgress() const override { return _progress; }
    QPointF scrollPosition() const override { return _page->scrollPosition(); }
    void setScrollPosition(const QPointF& position) override {
        _page->runJavaScript(QStringLiteral("window.scrollTo(%1, %2);").arg(position.x()).arg(position.y()));
    }

protected:
    // Closed (not minimised), the view freezes its page: its scripts, timers and requests wait
    // until it shows again, as it was (a discarded page would load again on its own, racing the
    // load that shows it).
    void hideEvent(QHideEvent* event) override {
        QVWebView::hideEvent(event);
        if (!event->spontaneous()) _page->setLifecycleState(QWebEnginePage::LifecycleState::Frozen);
    }
    bool eventFilter(QObject* watched, QEvent* event) override {
        if ((event->type() == QEvent::MouseButtonRelease || event->type() == QEvent::KeyPress) && watched->isWidgetType() &&
            _view->isAncestorOf(static_cast<QWidget*>(watched)))
            noteUserInput();
        return false;
    }

private:
    QWebEngineView* _view = nullptr;
    PolicyPage* _page = nullptr;
    int _progress = 100;
};

// A page's text without its scripts: a plain view runs none, and would show their source as text.
QString withoutScripts(const QString& html) {
    static const QRegularExpression scripts(QStringLiteral("<script\\b[^>]*>.*?(</script\\s*>|$)"),
                                            QRegularExpression::CaseInsensitiveOption | QRegularExpression::DotMatchesEverythingOption);
    return QString(html).remove(scripts);
}

class ScriptlessBrowser : public QTextBrowser {
public:
    ScriptlessBrowser(QVWebView* owner) : QTextBrowser(owner), _owner(owner) {}
    QVariant loadResource(int type, const QUrl& name) override {
        QVariant data = QTextBrowser::loadResource(type, name);
        if (type != QTextDocument::HtmlResource) return data;
        if (data.userType() == QMetaType::QByteArray) {
            const QByteArray bytes = data.toByteArray();
            // The owner reads a page in the encoding its editor would: Qt knows few of them and
            // takes UTF-8 for the rest.
            if (_owner->policy().decodePage) {
                const QString text = _owner->policy().decodePage(bytes, name.isRelative() ? source().resolved(name) : name);
                if (!text.isNull()) return withoutScripts(text);
            }
            QStringDecoder decode(QStringConverter::encodingForHtml(bytes).value_or(QStringConverter::Utf8));
            return withoutScripts(decode(bytes));
        }
        return data.userType() == QMetaType::QString ? QVariant(withoutScripts(data.toString())) : data;
    }

private:
    QVWebView* _owner;
};

// Local HTML without scripts or styles sheets beyond Qt's rich-text subset; remote addresses go
// to the desktop's browser. When Qt WebEngine could not start, a line above the page says why,
// once for the window, and what to do.
class TextBrowserView : public QVWebView {
public:
    explicit TextBrowserView(QWidget* parent) : QVWebView(parent) {
        auto* layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(0);
        if (const QString notice = fallbackNotice(); !notice.isEmpty()) {
            auto* line = new QLabel(notice, this);
            line->setObjectName(QStringLiteral("WebEngineNotice"));
            line->setWordWrap(true);
            line->setTextInteractionFlags(Qt::TextSelectableByMouse);
            line->setContentsMargins(8, 6, 8, 6);
            line->setAutoFillBackground(true);
            QPalette palette = line->palette();
            palette.setColor(QPalette::Window, palette.color(QPalette::ToolTipBase));
            palette.setColor(QPalette::WindowText, palette.color(QPalette::ToolTipText));
            line->setPalette(palette);
            layout->addWidget(line);
        }
        _browser = new ScriptlessBrowser(this);
        _browser->setOpenLinks(false);
        _browser->setContextMenuPolicy(Qt::NoContextMenu);
        layout->addWidget(_browser);
        connect(_browser, &QTextBrowser::anchorClicked, this, [this](const QUrl& link) {
            const QUrl url = _browser->source().resolved(link);
            if (policy().linkClicked) policy().linkClicked(url, QString());
            if (url.isLocalFile() || url.scheme().isEmpty()) {
                load(url);
            } else {
                noteUserInput();
                handToDesktop(url, true);
            }
        });
        connect(_browser, &QTextBrowser::highlighted, this, [this](const QUrl& link) {
            Q_EMIT linkHovered(link.isEmpty() ? QString() : _browser->source().resolved(link).toString());
        });
    }
    Engine viewEngine() const override { return Engine::TextBrowser; }
    void load(const QUrl& url) override {
        Q_EMIT loadStarted();
        QString why;
        if (!url.isLocalFile()) why = QStringLiteral("Without Qt WebEngine only local pages can be shown.");
        else if (!QFileInfo(url.toLocalFile()).isFile() || !QFileInfo(url.toLocalFile()).isReadable())
            why = QStringLiteral("The file %1 could not be read.").arg(url.toLocalFile());
        if (!why.isEmpty()) {
            Q_EMIT loadFailed(url, why);
            Q_EMIT loadFinished(false);
            return;
        }
        // Asked again for the page it shows, the browser would keep its old text.
        if (_browser->source() == url) _browser->reload();
        else _browser->setSource(url, QTextDocument::HtmlResource);
        Q_EMIT urlChanged(url);
        Q_EMIT titleChanged(_browser->documentTitle());
        Q_EMIT loadFinished(true);
    }
    void setHtml(const QString& html, const QUrl& base) override {
        Q_EMIT loadStarted();
        _browser->setHtml(withoutScripts(html));
        _browser->document()->setBaseUrl(base);
        Q_EMIT urlChanged(base);
        Q_EMIT loadFinished(true);
    }
    QUrl url() const override { return _browser->source(); }
    void reload() override {
        if (_browser->source().isValid()) load(_browser->source());
    }
    void stop() override {}
    void back() override { _browser->backward(); }
    void forward() override { _browser->forward(); }
    int loadProgress() const override { return 100; }
    QPointF scrollPosition() const override {
        return QPointF(_browser->horizontalScrollBar()->value(), _browser->verticalScrollBar()->value());
    }
    void setScrollPosition(const QPointF& position) override {
        _browser->horizontalScrollBar()->setValue(int(position.x()));
        _browser->verticalScrollBar()->setValue(int(position.y()));
    }

private:
    QTextBrowser* _browser = nullptr;
};

}  // namespace

void QVWebView::prepareApplication() {
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    registerPageScheme();
}

QVWebView::Engine QVWebView::engine() { return engineChoice().engine; }

QString QVWebView::fallbackReason() { return engineChoice().reason; }

QString QVWebView::fallbackNotice() {
    const EngineChoice& choice = engineChoice();
    if (choice.engine == Engine::WebEngine) return {};
    return QStringLiteral("Qt WebEngine cannot start: %1. Pages show here as plain text, without their scripts. %2")
        .arg(choice.reason, choice.remedy);
}

QVWebView::Engine QVWebView::decide(QString* reason) {
    const EngineChoice choice = chooseEngine();
    if (reason) *reason = choice.reason;
    return choice.engine;
}

QVWebView* QVWebView::create(QWidget* parent) { return create(parent, engine()); }

QVWebView* QVWebView::create(QWidget* parent, Engine kind) {
    if (kind == Engine::WebEngine) return new WebEngineView(parent);
    return new TextBrowserView(parent);
}

void QVWebView::addPageScript(const QString& source) {
    PageContent& content = pageContent();
    std::lock_guard<std::mutex> locker(content.lock);
    content.scripts.append(source);
}

void QVWebView::addMessageHandler(const QString& name, std::function<void(const QVariant& body)> handler) {
    PageContent& content = pageContent();
    std::lock_guard<std::mutex> locker(content.lock);
    content.handlers.insert(name, std::move(handler));
}

void QVWebView::resetPageContent() {
    PageContent& content = pageContent();
    std::lock_guard<std::mutex> locker(content.lock);
    content.scripts.clear();
    content.handlers.clear();
}

void QVWebView::handToDesktop(const QUrl& url, bool clicked) {
    // The page's own word that it was clicked is not enough: one click of the user's in the view
    // lets one address out.
    if (!clicked || !_userInput) {
        Q_EMIT refused(QVLocalized(QStringLiteral("A page may open %1 only when you click it: not opened.")).arg(url.toDisplayString()));
        return;
    }
    static const QStringList desktopSchemes{QStringLiteral("http"), QStringLiteral("https"), QStringLiteral("mailto")};
    if (!desktopSchemes.contains(url.scheme())) {
        Q_EMIT refused(QVLocalized(QStringLiteral("A page may hand only web and mail addresses to other programs: %1 not opened."))
                           .arg(url.toDisplayString()));
        return;
    }
    _userInput = false;
    if (_policy.newWindowRequested) _policy.newWindowRequested(url);
    QDesktopServices::openUrl(url);
}
