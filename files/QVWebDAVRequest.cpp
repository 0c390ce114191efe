#include "files/QVWebDAVRequest.h"

#include "platform/FileName.h"
#include "platform/HttpEngine.h"

#include <QStringList>
#include <QXmlStreamReader>

#include <atomic>
#include <future>
#include <mutex>

// cadaver's prompt holds the collection it stands in: "dav:/dav/sub/> ".
std::optional<QString> QVWebDAVRequest::currentCollection(const QVRemoteFilesConnection& connection) {
    const QString prompt = connection.lastPromptLine().trimmed();
    if (!prompt.startsWith(QStringLiteral("dav:/")) || !prompt.endsWith(u'>')) return std::nullopt;
    QString collection = prompt.mid(4, prompt.size() - 5).trimmed();
    if (!collection.endsWith(u'/')) collection += u'/';
    return collection;
}

namespace {

std::mutex deadlinesLock;
QVWebDAVRequest::Deadlines currentDeadlines;

}  // namespace

QVWebDAVRequest::Deadlines QVWebDAVRequest::deadlines() {
    std::lock_guard guard(deadlinesLock);
    return currentDeadlines;
}

void QVWebDAVRequest::setDeadlines(const Deadlines& deadlines) {
    std::lock_guard guard(deadlinesLock);
    currentDeadlines = deadlines;
}

namespace {

QVWebDAVRequest::Outcome send(const QVRemoteFilesConnection& connection, const QByteArray& method, const QString& path,
                              const QString& destination, const QString& bodyFile, const QString& downloadFile,
                              const QByteArray& depth);

}  // namespace

std::optional<QUrl> QVWebDAVRequest::urlForPath(const QVRemoteFilesConnection& connection, const QString& path) {
    const QVWebDAVSite site = connection.webDAVSite();
    if (!site.isValid() || path.isEmpty()) return std::nullopt;
    for (QChar c : path)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f) return std::nullopt;
    QString absolute = path;
    if (!absolute.startsWith(u'/')) {
        const auto collection = currentCollection(connection);
        if (!collection) return std::nullopt;
        absolute = *collection + absolute;
    }
    QByteArray encoded;
    const QStringList steps = absolute.split(u'/');
    for (qsizetype i = 0; i < steps.size(); ++i) {
        const QString& step = steps[i];
        // A step the server would fold could reach another resource than the one named.
        if (step == u'.' || step == QStringLiteral("..")) return std::nullopt;
        if (i > 0) encoded += '/';
        // The name's own bytes, a name in another encoding than UTF-8 too.
        encoded += FileName::encode(step).toPercentEncoding();
    }
    QUrl url;
    url.setScheme(site.scheme);
    url.setHost(site.host);
    url.setPort(site.port);
    url.setPath(QString::fromLatin1(encoded), QUrl::StrictMode);
    if (!url.isValid()) return std::nullopt;
    return url;
}

