// The HTTP engine against real HTTPS servers on loopback (scripts/https-peer): trust, time-outs,
// broken connections, redirects, bodies both ways and cancellation.
#include "platform/HttpEngine.h"
#include "platform/MainQueue.h"
#include "tests/support/HttpsPeer.h"
#include "tests/support/TestSupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <atomic>
#include <cstdlib>
#include <future>
#include <optional>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

class HttpEngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto p = HttpsPeer::fromEnvironment();
        if (!p) GTEST_SKIP() << "needs scripts/https-peer";
        peer = *p;
        ASSERT_TRUE(peer.reset());
    }
    HttpRequest get(const QString& path, HttpsPeer::Server s = HttpsPeer::Trusted) const {
        HttpRequest r;
        r.url = peer.url(path, s);
        r.pinnedRootsPemPath = peer.rootPem;
        r.idleTimeoutMs = 5000;
        return r;
    }
    HttpsPeer peer;
    HttpSession session;
};

const char* errorName(HttpResponse::Error e) {
    static const char* names[] = {"None", "TimedOut", "Cancelled", "Tls", "Network", "File"};
    return names[e];
}

TEST_F(HttpEngineTest, TrustOnlyThePinnedRootsOrTheSystemStoreNeverNothing) {
    QTemporaryDir dir;
    const QString notPem = dir.filePath("not.pem");
    QFile f(notPem);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("-----BEGIN CERTIFICATE-----\nnonsense\n-----END CERTIFICATE-----\n");
    f.close();
    struct Row {
        const char* what;
        HttpsPeer::Server server;
        QString pem;
        HttpResponse::Error expected;
    } rows[] = {
        {"pinned root signs the leaf", HttpsPeer::Trusted, peer.rootPem, HttpResponse::None},
        {"system store does not know the test root", HttpsPeer::Trusted, QString(), HttpResponse::Tls},
        {"another pinned root", HttpsPeer::Trusted, peer.otherRootPem, HttpResponse::Tls},
        {"self-signed leaf", HttpsPeer::Untrusted, peer.rootPem, HttpResponse::Tls},
        {"expired leaf", HttpsPeer::Expired, peer.rootPem, HttpResponse::Tls},
        {"leaf for another host", HttpsPeer::WrongHost, peer.rootPem, HttpResponse::Tls},
        {"missing roots file", HttpsPeer::Trusted, dir.filePath("absent.pem"), HttpResponse::Tls},
        {"roots file without a certificate", HttpsPeer::Trusted, notPem, HttpResponse::Tls},
        {"folder as roots file", HttpsPeer::Trusted, dir.path(), HttpResponse::Tls},
    };
    for (const Row& row : rows) {
        HttpRequest r = get("/trust", row.server);
        r.pinnedRootsPemPath = row.pem;
        const HttpResponse answer = session.perform(r);
        EXPECT_EQ(errorName(answer.error), std::string(errorName(row.expected))) << row.what << ": " << answer.message.toStdString();
        EXPECT_EQ(answer.status, row.expected == HttpResponse::None ? 200 : 0) << row.what;
    }
    // Nothing reached a handler past a refused handshake.
    EXPECT_EQ(peer.requests("/trust").size(), 1);
}

