// Requests sent straight to a WebDAV site, beside its cadaver client, for the names cadaver would
// read as patterns ("*", "?", "[" in any of its delete, move, copy, mkcol, rmcol, cd and ls
// arguments, quoted or not, with no escape) or without their bytes that are not UTF-8, and for
// every upload. Each request addresses one resource by its encoded address, with the address,
// credentials and certificate checks of the site's connection.
#pragma once

#include "files/QVListingBudget.h"
#include "files/QVRemoteFilesConnection.h"
#include "platform/FileName.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>

#include <optional>

class QVWebDAVRequest {
public:
    // Whether cadaver would misread the name: as a pattern, or without its bytes that are not
    // UTF-8 (its get and put drop them).
    static bool cadaverMisreads(const QString& path) {
        return path.contains(u'*') || path.contains(u'?') || path.contains(u'[') || FileName::hasEscapes(path);
    }
    // An absolute path with its doubled slashes and dot steps resolved, as curl and the servers
    // resolve them: "/dav//x/./y/../" is "/dav/x/". Nothing when ".." climbs past the root.
    static std::optional<QString> normalPath(const QString& path);
    // The address of a path on the connection's site: an absolute path as it is, a relative one
    // inside the collection cadaver stands in (its prompt), both as normalPath() spells them,
    // so that the answer names the resource in the spelling asked for. Nothing before a login,
    // or for a path with a control character. (No listed name is "." or "..": only a typed
    // path holds them.)
    static std::optional<QUrl> urlForPath(const QVRemoteFilesConnection& connection, const QString& path);

    // An upload whose whole body went out on the wire and that was then given up (cancelled, or
    // no answer by its deadline) goes on as it was: a server that took the body may still save
    // it, and a later upload of that file must not reach the site before it. This is that
    // request, still running on its own connection until the server answers or closes.
    class Unsettled {
    public:
        // Waits until the request ended on the wire or ms passed; true when it ended.
        bool waitEnded(int ms);
        // Ends it now with a reset: a server that has not read the whole body never will.
        void cut();
        struct State;
        std::shared_ptr<State> state;
    };

    struct Outcome {
        int status = 0;      // the answer's HTTP status; 0 when none came
        QString said;        // one line for the log and the error: method, path and answer
        QByteArray body;     // the answer's body (none for a download)
        bool complete = false;  // the whole answer arrived
        bool tooLarge = false;  // the answer went past its bound, and was not read
        QString refusal;        // why the answer was not read: a bound it passed, a folder it did not name
        // The whole body went out and no answer came: the site may have saved it, or may still.
        bool maySave = false;
        bool cancelled = false;  // ended by the connection's cancel
        std::shared_ptr<Unsettled> unsettled;  // the request still running, when maySave
        bool succeeded() const { return status >= 200 && status < 300 && status != 207; }
    };
    // How long a site may take over a request. An answer held in memory (a listing, a check of
    // one resource, the answer to a change) ends after answerMs in all; any request, an upload
    // or a download too, ends once fewer than slowestBytesPerSecond moved for slowSeconds on end.
    // A server that drips its answer meets one of them; the idle limit alone it never meets.
    // What moved is what the server took (acknowledged) and sent. An upload whose whole body the
    // server took waits answerMs for its answer, not held to the pace; given up then, it goes
    // on unsettled (above) for up to settleMs more before it is cut.
    struct Deadlines {
        int answerMs = 5 * 60 * 1000;
        int slowestBytesPerSecond = 64;
        int slowSeconds = 60;
        int settleMs = 30 * 60 * 1000;
    };
    static Deadlines deadlines();
    static void setDeadlines(const Deadlines& deadlines);
    // One request on the path, which the connection's cancel ends (the client is left alone). MOVE goes to destination and replaces what is there, as cadaver's
    // move does; PUT sends bodyFile; GET writes the body to downloadFile.
    static Outcome perform(const QVRemoteFilesConnection& connection, const QByteArray& method, const QString& path,
                           const QString& destination = {}, const QString& bodyFile = {},
                           const QString& downloadFile = {});
    // The collection cadaver stands in, from its prompt ("/dav/sub/").
    static std::optional<QString> currentCollection(const QVRemoteFilesConnection& connection);
    // A collection's members from one PROPFIND of depth 1, each named by its decoded href as it
    // is (blanks and all, bytes that are not UTF-8 kept): cadaver's listing pads names with
    // blanks, so a name ending in one could not be told from its neighbour there. The folder is
    // the response that names it in the server's own spelling (its Unicode form or case, escaped
    // letters), and its members are the hrefs one step inside that. Nothing when the site did
    // not answer with them, or the answer passed a bound (outcome tells why).
    struct Member {
        QString name;
        bool collection = false;
        bool executable = false;  // Apache's executable property
        qint64 size = 0;
        QString modified;
    };
    static std::optional<QList<Member>> members(const QVRemoteFilesConnection& connection, const QString& path,
                                                Outcome* outcome = nullptr);
    // The reading of such an answer's body, within budget: the members one step inside the folder
    // whose address has folderPath for its path (escaped as sent). Nothing when the answer did
    // not name them or passed a bound; *refusal then says why, when the answer told.
    static std::optional<QList<Member>> readMembers(const QByteArray& body, const QString& folderPath,
                                                    QVListingBudget& budget, QString* refusal = nullptr);
    // Whether the resource is there (PROPFIND of it alone): nothing when the site did not say.
    static std::optional<bool> exists(const QVRemoteFilesConnection& connection, const QString& path);
    // What the site holds at the path, from a PROPFIND of it alone: a collection (a folder, or a
    // link the site follows to one), another resource, nothing, or Unknown when the answer did
    // not say (outcome tells why).
    enum Resource { Missing, File, Collection, Unknown };
    static Resource resourceAt(const QVRemoteFilesConnection& connection, const QString& path, Outcome* outcome = nullptr);
    // The reading of such an answer's body, within budget: File or Collection, or Unknown when
    // it names not one resource with its type, or passed a bound (budget says which).
    static Resource readResource(const QByteArray& body, QVListingBudget& budget);
};