namespace {

QVWebDAVRequest::Outcome send(const QVRemoteFilesConnection& connection, const QByteArray& method, const QString& path,
                              const QString& destination, const QString& bodyFile, const QString& downloadFile,
                              const QByteArray& depth) {
    using R = QVWebDAVRequest;
    R::Outcome outcome;
    const auto url = R::urlForPath(connection, path);
    std::optional<QUrl> to;
    if (!destination.isEmpty()) to = R::urlForPath(connection, destination);
    if (!url || (!destination.isEmpty() && !to)) {
        outcome.said = QStringLiteral("%1 %2: not an address on the site").arg(QString::fromLatin1(method), path);
        return outcome;
    }
    const QVWebDAVSite site = connection.webDAVSite();
    HttpRequest request;
    request.method = method;
    request.url = *url;
    request.user = site.user;
    request.password = site.password;
    request.bodyFilePath = bodyFile;
    request.downloadFilePath = downloadFile;
    if (to) {
        request.setHeader("Destination", to->toEncoded());
        request.setHeader("Overwrite", "T");
    }
    // An answer not written to a file is held whole (a listing while it is read): one past the
    // bound is refused rather than taking the memory of the machine, whatever was asked.
    if (downloadFile.isEmpty()) request.maxResponseBytes = QVWebDAVRequest::MaxListingBytes;
    if (method == "PROPFIND") {
        request.setHeader("Depth", depth);
        request.setHeader("Content-Type", "application/xml");
        request.body = "<?xml version=\"1.0\"?><propfind xmlns=\"DAV:\"><prop><resourcetype/>"
                       "<getcontentlength/><getlastmodified/><executable xmlns=\"http://apache.org/dav/props/\"/>"
                       "</prop></propfind>";
    }
    const R::Deadlines deadlines = R::deadlines();
    if (downloadFile.isEmpty() && bodyFile.isEmpty()) request.totalTimeoutMs = deadlines.answerMs;
    request.slowestBytesPerSecond = deadlines.slowestBytesPerSecond;
    request.slowSeconds = deadlines.slowSeconds;
    // A change the site has taken (its status line came) stays made whatever the user asks
    // after it: a cancel then would only lose its answer. A read ends at any time.
    auto taken = std::make_shared<std::atomic<bool>>(false);
    if (method != "PROPFIND" && method != "GET")
        request.onStatusLine = [taken](int status) {
            if (HttpResponse::statusAccepted(status)) *taken = true;
        };
    HttpSession session;
    auto answered = std::make_shared<std::promise<HttpResponse>>();
    std::future<HttpResponse> answer = answered->get_future();
    const quint64 task = session.startOnWorker(std::move(request), [answered](const HttpResponse& r) { answered->set_value(r); });
    const quint64 token = connection.beginDirectRequest([&session, task, taken] {
        if (*taken) return false;
        session.cancel(task);
        return true;
    });
    const HttpResponse response = answer.get();
    connection.endDirectRequest(token);
    connection.noteDirectRequestLate(response.error == HttpResponse::TimedOut);
    outcome.status = response.status;
    outcome.body = response.body;
    outcome.complete = response.ok();
    outcome.tooLarge = response.tooLarge;
    outcome.said = QStringLiteral("%1 %2%3: %4")
                       .arg(QString::fromLatin1(method), path, to ? QStringLiteral(" to ") + destination : QString(),
                            response.ok() ? QString::number(response.status) : response.message);
    return outcome;
}

}  // namespace

QVWebDAVRequest::Outcome QVWebDAVRequest::perform(const QVRemoteFilesConnection& connection, const QByteArray& method,
                                                  const QString& path, const QString& destination,
                                                  const QString& bodyFile, const QString& downloadFile) {
    return send(connection, method, path, destination, bodyFile, downloadFile, "0");
}

std::optional<bool> QVWebDAVRequest::exists(const QVRemoteFilesConnection& connection, const QString& path) {
    const Outcome outcome = perform(connection, "PROPFIND", path);
    if (outcome.status == 207 || outcome.status == 200) return true;
    if (outcome.status == 404) return false;
    return std::nullopt;
}

QVWebDAVRequest::Resource QVWebDAVRequest::resourceAt(const QVRemoteFilesConnection& connection, const QString& path,
                                                       Outcome* outcome) {
    Outcome asked = perform(connection, "PROPFIND", path);
    const auto answer = [&](Resource resource) {
        if (outcome) *outcome = asked;
        return resource;
    };
    if (asked.status == 404) return answer(Missing);
    if (asked.status != 207) return answer(Unknown);
    // One response for the path alone (Depth 0): its resourcetype holds a collection or not.
    QXmlStreamReader xml(asked.body);
    bool inType = false, sawType = false, collection = false;
    while (!xml.atEnd()) {
        const QXmlStreamReader::TokenType token = xml.readNext();
        const bool dav = xml.namespaceUri() == QLatin1String("DAV:");
        if (token == QXmlStreamReader::StartElement && dav && xml.name() == QLatin1String("resourcetype")) {
            inType = sawType = true;
        } else if (token == QXmlStreamReader::EndElement && dav && xml.name() == QLatin1String("resourcetype")) {
            inType = false;
        } else if (token == QXmlStreamReader::StartElement && inType && dav && xml.name() == QLatin1String("collection")) {
            collection = true;
        }
    }
    if (xml.hasError() || !sawType) return answer(Unknown);
    return answer(collection ? Collection : File);
}