TEST_F(HttpEngineTest, ScriptedAnswersTimeOutsAndBrokenConnections) {
    using A = HttpsPeer::Answer;
    A retry{503, {{"Retry-After", "7"}, {"Content-Type", "text/plain"}}, "busy"};
    A zipped{200, {}, QByteArray(20000, 'z')};
    zipped.gzip = true;
    A slow{200, {}, "late"};
    slow.delay = 2;
    A stalled{200, {}, QByteArray(4000, 's')};
    stalled.stall = true;
    stalled.stallFor = 3;
    A before, body{200, {}, QByteArray(100000, 'b')}, reset;
    before.cut = "before";
    body.cut = "body";
    reset.cut = "reset";
    A to{302, {{"Location", "/target"}}, "moving"};
    A loop{302, {{"Location", "/loop"}}, {}};
    A plain{302, {{"Location", QStringLiteral("http://127.0.0.1:%1/target").arg(peer.port()).toLatin1()}}, {}};
    // The same server under another name: another host, whose certificate the pinned root signed.
    A away{307, {{"Location", QStringLiteral("https://localhost:%1/elsewhere").arg(peer.port()).toLatin1()}}, "moved"};
    A endless{200, {}, "0123456789"};
    endless.endless = true;
    A announced{200, {}, QByteArray(5000, 'a')};
    ASSERT_TRUE(peer.script("/target", {A{200, {}, "arrived"}}));

    struct Row {
        const char* what;
        QString path;
        A answer;
        int idleMs, totalMs, redirects;
        bool gzip;
        HttpResponse::Error error;
        int status;
        QByteArray body;
        // For a time-out, the limit that ended it as its message names it: the idle limit, not the
        // server's stall running out (which would answer), nor the other limit.
        const char* timedOutBy;
        qint64 maxBytes = 0;
    } rows[] = {
        {"status and headers", "/retry", retry, 5000, 0, 0, false, HttpResponse::None, 503, "busy", nullptr},
        {"gzip decoded", "/zip", zipped, 5000, 0, 0, true, HttpResponse::None, 200, QByteArray(20000, 'z'), nullptr},
        {"answer later than the idle limit", "/slow", slow, 500, 0, 0, false, HttpResponse::TimedOut, 0, {}, "no data for 500 ms"},
        {"answer within the idle limit", "/slow2", slow, 4000, 0, 0, false, HttpResponse::None, 200, "late", nullptr},
        {"stall mid-body", "/stall", stalled, 500, 0, 0, false, HttpResponse::TimedOut, 200, {}, "no data for 500 ms"},
        {"whole-transfer limit", "/stall2", stalled, 5000, 700, 0, false, HttpResponse::TimedOut, 200, {}, "Operation timed out after"},
        {"closed unanswered", "/before", before, 5000, 0, 0, false, HttpResponse::Network, 0, {}, nullptr},
        {"closed mid-body", "/body", body, 5000, 0, 0, false, HttpResponse::Network, 200, {}, nullptr},
        {"reset", "/reset", reset, 5000, 0, 0, false, HttpResponse::Network, 0, {}, nullptr},
        {"redirect followed", "/to", to, 5000, 0, 3, false, HttpResponse::None, 200, "arrived", nullptr},
        {"redirect handed back", "/to2", to, 5000, 0, 0, false, HttpResponse::None, 302, "moving", nullptr},
        {"endless redirects", "/loop", loop, 5000, 0, 4, false, HttpResponse::Network, 302, {}, nullptr},
        {"redirect to plain http refused", "/plain", plain, 5000, 0, 3, false, HttpResponse::Network, 302, {}, nullptr},
        {"redirect to another host handed back", "/away", away, 5000, 0, 3, false, HttpResponse::None, 307, "moved", nullptr},
        {"endless body cut at the limit", "/endless", endless, 5000, 0, 0, false, HttpResponse::Network, 200, {}, nullptr, 1 << 20},
        {"announced length beyond the limit", "/announced", announced, 5000, 0, 0, false, HttpResponse::Network, 200, {}, nullptr, 4096},
        {"body at the limit", "/announced2", announced, 5000, 0, 0, false, HttpResponse::None, 200, QByteArray(5000, 'a'), nullptr, 5000},
    };
    for (Row& row : rows) {
        ASSERT_TRUE(peer.script(row.path, {row.answer}));
        HttpRequest r = get(row.path);
        r.idleTimeoutMs = row.idleMs;
        r.totalTimeoutMs = row.totalMs;
        r.maxRedirects = row.redirects;
        r.acceptGzip = row.gzip;
        r.maxResponseBytes = row.maxBytes;
        r.headers = {{"X-Secret", "kept home"}};
        const HttpResponse answer = session.perform(r);
        if (row.timedOutBy) {
            EXPECT_TRUE(answer.message.contains(QLatin1String(row.timedOutBy))) << row.what << ": " << answer.message.toStdString();
        }
        EXPECT_EQ(errorName(answer.error), std::string(errorName(row.error))) << row.what << ": " << answer.message.toStdString();
        EXPECT_EQ(answer.status, row.status) << row.what;
        EXPECT_EQ(answer.body, row.body) << row.what;
        if (row.status == 503) {
            EXPECT_EQ(answer.header("retry-after"), "7");
        }
    }
    EXPECT_EQ(peer.requests("/loop").size(), 5);  // the first and four redirects
    EXPECT_EQ(peer.requests("/target").size(), 1);
    EXPECT_TRUE(peer.requests("/elsewhere").isEmpty());
    const auto zipped0 = peer.requests("/zip");
    ASSERT_EQ(zipped0.size(), 1);
    EXPECT_TRUE(zipped0[0].header("Accept-Encoding").contains("gzip"));
    EXPECT_TRUE(peer.requests("/retry")[0].header("Accept-Encoding").isEmpty());
    // An upload is never turned into another method: a 301, 302 or 303 to a POST is handed back
    // (its answer is no answer to the upload), a 307 or 308 sends the same method and body again,
    // with the request's headers. A GET follows a 303 as a GET.
    struct Hop {
        int status;
        QByteArray method;
        int landed;  // requests that reached /landing
    } hops[] = {{301, "POST", 0}, {302, "POST", 0}, {303, "POST", 0}, {307, "POST", 1}, {308, "POST", 1}, {303, "GET", 1}};
    for (const Hop& hop : hops) {
        SCOPED_TRACE(hop.status);
        ASSERT_TRUE(peer.reset());
        ASSERT_TRUE(peer.script("/post", {A{hop.status, {{"Location", "/landing"}}, {}}}));
        HttpRequest post = get("/post");
        post.method = hop.method;
        if (hop.method == "POST") post.body = "form";
        post.maxRedirects = 2;
        post.headers = {{"Content-Type", "text/plain"}, {"X-Secret", "kept home"}};
        const HttpResponse answer = session.perform(post);
        EXPECT_EQ(answer.status, hop.landed ? 200 : hop.status);
        const auto landed = peer.requests("/landing");
        ASSERT_EQ(landed.size(), hop.landed);
        if (!hop.landed) continue;
        EXPECT_EQ(landed[0].method, hop.method);
        EXPECT_EQ(landed[0].header("X-Secret"), "kept home");
        EXPECT_EQ(landed[0].bodyLength, hop.method == "POST" ? 4 : 0);
    }
}

