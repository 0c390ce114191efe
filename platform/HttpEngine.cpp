// The HTTP engine: easy handles on one multi handle per session, driven by a worker thread that
// adds, cancels, times out and finishes transfers, so no libcurl handle is touched by two threads.
#include "platform/HttpEngine.h"
#include "platform/FileName.h"
#include "platform/Threads.h"

#include "platform/MainQueue.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <curl/curl.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <linux/sockios.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

thread_local int t_libraryStarts = 0;

// OpenSSL starts without its clean-up at exit, before a session exists: registered later (by
// whatever code of this process first uses OpenSSL, while the worker has not started it yet), the
// clean-up would run before the static objects that keep a session are destroyed, and their
// workers would then use OpenSSL after it ended and could no longer free their thread state. The
// first start decides; this one costs a few thousand instructions.
void startOpenSSL() {
    static std::once_flag once;
    std::call_once(once, [] { OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr); });
}

void globalInit() {
    ++t_libraryStarts;
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

qint64 nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// The certificates of a pinned-roots file; every new connection gets a store of only these.
struct PinnedRoots {
    std::vector<X509*> certificates;
    ~PinnedRoots() {
        for (X509* c : certificates) X509_free(c);
    }
    bool load(const QString& path, QString* error) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("cannot read the pinned roots %1: %2").arg(path, file.errorString());
            return false;
        }
        return parse(file.read(4 * 1024 * 1024), path, error);
    }
    bool parse(const QByteArray& pem, const QString& path, QString* error) {
        BIO* bio = BIO_new_mem_buf(pem.constData(), int(pem.size()));
        while (X509* c = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) certificates.push_back(c);
        BIO_free(bio);
        ERR_clear_error();
        if (certificates.empty()) {
            *error = QStringLiteral("no certificate in the pinned roots %1").arg(path);
            return false;
        }
        return true;
    }
};

CURLcode installPinnedRoots(CURL*, void* sslContext, void* data) {
    auto* roots = static_cast<PinnedRoots*>(data);
    X509_STORE* store = X509_STORE_new();
    if (!store) return CURLE_OUT_OF_MEMORY;
    for (X509* c : roots->certificates) X509_STORE_add_cert(store, c);
    // Replaces whatever libcurl loaded: the system's roots never join the pinned ones.
    SSL_CTX_set_cert_store(static_cast<SSL_CTX*>(sslContext), store);
    SSL_CTX_set_verify(static_cast<SSL_CTX*>(sslContext), SSL_VERIFY_PEER, nullptr);
    return CURLE_OK;
}

}  // namespace

void HttpRequest::setHeader(const QByteArray& name, const QByteArray& value) {
    for (int i = headers.size() - 1; i >= 0; --i)
        if (headers[i].first.compare(name, Qt::CaseInsensitive) == 0) headers.removeAt(i);
    headers.append({name, value});
}

QByteArray HttpResponse::header(const QByteArray& name) const {
    for (const auto& h : headers)
        if (h.first.compare(name, Qt::CaseInsensitive) == 0) return h.second;
    return {};
}

struct Transfer {
    quint64 id = 0;
    HttpRequest request;
    HttpSession::Completion completion;
    bool onMain = true;

    CURL* easy = nullptr;
    curl_slist* headerList = nullptr;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    std::shared_ptr<PinnedRoots> roots;
    std::unique_ptr<QFile> bodyFile;
    QString bodyPath;  // as downloadPath
    std::unique_ptr<QFile> downloadFile;
    QString downloadPath;  // the file's name, which an fd-opened QFile does not know
    HttpResponse response;
    QString fileError;

    qint64 lastActivity = 0;
    qint64 lastBytes = -1;
    bool idleExpired = false;
    bool slowExpired = false;
    bool answerExpired = false;
    // What moved on the wire, sampled as the worker goes round, for the slowest pace: (time, bytes).
    std::deque<std::pair<qint64, qint64>> paceSamples;
    // The body's last byte is held back (libcurl's sending paused) until the kernel sent all
    // before it; paused stays until the worker lets libcurl go on, also when a
    // rewind (a request sent again for its credentials) ended the hold.
    bool holdingLast = false;
    bool paused = false;
    // The server gave its final answer to the request on its way (sent again after a rewind or
    // a redirect, it is another): nothing it does then is waited for, the held byte included.
    bool answeredEarly = false;
    // The whole body went out on the wire, and when.
    bool bodySent = false;
    qint64 bodySentAt = 0;
    bool answerBegun = false;
    bool sawAnswer = false;  // a header or body byte of a final answer reached libcurl
    bool interim = false;    // the header lines coming are an interim answer's (1xx)
    // The socket libcurl opened for this transfer (none on a connection another one opened),
    // and the session's record of which transfer opened each socket still open.
    curl_socket_t socket = CURL_SOCKET_BAD;
    std::map<curl_socket_t, quint64>* socketOwners = nullptr;
    qint64 startedAt = 0;
    qint64 received = 0;  // body bytes of the current answer, decoded
    bool tooLarge = false;
    int redirects = 0;

    ~Transfer() {
        if (easy) curl_easy_cleanup(easy);
        curl_slist_free_all(headerList);
    }
};

using TransferPtr = std::shared_ptr<Transfer>;

