#include "files/QVWebDAVRequest.h"

#include "files/QVListingBudget.h"
#include "platform/FileName.h"
#include "platform/HttpEngine.h"

#include <QCoreApplication>
#include <QStringList>
#include <QXmlStreamReader>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <algorithm>
#include <numeric>

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

// Told by the request's completion, on the session's worker: it holds no session, since the last
// owner of one must never be that session's own worker.
struct Ending {
    std::mutex lock;
    std::condition_variable changed;
    bool ended = false;
};

}  // namespace

struct QVWebDAVRequest::Unsettled::State {
    std::shared_ptr<Ending> ending = std::make_shared<Ending>();
    std::shared_ptr<HttpSession> session;
    quint64 task = 0;
};

bool QVWebDAVRequest::Unsettled::waitEnded(int ms) {
    Ending& e = *state->ending;
    std::unique_lock guard(e.lock);
    return e.changed.wait_for(guard, std::chrono::milliseconds(std::max(0, ms)), [&e] { return e.ended; });
}

void QVWebDAVRequest::Unsettled::cut() {
    state->session->cancel(state->task);
    waitEnded(10000);
}

namespace {

QVWebDAVRequest::Outcome send(const QVRemoteFilesConnection& connection, const QByteArray& method, const QString& path,
                              const QString& destination, const QString& bodyFile, const QString& downloadFile,
                              const QByteArray& depth);

}  // namespace

