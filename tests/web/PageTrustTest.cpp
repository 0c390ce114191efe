// A hostile page in every web view that shows pages from the disk (the preview, its refresh on
// typing, the Help window): it reads no other file, what it is made of still loads, and nothing
// reaches the desktop but a web or mail address the user clicked, once per click. Closed, the
// window's page stops.
#include "platform/TextEncoding.h"
#include "platform/UserDefaults.h"
#include "platform/web/QVWebView.h"
#include "shell/web/QVHelpWindowController.h"
#include "tests/support/TestSupport.h"
#include "tests/web/WebTestSupport.h"
#include "tools/web/QVIntegratedPreviewController.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMainWindow>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <algorithm>
#include <functional>

#include <gtest/gtest.h>

namespace {

const bool unsandboxed = [] {
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    return true;
}();

const QByteArray pixel = QByteArray::fromBase64(
    "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mP8z8BQDwAEhQGAhKmMIQAAAABJRU5ErkJggg==");

// A site on loopback: a stylesheet, a script and an image a page may take from it, a page of
// its own, and the paths asked for.
class Site : public QObject {
public:
    Site() {
        _server.listen(QHostAddress::LocalHost);
        connect(&_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = _server.nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { answer(socket); });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }
    QString address() const { return QStringLiteral("http://127.0.0.1:%1").arg(_server.serverPort()); }
    QStringList paths;
    QByteArray page;  // "/page.html"

private:
    void answer(QTcpSocket* socket) {
        QByteArray& request = _requests[socket];
        request += socket->readAll();
        if (!request.contains("\r\n\r\n")) return;
        const QString path = QString::fromLatin1(request.split(' ').value(1));
        _requests.remove(socket);
        paths.append(path);
        QByteArray type = "text/plain", body = "ok";
        if (path == QLatin1String("/cdn.css")) type = "text/css", body = "body { background-color: rgb(4, 5, 6); }";
        else if (path == QLatin1String("/cdn.js")) type = "text/javascript", body = "window.cdnScript = true;";
        else if (path == QLatin1String("/cdn.png")) type = "image/png", body = pixel;
        else if (path == QLatin1String("/page.html")) type = "text/html", body = page;
        socket->write("HTTP/1.1 200 OK\r\nContent-Type: " + type + "\r\nContent-Length: " + QByteArray::number(body.size()) +
                      "\r\nConnection: close\r\n\r\n" + body);
        socket->disconnectFromHost();
    }
    QTcpServer _server;
    QHash<QTcpSocket*, QByteArray> _requests;
};

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

}  // namespace

TEST(PageTrust, AHostilePageReadsNoOtherFileAndOpensOnlyWhatTheUserClicks) {
    if (QVWebView::engine() != QVWebView::Engine::WebEngine) GTEST_SKIP() << QVWebView::fallbackReason().toStdString();
    Site site;
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

