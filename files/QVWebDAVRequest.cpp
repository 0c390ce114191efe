#include "files/QVWebDAVRequest.h"

#include "platform/FileName.h"
#include "platform/HttpEngine.h"

#include <QStringList>
#include <QXmlStreamReader>

namespace {

// cadaver's prompt holds the collection it stands in: "dav:/dav/sub/> ".
std::optional<QString> currentCollection(const QVRemoteFilesConnection& connection) {
    const QString prompt = connection.lastPromptLine().trimmed();
    if (!prompt.startsWith(QStringLiteral("dav:/")) || !prompt.endsWith(u'>')) return std::nullopt;
    QString collection = prompt.mid(4, prompt.size() - 5).trimmed();
    if (!collection.endsWith(u'/')) collection += u'/';
    return collection;
}

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

QVWebDAVRequest::Outcome QVWebDAVRequest::perform(const QVRemoteFilesConnection& connection, const QByteArray& method,
                                                  const QString& path, const QString& destination,
                                                  const QString& bodyFile, const QString& downloadFile) {
    Outcome outcome;
    const auto url = urlForPath(connection, path);
    std::optional<QUrl> to;
    if (!destination.isEmpty()) to = urlForPath(connection, destination);
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
    if (method == "PROPFIND") {
        request.setHeader("Depth", "0");
        request.setHeader("Content-Type", "application/xml");
        request.body = "<?xml version=\"1.0\"?><propfind xmlns=\"DAV:\"><prop><resourcetype/></prop></propfind>";
    }
    HttpSession session;
    const HttpResponse response = session.perform(request);
    outcome.status = response.status;
    outcome.body = response.body;
    outcome.said = QStringLiteral("%1 %2%3: %4")
                       .arg(QString::fromLatin1(method), path, to ? QStringLiteral(" to ") + destination : QString(),
                            response.ok() ? QString::number(response.status) : response.message);
    return outcome;
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