struct HttpSession::State {
    mutable std::mutex lock;
    std::deque<TransferPtr> pending;
    std::vector<quint64> cancelRequests;
    QList<quint64> live;           // started and not yet handed to their completion
    std::vector<quint64> cancelled;  // live tasks cancelled: they complete as Cancelled
    bool stopping = false;
    std::atomic<quint64> nextId{1};

    // Made by the worker as it starts; read by other threads only to wake it.
    std::atomic<CURLM*> multi{nullptr};
    std::thread worker;
    std::map<CURL*, TransferPtr> running;  // the worker's alone
    std::map<QByteArray, std::shared_ptr<PinnedRoots>> rootsCache;  // the worker's alone
    std::vector<CURL*> spareHandles;  // reset handles for the next transfers, the worker's alone
    std::map<curl_socket_t, quint64> socketOwners;  // the worker's alone

    ~State() {
        for (CURL* e : spareHandles) curl_easy_cleanup(e);
        if (multi) curl_multi_cleanup(multi);
    }

    void wake() {
        if (multi) curl_multi_wakeup(multi);
    }
    bool wasCancelled(quint64 id) const {
        return std::find(cancelled.begin(), cancelled.end(), id) != cancelled.end();
    }
    void forget(quint64 id) {
        live.removeOne(id);
        cancelled.erase(std::remove(cancelled.begin(), cancelled.end(), id), cancelled.end());
    }

    void run(std::weak_ptr<State> self);
    bool begin(const TransferPtr& t);
    bool followRedirect(const TransferPtr& t);
    void finish(const TransferPtr& t, CURLcode code, std::weak_ptr<State> self);
    void deliver(const TransferPtr& t, std::weak_ptr<State> self);
};

