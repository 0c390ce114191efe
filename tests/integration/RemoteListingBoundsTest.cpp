// A folder lists its members however its server spells the folder, and no listing answer (nor
// the answer a save asks for first) costs more than its bound, on every protocol: a WebDAV
// server of the test's own beside Apache and curl, a pyftpdlib server sending a LIST without
// end, and OpenSSH's sftp on a folder too big to list.
#include "files/QVConnectAction.h"
#include "files/QVListingBudget.h"
#include "files/QVRemoteFileActions.h"
#include "files/QVRemoteSiteQueue.h"
#include "platform/FileName.h"
#include "tests/files/RemoteActionTestSupport.h"
#include "tests/support/RemotePeers.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUrl>

#include <condition_variable>
#include <mutex>

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

namespace {

using C = QVRemoteFilesConnection;

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

qint64 statusKiB(const char* field) {
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(field)) return line.mid(qstrlen(field)).trimmed().split(' ').first().toLongLong();
    return -1;
}

// What this process's resident memory rose by, at its peak, while work ran.
qint64 peakRiseKiB(const std::function<void()>& work) {
    {
        QFile clear("/proc/self/clear_refs");
        if (clear.open(QIODevice::WriteOnly)) clear.write("5");
    }
    const qint64 before = statusKiB("VmRSS:");
    work();
    const qint64 rise = statusKiB("VmHWM:") - before;
    // What was freed goes back, so later tests' peaks are their own.
    malloc_trim(0);
    return rise;
}

// A python server of the test's own, started on a free port it prints first.
struct Python {
    QTemporaryDir dir;
    QProcess process;
    int port = 0;
    bool start(const QByteArray& script) {
        const QString path = dir.filePath("server.py");
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || f.write(script) != script.size()) return false;
        f.close();
        process.start("/usr/bin/python3", {path, dir.path()});
        if (!process.waitForStarted() || !process.waitForReadyRead(20000)) return false;
        port = process.readLine().trimmed().toInt();
        return port > 0;
    }
    ~Python() {
        process.kill();
        process.waitForFinished();
    }
};

std::shared_ptr<C> logIn(int type, const QString& host, int port, const QString& user, const QString& password,
                         const QString& path) {
    auto connection = std::make_shared<C>(type);
    auto login = QVConnectAction::make(connection, host, port, user, password, {});
    if (!path.isEmpty()) login->setPath(path);
    const auto in = runToOutcome(login, std::chrono::seconds(40));
    return in && in->result ? connection : nullptr;
}

struct Listed {
    bool ok = false;
    QStringList names;
    QString said;
};

Listed list(const std::shared_ptr<C>& connection, const QString& path, std::chrono::seconds timeout = std::chrono::seconds(120)) {
    auto listing = std::make_shared<QVFileListingAction>(connection, path);
    listing->setIncludesHidden(true);
    const auto outcome = runToOutcome(listing, timeout);
    Listed l;
    if (!outcome) {
        l.said = "no outcome";
        return l;
    }
    l.ok = outcome->result;
    for (const QVRemoteFile& f : listing->files()) l.names << f.name();
    l.names.sort();
    if (!l.ok) l.said = listing->errorWithStatusCode(outcome->statusCode).localizedRecoverySuggestion();
    return l;
}

// The WebDAV server of the test's own: each folder answers in a spelling of its own, or with an
// answer past one of the bounds, to a listing and to the Depth-0 check a save sends first.
const QByteArray davScript = R"PY(
import posixpath, re, sys, unicodedata
from urllib.parse import quote, unquote
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
HEAD = '<?xml version="1.0" encoding="utf-8"?><D:multistatus xmlns:D="DAV:">'
def response(href, collection=False, extra=""):
    kind = "<D:collection/>" if collection else ""
    return ("<D:response><D:href>%s</D:href><D:propstat><D:prop><D:resourcetype>%s</D:resourcetype>%s</D:prop>"
            "<D:status>HTTP/1.1 200 OK</D:status></D:propstat></D:response>" % (href, kind, extra))
def folder(href, members):
    return HEAD + response(href, True) + "".join(response(m) for m in members) + "</D:multistatus>"
