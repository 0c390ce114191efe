// What the web view's factory and the library holding Qt WebEngine (platform/web/engine, loaded
// when the first WebEngine view is made) share: the program's page content, and the library's
// one entry point. The library finds these in the program, which exports its symbols for it.
#pragma once

#include <QString>
#include <QStringList>

class QVWebView;
class QWidget;

namespace QVWebViewInternals {

// The scripts every WebEngine page made now gets: the message bridge (empty without handlers),
// made at the document's creation, and the page scripts, run once it is ready.
struct PageScripts {
    QString bridge;
    QStringList scripts;
};
PageScripts pageScripts();
// A console line that carries a posted message goes to its handler; true when it was one.
bool deliverPosted(const QString& line);

// The library's entry point, by this name: a new WebEngine view, child of parent.
using Factory = QVWebView* (*)(QWidget* parent);
inline constexpr char FactoryName[] = "qorvelMakeWebEngineView";

}  // namespace QVWebViewInternals