namespace {

size_t onHeader(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t length = size * count;
    const QByteArray line = QByteArray(data, qsizetype(length)).trimmed();
    t->lastActivity = nowMs();
    if (line.startsWith("HTTP/")) {
        // An interim answer ("102 Processing") says the server still works on the request: it
        // is not its answer, and a request awaiting one stays held to the answer's deadline.
        const qsizetype space = line.indexOf(' ');
        bool number = false;
        const int status = space > 0 ? line.mid(space + 1, 3).toInt(&number) : 0;
        t->interim = number && status >= 100 && status < 200;
        if (number && status >= 200) t->answeredEarly = true;
    }
    if (!t->interim) t->sawAnswer = true;
    if (line.startsWith("HTTP/")) {
        // A new answer (after a redirect or an interim answer): forget the previous one's.
        t->response.headers.clear();
        t->response.body.clear();
        t->received = 0;
        if (t->downloadFile) {
            t->downloadFile->seek(0);
            t->downloadFile->resize(0);
        }
        // "HTTP/1.1 202 Accepted", "HTTP/2 200": libcurl hands whole lines only.
        if (t->request.onStatusLine) {
            const qsizetype space = line.indexOf(' ');
            bool number = false;
            const int status = space > 0 ? line.mid(space + 1, 3).toInt(&number) : 0;
            if (number && status >= 200 && status <= 999) t->request.onStatusLine(status);
        }
        return length;
    }
    const qsizetype colon = line.indexOf(':');
    if (colon > 0) t->response.headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
    return length;
}

size_t onBody(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t length = size * count;
    t->lastActivity = nowMs();
    t->sawAnswer = true;
    t->received += qint64(length);
    if (t->request.maxResponseBytes > 0 && t->received > t->request.maxResponseBytes) {
        t->tooLarge = true;
        return 0;
    }
    if (t->downloadFile) {
        if (t->downloadFile->write(data, qint64(length)) != qint64(length)) {
            t->fileError = QStringLiteral("cannot write %1: %2")
                               .arg(FileName::displayed(t->downloadPath), t->downloadFile->errorString());
            return 0;
        }
        return length;
    }
    t->response.body.append(data, qsizetype(length));
    return length;
}

bool drained(const Transfer& t);

size_t onRead(char* buffer, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    qint64 wanted = qint64(size * count);
    // The body's last byte goes only once the kernel sent all before it: until then a reset
    // drops it for certain, so a request cut on the way (a cancel, a deadline) reached no
    // server whole, however the kernel and the reset fall on a busy machine. Waiting for the
    // server's acknowledgement instead would cost each upload a round trip, and its delayed
    // acknowledgement on top (tens of milliseconds a file), as the server has nothing to say
    // before the last byte; and on HTTP/2 an answer that came meanwhile (a 401 asking for
    // credentials) left libcurl sending on a closed stream.
    const qint64 left = t->bodyFile->size() - t->bodyFile->pos();
    if (left > 0 && left <= wanted) {
        if (left > 1) {
            wanted = left - 1;
        } else if (!t->answeredEarly && !drained(*t)) {
            t->holdingLast = t->paused = true;
            return CURL_READFUNC_PAUSE;
        }
    }
    const qint64 n = t->bodyFile->read(buffer, wanted);
    if (n < 0) {
        t->fileError = QStringLiteral("cannot read %1: %2").arg(FileName::displayed(t->bodyPath), t->bodyFile->errorString());
        return CURL_READFUNC_ABORT;
    }
    t->lastActivity = nowMs();
    return size_t(n);
}

// A request that learns it must authenticate is sent again: its body from the start.
int onSeek(void* user, curl_off_t offset, int origin) {
    auto* t = static_cast<Transfer*>(user);
    t->holdingLast = false;
    t->answeredEarly = false;
    if (origin != SEEK_SET || !t->bodyFile->seek(qint64(offset))) return CURL_SEEKFUNC_CANTSEEK;
    return CURL_SEEKFUNC_OK;
}

// The request's headers as libcurl takes them. A body-less request (a redirect turned into a GET)
// leaves out the body's type and length, which would make the server wait for a body.
curl_slist* headerList(const HttpRequest& r, bool bodyless) {
    curl_slist* list = nullptr;
    bool hasType = false;
    for (const auto& h : r.headers) {
        const bool describesBody = h.first.compare("Content-Type", Qt::CaseInsensitive) == 0 ||
                                   h.first.compare("Content-Length", Qt::CaseInsensitive) == 0;
        if (bodyless && describesBody) continue;
        if (h.first.compare("Content-Type", Qt::CaseInsensitive) == 0) hasType = true;
        const QByteArray line = h.second.isEmpty() ? h.first + ';' : h.first + ": " + h.second;
        list = curl_slist_append(list, line.constData());
    }
    // Bodies go out at once: no waiting for a 100 Continue, and no form type the caller did not give.
    list = curl_slist_append(list, "Expect:");
    if (!hasType) list = curl_slist_append(list, "Content-Type:");
    return list;
}

int defaultPort(const QUrl& url) { return url.port(url.scheme().compare(QLatin1String("http"), Qt::CaseInsensitive) == 0 ? 80 : 443); }

bool isTlsFailure(CURLcode code) {
    switch (code) {
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_USE_SSL_FAILED:
        return true;
    default:
        return false;
    }
}

// What the kernel knows of a transfer's connection: request bytes the server's side acknowledged,
// answer bytes that came, and request bytes not yet sent at all. -1 where it cannot tell (no
// connection yet, not TCP).
struct Wire {
    qint64 acked = -1;
    qint64 received = -1;
    qint64 unsent = -1;
};

// libcurl tells a transfer's socket only once the transfer is over: it is noted as it is made,
// and forgotten as libcurl closes it, so a number reused by a later socket is never taken for it.
int onSocketMade(void* user, curl_socket_t fd, curlsocktype) {
    auto* t = static_cast<Transfer*>(user);
    t->socket = fd;
    (*t->socketOwners)[fd] = t->id;
    return CURL_SOCKOPT_OK;
}

int onSocketClosed(void* user, curl_socket_t fd) {
    static_cast<std::map<curl_socket_t, quint64>*>(user)->erase(fd);
    return ::close(fd);
}

curl_socket_t socketOf(const Transfer& t) {
    if (t.socket == CURL_SOCKET_BAD || !t.socketOwners) return CURL_SOCKET_BAD;
    const auto owner = t.socketOwners->find(t.socket);
    return owner != t.socketOwners->end() && owner->second == t.id ? t.socket : CURL_SOCKET_BAD;
}

Wire wireOf(const Transfer& t) {
    Wire wire;
    const curl_socket_t fd = socketOf(t);
    if (fd == CURL_SOCKET_BAD) return wire;
    tcp_info info{};
    socklen_t length = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 &&
        length >= socklen_t(offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received)) {
        wire.acked = qint64(info.tcpi_bytes_acked);
        wire.received = qint64(info.tcpi_bytes_received);
    }
    int unsent = 0;
    if (::ioctl(fd, SIOCOUTQNSD, &unsent) == 0) wire.unsent = unsent;
    return wire;
}

// Ends the transfer's connection with a reset rather than an orderly close: what is still queued
// in the kernel is dropped, not delivered after we gave up on it, so a server reading slowly sees
// a cut body, never a whole one after Qorvel said it was not sent. libcurl closes a connection
// whose transfer is removed unfinished; the reset happens at that close.
void cutOnWire(const Transfer& t) {
    const curl_socket_t fd = socketOf(t);
    if (fd == CURL_SOCKET_BAD) return;
    const linger abortive{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
}

// Whether the kernel sent every request byte handed to it (acknowledged or not). A socket that
// cannot be told (a connection another transfer opened) counts as drained: its body's last byte
// is then not held back, and a cut is judged on what libcurl was handed alone.
bool drained(const Transfer& t) {
    const curl_socket_t fd = socketOf(t);
    int queued = 0;
    return fd == CURL_SOCKET_BAD || ::ioctl(fd, SIOCOUTQNSD, &queued) != 0 || queued == 0;
}

qint64 bodyLength(const Transfer& t) {
    if (t.bodyFile) return t.bodyFile->size();
    return t.request.body.size();
}

// Whether libcurl handed the kernel the whole of a request that carries a body: all of the body,
// or, for a body of no bytes (an emptied file saved), the request's head, which then is the
// whole request: a server that has it may act on it as on any other.
bool handedOverWhole(const Transfer& t, curl_off_t up) {
    if (!t.bodyFile && t.request.body.isEmpty()) return false;
    if (const qint64 length = bodyLength(t); length > 0) return qint64(up) >= length;
    long head = 0;
    curl_easy_getinfo(t.easy, CURLINFO_REQUEST_SIZE, &head);
    return head > 0;
}

// Whether the server may have the whole request once the transfer is cut now. A byte libcurl was
// never handed cannot reach it, whatever the kernel does between this look and the reset; a body
// read from a file counts from the moment libcurl took its last byte.
bool mayHaveWhole(const Transfer& t, curl_off_t up) {
    if (t.bodyFile && t.bodyFile->size() > 0) return t.bodyFile->pos() >= t.bodyFile->size();
    return handedOverWhole(t, up);
}

}  // namespace