NESTED = "<D:x>" * ((24 << 20) // 5)
LONG = "a" * (16 << 20)
def hostile(kind, path, depth0):
    own = response(path, not depth0) if not depth0 else ""
    if kind == "nested":
        return HEAD + own + response(path + ("" if depth0 else "a.html"), extra=NESTED)
    if kind == "longhref":
        return HEAD + own + response(path + LONG)
    if kind == "many":
        return HEAD + own + "".join("<D:response><D:href>%sf%06d</D:href></D:response>" % (path, i) for i in range(100001)) + "</D:multistatus>"
    if kind == "exact":
        return HEAD + own + "".join("<D:response><D:href>%sf%06d</D:href></D:response>" % (path, i) for i in range(100000)) + "</D:multistatus>"
    if kind == "wide":
        return HEAD + own + "".join(response("%s%06d%s" % (path, i, "w" * 4000)) for i in range(12000)) + "</D:multistatus>"
def pieces(path):
    # Names whose characters of three and four bytes are cut by the 256 KB pieces the answer is
    # read in: each is placed by members of one length before it and blanks.
    body = HEAD + response(path, True)
    for target, char in ((256 << 10, "\u65e5"), (512 << 10, "\U0001F600")):
        member = response(path + char * 10 + ".html")
        cut = len(member[:member.index(char)].encode()) + 4 * len(char.encode()) + 1
        filler = response(path + "f%07d.html" % len(body))
        count, blanks = divmod(target - len(body.encode()) - cut, len(filler.encode()))
        body += "".join(response(path + "f%07d.html" % (len(body) + i)) for i in range(count)) + " " * blanks + member
    return body + "</D:multistatus>"
class Dav(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def log_message(self, *a): pass
    def reply(self, body, status=207):
        data = body.encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", 'application/xml; charset="utf-8"')
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)
    def do_OPTIONS(self):
        self.send_response(200)
        self.send_header("DAV", "1,2")
        self.send_header("Allow", "OPTIONS, GET, PUT, PROPFIND, DELETE, MKCOL, MOVE, COPY")
        self.send_header("Content-Length", "0")
        self.end_headers()
    def do_PUT(self):
        length = int(self.headers.get("Content-Length", "0"))
        if length: self.rfile.read(length)
        print("PUT " + self.path, flush=True)
        self.send_response(201)
        self.send_header("Content-Length", "0")
        self.end_headers()
    def do_PROPFIND(self):
        length = int(self.headers.get("Content-Length", "0"))
        if length: self.rfile.read(length)
        depth0 = self.headers.get("Depth", "1") == "0"
        # The server's own reading of the path: escapes, doubled slashes and dot steps resolved,
        # names kept decomposed (NFD), case folded.
        path = posixpath.normpath(re.sub("/+", "/", unquote(self.path)))
        key = unicodedata.normalize("NFD", path).lower()
        kind = key.split("/")[1] if key.count("/") >= 1 else ""
        if kind in ("nested", "longhref", "many", "exact", "wide"):
            return self.reply(hostile(kind, self.path, depth0))
        if depth0:
            return self.reply(HEAD + response(self.path, self.path.endswith("/")) + "</D:multistatus>") if self.path.endswith("/") else self.reply("", 404)
        if key == unicodedata.normalize("NFD", "/d\u00e9"):
            return self.reply(folder("/de%CC%81/", ["/de%CC%81/a.html", "/de%CC%81/b%20c.html"]))
        if key == "/d":
            return self.reply(folder("/d/", ["/d/x.html", "/d/Y.html"]))
        if key == "/dav/t9":
            return self.reply(folder("/dav/%74%39/", ["/dav/%74%39/one.html", "/dav/%74%39/%74wo.html"]))
        if key == "/full":
            return self.reply(folder("/FULL/", ["/FULL/f%06d" % i for i in range(100000)]))
        if key == "/pieces":
            return self.reply(pieces("/pieces/"))
        if key == "/elsewhere":
            return self.reply(folder("/elsewhere/", ["/other/a.html", "/other/b.html"]))
        if key == "/empty":
            return self.reply(folder("/empty/", ["/empty"]))
        if key == "/twice":
            return self.reply(folder("/TWICE/", ["/TWICE/a.html"]).replace("</D:multistatus>", response("/Twice/", True) + "</D:multistatus>"))
        self.reply("", 404)
server = ThreadingHTTPServer(("127.0.0.1", 0), Dav)
print(server.server_port, flush=True)
server.serve_forever()
)PY";

}  // namespace