TEST_F(HttpEngineTest, BodiesUpAndDownThroughMemoryAndFiles) {
    QTemporaryDir dir;
    QByteArray big(3 * 1024 * 1024 + 17, '\0');
    for (qsizetype i = 0; i < big.size(); ++i) big[i] = char((i * 131) >> 3);
    const QString upload = dir.filePath("upload.bin");
    QFile f(upload);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(big);
    f.close();
    const QByteArray sha = QCryptographicHash::hash(big, QCryptographicHash::Sha256).toHex();

    HttpRequest fromMemory = get("/up");
    fromMemory.method = "PUT";
    fromMemory.body = big;
    fromMemory.headers = {{"Content-Type", "application/octet-stream"}, {"X-Kit", "1"}};
    HttpRequest fromFile = get("/up");
    fromFile.method = "POST";
    fromFile.bodyFilePath = upload;
    for (const HttpRequest& r : {fromMemory, fromFile}) EXPECT_EQ(session.perform(r).status, 200);
    const auto logged = peer.requests("/up");
    ASSERT_EQ(logged.size(), 2);
    EXPECT_EQ(logged[0].method, "PUT");
    EXPECT_EQ(logged[1].method, "POST");
    for (const auto& l : logged) {
        EXPECT_EQ(l.bodyLength, big.size());
        EXPECT_EQ(l.sha256, sha);
        EXPECT_TRUE(l.header("Expect").isEmpty());
    }
    EXPECT_EQ(logged[0].header("X-Kit"), "1");
    // No form type slipped in when the caller named none.
    EXPECT_TRUE(logged[1].header("Content-Type").isEmpty());

    HttpRequest missing = fromFile;
    missing.bodyFilePath = dir.filePath("absent");
    EXPECT_EQ(session.perform(missing).error, HttpResponse::File);

    // Downloads: the body lands in the file (owner-only); a broken one leaves no file behind.
    HttpsPeer::Answer full{200, {}, big}, cut{200, {}, big};
    cut.cut = "body";
    ASSERT_TRUE(peer.script("/down", {full, cut}));
    HttpRequest down = get("/down");
    down.downloadFilePath = dir.filePath("down.bin");
    HttpResponse answer = session.perform(down);
    ASSERT_EQ(answer.error, HttpResponse::None) << answer.message.toStdString();
    EXPECT_TRUE(answer.body.isEmpty());
    QFile got(down.downloadFilePath);
    ASSERT_TRUE(got.open(QIODevice::ReadOnly));
    EXPECT_EQ(got.readAll(), big);
    EXPECT_EQ(got.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther), QFileDevice::Permissions());
    got.close();
    EXPECT_EQ(session.perform(down).error, HttpResponse::Network);
    EXPECT_FALSE(QFile::exists(down.downloadFilePath));
    down.downloadFilePath = dir.path();  // a folder where the file should go
    EXPECT_EQ(session.perform(down).error, HttpResponse::File);
    EXPECT_TRUE(QDir(dir.path()).exists());
}