// Sets the handle up; false (with the response's error filled in) when the request cannot start.
bool HttpSession::State::begin(const TransferPtr& t) {
    HttpRequest& r = t->request;
    HttpResponse& out = t->response;
    const QString scheme = r.url.scheme().toLower();
    if (!r.url.isValid() || (scheme != QLatin1String("https") && scheme != QLatin1String("http"))) {
        out.error = HttpResponse::Network;
        out.message = QStringLiteral("not an http or https address: %1").arg(r.url.toString());
        return false;
    }
    if (!r.pinnedRootsPem.isEmpty() || !r.pinnedRootsPemPath.isEmpty()) {
        // Parsed roots are kept per session: a file by its path, size and time, text by itself.
        QByteArray key = r.pinnedRootsPem;
        if (key.isEmpty()) {
            const QFileInfo info(r.pinnedRootsPemPath);
            key = "file:" + QFile::encodeName(r.pinnedRootsPemPath) + ':' + QByteArray::number(info.size()) + ':' +
                  QByteArray::number(info.lastModified().toMSecsSinceEpoch());
        }
        auto cached = rootsCache.find(key);
        if (cached != rootsCache.end()) {
            t->roots = cached->second;
        } else {
            t->roots = std::make_shared<PinnedRoots>();
            const bool loaded = r.pinnedRootsPem.isEmpty()
                                    ? t->roots->load(r.pinnedRootsPemPath, &out.message)
                                    : t->roots->parse(r.pinnedRootsPem, QStringLiteral("given"), &out.message);
            if (!loaded) {
                out.error = HttpResponse::Tls;
                return false;
            }
            if (rootsCache.size() > 16) rootsCache.clear();
            rootsCache[key] = t->roots;
        }
    }
    // Files are opened by their bytes: a name that is not UTF-8 too (platform/FileName).
    if (!r.bodyFilePath.isEmpty()) {
        const int fd = ::open(FileName::encode(r.bodyFilePath).constData(), O_RDONLY | O_CLOEXEC);
        t->bodyFile = std::make_unique<QFile>();
        t->bodyPath = r.bodyFilePath;
        if (fd < 0 || !t->bodyFile->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
            out.error = HttpResponse::File;
            out.message = QStringLiteral("cannot read %1: %2").arg(FileName::displayed(r.bodyFilePath), QString::fromLocal8Bit(strerror(errno)));
            if (fd >= 0) ::close(fd);
            t->bodyFile.reset();
            return false;
        }
    }
    if (!r.downloadFilePath.isEmpty()) {
        const int fd = ::open(FileName::encode(r.downloadFilePath).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        t->downloadFile = std::make_unique<QFile>();
        t->downloadPath = r.downloadFilePath;
        if (fd < 0 || ::fchmod(fd, 0600) != 0 || !t->downloadFile->open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
            out.error = HttpResponse::File;
            out.message = QStringLiteral("cannot write %1: %2").arg(FileName::displayed(r.downloadFilePath), QString::fromLocal8Bit(strerror(errno)));
            if (fd >= 0) ::close(fd);
            t->downloadFile.reset();
            return false;
        }
    }

    CURL* e = nullptr;
    if (!spareHandles.empty()) {
        e = spareHandles.back();
        spareHandles.pop_back();
    } else {
        e = curl_easy_init();
    }
    t->easy = e;
    if (!e) {
        out.error = HttpResponse::Network;
        out.message = QStringLiteral("cannot make a transfer");
        return false;
    }
    curl_easy_setopt(e, CURLOPT_PRIVATE, t.get());
    t->socketOwners = &socketOwners;
    curl_easy_setopt(e, CURLOPT_SOCKOPTFUNCTION, onSocketMade);
    curl_easy_setopt(e, CURLOPT_SOCKOPTDATA, t.get());
    curl_easy_setopt(e, CURLOPT_CLOSESOCKETFUNCTION, onSocketClosed);
    curl_easy_setopt(e, CURLOPT_CLOSESOCKETDATA, &socketOwners);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t->errorBuffer);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    const QByteArray url = r.url.toEncoded();
    curl_easy_setopt(e, CURLOPT_URL, url.constData());  // libcurl keeps its own copy
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
    if (t->roots) {
        // libcurl never reads the system's roots for this transfer; the context callback then
        // puts only the pinned ones in the store.
        if (r.pinnedRootsPem.isEmpty()) {
            const QByteArray pem = QFile::encodeName(r.pinnedRootsPemPath);
            curl_easy_setopt(e, CURLOPT_CAINFO, pem.constData());
        } else {
            // As a blob the roots also tell connections apart: one made under other roots is
            // never reused for this transfer.
            curl_blob blob{const_cast<char*>(r.pinnedRootsPem.constData()), size_t(r.pinnedRootsPem.size()), CURL_BLOB_COPY};
            curl_easy_setopt(e, CURLOPT_CAINFO, nullptr);
            curl_easy_setopt(e, CURLOPT_CAINFO_BLOB, &blob);
        }
        curl_easy_setopt(e, CURLOPT_CAPATH, nullptr);
        curl_easy_setopt(e, CURLOPT_CA_CACHE_TIMEOUT, 0L);
        curl_easy_setopt(e, CURLOPT_SSL_CTX_FUNCTION, installPinnedRoots);
        curl_easy_setopt(e, CURLOPT_SSL_CTX_DATA, t->roots.get());
    }
    // Redirects are followed here, not by libcurl (followRedirect), which would follow them to any
    // host with every header of the request.
    if (!r.user.isEmpty() || !r.password.isEmpty()) {
        const QByteArray user = r.user.toUtf8(), password = r.password.toUtf8();  // libcurl copies both
        curl_easy_setopt(e, CURLOPT_USERNAME, user.constData());
        curl_easy_setopt(e, CURLOPT_PASSWORD, password.constData());
        // More than one scheme: libcurl asks first and answers with what the server offers.
        curl_easy_setopt(e, CURLOPT_HTTPAUTH, long(CURLAUTH_BASIC | CURLAUTH_DIGEST));
        // Credentials stay with the address they were given for.
        curl_easy_setopt(e, CURLOPT_UNRESTRICTED_AUTH, 0L);
    }
    if (r.acceptGzip) curl_easy_setopt(e, CURLOPT_ACCEPT_ENCODING, "gzip");
    if (r.idleTimeoutMs > 0) curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, long(r.idleTimeoutMs));
    if (r.totalTimeoutMs > 0) curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, long(r.totalTimeoutMs));
    // The slowest pace is the worker's own check (wire bytes): libcurl's would count bytes
    // handed to the kernel, which a body that fits the socket buffers passes at once.
    // A length announced beyond the limit is refused before any byte of the body.
    if (r.maxResponseBytes > 0) curl_easy_setopt(e, CURLOPT_MAXFILESIZE_LARGE, curl_off_t(r.maxResponseBytes));

    const QByteArray method = r.method.toUpper();
    const bool hasBody = t->bodyFile || !r.body.isEmpty();
    if (method == "HEAD") {
        curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
    } else if (hasBody || method == "POST" || method == "PUT" || method == "PATCH") {
        curl_easy_setopt(e, CURLOPT_POST, 1L);
        if (t->bodyFile) {
            curl_easy_setopt(e, CURLOPT_READFUNCTION, onRead);
            curl_easy_setopt(e, CURLOPT_READDATA, t.get());
            // Only a request that may be asked for its credentials is sent twice; others are
            // never repeated by libcurl (a reset connection ends them, as their callers expect).
            if (!r.user.isEmpty() || !r.password.isEmpty()) {
                curl_easy_setopt(e, CURLOPT_SEEKFUNCTION, onSeek);
                curl_easy_setopt(e, CURLOPT_SEEKDATA, t.get());
            }
            curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(t->bodyFile->size()));
            curl_easy_setopt(e, CURLOPT_UPLOAD_BUFFERSIZE, 1024L * 1024L);
        } else {
            curl_easy_setopt(e, CURLOPT_POSTFIELDS, r.body.constData());
            curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(r.body.size()));
        }
        if (method != "POST") curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, method.constData());
    } else if (method != "GET") {
        curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, method.constData());
    }

    t->headerList = headerList(r, false);
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, t->headerList);

    // A proxy's answer to CONNECT is no answer of the server's.
    curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, t.get());
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, t.get());
    curl_easy_setopt(e, CURLOPT_BUFFERSIZE, 256L * 1024L);
    t->lastActivity = t->startedAt = nowMs();
    return true;
}