std::optional<QString> QVWebDAVRequest::normalPath(const QString& path) {
    QStringList steps;
    for (const QString& step : path.split(u'/')) {
        if (step.isEmpty() || step == u'.') continue;
        if (step == QStringLiteral("..")) {
            if (steps.isEmpty()) return std::nullopt;
            steps.removeLast();
            continue;
        }
        steps.append(step);
    }
    QString normal = u'/' + steps.join(u'/');
    if (!steps.isEmpty() && path.endsWith(u'/')) normal += u'/';
    return normal;
}

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
    const auto normal = normalPath(absolute);
    if (!normal) return std::nullopt;
    QByteArray encoded;
    // The name's own bytes, a name in another encoding than UTF-8 too.
    const QStringList steps = normal->split(u'/');
    for (qsizetype i = 0; i < steps.size(); ++i) {
        if (i > 0) encoded += '/';
        encoded += FileName::encode(steps[i]).toPercentEncoding();
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
    if (downloadFile.isEmpty()) request.maxResponseBytes = QVListingBudget::MaxAnswerBytes;
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
    auto takenStatus = std::make_shared<std::atomic<int>>(0);
    if (method != "PROPFIND" && method != "GET")
        request.onStatusLine = [taken, takenStatus](int status) {
            if (!HttpResponse::statusAccepted(status)) return;
            *takenStatus = status;
            *taken = true;
        };
    // An upload's body, once it went out whole, cannot be taken back: the server may be
    // writing it. Its answer is then waited for by the answer deadline alone, and a cancel or
    // that deadline leaves the request running (unsettled) rather than end it mid-way.
    const bool upload = !bodyFile.isEmpty();
    auto sent = std::make_shared<std::atomic<bool>>(false);
    if (upload) {
        request.answerAfterBodyMs = 0;
        request.onBodySent = [sent] { *sent = true; };
    }
    auto settling = std::make_shared<R::Unsettled::State>();
    auto session = std::make_shared<HttpSession>();
    settling->session = session;
    auto answered = std::make_shared<std::promise<HttpResponse>>();
    std::future<HttpResponse> answer = answered->get_future();
    const quint64 task = session->startOnWorker(std::move(request), [answered, ending = settling->ending](const HttpResponse& r) {
        answered->set_value(r);
        {
            std::lock_guard guard(ending->lock);
            ending->ended = true;
        }
        ending->changed.notify_all();
    });
    settling->task = task;
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    const quint64 token = connection.beginDirectRequest([session, task, taken, sent, cancelled] {
        if (*taken) return false;
        *cancelled = true;
        // A body that went out whole is left to its server (see above); one that did not is cut.
        if (!*sent) session->cancel(task);
        return true;
    });
    using Clock = std::chrono::steady_clock;
    std::optional<Clock::time_point> sentAt, cancelledAt;
    bool late = false;
    while (answer.wait_for(std::chrono::milliseconds(upload ? 20 : 200)) != std::future_status::ready) {
        if (!upload) continue;
        const auto now = Clock::now();
        if (*sent && !sentAt) sentAt = now;
        if (*cancelled && !cancelledAt) cancelledAt = now;
        // An answer that said the site took it is read to its end (its pace bounds that).
        late = sentAt && !*taken && deadlines.answerMs > 0 && now - *sentAt > std::chrono::milliseconds(deadlines.answerMs);
        // A cancel after the whole body went out gives the answer a moment: most servers have
        // it ready, and then there is something certain to say.
        if (sentAt && !*taken && (late || (cancelledAt && now - *cancelledAt > std::chrono::milliseconds(500)))) break;
    }
    if (answer.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        connection.endDirectRequest(token);
        connection.noteDirectRequestLate(late);
        outcome.maySave = true;
        outcome.cancelled = *cancelled;
        outcome.unsettled = std::make_shared<R::Unsettled>();
        outcome.unsettled->state = settling;
        outcome.said = QStringLiteral("%1 %2: the whole body went out; %3")
                           .arg(QString::fromLatin1(method), path,
                                *cancelled ? QStringLiteral("the cancel came before an answer")
                                           : QStringLiteral("no answer within %1 ms").arg(deadlines.answerMs));
        return outcome;
    }
    HttpResponse response = answer.get();
    connection.endDirectRequest(token);
    // A cancel that met the site's answer on its way (asked as the answer came, ended after it)
    // does not undo what the site took: its status stands, not the cancel.
    if (*taken && response.status == 0) response.status = *takenStatus;
    connection.noteDirectRequestLate(response.error == HttpResponse::TimedOut);
    // Ended without an answer after the whole body went out: the server may have kept it.
    outcome.maySave = upload && response.bodySent && response.status < 200;
    outcome.cancelled = response.error == HttpResponse::Cancelled && !*taken;
    outcome.status = response.status;
    outcome.body = response.body;
    outcome.complete = response.ok();
    outcome.tooLarge = response.tooLarge;
    if (response.tooLarge) {
        QVListingBudget budget;
        budget.takeAnswer(QVListingBudget::MaxAnswerBytes + 1);
        outcome.refusal = budget.refusal();
    }
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

namespace {

// A 207 answer read token by token within a budget: its text fed to the reader a piece at a
// time (the reader decodes what it is given whole, at twice its size), elements counted as they
// open, and any run of bytes between "<" and ">" checked before anything is read. A document
// type is refused: a 207 has none, and its entities would be text the runs never saw.
class BoundedXml {
public:
    BoundedXml(const QByteArray& body, QVListingBudget& budget) : _body(body), _budget(budget) {
        if (!_budget.takeAnswer(body.size())) return;
        // What the reader holds whole: a tag with the text after it (">" may stand in a text),
        // and a section whose end is its own ("]]>", "-->", "?>"), which may hold "<" too.
        static const std::pair<QByteArrayView, QByteArrayView> sections[] = {
            {"<![CDATA[", "]]>"}, {"<!--", "-->"}, {"<?", "?>"}};
        for (qsizetype at = body.indexOf('<'); at >= 0;) {
            const auto section = std::find_if(std::begin(sections), std::end(sections),
                                              [&](const auto& s) { return QByteArrayView(body).sliced(at).startsWith(s.first); });
            qsizetype end = section == std::end(sections) ? body.indexOf('<', at + 1)
                                                          : body.indexOf(section->second, at + section->first.size());
            // A section's run, as a tag's, goes on with the text after it to the next "<".
            if (end >= 0 && section != std::end(sections)) end = body.indexOf('<', end + section->second.size());
            if (!_budget.takeText((end < 0 ? body.size() : end) - at)) return;
            at = end < 0 ? -1 : body.indexOf('<', end);
        }
    }
    // The next token; Invalid once the answer ended, broke, or passed a bound.
    QXmlStreamReader::TokenType next() {
        if (_done || _budget.refused()) return QXmlStreamReader::Invalid;
        for (;;) {
            const QXmlStreamReader::TokenType token = _xml.readNext();
            if (token == QXmlStreamReader::Invalid && _xml.error() == QXmlStreamReader::PrematureEndOfDocumentError &&
                _fed < _body.size()) {
                const qsizetype piece = std::min<qsizetype>(Piece, _body.size() - _fed);
                _xml.addData(_body.sliced(_fed, piece));
                _fed += piece;
                continue;
            }
            if (token == QXmlStreamReader::StartElement && !_budget.takeDepth(++_depth)) return QXmlStreamReader::Invalid;
            if (token == QXmlStreamReader::EndElement && --_depth == 0) _rootClosed = true;
            if (token == QXmlStreamReader::DTD) _dtd = true;
            if (token == QXmlStreamReader::Invalid || token == QXmlStreamReader::EndDocument || _dtd) {
                _done = true;
                return QXmlStreamReader::Invalid;
            }
            _lastWhole = _xml.characterOffset();
            return token;
        }
    }
    // The answer was read to its end, whole and well formed, within every bound. (Read a piece
    // at a time, the reader cannot tell the end of the data from a pause in it: at the end, what
    // it holds unread past its last whole token, a "<" or a comment begun after the root, is an
    // answer cut short.)
    bool read() const {
        if (_dtd || _budget.refused() || !_rootClosed || _fed != _body.size()) return false;
        if (!_xml.hasError()) return true;
        return _xml.error() == QXmlStreamReader::PrematureEndOfDocumentError && _xml.characterOffset() == _lastWhole;
    }
    QXmlStreamReader& xml() { return _xml; }
    int depth() const { return _depth; }

private:
    static constexpr qsizetype Piece = 256 << 10;
    const QByteArray& _body;
    QVListingBudget& _budget;
    QXmlStreamReader _xml;
    qsizetype _fed = 0;
    qint64 _lastWhole = 0;  // where the last whole token ended
    int _depth = 0;
    bool _dtd = false, _rootClosed = false, _done = false;
};

// An href's path as its decoded steps, after what every server reads alike is undone: escapes
// (of unreserved letters too), doubled slashes and dot steps. Nothing for a step that decodes to
// a slash or NUL (it could name no member), or dot steps climbing past the root.
std::optional<QByteArrayList> stepsOf(QString href) {
    if (const QUrl url(href); url.isValid() && !url.scheme().isEmpty()) href = url.path(QUrl::FullyEncoded);
    QByteArrayList steps;
    // Characters outside ASCII (an IRI) stand for their UTF-8 bytes, as escapes do.
    for (const QByteArray& raw : href.toUtf8().split('/')) {
        const QByteArray step = QByteArray::fromPercentEncoding(raw);
        if (step.isEmpty() || step == ".") continue;
        if (step == "..") {
            if (steps.isEmpty()) return std::nullopt;
            steps.removeLast();
            continue;
        }
        if (step.contains('/') || step.contains('\0')) return std::nullopt;
        steps.append(step);
    }
    return steps;
}

// How two spellings of one step may differ and still name it: not at all, in Unicode form (a
// file system that keeps names decomposed), or in case too (one that folds it).
enum class Likeness { Exact, Form, Case };

QString stepKey(const QByteArray& step, Likeness likeness) {
    QString name = FileName::decode(step).normalized(QString::NormalizationForm_C);
    return likeness == Likeness::Case ? name.toCaseFolded() : name;
}

bool sameSteps(const QByteArrayList& a, const QByteArrayList& b, qsizetype count, Likeness likeness) {
    if (a.size() < count || b.size() < count) return false;
    for (qsizetype i = 0; i < count; ++i)
        if (a[i] != b[i] && (likeness == Likeness::Exact || stepKey(a[i], likeness) != stepKey(b[i], likeness)))
            return false;
    return true;
}

}  // namespace

QVWebDAVRequest::Resource QVWebDAVRequest::resourceAt(const QVRemoteFilesConnection& connection, const QString& path,
                                                       Outcome* outcome) {
    Outcome asked = perform(connection, "PROPFIND", path);
    const auto answer = [&](Resource resource) {
        if (outcome) *outcome = asked;
        return resource;
    };
    if (asked.status == 404) return answer(Missing);
    if (asked.status != 207) return answer(Unknown);
    QVListingBudget budget;
    const Resource resource = readResource(asked.body, budget);
    asked.refusal = budget.refusal();
    return answer(resource);
}

QVWebDAVRequest::Resource QVWebDAVRequest::readResource(const QByteArray& body, QVListingBudget& budget) {
    // One response for the path alone (Depth 0): its resourcetype holds a collection or not.
    BoundedXml xml(body, budget);
    bool inType = false, sawType = false, collection = false;
    int responses = 0;
    qsizetype text = 0;  // the run of text since the last tag, as one text however it comes
    for (QXmlStreamReader::TokenType token; (token = xml.next()) != QXmlStreamReader::Invalid;) {
        const bool dav = xml.xml().namespaceUri() == QLatin1String("DAV:");
        const QStringView name = xml.xml().name();
        if (token == QXmlStreamReader::StartElement || token == QXmlStreamReader::EndElement) text = 0;
        if (token == QXmlStreamReader::StartElement && dav && name == QLatin1String("response")) {
            if (!budget.takeEntry(0)) break;
            ++responses;
        } else if (token == QXmlStreamReader::StartElement && dav && name == QLatin1String("resourcetype")) {
            inType = sawType = true;
        } else if (token == QXmlStreamReader::EndElement && dav && name == QLatin1String("resourcetype")) {
            inType = false;
        } else if (token == QXmlStreamReader::StartElement && inType && dav && name == QLatin1String("collection")) {
            collection = true;
        } else if (token == QXmlStreamReader::Characters && !budget.takeText(text += xml.xml().text().size())) {
            break;
        }
    }
    // Several responses to a question about one resource: which is it cannot be told.
    if (!xml.read() || !sawType || responses != 1) return Unknown;
    return collection ? Collection : File;
}

std::optional<QList<QVWebDAVRequest::Member>> QVWebDAVRequest::members(const QVRemoteFilesConnection& connection,
                                                                      const QString& path, Outcome* outcome) {
    Outcome asked;
    const auto collection = path.isEmpty() ? currentCollection(connection) : std::optional<QString>(path);
    if (collection) asked = send(connection, "PROPFIND", *collection, {}, {}, {}, "1");
    const auto fail = [&]() -> std::optional<QList<Member>> {
        if (outcome) *outcome = asked;
        return std::nullopt;
    };
    if (asked.status != 207 || !asked.complete) return fail();
    const auto listed = urlForPath(connection, *collection);
    if (!listed) return fail();
    QVListingBudget budget;
    std::optional<QList<Member>> found = readMembers(asked.body, listed->path(QUrl::FullyEncoded), budget, &asked.refusal);
    if (!found) return fail();
    if (outcome) *outcome = asked;
    return found;
}

std::optional<QList<QVWebDAVRequest::Member>> QVWebDAVRequest::readMembers(const QByteArray& body, const QString& folderPath,
                                                                          QVListingBudget& budget, QString* refusal) {
    const auto self = stepsOf(folderPath);
    if (!self) return std::nullopt;
    const auto fail = [&](const QString& why) -> std::optional<QList<Member>> {
        if (refusal) *refusal = why;
        return std::nullopt;
    };
    struct Response {
        QByteArrayList steps;
        Member member;
    };
    QList<Response> responses;
    int unnamed = 0;  // responses whose href (none, several, a slash escaped) could name nothing
    // The folder's own response is no entry of it: a folder of as many members as the bound
    // allows lists, as it does by FTP and SFTP. One response alone goes uncounted, the first
    // that names the folder in any spelling alike.
    bool ownUncounted = false;
    BoundedXml xml(body, budget);
    Member member;
    std::optional<QByteArrayList> steps;
    QString text;
    bool inType = false;
    // Only the href that is a response's own child names it: one inside a property (a lock's
    // owner or token) is some other address.
    int responseDepth = -1, hrefs = 0;
    static const QString apache = QStringLiteral("http://apache.org/dav/props/");
    for (QXmlStreamReader::TokenType token; (token = xml.next()) != QXmlStreamReader::Invalid;) {
        const bool dav = xml.xml().namespaceUri() == QLatin1String("DAV:");
        const QStringView name = xml.xml().name();
        if (token == QXmlStreamReader::StartElement) {
            text.clear();
            if (dav && name == QLatin1String("response")) {
                member = Member();
                steps.reset();
                hrefs = 0;
                responseDepth = xml.depth();
            } else if (dav && name == QLatin1String("resourcetype")) {
                inType = true;
            } else if (inType && dav && name == QLatin1String("collection")) {
                member.collection = true;
            }
        } else if (token == QXmlStreamReader::Characters) {
            if (!budget.takeText(text.size() + xml.xml().text().size())) break;
            text += xml.xml().text();
        } else if (token == QXmlStreamReader::EndElement) {
            const int ended = xml.depth() + 1;
            if (dav && name == QLatin1String("href")) {
                if (ended == responseDepth + 1) {
                    steps = stepsOf(text.trimmed());
                    ++hrefs;
                }
            } else if (dav && name == QLatin1String("resourcetype")) inType = false;
            else if (dav && name == QLatin1String("getcontentlength")) member.size = text.trimmed().toLongLong();
            else if (dav && name == QLatin1String("getlastmodified")) member.modified = text.trimmed();
            else if (xml.xml().namespaceUri() == apache && name == QLatin1String("executable"))
                member.executable = text.trimmed() == u'T';
            else if (dav && name == QLatin1String("response")) {
                // A response naming several resources says no one member's properties.
                if (hrefs == 1 && steps && !ownUncounted && steps->size() == self->size() &&
                    sameSteps(*steps, *self, self->size(), Likeness::Case)) {
                    ownUncounted = true;
                    responses.append({std::move(*steps), member});
                } else if (hrefs == 1 && steps) {
                    const qsizetype kept = member.modified.size() + std::accumulate(steps->cbegin(), steps->cend(), qsizetype(0),
                                                                                  [](qsizetype n, const QByteArray& s) { return n + s.size(); });
                    if (!budget.takeEntry(QVListingBudget::cost(kept))) break;
                    responses.append({std::move(*steps), member});
                } else {
                    if (!budget.takeEntry(0)) break;
                    ++unnamed;
                }
            }
            text.clear();
        }
    }
    if (!xml.read()) return fail(budget.refusal());
    // The folder's own response, in the likeness the server spells it: the asked spelling
    // itself, else its Unicode form, else its case. Two spellings alike are no answer.
    const Response* folder = nullptr;
    Likeness likeness = Likeness::Exact;
    for (Likeness l : {Likeness::Exact, Likeness::Form, Likeness::Case}) {
        int alike = 0;
        for (const Response& r : responses) {
            if (r.steps.size() != self->size() || !sameSteps(r.steps, *self, self->size(), l)) continue;
            ++alike;
            if (!folder) folder = &r;
        }
        if (alike > 1 && l != Likeness::Exact)
            return fail(QCoreApplication::translate("QVWebDAVRequest", "The site's answer names this folder in more than one spelling."));
        if (folder) {
            likeness = l;
            break;
        }
    }
    const QByteArrayList& spelling = folder ? folder->steps : *self;
    // A member is one step inside the folder: an href elsewhere (a "..", an escaped slash, a
    // deeper or other folder) would be listed by its last step and act on the wrong resource.
    QList<Member> found;
    int outside = unnamed;
    QString firstOutside;
    for (const Response& r : responses) {
        // The folder itself, in any spelling alike, is neither member nor elsewhere: an empty
        // folder named twice is still empty.
        if (r.steps.size() == spelling.size() && sameSteps(r.steps, spelling, spelling.size(), likeness)) continue;
        if (r.steps.size() == spelling.size() + 1 && sameSteps(r.steps, spelling, spelling.size(), likeness)) {
            // Decoded, never trimmed: the href is the name.
            Member m = r.member;
            m.name = FileName::decode(r.steps.last());
            found.append(std::move(m));
        } else {
            if (firstOutside.isEmpty()) firstOutside = FileName::decode('/' + r.steps.join('/'));
            ++outside;
        }
    }
    // Nothing inside the folder while the answer named other resources: the listing was not
    // read, and an empty folder would hide what a new file would go over.
    if (found.isEmpty() && outside > 0) {
        return fail(firstOutside.isEmpty()
                            ? QCoreApplication::translate("QVWebDAVRequest",
                                                          "The site's answer names nothing inside this folder, and %n "
                                                          "response(s) that name no one resource.",
                                                          nullptr, outside)
                            : QCoreApplication::translate("QVWebDAVRequest",
                                                          "The site's answer names nothing inside this folder, but %n "
                                                          "resource(s) elsewhere, such as \"%1\".",
                                                          nullptr, outside)
                                  .arg(FileName::pictured(firstOutside)));
    }
    if (refusal) refusal->clear();
    return found;
}