TEST(RemoteListingBounds, AFolderListsInTheServersOwnSpellingOrSaysWhyNot) {
    Python dav;
    ASSERT_TRUE(dav.start(davScript)) << dav.process.readAllStandardError().toStdString();
    auto own = logIn(C::WebDAV, "127.0.0.1", dav.port, "", "", "/");
    ASSERT_TRUE(own);
    const QString password = qEnvironmentVariable("QORVEL_PEER_PASSWORD");
    // The real servers, each with a folder t9 of three files.
    struct Real {
        const char* name;
        PeerSite site;
        std::shared_ptr<C> connection;
    };
    std::vector<Real> reals;
    if (const auto apache = peerSite(C::WebDAV)) reals.push_back({"Apache", *apache, nullptr});
    if (const int port = qEnvironmentVariableIntValue("QORVEL_LIGHTTPD_PORT"); port > 0)
        reals.push_back({"lighttpd", PeerSite{int(C::WebDAV), port, qEnvironmentVariable("QORVEL_PEER_USER"),
                                              qEnvironmentVariable("QORVEL_LIGHTTPD_ROOT"), "/dav/", {}},
                         nullptr});
    for (Real& real : reals) {
        ASSERT_TRUE(QDir().mkpath(real.site.root + "/t9"));
        for (const char* name : {"one.html", "two words.html", "caf\xc3\xa9.html"})
            writeFile(real.site.root + "/t9/" + QString::fromUtf8(name), "page");
        real.connection = logIn(C::WebDAV, "127.0.0.1", real.site.port, real.site.user, password, "/dav/");
        ASSERT_TRUE(real.connection) << real.name;
    }
    // curl's reading of the same folder: the names of the hrefs one step inside it.
    const auto curlNames = [&](const Real& real, const QString& path) {
        QProcess curl;
        curl.start("curl", {"-s", "-u", real.site.user + ':' + password, "-X", "PROPFIND", "-H", "Depth: 1",
                            QStringLiteral("http://127.0.0.1:%1").arg(real.site.port) + path});
        curl.waitForFinished(30000);
        QStringList names;
        const QString body = QString::fromUtf8(curl.readAllStandardOutput());
        static const QRegularExpression href("<D:href>(?:http://[^/]*)?/dav/t9/([^<]+)</D:href>");
        for (auto m = href.globalMatch(body); m.hasNext();)
            names << QUrl::fromPercentEncoding(m.next().captured(1).toUtf8());
        names.sort();
        return names;
    };
    const QStringList t9{"caf\u00e9.html", "one.html", "two words.html"};
    struct Row {
        const char* server;   // "own", or "real" for each real server
        QString path;
        QStringList names;    // listed
        const char* refusal;  // what the refusal says; empty: listed
    };
    QStringList full;  // as many members as a listing takes, beside the folder's own response
    for (int i = 0; i < QVListingBudget::MaxEntries; ++i) full << QStringLiteral("f%1").arg(i, 6, 10, QLatin1Char('0'));
    const std::vector<Row> rows = {
        {"own", QString::fromUtf8("/d\xc3\xa9/"), {"a.html", "b c.html"}, ""},  // answers in NFD
        {"own", "/full/", full, ""},                                            // the folder in its own case
        {"own", "/D/", {"Y.html", "x.html"}, ""},                               // answers in folded case
        {"own", "/dav//t9/", {"one.html", "two.html"}, ""},                     // without the doubled slash, letters escaped
        {"own", "/dav/./t9/", {"one.html", "two.html"}, ""},
        {"own", "/dav/x/../t9/", {"one.html", "two.html"}, ""},
        {"own", "/dav/t9/", {"one.html", "two.html"}, ""},
        {"own", "/elsewhere/", {}, "nothing inside this folder"},
        {"own", "/twice/", {}, "more than one spelling"},
        {"own", "/empty/", {}, ""},  // an empty folder, named twice
        {"real", "/dav//t9/", t9, ""},
        {"real", "//dav/t9/", t9, ""},
        {"real", "/dav/./t9/", t9, ""},
        {"real", "/dav/x/../t9/", t9, ""},
        {"real", "/dav/t9/", t9, ""},
        // A typed "%" is a name's own letter, as it is to cadaver: there is no such folder.
        {"real", "/dav/%74%39/", {}, "may not exist"},
    };
    for (const Row& r : rows) {
        std::vector<std::pair<const char*, const Real*>> on;
        if (QByteArray(r.server) == "own") on.push_back({"own", nullptr});
        else for (const Real& real : reals) on.push_back({real.name, &real});
        for (const auto& [name, real] : on) {
            SCOPED_TRACE(std::string(name) + " " + r.path.toStdString());
            const Listed l = list(real ? real->connection : own, r.path);
            EXPECT_EQ(l.ok, *r.refusal == 0) << l.said.toStdString();
            EXPECT_EQ(l.names, r.names);
            EXPECT_TRUE(l.said.contains(QString::fromUtf8(r.refusal))) << l.said.toStdString();
            // Where curl reads the folder's members, Qorvel lists the same ones.
            if (real && !r.names.isEmpty()) {
                EXPECT_EQ(curlNames(*real, r.path), r.names);
            }
        }
    }
    {
        // Characters cut by the pieces the answer is read in come through whole.
        const Listed l = list(own, "/pieces/");
        EXPECT_TRUE(l.ok) << l.said.toStdString();
        EXPECT_TRUE(l.names.contains(QString(10, QChar(0x65e5)) + ".html"));
        EXPECT_TRUE(l.names.contains(QString::fromUtf8("\xf0\x9f\x98\x80").repeated(10) + ".html"));
        EXPECT_GT(l.names.size(), 2000);
    }
    for (Real& real : reals) {
        // A doubled slash in the site's host field is the folder's, resolved as curl resolves
        // it: the login takes the password, and the folder lists.
        SCOPED_TRACE(real.name);
        auto doubled = logIn(C::WebDAV, "127.0.0.1/dav//t9/", real.site.port, real.site.user, password, {});
        ASSERT_TRUE(doubled);
        EXPECT_EQ(list(doubled, {}).names, t9);
        doubled->kill();
        real.connection->kill();
    }
    own->kill();
}