// After an answer that finished: true when it was a redirect to follow and the handle is set up
// for the next hop. A redirect to another host or port is handed back as the answer; one to plain
// http, one hop too many and a whole-transfer limit already spent end the transfer as failed.
bool HttpSession::State::followRedirect(const TransferPtr& t) {
    const HttpRequest& r = t->request;
    HttpResponse& out = t->response;
    if (r.maxRedirects <= 0) return false;
    long status = 0;
    curl_easy_getinfo(t->easy, CURLINFO_RESPONSE_CODE, &status);
    if (status != 301 && status != 302 && status != 303 && status != 307 && status != 308) return false;
    char* location = nullptr;
    if (curl_easy_getinfo(t->easy, CURLINFO_REDIRECT_URL, &location) != CURLE_OK || !location) return false;
    const QByteArray next(location);
    const QUrl target = QUrl::fromEncoded(next);
    if (target.host().compare(r.url.host(), Qt::CaseInsensitive) != 0 || defaultPort(target) != defaultPort(r.url)) return false;
    if (target.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) != 0) {
        out.error = HttpResponse::Network;
        out.message = QStringLiteral("a redirect to %1 is not followed: https only").arg(target.toString());
        return false;
    }
    if (t->redirects >= r.maxRedirects) {
        out.error = HttpResponse::Network;
        out.message = QStringLiteral("more than %1 redirects").arg(r.maxRedirects);
        return false;
    }
    const qint64 now = nowMs();
    if (r.totalTimeoutMs > 0) {
        const qint64 left = r.totalTimeoutMs - (now - t->startedAt);
        if (left <= 0) {
            out.error = HttpResponse::TimedOut;
            out.message = QStringLiteral("no answer within %1 ms").arg(r.totalTimeoutMs);
            return false;
        }
        curl_easy_setopt(t->easy, CURLOPT_TIMEOUT_MS, long(left));
    }
    // A request that carries a body follows only a 307 or 308, which send it again as it was. A
    // 301, 302 or 303 would have it turned into a GET without its body, whose answer would then
    // pass for the upload's: it is handed back as it came, not taken. A body-less request follows
    // all five, a 303 as a GET.
    const QByteArray method = r.method.toUpper();
    const bool carriesBody = t->bodyFile || !r.body.isEmpty() || method == "POST" || method == "PUT" || method == "PATCH";
    if (carriesBody && status != 307 && status != 308) return false;
    const bool toGet = status == 303 && method != "HEAD" && method != "GET";
    if (toGet) {
        curl_easy_setopt(t->easy, CURLOPT_CUSTOMREQUEST, nullptr);
        curl_easy_setopt(t->easy, CURLOPT_HTTPGET, 1L);
        curl_slist_free_all(t->headerList);
        t->headerList = headerList(r, true);
        curl_easy_setopt(t->easy, CURLOPT_HTTPHEADER, t->headerList);
    } else if (t->bodyFile && !t->bodyFile->seek(0)) {
        out.error = HttpResponse::File;
        out.message = QStringLiteral("cannot read %1 again: %2").arg(FileName::displayed(t->bodyPath), t->bodyFile->errorString());
        return false;
    }
    ++t->redirects;
    t->answeredEarly = false;
    curl_easy_setopt(t->easy, CURLOPT_URL, next.constData());
    out.headers.clear();
    out.body.clear();
    t->received = 0;
    if (t->downloadFile) {
        t->downloadFile->seek(0);
        t->downloadFile->resize(0);
    }
    t->lastActivity = now;
    t->lastBytes = -1;
    t->paceSamples.clear();
    return true;
}