TEST_F(HttpEngineTest, MainQueueCompletionsCancellationAndKeptConnections) {
    HttpsPeer::Answer stalled{200, {}, QByteArray(1000, 's')};
    stalled.stall = true;
    stalled.stallFor = 10;
    ASSERT_TRUE(peer.script("/stall", {stalled}));

    std::optional<HttpResponse> quick, cancelled;
    bool onMain = false;
    const quint64 a = session.start(get("/quick"), [&](const HttpResponse& r) {
        quick = r;
        onMain = MainQueue::isMainThread();
    });
    const quint64 b = session.start(get("/stall"), [&](const HttpResponse& r) { cancelled = r; });
    EXPECT_EQ(session.liveTasks(), (QList<quint64>{a, b}));
    ASSERT_TRUE(MainQueue::runUntil([&] { return quick.has_value(); }, std::chrono::seconds(5)));
    EXPECT_TRUE(onMain);
    EXPECT_EQ(quick->status, 200);
    EXPECT_EQ(session.liveTasks(), QList<quint64>{b});
    ASSERT_TRUE(MainQueue::runUntil([&] { return peer.requests("/stall").size() == 1; }, std::chrono::seconds(5)));
    session.cancel(b);
    session.cancel(b);
    // Waited for past the server's stall: a cancel that did nothing would hear the whole answer.
    ASSERT_TRUE(MainQueue::runUntil([&] { return cancelled.has_value(); }, std::chrono::seconds(30)));
    EXPECT_EQ(cancelled->error, HttpResponse::Cancelled);
    EXPECT_NE(cancelled->body, stalled.body);
    EXPECT_TRUE(session.liveTasks().isEmpty());

    // Sequential requests on one session ride one connection.
    ASSERT_TRUE(peer.reset());
    for (int i = 0; i < 20; ++i) ASSERT_EQ(session.perform(get("/again")).status, 200);
    const auto again = peer.requests("/again");
    ASSERT_EQ(again.size(), 20);
    for (const auto& l : again) EXPECT_EQ(l.clientPort, again[0].clientPort);

    // A session made on this thread starts the transfer library on its worker, and serves a
    // request made at once; one that goes at once does not hang.
    {
        const int before = HttpSession::libraryStartsOnThisThread();
        HttpSession fresh;
        HttpSession gone;
        EXPECT_EQ(HttpSession::libraryStartsOnThisThread(), before);
        EXPECT_EQ(fresh.perform(get("/again")).status, 200);
    }

    // A session that goes away drops the completions it still owed.
    bool called = false;
    {
        HttpSession shortLived;
        shortLived.start(get("/stall"), [&](const HttpResponse&) { called = true; });
        QThread::msleep(200);
    }
    MainQueue::runUntil([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_FALSE(called);
}

}  // namespace

namespace {

// A loopback listener for one connection whose receive window is small, so that an upload fills
// it quickly; its port in *port (left 0 when it could not listen).
int smallWindowListener(quint16* port) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int window = 8192;
    ::setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(listener, 1) == 0 &&
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &length) == 0)
        *port = ntohs(a.sin_port);
    return listener;
}