TEST(RemoteListingBounds, NoWebDAVAnswerCostsMoreThanItsBounds) {
    Python dav;
    ASSERT_TRUE(dav.start(davScript)) << dav.process.readAllStandardError().toStdString();
    auto connection = logIn(C::WebDAV, "127.0.0.1", dav.port, "", "", "/");
    ASSERT_TRUE(connection);
    QTemporaryDir local;
    writeFile(local.filePath("page.html"), "page");
    struct Row {
        QString folder;
        const char* refusal;
        const char* saveRefusal;  // the same answer to a save's check
        qint64 answerMiB;         // about
    };
    const Row rows[] = {
        {"/nested/", "nests more than 32 elements", "nests more than 32 elements", 24},
        {"/longhref/", "longer than 64 KB", "longer than 64 KB", 16},
        {"/many/", "more than 100000 entries", "more than 100000 entries", 6},
        // Keeps nothing of a check's responses, and names more resources than the one asked.
        {"/wide/", "MB of memory", "could not be told", 50},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.folder.toStdString());
        Listed l;
        const qint64 listingKiB = peakRiseKiB([&] { l = list(connection, r.folder); });
        EXPECT_FALSE(l.ok);
        EXPECT_TRUE(l.names.isEmpty());
        EXPECT_TRUE(l.said.contains(QString::fromUtf8(r.refusal))) << l.said.toStdString();
        // The answer held as it came, twice over at most while it grew, and little beside:
        // the unbounded reading took some sixty times the answer.
        EXPECT_LT(listingKiB, (4 * r.answerMiB + 96) << 10) << "listing's peak rose by " << listingKiB << " kB";
        fprintf(stderr, "%s listing: answer about %lld MB, peak rose by %lld kB\n", qPrintable(r.folder),
                r.answerMiB, listingKiB);
        // The same answer to the check a save sends first: refused, and nothing is put.
        auto put = std::make_shared<QVFileTransferAction>(QVFileTransferAction::Put, connection, r.folder + "page.html",
                                                          local.filePath("page.html"));
        std::optional<OutcomeWaiter::Outcome> saved;
        const qint64 saveKiB = peakRiseKiB([&] { saved = runToOutcome(put, std::chrono::seconds(120)); });
        ASSERT_TRUE(saved);
        EXPECT_FALSE(saved->result);
        const QString said = put->errorWithStatusCode(saved->statusCode).localizedRecoverySuggestion();
        EXPECT_TRUE(said.contains(QString::fromUtf8(r.saveRefusal))) << said.toStdString();
        EXPECT_LT(saveKiB, (4 * r.answerMiB + 96) << 10) << "save's peak rose by " << saveKiB << " kB";
    }
    EXPECT_FALSE(dav.process.readAllStandardOutput().contains("PUT"));
    // A download of a folder whose listing is refused leaves no empty local folder behind that
    // would read as the site's folder downloaded.
    const QString into = local.filePath("many");
    auto download = std::make_shared<QVDirectoryAction>(QVDirectoryAction::Get, connection, "/many/", into);
    const auto got = runToOutcome(download, std::chrono::seconds(120));
    ASSERT_TRUE(got);
    EXPECT_FALSE(got->result);
    EXPECT_FALSE(QFileInfo::exists(into));
    // The bound counts a folder's members: exactly as many as it allows list, beside the
    // response for the folder itself.
    const Listed exact = list(connection, "/exact/");
    EXPECT_TRUE(exact.ok) << exact.said.toStdString();
    EXPECT_EQ(exact.names.size(), int(QVListingBudget::MaxEntries));
    connection->kill();
}