void HttpSession::State::finish(const TransferPtr& t, CURLcode code, std::weak_ptr<State> self) {
    HttpResponse& out = t->response;
    if (t->easy) {
        long status = 0;
        curl_easy_getinfo(t->easy, CURLINFO_RESPONSE_CODE, &status);
        out.status = int(status);
        char* effective = nullptr;
        if (curl_easy_getinfo(t->easy, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective)
            out.url = QUrl::fromEncoded(effective);
    }
    if (out.error == HttpResponse::None && code != CURLE_OK) {
        const QString detail = t->errorBuffer[0] ? QString::fromUtf8(t->errorBuffer)
                                                 : QString::fromUtf8(curl_easy_strerror(code));
        if (t->idleExpired) {
            out.error = HttpResponse::TimedOut;
            out.message = QStringLiteral("no data for %1 ms").arg(t->request.idleTimeoutMs);
        } else if (t->slowExpired) {
            out.error = HttpResponse::TimedOut;
            out.message = QStringLiteral("fewer than %1 bytes a second for %2 s")
                              .arg(t->request.slowestBytesPerSecond)
                              .arg(std::max(1, t->request.slowSeconds));
        } else if (t->answerExpired) {
            out.error = HttpResponse::TimedOut;
            out.message = QStringLiteral("no answer within %1 ms of the whole body").arg(t->request.answerAfterBodyMs);
        } else if (t->tooLarge || code == CURLE_FILESIZE_EXCEEDED) {
            out.error = HttpResponse::Network;
            out.tooLarge = true;
            out.message = QStringLiteral("the answer is longer than %1 bytes").arg(t->request.maxResponseBytes);
        } else if (!t->fileError.isEmpty()) {
            out.error = HttpResponse::File;
            out.message = t->fileError;
        } else if (code == CURLE_OPERATION_TIMEDOUT) {
            out.error = HttpResponse::TimedOut;
            out.message = detail;
        } else if (isTlsFailure(code)) {
            out.error = HttpResponse::Tls;
            out.message = detail;
        } else {
            out.error = HttpResponse::Network;
            out.message = detail;
        }
    }
    if (t->downloadFile) {
        if (out.error == HttpResponse::None && !t->downloadFile->flush()) {
            out.error = HttpResponse::File;
            out.message = QStringLiteral("cannot write %1: %2")
                              .arg(FileName::displayed(t->downloadPath), t->downloadFile->errorString());
        }
        t->downloadFile->close();
        // A failed download leaves nothing behind that could pass for the answer.
        if (out.error != HttpResponse::None) ::unlink(FileName::encode(t->downloadPath).constData());
    }
    if (t->bodyFile) t->bodyFile->close();
    out.bodySent = t->bodySent;
    if (out.error != HttpResponse::None) out.body.clear();
    // The handle goes back for the next transfer: reset, it keeps no option of this one.
    if (t->easy && spareHandles.size() < 8) {
        curl_easy_reset(t->easy);
        spareHandles.push_back(t->easy);
        t->easy = nullptr;
    }
    deliver(t, self);
}

namespace {

// A cancelled task completes as Cancelled whatever came meanwhile, but still says whether its
// body went out whole: the server may then hold it, and its caller must not say otherwise.
void endAsCancelled(HttpResponse& response) {
    const bool sent = response.bodySent;
    response = {0, {}, {}, {}, HttpResponse::Cancelled, QStringLiteral("cancelled")};
    response.bodySent = sent;
}

}  // namespace

void HttpSession::State::deliver(const TransferPtr& t, std::weak_ptr<State> self) {
    if (!t->onMain) {
        {
            std::lock_guard<std::mutex> locker(lock);
            if (wasCancelled(t->id)) endAsCancelled(t->response);
            forget(t->id);
        }
        if (t->completion) t->completion(t->response);
        return;
    }
    MainQueue::post([self, t] {
        std::shared_ptr<State> state = self.lock();
        if (!state) return;  // the session is gone: nobody waits for this
        {
            std::lock_guard<std::mutex> locker(state->lock);
            if (!state->live.contains(t->id)) return;
            if (state->wasCancelled(t->id)) endAsCancelled(t->response);
            state->forget(t->id);
        }
        if (t->completion) t->completion(t->response);
    });
}

void HttpSession::State::run(std::weak_ptr<State> self) {
    // The transfer library's start (loading OpenSSL's configuration with it) happens here, not on
    // the thread making the session: the launch makes the kits' sessions before its first paint. A transfer started
    // meanwhile waits in pending, which is read only after the handle exists, and a wake before
    // then finds no handle and is not needed.
    globalInit();
    CURLM* handle = curl_multi_init();
    // One connection per host and the rest queued, so sequential requests reuse a warm connection.
    curl_multi_setopt(handle, CURLMOPT_MAX_HOST_CONNECTIONS, 6L);
    multi.store(handle);
    for (;;) {
        std::deque<TransferPtr> added;
        std::vector<quint64> cancels;
        {
            std::lock_guard<std::mutex> locker(lock);
            if (stopping) break;
            added.swap(pending);
            cancels.swap(cancelRequests);
        }
        for (const TransferPtr& t : added) {
            if (!begin(t)) {
                finish(t, CURLE_OK, self);
                continue;
            }
            running[t->easy] = t;
            curl_multi_add_handle(multi, t->easy);
        }
        for (quint64 id : cancels) {
            for (auto it = running.begin(); it != running.end(); ++it) {
                if (it->second->id != id) continue;
                TransferPtr t = it->second;
                // A body that went out whole since the worker last looked is told as such: the
                // server may hold it all, reset or not.
                curl_off_t up = 0;
                curl_easy_getinfo(t->easy, CURLINFO_SIZE_UPLOAD_T, &up);
                if (mayHaveWhole(*t, up)) t->bodySent = true;
                cutOnWire(*t);
                curl_multi_remove_handle(multi, t->easy);
                running.erase(it);
                t->response.error = HttpResponse::Cancelled;
                t->response.message = QStringLiteral("cancelled");
                finish(t, CURLE_ABORTED_BY_CALLBACK, self);
                break;
            }
        }

        for (auto& [easy, t] : running) {
            if (!t->paused) continue;
            // A server that answered before the whole body came may never read the rest: a
            // transfer held paused would wait for it, its answer unread, until a deadline.
            if (!t->holdingLast || t->answeredEarly || drained(*t)) {
                t->holdingLast = t->paused = false;
                curl_easy_pause(easy, CURLPAUSE_CONT);
            }
        }

        int active = 0;
        curl_multi_perform(multi, &active);
        int queued = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi, &queued)) {
            if (msg->msg != CURLMSG_DONE) continue;
            CURL* easy = msg->easy_handle;
            const CURLcode code = msg->data.result;
            auto it = running.find(easy);
            if (it == running.end()) continue;
            TransferPtr t = it->second;
            running.erase(it);
            curl_multi_remove_handle(multi, easy);
            if (code == CURLE_OK && followRedirect(t)) {
                running[easy] = t;
                curl_multi_add_handle(multi, easy);
                continue;
            }
            finish(t, code, self);
        }

        // Time-outs, on what moved on the wire: a transfer that moved no byte for its limit
        // ends (connecting included), and so does one slower than its slowest pace; once a
        // body has gone out whole, a request that waits for its answer by a deadline of its own
        // meets neither until the answer begins.
        const qint64 now = nowMs();
        for (auto it = running.begin(); it != running.end();) {
            TransferPtr t = it->second;
            const HttpRequest& r = t->request;
            curl_off_t down = 0, up = 0;
            curl_easy_getinfo(t->easy, CURLINFO_SIZE_DOWNLOAD_T, &down);
            curl_easy_getinfo(t->easy, CURLINFO_SIZE_UPLOAD_T, &up);
            const Wire wire = wireOf(*t);
            const qint64 moved = wire.acked >= 0 ? wire.acked + wire.received : qint64(down + up);
            if (moved != t->lastBytes) {
                t->lastBytes = moved;
                t->lastActivity = std::max(t->lastActivity, now);
            }
            if (!t->bodySent && handedOverWhole(*t, up) && wire.unsent <= 0) {
                t->bodySent = true;
                t->bodySentAt = now;
                t->sawAnswer = false;
                if (r.onBodySent) r.onBodySent();
            }
            const bool awaiting = t->bodySent && r.answerAfterBodyMs >= 0 && !t->answerBegun;
            // Only libcurl's word that a final answer came counts: what else arrives on the wire
            // (TLS records such as session tickets, an interim answer) leaves the server working.
            if (awaiting && t->sawAnswer) {
                // The answer began: its pace counts from here.
                t->answerBegun = true;
                t->lastActivity = now;
                t->paceSamples.clear();
            }
            bool expired = false;
            if (awaiting && !t->answerBegun) {
                expired = t->answerExpired = r.answerAfterBodyMs > 0 && now - t->bodySentAt > r.answerAfterBodyMs;
            } else {
                if (r.idleTimeoutMs > 0 && now - t->lastActivity > r.idleTimeoutMs) expired = t->idleExpired = true;
                if (!expired && r.slowestBytesPerSecond > 0) {
                    const qint64 window = qint64(std::max(1, r.slowSeconds)) * 1000;
                    auto& samples = t->paceSamples;
                    if (samples.empty() || now - samples.back().first >= 200) samples.emplace_back(now, moved);
                    while (samples.size() > 1 && now - samples[1].first >= window) samples.pop_front();
                    if (now - samples.front().first >= window &&
                        moved - samples.front().second < qint64(r.slowestBytesPerSecond) * std::max(1, r.slowSeconds))
                        expired = t->slowExpired = true;
                }
            }
            if (expired) {
                if (!t->bodySent && mayHaveWhole(*t, up)) t->bodySent = true;
                it = running.erase(it);
                cutOnWire(*t);
                curl_multi_remove_handle(multi, t->easy);
                finish(t, CURLE_OPERATION_TIMEDOUT, self);
                continue;
            }
            ++it;
        }

        // The kernel's sending wakes no poll: a held byte is looked at again soon, also one held
        // first during this round.
        const bool holding = std::any_of(running.begin(), running.end(), [](const auto& r) { return r.second->paused; });
        curl_multi_poll(multi, nullptr, 0, running.empty() ? 1000 : holding ? 1 : 25, nullptr);
    }
    // Stopping: what still runs ends here. Main-queue completions are dropped with the session;
    // a worker completion (a blocked perform) is told it was cancelled.
    std::deque<TransferPtr> left;
    {
        std::lock_guard<std::mutex> locker(lock);
        left.swap(pending);
    }
    for (auto& [easy, t] : running) {
        cutOnWire(*t);
        curl_multi_remove_handle(multi, easy);
        left.push_back(t);
    }
    running.clear();
    for (const TransferPtr& t : left) {
        if (t->downloadFile) {
            t->downloadFile->close();
            ::unlink(FileName::encode(t->downloadPath).constData());
        }
        if (!t->onMain && t->completion)
            t->completion({0, {}, {}, {}, HttpResponse::Cancelled, QStringLiteral("the session ended")});
    }
    // OpenSSL keeps an error queue (and more) for each thread that used it, freed only when the
    // thread says it is done: this one is, and a session's end would otherwise leave it behind.
    OPENSSL_thread_stop();
}