// A server for one upload over plain HTTP with a small receive window: it takes the head, then
// reads the body at once or only once told to, and counts the body bytes that reached it by the
// connection's end (it reads on after a reset: what its kernel took before it is still read).
class BodySink {
public:
    explicit BodySink(bool readAtOnce) : _readAtOnce(readAtOnce) {
        _listener = smallWindowListener(&port);
        _thread = std::thread([this] { serve(); });
    }
    ~BodySink() {
        go = true;
        if (_thread.joinable()) _thread.join();
        ::close(_listener);
    }
    qint64 received() {
        go = true;
        if (_thread.joinable()) _thread.join();
        return _got;
    }
    quint16 port = 0;
    std::atomic<bool> go{false};

private:
    void serve() {
        pollfd p{_listener, POLLIN, 0};
        if (::poll(&p, 1, 10000) != 1) return;
        const int fd = ::accept4(_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        QByteArray head;
        char buffer[4096];
        for (;;) {
            pollfd q{fd, POLLIN, 0};
            if (!_readAtOnce && head.contains("\r\n\r\n") && !go) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                continue;
            }
            if (::poll(&q, 1, 10000) != 1) break;
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0) break;
            if (const qsizetype end = head.indexOf("\r\n\r\n"); end >= 0) {
                _got += n;
            } else {
                head.append(buffer, n);
                if (const qsizetype at = head.indexOf("\r\n\r\n"); at >= 0) _got += head.size() - at - 4;
            }
        }
        ::close(fd);
    }
    bool _readAtOnce;
    int _listener = -1;
    qint64 _got = 0;
    std::thread _thread;
};

}  // namespace

// Whatever moment an upload is cut at, a server that ends up with its whole body was told so: the
// response says the body went out whole. (A server whose reader wakes as the cut comes would
// otherwise take the rest between the engine's look at the wire and its reset.)
TEST(HttpEngineUploadCut, AServerThatEndsWithTheWholeBodyIsAlwaysToldOf) {
    QTemporaryDir dir;
    const QString upload = dir.filePath("body.bin");
    const qint64 size = 512 * 1024;
    {
        QFile f(upload);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(size, 'u'));
    }
    HttpSession session;
    enum When { WhileItStalls, AsItWakes, AfterItReadAll };
    struct Row {
        const char* name;
        When when;
        int runs;
    } rows[] = {
        {"cut while the server's reader stalls, its window full", WhileItStalls, 3},
        {"cut as the stalled reader wakes and reads at once", AsItWakes, 40},
        {"cut after the server read the whole body, unanswered", AfterItReadAll, 3},
    };
    for (const Row& row : rows) {
        for (int run = 0; run < row.runs; ++run) {
            SCOPED_TRACE(testing::Message() << row.name << ", run " << run);
            BodySink sink(row.when == AfterItReadAll);
            ASSERT_NE(sink.port, 0);
            HttpRequest r;
            r.url = QUrl(QStringLiteral("http://127.0.0.1:%1/up").arg(sink.port));
            r.method = "PUT";
            r.bodyFilePath = upload;
            r.answerAfterBodyMs = 0;
            auto done = std::make_shared<std::promise<HttpResponse>>();
            auto answer = done->get_future();
            const quint64 task = session.startOnWorker(r, [done](const HttpResponse& a) { done->set_value(a); });
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            if (row.when == AsItWakes) {
                // The reader wakes a little before or after the cancel, by turns.
                const auto gap = std::chrono::microseconds((run % 8) * 250);
                if (run % 2) {
                    sink.go = true;
                    std::this_thread::sleep_for(gap);
                    session.cancel(task);
                } else {
                    session.cancel(task);
                    std::this_thread::sleep_for(gap);
                    sink.go = true;
                }
            } else {
                session.cancel(task);
            }
            ASSERT_EQ(answer.wait_for(std::chrono::seconds(10)), std::future_status::ready);
            const HttpResponse a = answer.get();
            const qint64 got = sink.received();
            EXPECT_EQ(a.error, HttpResponse::Cancelled);
            EXPECT_LE(got, size);
            if (got == size) {
                EXPECT_TRUE(a.bodySent) << "the server has the whole body; the engine said it did not go out";
            }
            if (row.when == WhileItStalls) {
                EXPECT_LT(got, size);
                EXPECT_FALSE(a.bodySent);
            }
            if (row.when == AfterItReadAll) {
                EXPECT_EQ(got, size);
            }
        }
    }
}

