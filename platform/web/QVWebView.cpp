#include "platform/web/QVWebView.h"

#include "platform/AppBundle.h"
#include "platform/SystemLog.h"
#include "platform/web/QVWebViewInternals.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHideEvent>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QLibrary>
#include <QOpenGLContext>
#include <QLibraryInfo>
#include <QMimeDatabase>
#include <QPointer>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScrollBar>
#include <QStringDecoder>
#include <QTextBrowser>
#include <QVBoxLayout>

#include <cerrno>
#include <mutex>

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

// Qt's global OpenGL context, which windows and WebEngine share (exported by QtGui, declared in
// its private headers).
Q_GUI_EXPORT QOpenGLContext* qt_gl_global_share_context();
Q_GUI_EXPORT void qt_gl_set_global_share_context(QOpenGLContext* context);

namespace {

QString webEngineModulePath();

// Chromium's sandbox puts each page in namespaces of a user of its own (Qt ships no setuid
// helper for the older way), and there closes the file system to it (chroot); where the system
// lets no program make them, or leaves the new namespace without the powers that takes (as a
// security module that restricts unprivileged user namespaces does), WebEngine ends the whole
// program as it starts. Tried in a child, as Chromium tries it.
bool sandboxCanStart() {
    const pid_t child = ::fork();
    if (child < 0) return true;  // cannot tell: WebEngine will say
    if (child == 0) ::_exit(::unshare(CLONE_NEWUSER | CLONE_NEWPID | CLONE_NEWNET) == 0 && ::chroot("/") == 0 ? 0 : 1);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0)
        if (errno != EINTR) return true;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// WebEngine's view draws through OpenGL; on a display where no OpenGL context can be made (no GLX
// nor EGL, QT_XCB_GL_INTEGRATION=none) the first page shown ends the program. A platform that
// shows nothing (offscreen, minimal) draws no page and runs them all the same.
bool openGLDraws(QString* why) {
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance())) return true;
    const QString platform = QGuiApplication::platformName();
    if (platform == QLatin1String("offscreen") || platform == QLatin1String("minimal")) return true;
    QOpenGLContext context;
    if (context.create()) return true;
    *why = QStringLiteral("OpenGL cannot be used on this display (platform %1)").arg(platform);
    return false;
}

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
    if (!QFileInfo(webEngineModulePath()).isFile())
        return {QVWebView::Engine::TextBrowser, QStringLiteral("Qorvel's library for it, %1, is missing").arg(webEngineModulePath()),
                QStringLiteral("Install Qorvel again, whole.")};
    const bool unsandboxed = !qEnvironmentVariableIsEmpty("QTWEBENGINE_DISABLE_SANDBOX") ||
                             qEnvironmentVariable("QTWEBENGINE_CHROMIUM_FLAGS").contains(QLatin1String("--no-sandbox"));
    if (::geteuid() == 0 && !unsandboxed)
        return {QVWebView::Engine::TextBrowser,
                QStringLiteral("it will not run as root with its sandbox on"),
                QStringLiteral("Run Qorvel as a normal user, or start it as root with QTWEBENGINE_DISABLE_SANDBOX=1 in its "
                               "environment.")};
    if (!unsandboxed && !sandboxCanStart())
        return {QVWebView::Engine::TextBrowser,
                QStringLiteral("its sandbox cannot start here (this system lets no program make user namespaces, or use them "
                               "to close the file system)"),
                QStringLiteral("Allow user namespaces (the sysctls kernel.unprivileged_userns_clone, user.max_user_namespaces or "
                               "kernel.apparmor_restrict_unprivileged_userns), "
                               "or start Qorvel with QTWEBENGINE_DISABLE_SANDBOX=1 in its environment.")};
    if (QString why; !openGLDraws(&why))
        return {QVWebView::Engine::TextBrowser, why,
                QStringLiteral("Start Qorvel on a display with OpenGL (Mesa's drivers give it without a graphics card too), "
                               "and without QT_XCB_GL_INTEGRATION=none.")};
    return {};
}

void logFallback(const EngineChoice& choice) {
    SystemLog::warning(QStringLiteral("Qt WebEngine cannot start: %1; web pages show in a plain text view. %2").arg(choice.reason, choice.remedy));
}

// Decided once; the plain view from then on when WebEngine's library fails to load.
EngineChoice& engineChoice() {
    static std::once_flag once;
    static EngineChoice choice;
    std::call_once(once, [] {
        choice = chooseEngine();
        if (choice.engine == QVWebView::Engine::TextBrowser) logFallback(choice);
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

}  // namespace

QVWebViewInternals::PageScripts QVWebViewInternals::pageScripts() {
    PageContent& content = pageContent();
    PageScripts made;
    QStringList names;
    {
        std::lock_guard<std::mutex> locker(content.lock);
        made.scripts = content.scripts;
        names = content.handlers.keys();
    }
    names.sort();
    if (!names.isEmpty()) made.bridge = bridgeScript(names, content.token);
    return made;
}

// A console line that carries a posted message goes to its handler; true when it was one.
bool QVWebViewInternals::deliverPosted(const QString& line) {
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

namespace {

// Where the library that holds WebEngine lies: lib/qorvel beside the program's bin folder, in
// the build as where it is installed.
QString webEngineModulePath() {
    return QCoreApplication::applicationDirPath() + QStringLiteral("/../lib/qorvel/libqorvel-webengine.so");
}

// The library loaded the first time a page is shown with WebEngine (never at launch), and its
// factory; null, with why, when it cannot be loaded. WebEngine shares its textures with the
// program's windows through Qt's global OpenGL context, which Qt makes while starting when asked
// to; a program that loads WebEngine later makes that context first, as WebEngine would have.
// The library finds the web view's own code in the program, which exports its symbols for it.
QVWebViewInternals::Factory webEngineFactory(QString* why) {
    static QVWebViewInternals::Factory factory = nullptr;
    static QString error;
    static bool tried = false;
    if (!tried) {
        tried = true;
        if (!qt_gl_global_share_context()) {
            QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
            auto* context = new QOpenGLContext;  // the program's, for its whole life
            context->create();
            qt_gl_set_global_share_context(context);
        }
        QLibrary library(webEngineModulePath());
        library.setLoadHints(QLibrary::ResolveAllSymbolsHint);
        if (library.load()) factory = reinterpret_cast<QVWebViewInternals::Factory>(library.resolve(QVWebViewInternals::FactoryName));
        if (!factory) error = library.errorString();
    }
    if (why) *why = error;
    return factory;
}

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
    if (kind == Engine::WebEngine) {
        QString why;
        if (const QVWebViewInternals::Factory factory = webEngineFactory(&why)) return factory(parent);
        EngineChoice& choice = engineChoice();
        if (choice.engine == Engine::WebEngine) {
            choice = {Engine::TextBrowser, QStringLiteral("Qorvel's library for it could not be loaded (%1)").arg(why),
                      QStringLiteral("Install Qt WebEngine (Debian's package libqt6webenginewidgets6) and start Qorvel again.")};
            logFallback(choice);
        }
    }
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

void QVWebView::refuseDiskPage(const QUrl& url) {
    Q_EMIT refused(QVLocalized(QStringLiteral("A web page may not open a page from the disk: %1 not opened.")).arg(url.toDisplayString()));
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