int HttpSession::libraryStartsOnThisThread() { return t_libraryStarts; }

HttpSession::HttpSession() : _state(std::make_shared<State>()) {
    startOpenSSL();
    std::weak_ptr<State> weak = _state;
    State* raw = _state.get();
    _state->worker = Threads::start("QVHttp", [raw, weak] { raw->run(weak); });
}

HttpSession::~HttpSession() {
    {
        std::lock_guard<std::mutex> locker(_state->lock);
        _state->stopping = true;
        _state->live.clear();
    }
    _state->wake();
    if (_state->worker.joinable()) _state->worker.join();
}

static quint64 enqueue(HttpSession::State* s, HttpRequest&& request, HttpSession::Completion&& done, bool onMain) {
    auto t = std::make_shared<Transfer>();
    t->request = std::move(request);
    t->completion = std::move(done);
    t->onMain = onMain;
    {
        std::lock_guard<std::mutex> locker(s->lock);
        t->id = s->nextId++;
        s->live.append(t->id);
        s->pending.push_back(t);
    }
    s->wake();
    return t->id;
}

quint64 HttpSession::start(HttpRequest request, Completion onMainQueue) {
    return enqueue(_state.get(), std::move(request), std::move(onMainQueue), true);
}

quint64 HttpSession::startOnWorker(HttpRequest request, Completion onWorker) {
    return enqueue(_state.get(), std::move(request), std::move(onWorker), false);
}

void HttpSession::cancel(quint64 task) {
    {
        std::lock_guard<std::mutex> locker(_state->lock);
        if (!_state->live.contains(task) || _state->wasCancelled(task)) return;
        _state->cancelled.push_back(task);
        _state->cancelRequests.push_back(task);
    }
    _state->wake();
}

QList<quint64> HttpSession::liveTasks() const {
    std::lock_guard<std::mutex> locker(_state->lock);
    return _state->live;
}

HttpResponse HttpSession::perform(HttpRequest request) {
    auto promise = std::make_shared<std::promise<HttpResponse>>();
    std::future<HttpResponse> answer = promise->get_future();
    startOnWorker(std::move(request), [promise](const HttpResponse& r) { promise->set_value(r); });
    return answer.get();
}