TEST(HttpEngineExit, OpenSSLOutlivesASessionAStaticObjectKeeps) {
    // A fresh process (this program run again for this test alone) keeps a session in a static
    // object and at once uses OpenSSL directly (a digest, as the launch's identifier does), before
    // the session's worker can have started anything. At exit OpenSSL must still be up when that
    // session ends: its worker may still be using it, and ends by freeing its own thread state.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            static HttpSession kept;
            // Runs after every exit handler registered later and before the session ends.
            std::atexit(+[] {
                if (OPENSSL_init_crypto(0, nullptr) != 1) std::_Exit(3);
            });
            unsigned char digest[EVP_MAX_MD_SIZE];
            unsigned int size = 0;
            if (EVP_Digest("qorvel", 6, digest, &size, EVP_sha256(), nullptr) != 1) std::_Exit(4);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(HttpEngineTest, CredentialsGoOnlyWhenAskedInTheSchemeOffered) {
    QTemporaryDir dir;
    const QByteArray body(200 * 1024 + 3, 'b');
    const QString upload = dir.filePath("upload.bin");
    QFile f(upload);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(body);
    f.close();
    const QByteArray sha = QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex();
    struct Row {
        const char* path;
        QByteArray challenge;
        QByteArray answeredWith;  // how the second request's Authorization starts
    };
    const Row rows[] = {
        {"/basic", "Basic realm=\"site\"", "Basic " + QByteArray("u:p w").toBase64()},
        {"/digest", "Digest realm=\"site\", nonce=\"n0nce\", qop=\"auth\", algorithm=MD5", "Digest username=\"u\""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.path);
        ASSERT_TRUE(peer.script(row.path, {HttpsPeer::Answer{401, {{"WWW-Authenticate", row.challenge}}, {}},
                                           HttpsPeer::Answer{201, {}, {}}}));
        HttpRequest put = get(row.path);
        put.method = "PUT";
        put.bodyFilePath = upload;
        put.user = "u";
        put.password = "p w";
        EXPECT_EQ(session.perform(put).status, 201);
        const auto logged = peer.requests(row.path);
        ASSERT_EQ(logged.size(), 2);
        EXPECT_TRUE(logged[0].header("Authorization").isEmpty());
        EXPECT_TRUE(logged[1].header("Authorization").startsWith(row.answeredWith)) << logged[1].header("Authorization").toStdString();
        // The answered request carries the whole body again, read from the start.
        EXPECT_EQ(logged[1].bodyLength, body.size());
        EXPECT_EQ(logged[1].sha256, sha);
    }
}

namespace {

// A server on loopback with a small receive window that answers one upload as told: at once
// after the request's head, then reading nothing more and keeping the connection open (as a
// server refusing a body it does not want, or taking it early), or after reading the whole body.
class EarlyAnswerer {
public:
    EarlyAnswerer(QByteArray answer, bool readAll) : _answer(std::move(answer)), _readAll(readAll) {
        _listener = smallWindowListener(&port);
        _thread = std::thread([this] { serve(); });
    }
    ~EarlyAnswerer() {
        _done = true;
        if (_thread.joinable()) _thread.join();
        ::close(_listener);
    }
    quint16 port = 0;

private:
    void serve() {
        pollfd p{_listener, POLLIN, 0};
        if (::poll(&p, 1, 10000) != 1) return;
        const int fd = ::accept4(_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        QByteArray head;
        char buffer[65536];
        qint64 body = 0, length = -1;
        while (!_done) {
            pollfd q{fd, POLLIN, 0};
            if (::poll(&q, 1, 50) != 1) continue;
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0) break;
            if (length >= 0) {
                body += n;
            } else {
                head.append(buffer, n);
                const qsizetype end = head.indexOf("\r\n\r\n");
                if (end < 0) continue;
                const qsizetype at = head.toLower().indexOf("content-length:");
                length = at < 0 ? 0 : head.mid(at + 15, head.indexOf("\r\n", at) - at - 15).trimmed().toLongLong();
                body = head.size() - end - 4;
                if (!_readAll) {
                    // The sender has put all of the body it can in the kernels' buffers by now.
                    std::this_thread::sleep_for(std::chrono::milliseconds(300));
                    break;
                }
            }
            if (body >= length) break;
        }
        (void)!::write(fd, _answer.constData(), size_t(_answer.size()));
        while (!_done) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ::close(fd);
    }
    QByteArray _answer;
    bool _readAll;
    int _listener = -1;
    std::atomic<bool> _done{false};
    std::thread _thread;
};

}  // namespace

// An upload from a file ends on its server's answer, whenever that comes and whatever the server
// then does with the rest of the body: its last byte, held back until the kernel sent the rest,
// never keeps the answer waiting for a server that reads no more.
TEST(HttpEngineUploadHold, AnUploadEndsOnItsAnswerWhateverTheServerDoesWithTheRestOfItsBody) {
    QTemporaryDir dir;
    const QString upload = dir.filePath("body.bin");
    const qint64 size = 1024 * 1024;  // more than the server's window, less than the sender's buffer
    {
        QFile f(upload);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(size, 'h'));
    }
    const struct Row {
        const char* name;
        QByteArray statusLine;
        bool readAll;
        bool bodySent;
    } rows[] = {
        {"a body too large, refused after the head", "HTTP/1.1 413 Content Too Large", false, false},
        {"a save not allowed, refused after the head", "HTTP/1.1 403 Forbidden", false, false},
        {"an address moved, said after the head", "HTTP/1.1 307 Temporary Redirect\r\nLocation: /elsewhere", false, false},
        {"a server that says it took the body before reading it", "HTTP/1.1 201 Created", false, false},
        {"a server that reads the whole body, then takes it", "HTTP/1.1 201 Created", true, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EarlyAnswerer server(row.statusLine + "\r\nContent-Length: 0\r\n\r\n", row.readAll);
        ASSERT_NE(server.port, 0);
        HttpSession session;
        HttpRequest r;
        r.url = QUrl(QStringLiteral("http://127.0.0.1:%1/up").arg(server.port));
        r.method = "PUT";
        r.bodyFilePath = upload;
        r.idleTimeoutMs = 20000;
        const auto started = std::chrono::steady_clock::now();
        const HttpResponse a = session.perform(r);
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
        EXPECT_EQ(a.error, HttpResponse::None) << errorName(a.error) << ": " << a.message.toStdString();
        EXPECT_EQ(a.status, row.statusLine.mid(9, 3).toInt());
        EXPECT_LT(took.count(), 5000) << "the answer waited on a body the server no longer reads";
        EXPECT_EQ(a.bodySent, row.bodySent) << "the body went out whole only to the server that read it";
    }
}
