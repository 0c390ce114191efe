// The library that holds Qt WebEngine, loaded by the web-view factory the first time it makes a
// WebEngine view: the view, its page and what serves it pages from the disk. The web view's own
// code (its signals, the page content, the hand-off to the desktop) is the program's, which
// exports it for this library.
#include "platform/SystemLog.h"
#include "platform/web/QVWebView.h"
#include "platform/web/QVWebViewInternals.h"
#include "platform/web/engine/QVPageFileServer.h"

#include <QApplication>
#include <QBuffer>
#include <QHash>
#include <QPointer>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSet>
#include <QStringDecoder>
#include <QThreadPool>
#include <QHideEvent>
#include <QQuickWindow>
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

#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>

namespace {

using QVWebViewInternals::deliverPosted;

// Puts the page scripts and, when there are handlers, the bridge into page.
void installPageContent(QWebEnginePage* page) {
    const QVWebViewInternals::PageScripts content = QVWebViewInternals::pageScripts();
    if (!content.bridge.isEmpty()) {
        QWebEngineScript bridge;
        bridge.setName(QStringLiteral("qorvel-message-bridge"));
        bridge.setSourceCode(content.bridge);
        bridge.setInjectionPoint(QWebEngineScript::DocumentCreation);
        bridge.setWorldId(QWebEngineScript::MainWorld);
        bridge.setRunsOnSubFrames(false);
        page->scripts().insert(bridge);
    }
    for (qsizetype i = 0; i < content.scripts.size(); ++i) {
        QWebEngineScript script;
        script.setName(QStringLiteral("qorvel-page-script-%1").arg(i));
        script.setSourceCode(content.scripts.at(i));
        script.setInjectionPoint(QWebEngineScript::DocumentReady);
        script.setWorldId(QWebEngineScript::MainWorld);
        script.setRunsOnSubFrames(false);
        page->scripts().insert(script);
    }
}

// Pages from the disk. Qt WebEngine gives a file: page either every file on the disk to read
// (LocalContentCanAccessFileUrls on) or none of its own stylesheets, scripts and images (off), and
// keeps it from the network unless it may also reach every site. So a file is shown as
// "qvfile://<capability>/<path>", served here, a scheme whose pages have an opaque origin: a frame
// shows and its document cannot be read, a read by XHR or fetch fails, and remote stylesheets,
// scripts and fonts load as they do for any page of no site. What a page is made of comes from the
// page file server instead: the engine treats every response of a scheme of ours as the page's own,
// whatever its origin (a script's error text, a stylesheet's rules and an image's pixels would be
// open to the page), and does so for no response that comes over HTTP.
//
// A capability is what lets a request have a file, and only the address of a page from the disk
// holds one: the host its relative and absolute names resolve in. A web document, framed in such
// a page or not, of a site or of none (sandboxed, data:, blob:), cannot learn it (the origin is
// opaque, a page of the scheme sends no referrer), so whatever it names, by the scheme or at the
// page file server, has no host or first step the two answer. Each load Qorvel makes gets one of
// its own, which holds while a view shows its page (or is about to: no one knows a new one). A
// page's own script may carry its address off (an analytics beacon) to a site the view shows
// later, and that site's documents may run on well after the view left them (a frame, a worker):
// a capability that stopped holding never holds again. The view's return to the page (back,
// forward) is answered with the page under a new capability, which the history entry takes.
// A capability holds for the view that shows its page only: another view's documents (a site the
// beacon went to, shown beside the page) get nothing by it, whatever they learnt.
constexpr char PageScheme[] = "qvfile";

// What a view's own interceptor marks every request of its documents for an address of the scheme
// or of the page file server with: a value made per view, which no page sees nor sets (the scheme
// takes no read, the server answers no preflight). A request no view's interceptor saw (a shared
// or service worker's, of no view) has none, and gets nothing.
constexpr char ViewMark[] = "Qorvel-View";

class Capabilities {
public:
    static Capabilities& shared() {
        static Capabilities* capabilities = new Capabilities;  // the page file server's thread asks to the end
        return *capabilities;
    }
    // A new one, which view is about to show: 128 random bits, in lower case as the engine
    // writes a host.
    QByteArray mint(const void* view) {
        quint64 words[2];
        QRandomGenerator::system()->fillRange(words);
        const QByteArray made = QByteArray(reinterpret_cast<const char*>(words), sizeof words).toHex();
        const std::lock_guard<std::mutex> hold(_lock);
        _made.insert(made);
        _coming.insert(view, made);
        return made;
    }
    // The user (or the page shown) goes back or forward to a page view showed. Its capability
    // does not hold again: the page being left still runs, and may have been handed the address.
    // The view's own request for that page's document is answered with the page under a new
    // capability (renew()).
    void expect(const void* view, const QByteArray& capability) {
        const std::lock_guard<std::mutex> hold(_lock);
        if (_made.contains(capability)) _expected.insert(view, capability);
        else _expected.remove(view);
    }
    // The view whose requests carry mark, on its way back to the page of capability, gets it
    // under a new one, which no page has seen; the old one never holds again. Empty when that
    // view is not on its way there.
    QByteArray renew(const QByteArray& capability, QByteArrayView mark) {
        const void* view = nullptr;
        {
            const std::lock_guard<std::mutex> hold(_lock);
            view = marked(mark);
            if (!view || capability.isEmpty() || _expected.value(view) != capability) return {};
            _expected.remove(view);
        }
        return mint(view);
    }
    // Whether capability is the new one a view is about to show.
    bool coming(const void* view, const QByteArray& capability) const {
        const std::lock_guard<std::mutex> hold(_lock);
        return !capability.isEmpty() && _coming.value(view) == capability;
    }
    // The view's load of the page of capability ended without showing it (stopped, failed).
    void settled(const void* view, const QByteArray& capability) {
        const std::lock_guard<std::mutex> hold(_lock);
        if (_expected.value(view) == capability) _expected.remove(view);
    }
    // What view shows now, as the engine committed it: the capability of its address holds, the
    // one it showed before no more. A return under way stays expected: a page may commit another
    // address of its own (location.replace() right after history.back()) before the engine goes
    // back, and only the view's own request for its document, which the view allowed, takes it.
    void shows(const void* view, const QByteArray& capability) {
        const std::lock_guard<std::mutex> hold(_lock);
        if (_made.contains(capability)) _shown.insert(view, capability);
        else _shown.remove(view);
        if (_coming.value(view) == capability) _coming.remove(view);
    }
    void gone(const void* view) {
        const std::lock_guard<std::mutex> hold(_lock);
        _shown.remove(view);
        _coming.remove(view);
        _expected.remove(view);
        _marks.remove(view);
    }
    // The mark of view's requests (ViewMark), made the first time it is asked for.
    QByteArray mark(const void* view) {
        const std::lock_guard<std::mutex> hold(_lock);
        QByteArray& made = _marks[view];
        if (made.isEmpty()) {
            quint64 words[2];
            QRandomGenerator::system()->fillRange(words);
            made = QByteArray(reinterpret_cast<const char*>(words), sizeof words).toHex();
        }
        return made;
    }
    // Whether capability gives files now to the view whose requests carry mark (any thread): the
    // page that view shows, or is about to, has it.
    bool holds(QByteArrayView capability, QByteArrayView mark) const {
        const std::lock_guard<std::mutex> hold(_lock);
        const void* view = marked(mark);
        return view && !capability.isEmpty() && (_shown.value(view) == capability || _coming.value(view) == capability);
    }
    // Whether capability is that of the page view shows now, or is about to.
    bool owns(const void* view, const QByteArray& capability) const {
        const std::lock_guard<std::mutex> hold(_lock);
        return !capability.isEmpty() && (_shown.value(view) == capability || _coming.value(view) == capability);
    }
    // Whether Qorvel made it, in this run.
    bool made(const QByteArray& capability) const {
        const std::lock_guard<std::mutex> hold(_lock);
        return _made.contains(capability);
    }

private:
    const void* marked(QByteArrayView mark) const {
        if (mark.isEmpty()) return nullptr;
        for (auto it = _marks.begin(); it != _marks.end(); ++it)
            if (it.value() == mark) return it.key();
        return nullptr;
    }

