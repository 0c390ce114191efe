// The Help window: Qorvel's help pages where no browser of the desktop shows them. It is a window
// of its own, so showing help never replaces the page in the Preview window, and every call brings
// it in front of the user, un-minimised.
#pragma once

#include "shell/QVNormalWindow.h"

#include <QUrl>

class QVWebView;

class QVHelpWindowController : public QVNormalWindow {
    Q_OBJECT
public:
    static inline const QString FrameAutosaveName = QStringLiteral("QVHelpWindow");

    // The one window, made on first use (main thread only); it lives until the application ends.
    static QVHelpWindowController& sharedInstance();
    // Loads page and brings the window to the front, restored from the taskbar when minimised.
    void showPage(const QUrl& page);

    QVWebView* webView() const { return _webView; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QVHelpWindowController();

    QVWebView* _webView = nullptr;
};
