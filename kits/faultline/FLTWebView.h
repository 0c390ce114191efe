// Uncaught script errors of web pages: what a web view must offer (its pages' scripts and the
// handlers they post to), the script that reports errors, and the recorder of what it posts. The
// kit object (Faultline::monitorErrorsForWebView) puts the two together.
#pragma once

#include <QString>
#include <QVariant>

#include <functional>

// Where web views take the scripts their pages run and the handlers pages post to; whoever makes
// the web views implements it (a handler gets what a page posts, as JSON gives it).
class FLTWebViewUserContent {
public:
    virtual ~FLTWebViewUserContent() = default;
    // Run at the end of each main-frame document, in the page's own world.
    virtual void addUserScript(const QString& source) = 0;
    virtual void addMessageHandler(const QString& name, std::function<void(const QVariant& body)> handler) = 0;
};
// The script that reports a page's uncaught errors: it takes over window.onerror, calling the
// page's own handler after (one the page set before the script ran or in its onload included),
// and posts {msg, url, line, column} to window.qorvelMessageHandlers.faultline.
QString FLTWebViewErrorScript();
// A posted page error: a map's "msg" is recorded as a "javascript" custom exception named
// "exception"; anything else is refused (false).
bool FLTWebViewRecordScriptMessage(const QVariant& body);