    mutable std::mutex _lock;
    QSet<QByteArray> _made;
    QHash<const void*, QByteArray> _shown, _coming, _expected, _marks;
};

QByteArray capabilityOf(const QUrl& url) {
    return url.scheme() == QLatin1String(PageScheme) ? url.host(QUrl::FullyEncoded).toLatin1() : QByteArray();
}

// The port of the page file server, once it listens.
std::atomic<quint16> pageFilesPort{0};

// The capability an address asks with: the host of one of the scheme, the first step of one of the
// page file server; empty for any other.
QByteArray capabilityAsked(const QUrl& url) {
    const quint16 files = pageFilesPort.load();
    if (files && url.scheme() == QLatin1String("http") && url.host() == QLatin1String("127.0.0.1") && url.port() == files)
        return url.path(QUrl::FullyEncoded).section(QLatin1Char('/'), 1, 1).toLatin1();
    return capabilityOf(url);
}

// The address view loads for url: a file's in the page scheme under a new capability, any other
// as it is.
QUrl pageAddress(const QUrl& url, const void* view) {
    if (!url.isLocalFile()) return url;
    QUrl page = url;
    page.setScheme(QString::fromLatin1(PageScheme));
    page.setHost(QString::fromLatin1(Capabilities::shared().mint(view)));
    return page;
}

// What callers see of an address the view shows: a served file as its file: address.
QUrl shownAddress(const QUrl& url) {
    const QByteArray capability = capabilityOf(url);
    if (capability.isEmpty() || !Capabilities::shared().made(capability)) return url;
    QUrl file = url;
    file.setScheme(QStringLiteral("file"));
    file.setHost(QString());
    return file;
}

// Text that names served files (a title, a message) with every address of a capability Qorvel
// made written as the file: address it stands for.
QString shownText(const QString& text) {
    if (!text.contains(QLatin1String(PageScheme), Qt::CaseInsensitive)) return text;
    static const QRegularExpression address(QStringLiteral("qvfile://([0-9a-fA-F]{32})"), QRegularExpression::CaseInsensitiveOption);
    QString shown;
    qsizetype from = 0;
    for (QRegularExpressionMatchIterator it = address.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        shown += text.sliced(from, match.capturedStart() - from);
        shown += Capabilities::shared().made(match.captured(1).toLower().toLatin1()) ? QStringLiteral("file://") : match.captured();
        from = match.capturedEnd();
    }
    return shown + text.sliced(from);
}

// What the interceptor marks a request for a frame's or an object's document with: it tells only
// how a file that cannot be read fails, never whether one is served.
constexpr char FrameMark[] = "Qorvel-Frame";

// What the interceptor marks a view's request for its main document with, and a value made per
// process: no page sets a header on a request of the scheme (reads never reach it), and none could
// know the value.
constexpr char MainMark[] = "Qorvel-Main";
const QByteArray& mainMarkValue() {
    static const QByteArray value = QByteArray::number(QRandomGenerator::system()->generate64(), 16);
    return value;
}

// The largest document (a page, a frame, an object, a font) read whole to be served.
constexpr qint64 MaxDocument = qint64(512) * 1024 * 1024;

// The type a document is served as. A browser reads a file: page that declares no encoding by
// what its first bytes are, UTF-8 when they are valid UTF-8; the engine does that for no other
// scheme, so such a page says it here (one that declares its own, in its head, keeps it).
QByteArray documentType(const QString& path, const QByteArray& bytes) {
    const QByteArray type = QVPageFileServer::servedType(path);
    if (type != "text/html" && type != "text/plain") return type;
    const QByteArray first = bytes.left(64 * 1024);
    if (std::all_of(first.begin(), first.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) return type;
    if (type == "text/html") {
        const QByteArray lower = first.toLower();
        const qsizetype body = lower.indexOf("<body");
        const QByteArray head = body < 0 ? lower : lower.left(body);
        static const QRegularExpression declaration(QStringLiteral("<meta[^>]*charset"));
        if (head.startsWith("<?xml") || declaration.match(QString::fromLatin1(head)).hasMatch()) return type;
    }
    // A character cut at the end of the first bytes waits in the decoder, no error.
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString text = utf8.decode(first);
    return utf8.hasError() || text.isEmpty() ? type : type + ";charset=utf-8";
}

class PageServer : public QWebEngineUrlSchemeHandler {
public:
    using QWebEngineUrlSchemeHandler::QWebEngineUrlSchemeHandler;
    // A read stuck on a stalled disk never ends: the pool is left to the process's end then.
    ~PageServer() override {
        if (_readers->waitForDone(QVPageFileServer::ExitMilliseconds)) delete _readers;
    }
    // The file is read on a thread of the pool, never the window's: a file on a stalled disk
    // keeps its frame loading, not the window waiting.
    void requestStarted(QWebEngineUrlRequestJob* job) override {
        const QUrl url = job->requestUrl();
        const QMap<QByteArray, QByteArray> headers = job->requestHeaders();
        const QByteArray mark = headers.value(ViewMark);
        // A view that goes back, forward or reloads to a page it showed before gets it under a
        // new capability: whatever the page's own script handed out of the old one stays dead,
        // with the page being left, its frames and its workers, however long they still run.
        // Only the view that shows the page, or is on its way back to it, has it.
        if (!Capabilities::shared().holds(capabilityOf(url), mark)) {
            const QByteArray renewed = headers.value(MainMark) == mainMarkValue() ? Capabilities::shared().renew(capabilityOf(url), mark)
                                                                                    : QByteArray();
            if (renewed.isEmpty()) return job->fail(QWebEngineUrlRequestJob::RequestDenied);
            QUrl again = url;
            again.setHost(QString::fromLatin1(renewed));
            return job->redirect(again);
        }
        const QString path = url.path(QUrl::FullyDecoded);
        const bool frame = headers.contains(FrameMark);
        QPointer<QWebEngineUrlRequestJob> asked(job);
        _readers->start([asked, path, frame] {
            std::optional<QByteArray> bytes = QVPageFileServer::readServed(path, MaxDocument);
            const QByteArray type = bytes ? documentType(path, *bytes) : QByteArray();
            if (!qApp) return;  // a read that outlasted the end of Qorvel
            QMetaObject::invokeMethod(qApp, [asked, bytes = std::move(bytes), type, frame] {
                if (!asked) return;
                // A frame of a file that cannot be read shows nothing and loads, as it does (with
                // an error of its own) in a browser; a page fails, and its view shows why.
                if (!bytes && !frame) return asked->fail(QWebEngineUrlRequestJob::UrlNotFound);
                auto* buffer = new QBuffer(asked);
                buffer->setData(bytes.value_or(QByteArray()));
                buffer->open(QIODevice::ReadOnly);
                asked->reply(bytes ? type : QByteArray("text/html"), buffer);
            });
        });
    }

private:
    QThreadPool* _readers = new QThreadPool;
};

// Documents (a page, its frames) and fonts are served in the page scheme; every other file a page
// from the disk names goes to the page file server, at an address that carries the capability.
// Any other address of the scheme fails at the scheme handler; the server answers no address
// without the capability.
//
// Each view has its own, set on its page: the engine hands it only the requests of that view's
// documents and of their dedicated workers (and none at all where an interceptor of the profile
// changed the request, so the profile has none). It marks every request that names a capability
// as the view's (ViewMark), for the scheme handler and the page file server to judge by what the
// view shows; a request of no view (a shared or service worker's) goes unmarked, and gets nothing.
class PageGuard : public QWebEngineUrlRequestInterceptor {
public:
    PageGuard(const void* view, QVPageFileServer* files, QObject* parent) : QWebEngineUrlRequestInterceptor(parent), _view(view), _files(files) {}
    void interceptRequest(QWebEngineUrlRequestInfo& info) override {
        const QUrl url = info.requestUrl();
        const QByteArray capability = capabilityAsked(url);
        if (capability.isEmpty()) return;
        info.setHttpHeader(ViewMark, Capabilities::shared().mark(_view));
        using Info = QWebEngineUrlRequestInfo;
        // Only the main frame's own request is a view's: a page, framing or not, asks as a frame.
        if (url.scheme() == QLatin1String(PageScheme) &&
            (info.resourceType() == Info::ResourceTypeMainFrame || info.resourceType() == Info::ResourceTypeNavigationPreloadMainFrame)) {
            info.setHttpHeader(MainMark, mainMarkValue());
            return;
        }
        // What holds a capability is a document of no origin (a page from the disk is one): never
        // a document or worker of a site, whatever it learnt (a page of another view, a web frame
        // inside the page).
        const QUrl initiator = info.initiator();
        if (!initiator.isEmpty() && initiator.toString() != QLatin1String("null")) return info.block(true);
        // Another view's capability, or one that stopped holding, gets nothing: at the server it
        // goes no further (a flood of such reads costs no connection); one of the scheme goes on
        // to the handler, which answers the view's own return to its page.
        if (!Capabilities::shared().owns(_view, capability)) {
            if (url.scheme() != QLatin1String(PageScheme)) info.block(true);
            return;
        }
        if (url.scheme() != QLatin1String(PageScheme)) return;
        // A font stays: the engine asks for one as a read the page's origin must be allowed, and
        // follows no such read from the scheme into a redirect (a font shows only as the text
        // drawn with it).
        static const QList<Info::ResourceType> ownScheme{Info::ResourceTypeMainFrame, Info::ResourceTypeSubFrame, Info::ResourceTypeObject,
                                                         Info::ResourceTypeNavigationPreloadMainFrame,
                                                         Info::ResourceTypeNavigationPreloadSubFrame, Info::ResourceTypeFontResource};
        static const QList<Info::ResourceType> frames{Info::ResourceTypeSubFrame, Info::ResourceTypeObject,
                                                      Info::ResourceTypeNavigationPreloadSubFrame};
        if (frames.contains(info.resourceType())) info.setHttpHeader(FrameMark, "1");
        if (ownScheme.contains(info.resourceType())) return;
        if (_files && _files->isListening()) info.redirect(_files->address(capability, url.path(QUrl::FullyDecoded)));
        else info.block(true);
    }

private:
    const void* _view;
    QVPageFileServer* _files;
};

// Before Qt WebEngine starts: the scheme is known to the engine only if registered first.
void registerPageScheme() {
    static std::once_flag once;
    std::call_once(once, [] {
        QWebEngineUrlScheme scheme(PageScheme);
        scheme.setSyntax(QWebEngineUrlScheme::Syntax::Host);
        // Reads (XHR, fetch) never reach the scheme; a font, which is asked for as one, does.
        scheme.setFlags(QWebEngineUrlScheme::NoAccessAllowed | QWebEngineUrlScheme::CorsEnabled);
        QWebEngineUrlScheme::registerScheme(scheme);
    });
}

// The page file server, made with the scheme's handler.
QVPageFileServer* pageFiles = nullptr;

void servePages(QWebEngineProfile* profile) {
    static std::once_flag once;
    std::call_once(once, [profile] {
        profile->installUrlSchemeHandler(PageScheme, new PageServer(profile));
        pageFiles = new QVPageFileServer(
            [](QByteArrayView capability, QByteArrayView mark) { return Capabilities::shared().holds(capability, mark); }, profile);
        if (pageFiles->isListening()) pageFilesPort = pageFiles->address({}, {}).port();
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
    PolicyPage(QVWebView* owner, std::function<void(const QUrl&, bool)> handOut, std::function<void(const QUrl&)> refuseDiskPage)
        : QWebEnginePage(owner), _owner(owner), _handOut(std::move(handOut)), _refuseDiskPage(std::move(refuseDiskPage)) {
        installPageContent(this);
        // No page opens a window here: what a page asks to open goes through the hand-off.
        connect(this, &QWebEnginePage::newWindowRequested, this, [this](QWebEngineNewWindowRequest& request) {
            _handOut(shownAddress(request.requestedUrl()), request.isUserInitiated());
        });
    }

    // The base of the html Qorvel shows next: the view may go there whatever it shows now.
    // Qorvel's load() needs no word: the engine names it typed, which a page cannot.
    void expectHtml(const QUrl& base) { _htmlBase = base; }

protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) override {
        const bool clicked = type == NavigationTypeLinkClicked;
        if (isMainFrame) {
            const bool refused = url.scheme() == QLatin1String(PageScheme) && !mayShowDiskPage(url, type);
            if (!refused && (type == NavigationTypeBackForward || type == NavigationTypeReload))
                Capabilities::shared().expect(this, capabilityOf(url));
            _htmlBase.clear();
            if (refused) {
                _refuseDiskPage(shownAddress(url));
                return false;
            }
            _lastMain = url;
        }
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
    // A page from the disk takes the view to another; a web page never does (a browser keeps an
    // http page from file: addresses): only Qorvel, or the user going back, forward or reloading.
    bool mayShowDiskPage(const QUrl& url, NavigationType type) {
        if (type == NavigationTypeTyped || type == NavigationTypeBackForward || type == NavigationTypeReload) return true;
        // The page a view goes back to, under its new capability.
        if (type == NavigationTypeRedirect && Capabilities::shared().coming(this, capabilityOf(url))) return true;
        if (!_htmlBase.isEmpty() && url.adjusted(QUrl::RemoveFragment) == _htmlBase.adjusted(QUrl::RemoveFragment)) return true;
        // A redirect leaves the address last asked for, which the page may not show yet.
        const QUrl from = type == NavigationTypeRedirect ? _lastMain : this->url();
        return from.isEmpty() || Capabilities::shared().owns(this, capabilityOf(from));
    }

    QVWebView* _owner;
    std::function<void(const QUrl&, bool)> _handOut;
    std::function<void(const QUrl&)> _refuseDiskPage;
    QUrl _htmlBase;
    QUrl _lastMain;
};

class WebEngineView : public QVWebView {
public:
    explicit WebEngineView(QWidget* parent) : QVWebView(parent) {
        registerPageScheme();
        _view = new QWebEngineView(this);
        _page = new PolicyPage(
            this, [this](const QUrl& url, bool clicked) { handToDesktop(url, clicked); }, [this](const QUrl& url) { refuseDiskPage(url); });
        servePages(_page->profile());
        _page->setUrlRequestInterceptor(new PageGuard(_page, pageFiles, _page));
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
            if (info.status() != QWebEngineLoadingInfo::LoadStartedStatus) Capabilities::shared().settled(_page, capabilityOf(info.url()));
            // A load that gave way to another (a page's location.replace() as the view goes back,
            // a new address asked for) ends with no error, or as aborted: no error page, which
            // would take the view from the page that came.
            const bool gaveWay = info.errorCode() == 0 || (info.errorDomain() == QWebEngineLoadingInfo::InternalErrorDomain && info.errorCode() == -3);
            if (info.status() == QWebEngineLoadingInfo::LoadFailedStatus && !gaveWay)
                Q_EMIT loadFailed(shownAddress(info.url()), info.errorString());
        });
        connect(_page, &QWebEnginePage::loadFinished, this, [this](bool ok) {
            _progress = 100;
            Q_EMIT loadFinished(ok);
        });
        connect(_page, &QWebEnginePage::urlChanged, this, [this](const QUrl& url) {
            Capabilities::shared().shows(_page, capabilityOf(url));
            Q_EMIT urlChanged(shownAddress(url));
        });
        // Before a page's <title> is read, the engine names it by its address.
        connect(_page, &QWebEnginePage::titleChanged, this, [this](const QString& title) { Q_EMIT titleChanged(shownText(title)); });
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
    ~WebEngineView() override { Capabilities::shared().gone(_page); }
    void load(const QUrl& url) override { _page->load(pageAddress(url, _page)); }
    void setHtml(const QString& html, const QUrl& base) override {
        const QUrl address = pageAddress(base, _page);
        _page->expectHtml(address);
        _page->setHtml(html, address);
    }
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

}  // namespace

// The mark of view's requests, for a test to ask the page file server as that view does (in this
// process, where it could read it anyway); empty for a view of no page.
extern "C" Q_DECL_EXPORT void qorvelPageRequestMark(QVWebView* view, QByteArray* mark) {
    auto* page = view ? view->findChild<QWebEnginePage*>() : nullptr;
    *mark = page ? Capabilities::shared().mark(page) : QByteArray();
}

extern "C" Q_DECL_EXPORT QVWebView* qorvelMakeWebEngineView(QWidget* parent) {
    // WebEngine draws through Qt Quick's OpenGL scene graph, which a program that made no
    // OpenGL window before may not have picked yet.
    static const bool ready = [] {
        QQuickWindow::setGraphicsApi(QSGRendererInterface::OpenGLRhi);
        return true;
    }();
    Q_UNUSED(ready);
    return new WebEngineView(parent);
}