TEST(RemoteListingBounds, AnFtpListingWithoutEndAndAHugeSftpFolderAreRefusedWithinTheirBounds) {
    // pyftpdlib answering LIST of "endless" without end, of "many" with 250,000 entries (18 MB).
    Python ftp;
    ASSERT_TRUE(ftp.start(R"PY(
import os, sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.filesystems import AbstractedFS
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer
root = sys.argv[1] + "/root"
for name in ("endless", "many", "few"):
    os.makedirs(root + "/" + name, exist_ok=True)
class FS(AbstractedFS):
    def format_list(self, basedir, listing, ignore_err=True):
        name = os.path.basename(basedir.rstrip("/"))
        with open(sys.argv[1] + "/asked", "a") as asked:
            asked.write(name + "\n")
        count = {"endless": -1, "many": 250000, "few": 3}.get(name)
        if count is None:
            yield from AbstractedFS.format_list(self, basedir, listing, ignore_err)
            return
        line = "-rw-r--r--   1 owner    group        1234 Dec  7 09:10 page%07d.html\r\n"
        start = 0
        while count < 0 or start < count:
            yield "".join(line % i for i in range(start, start + 10000 if count < 0 else min(count, start + 10000))).encode()
            start += 10000
authorizer = DummyAuthorizer()
authorizer.add_user("qv", "pw", root, perm="elradfmwMT")
class Handler(FTPHandler):
    abstracted_fs = FS
Handler.authorizer = authorizer
server = FTPServer(("127.0.0.1", 0), Handler)
print(server.address[1], flush=True)
server.serve_forever()
)PY")) << ftp.process.readAllStandardError().toStdString();
    auto connection = logIn(C::FTP, "127.0.0.1", ftp.port, "qv", "pw", {});
    ASSERT_TRUE(connection);
    struct Row {
        QString folder;
        const char* refusal;
        qint64 boundKiB;  // the peak's rise allowed
    };
    const Row rows[] = {
        {"/few", "", 64 << 10},
        {"/many", "more than 100000 entries", 200 << 10},
        // The file tnftp writes is never read, and tnftp is ended once it passes the bound (the
        // connection with it, so this row comes last): the unbounded reading took 7.4 times the
        // size of a 207 MB listing.
        {"/endless", "longer than 128 MB", 64 << 10},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.folder.toStdString());
        Listed l;
        const qint64 riseKiB = peakRiseKiB([&] { l = list(connection, r.folder, std::chrono::seconds(240)); });
        EXPECT_EQ(l.ok, *r.refusal == 0) << l.said.toStdString();
        EXPECT_TRUE(l.said.contains(QString::fromUtf8(r.refusal))) << l.said.toStdString();
        EXPECT_EQ(l.names.size(), *r.refusal ? 0 : 3);
        EXPECT_LT(riseKiB, r.boundKiB) << "peak rose by " << riseKiB << " kB";
        fprintf(stderr, "FTP %s: peak rose by %lld kB\n", qPrintable(r.folder), riseKiB);
    }
    connection->kill();

    // Through the site's queue, whose client the endless listing ended: it is asked for once,
    // not again with each login the queue makes for a client that died, and the next listing
    // runs on a fresh login.
    {
        struct Recorder : QVRemoteSiteQueueDelegate {
            std::mutex lock;
            std::condition_variable changed;
            QStringList events;
            void add(const QString& e) {
                std::lock_guard g(lock);
                events << e;
                changed.notify_all();
            }
            void queueHadError(QVRemoteSiteQueue*, const QVError& e) override { add("error " + e.localizedDescription()); }
            void queueRetrievedFiles(QVRemoteSiteQueue*, const QList<QVRemoteFile>& files, const QString& path) override {
                add(QStringLiteral("listed %1: %2").arg(path).arg(files.size()));
            }
        };
        auto recorder = std::make_shared<Recorder>();
        auto queue = QVRemoteSiteQueue::make(C::FTP, recorder);
        queue->connectToHost("127.0.0.1", ftp.port, "qv", "pw", {});
        queue->getFileListing("/endless", nullptr);
        queue->getFileListing("/few", nullptr);
        {
            std::unique_lock g(recorder->lock);
            recorder->changed.wait_for(g, std::chrono::seconds(240), [&] { return recorder->events.size() >= 2; });
        }
        EXPECT_EQ(recorder->events, (QStringList{"error Could Not Retrieve File Listing", "listed /few: 3"}));
        QFile asked(ftp.dir.filePath("asked"));
        ASSERT_TRUE(asked.open(QIODevice::ReadOnly));
        EXPECT_EQ(asked.readAll().count("endless\n"), 2) << "one listing of its own above, one through the queue";
        queue->closeConnection();
    }

    // OpenSSH: a folder of 100,001 entries.
    const auto sftp = peerSite(C::SFTP);
    if (!sftp) GTEST_SKIP() << "no sftp peer";
    const QString huge = sftp->root + "/huge-folder";
    ASSERT_TRUE(QDir().mkpath(huge));
    for (int i = 0; i <= int(QVListingBudget::MaxEntries); ++i) {
        const int fd = ::open(QFile::encodeName(huge + QStringLiteral("/entry%1").arg(i)).constData(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ::close(fd);
    }
    auto s = std::make_shared<C>(C::SFTP);
    auto login = QVConnectAction::make(s, "127.0.0.1", sftp->port, sftp->user, qEnvironmentVariable("QORVEL_PEER_PASSWORD"), sftp->arguments);
    const auto in = runToOutcome(login, std::chrono::seconds(40));
    ASSERT_TRUE(in && in->result);
    Listed l;
    const qint64 riseKiB = peakRiseKiB([&] { l = list(s, huge, std::chrono::seconds(280)); });
    EXPECT_FALSE(l.ok);
    EXPECT_TRUE(l.said.contains("more than 100000 entries")) << l.said.toStdString();
    EXPECT_LT(riseKiB, 200 << 10) << "peak rose by " << riseKiB << " kB";
    fprintf(stderr, "SFTP 100,001 entries: peak rose by %lld kB\n", riseKiB);
    s->kill();
    QDir(huge).removeRecursively();
}

TEST(RemoteListingBounds, AFolderOfLinksWithLongTargetsListsOnVsftpdAsOnSftp) {
    const auto sftp = peerSite(C::SFTP);
    const int vsftpd = qEnvironmentVariableIntValue("QORVEL_VSFTPD_PORT");
    if (!sftp || vsftpd <= 0) GTEST_SKIP() << "no sftp or vsftpd peer";
    // 30,000 links whose targets are 1.25 KB: vsftpd shows each target, sftp none.
    const QString folder = sftp->root + "/long-links";
    ASSERT_TRUE(QDir().mkpath(folder));
    const QByteArray target = "/" + QByteArray(1249, 't');
    for (int i = 0; i < 30000; ++i)
        ASSERT_EQ(::symlink(target.constData(), QFile::encodeName(folder + QStringLiteral("/link%1").arg(i)).constData()), 0);
    const QString password = qEnvironmentVariable("QORVEL_PEER_PASSWORD");
    struct Row {
        const char* name;
        int type;
        int port;
    } rows[] = {{"vsftpd", C::FTP, vsftpd}, {"OpenSSH", C::SFTP, sftp->port}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto connection = std::make_shared<C>(row.type);
        auto login = QVConnectAction::make(connection, "127.0.0.1", row.port, sftp->user, password,
                                           row.type == C::SFTP ? sftp->arguments : QStringList());
        const auto in = runToOutcome(login, std::chrono::seconds(40));
        ASSERT_TRUE(in && in->result);
        Listed l;
        const qint64 riseKiB = peakRiseKiB([&] { l = list(connection, folder, std::chrono::seconds(280)); });
        EXPECT_TRUE(l.ok) << l.said.toStdString();
        EXPECT_EQ(l.names.size(), 30000);
        // Entries kept within their 128 MB bound, and the listing never held whole beside them.
        EXPECT_LT(riseKiB, 160 << 10) << "peak rose by " << riseKiB << " kB";
        fprintf(stderr, "%s, 30,000 links with 1.25 KB targets: peak rose by %lld kB\n", row.name, riseKiB);
        connection->kill();
    }
    QDir(folder).removeRecursively();
}
