// The one place that decides how Qorvel shows a real web page (the information window, the
// help, the built-in preview): Qt WebEngine when it can start here, else a QTextBrowser, which
// renders simple local HTML without scripts (their text is left out) under a line saying why.
// Callers see one interface and never name either engine. A page can do no more than in a
// browser: a page from the disk reads no other file, and nothing leaves for the desktop but a
// web or mail address the user clicked. WebEngine lives in a library of its own, loaded when the
// first view of it is made.
#pragma once

#include <QPointF>
#include <QString>
#include <QUrl>
#include <QVariant>
#include <QWidget>

#include <functional>

class QVWebView : public QWidget {
    Q_OBJECT
public:
    enum class Engine { WebEngine, TextBrowser };

    // Which engine create() makes in this process, decided once: the plain view when
    // QORVEL_NO_WEBENGINE is set, when WebEngine's helper process is missing, when the process
    // runs as root with Chromium's sandbox on (Chromium refuses to start so; set
    // QTWEBENGINE_DISABLE_SANDBOX=1 to accept running unsandboxed), when that sandbox cannot
    // start here (no user namespaces), or when the display offers no OpenGL to draw pages with
    // (each of which would end the whole program at the first page). The reason for the plain
    // view is logged once.
    static Engine engine();
    // Why engine() is the plain view; empty with WebEngine.
    static QString fallbackReason();
    // What the plain views of this process say above their page: why, and what to do; empty
    // with WebEngine.
    static QString fallbackNotice();
    // The same decision made now from the environment as it stands (what engine() made once).
    static Engine decide(QString* reason = nullptr);
    // A new view of engine(), child of parent; or of the engine asked for.
    static QVWebView* create(QWidget* parent = nullptr);
    static QVWebView* create(QWidget* parent, Engine engine);

    // How the view treats what a page asks. Every hook may be empty.
    struct Policy {
        // A link clicked in the page, before it is followed inside the view (it always is, when
        // the view shows its scheme).
        std::function<void(const QUrl& url, const QString& title)> linkClicked;
        // An address the view hands to the desktop, told before it goes. The view never opens a
        // window itself: what a page asks to open elsewhere (a link with a target, window.open,
        // a link of a scheme the view does not show) goes to the desktop only on a click of the
        // user's in the view, one address per click, and only a web or mail address (http,
        // https, mailto); anything else is refused with refused().
        std::function<void(const QUrl& url)> newWindowRequested;
        // Script panels; without a hook an alert is dropped and a confirmation answers false.
        std::function<void(const QString& message)> alert;
        std::function<bool(const QString& message)> confirm;
        // The text of a page's bytes for the plain view (which decodes what it shows itself):
        // a null string leaves it to the page's own declaration, else UTF-8.
        std::function<QString(const QByteArray& bytes, const QUrl& url)> decodePage;
    };
    // What every WebEngine page made afterwards gets, for the whole process (the plain view runs
    // no scripts). A page script runs in the page's own world at the end of each main-frame
    // document. A message handler receives what a page posts with
    // `window.qorvelMessageHandlers.<name>.postMessage(body)` (anything JSON carries), on the GUI
    // thread; a second handler of one name replaces the first.
    static void addPageScript(const QString& source);
    static void addMessageHandler(const QString& name, std::function<void(const QVariant& body)> handler);
    // For tests: forgets every page script and handler.
    static void resetPageContent();

    void setPolicy(Policy policy) { _policy = std::move(policy); }
    const Policy& policy() const { return _policy; }

    virtual Engine viewEngine() const = 0;
    virtual void load(const QUrl& url) = 0;
    // Shows html with base resolving its relative addresses (empty: none).
    virtual void setHtml(const QString& html, const QUrl& base = {}) = 0;
    virtual QUrl url() const = 0;
    virtual void reload() = 0;
    virtual void stop() = 0;
    virtual void back() = 0;
    virtual void forward() = 0;
    // 0 to 100 while a page loads, 100 once it has loaded (or failed).
    virtual int loadProgress() const = 0;
    // Where the page is scrolled (as last reported), and scrolling it there.
    virtual QPointF scrollPosition() const = 0;
    virtual void setScrollPosition(const QPointF& position) = 0;

Q_SIGNALS:
    void loadStarted();
    void loadFinished(bool ok);
    // A page that could not be loaded (the address and why); loadFinished(false) follows.
    void loadFailed(const QUrl& url, const QString& description);
    void urlChanged(const QUrl& url);
    void titleChanged(const QString& title);
    // The link under the pointer; empty when it left the link.
    void linkHovered(const QString& url);
    // What a page asked and was refused (an address not handed to the desktop), in words for
    // the window to show.
    void refused(const QString& message);

protected:
    explicit QVWebView(QWidget* parent) : QWidget(parent) {}
    // An address a page asks to open elsewhere; clicked: the page says a click of the user's
    // started it. Hands it to the desktop (QDesktopServices) or refuses it (above).
    void handToDesktop(const QUrl& url, bool clicked);
    // A web page asked to take the view to the page from the disk at url: refused().
    void refuseDiskPage(const QUrl& url);
    // The user clicked or typed in the view: the next hand-off may go.
    void noteUserInput() { _userInput = true; }

private:
    Policy _policy;
    bool _userInput = false;
};
