// Uncaught script errors of the pages a web view shows reach crash capture: the error script and
// the message bridge run in a real WebEngine page, and each error becomes one "javascript" custom
// exception line while the page's own handlers keep working.
#include "kits/faultline/FLTInitialize.h"
#include "kits/faultline/FLTRecordReader.h"
#include "kits/faultline/FLTWebView.h"
#include "kits/faultline/reports/Faultline.h"
#include "platform/web/QVWebView.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

#include <gtest/gtest.h>

namespace {

const bool unsandboxed = [] {
    // The engine's sandbox will not start as root; as anyone else the pages run inside it.
    if (::geteuid() == 0) qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    return true;
}();

class WebViewContent : public FLTWebViewUserContent {
public:
    void addUserScript(const QString& source) override { QVWebView::addPageScript(source); }
    void addMessageHandler(const QString& name, std::function<void(const QVariant&)> handler) override {
        QVWebView::addMessageHandler(name, std::move(handler));
    }
};

// The reasons of the custom-exception lines recorded so far, checking each line's shape.
QStringList recordedErrors(const QTemporaryDir& reports) {
    QStringList reasons;
    for (const char* file : {"custom_exception_a.fltrecord", "custom_exception_b.fltrecord"}) {
        const auto lines = FLTFileReadSections(reports.filePath(QString::fromLatin1(file)), false);
        if (!lines) continue;
        for (const QVariant& line : *lines) {
            const QVariantMap exception = line.toMap().value(QStringLiteral("exception")).toMap();
            EXPECT_EQ(exception.value("type").toString(), "javascript");
            EXPECT_EQ(FLTFileHexDecodeString(exception.value("name").toByteArray()), "exception");
            EXPECT_FALSE(exception.contains("frames"));
            reasons << QString::fromUtf8(FLTFileHexDecodeString(exception.value("reason").toByteArray()));
        }
    }
    return reasons;
}

}  // namespace

TEST(PageErrors, UncaughtScriptErrorsAreRecordedAndThePagesHandlersStillRun) {
    if (QVWebView::engine() != QVWebView::Engine::WebEngine) GTEST_SKIP() << QVWebView::fallbackReason().toStdString();
    QTemporaryDir reports, pages;
    ASSERT_TRUE(reports.isValid() && pages.isValid());
    const QByteArray reportPath = reports.path().toUtf8();
    FLTContextInitOptions options;
    options.reportPath = reportPath.constData();
    ASSERT_TRUE(FLTContextInitialize(&options));
    QVWebView::resetPageContent();
    WebViewContent content;
    ASSERT_TRUE(Faultline::sharedInstance()->monitorErrorsForWebView(&content));

    struct Case {
        const char* name;
        QByteArray body;          // the page's scripts; each ends by setting the title to "done..."
        QString title;            // what the page's own handlers left in the title
        QStringList recorded;     // errors recorded by this page
    };
    const Case cases[] = {
        {"an error after load",
         "<script>setTimeout(function () { document.title = 'done'; throw new Error('late'); }, 0);</script>",
         "done", {"Uncaught Error: late"}},
        {"the page's own onerror is called with every argument, and may silence the error",
         "<script>window.onerror = function (m, u, l, c, e) { document.title = 'done ' + (e && e.message) + ' ' +"
         " (l > 0) + ' ' + (c > 0); return true; };\n"
         "setTimeout(function () { null.x; }, 0);</script>",
         "done Cannot read properties of null (reading 'x') true true",
         {"Uncaught TypeError: Cannot read properties of null (reading 'x')"}},
        {"the page's onload still runs, and a handler it sets there is kept",
         "<script>window.onload = function () { window.onerror = function () { document.title = 'done onload'; };"
         " setTimeout(function () { throw 'plain'; }, 0); };</script>",
         "done onload", {"Uncaught plain"}},
        {"a quote and a non-Latin message keep their bytes",
         "<script>setTimeout(function () { document.title = 'done'; throw new Error('\"q\" \\u00e9\\u4e2d'); }, 0);"
         "</script>",
         "done", {QString::fromUtf8("Uncaught Error: \"q\" \u00e9\u4e2d")}},
    };
    QStringList expected;
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<QVWebView> view(QVWebView::create(nullptr));
        view->resize(400, 300);
        view->show();
        const QString path = pages.filePath(QStringLiteral("page%1.html").arg(n++));
        QFile page(path);
        ASSERT_TRUE(page.open(QIODevice::WriteOnly));
        page.write("<html><head><title>loading</title></head><body>" + c.body + "</body></html>");
        page.close();
        QString title;
        QObject::connect(view.get(), &QVWebView::titleChanged, view.get(), [&title](const QString& t) { title = t; });
        view->load(QUrl::fromLocalFile(path));
        expected << c.recorded;
        EXPECT_TRUE(QTest::qWaitFor([&] { return title == c.title && recordedErrors(reports).size() == expected.size(); },
                                    20000))
            << title.toStdString();
        EXPECT_EQ(recordedErrors(reports), expected);
    }
    QVWebView::resetPageContent();
}