std::optional<QList<QVWebDAVRequest::Member>> QVWebDAVRequest::members(const QVRemoteFilesConnection& connection,
                                                                      const QString& path, Outcome* outcome) {
    Outcome asked;
    const auto collection = path.isEmpty() ? currentCollection(connection) : std::optional<QString>(path);
    if (collection) asked = send(connection, "PROPFIND", *collection, {}, {}, {}, "1");
    if (outcome) *outcome = asked;
    if (asked.status != 207 || !asked.complete) return std::nullopt;
    const auto listed = urlForPath(connection, *collection);
    if (!listed) return std::nullopt;
    // Each href as the bytes it encodes, without the one slash a collection's ends in.
    const auto bytesOf = [](QString href) {
        if (const QUrl url(href); url.isValid() && !url.scheme().isEmpty()) href = url.path(QUrl::FullyEncoded);
        // Characters outside ASCII (an IRI) stand for their UTF-8 bytes, as escapes do.
        QByteArray bytes = QByteArray::fromPercentEncoding(href.toUtf8());
        if (bytes.size() > 1 && bytes.endsWith('/')) bytes.chop(1);
        return bytes;
    };
    const QByteArray self = bytesOf(listed->path(QUrl::FullyEncoded));
    // A member is one step inside the folder: an href elsewhere (a "..", an escaped slash, a
    // deeper or other folder) would be listed by its last step and act on the wrong resource.
    const QByteArray inside = self.endsWith('/') ? self : self + '/';
    QList<Member> found;
    QXmlStreamReader xml(asked.body);
    Member member;
    QByteArray href;
    QString text;
    bool inType = false;
    // Only the href that is a response's own child names it: one inside a property (a lock's
    // owner or token) is some other address.
    int depth = 0, responseDepth = -1, hrefs = 0;
    static const QString apache = QStringLiteral("http://apache.org/dav/props/");
    while (!xml.atEnd()) {
        const QXmlStreamReader::TokenType token = xml.readNext();
        const bool dav = xml.namespaceUri() == QLatin1String("DAV:");
        if (token == QXmlStreamReader::StartElement) {
            ++depth;
            text.clear();
            if (dav && xml.name() == QLatin1String("response")) {
                member = Member();
                href.clear();
                hrefs = 0;
                responseDepth = depth;
            } else if (dav && xml.name() == QLatin1String("resourcetype")) {
                inType = true;
            } else if (inType && dav && xml.name() == QLatin1String("collection")) {
                member.collection = true;
            }
        } else if (token == QXmlStreamReader::Characters) {
            text += xml.text();
        } else if (token == QXmlStreamReader::EndElement) {
            const int ended = depth--;
            if (dav && xml.name() == QLatin1String("href")) {
                if (ended == responseDepth + 1) {
                    href = bytesOf(text.trimmed());
                    ++hrefs;
                }
            } else if (dav && xml.name() == QLatin1String("resourcetype")) inType = false;
            else if (dav && xml.name() == QLatin1String("getcontentlength")) member.size = text.trimmed().toLongLong();
            else if (dav && xml.name() == QLatin1String("getlastmodified")) member.modified = text.trimmed();
            else if (xml.namespaceUri() == apache && xml.name() == QLatin1String("executable"))
                member.executable = text.trimmed() == u'T';
            else if (dav && xml.name() == QLatin1String("response") && hrefs == 1 && href.startsWith(inside) &&
                     href.size() > inside.size() && !href.sliced(inside.size()).contains('/')) {
                // Decoded, never trimmed: the href is the name. A response naming several
                // resources says no one member's properties.
                member.name = FileName::decode(href.sliced(inside.size()));
                found.append(member);
            }
        }
    }
    if (xml.hasError()) return std::nullopt;
    return found;
}
