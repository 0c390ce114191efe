// What the web view asks of a Qt WebEngine page, across the library that holds WebEngine
// (platform/web/engine), which the program loads when it first shows a page that way. Linked into
// the program, WebEngine and the OpenGL it brings would be loaded at every launch, about a hundred
// megabytes before any page. The library is handed the view's hooks and returns the page's
// widget behind this interface, so it needs nothing of the program but Qt.
#pragma once

#include <QList>
#include <QPointF>
#include <QString>
#include <QUrl>
#include <QWidget>

#include <functional>

class QVWebEngineBackend {
public:
    struct Hooks {
        std::function<void()> loadStarted;
        std::function<void(int progress)> loadProgress;
        std::function<void(const QUrl& url, const QString& description)> loadFailed;
        std::function<void(bool ok)> loadFinished;
        std::function<void(const QUrl& url)> urlChanged;
        std::function<void(const QString& title)> titleChanged;
        std::function<void(const QString& url)> linkHovered;
        // A link clicked in the main frame, before it is followed.
        std::function<void(const QUrl& url)> linkClicked;
        // The first address a window the page asked for is sent to.
        std::function<void(const QUrl& url)> newWindowRequested;
        std::function<void(const QString& message)> alert;
        std::function<bool(const QString& message)> confirm;
        // A console line of the page; true when it was taken (a posted message), not logged.
        std::function<bool(const QString& line)> consoleMessage;
        // The page's process ended abnormally (the system log's line).
        std::function<void(const QString& line)> processEnded;
    };
    // Put into each page made: at the document's creation, or once it is ready.
    struct Script {
        QString name;
        QString source;
        bool atCreation = false;
    };

    virtual ~QVWebEngineBackend() = default;
    // The page's widget, a child of the parent given to the factory; deleting it ends the backend.
    virtual QWidget* widget() = 0;
    virtual void load(const QUrl& url) = 0;
    virtual void setHtml(const QString& html, const QUrl& base) = 0;
    virtual QUrl url() const = 0;
    virtual void reload() = 0;
    virtual void stop() = 0;
    virtual void back() = 0;
    virtual void forward() = 0;
    virtual QPointF scrollPosition() const = 0;
    virtual void setScrollPosition(const QPointF& position) = 0;
};

// The library's one entry point, by this name.
using QVWebEngineBackendFactory = QVWebEngineBackend* (*)(QWidget* parent, const QVWebEngineBackend::Hooks& hooks,
                                                          const QList<QVWebEngineBackend::Script>& scripts);
inline constexpr char QVWebEngineBackendFactoryName[] = "qorvelMakeWebEngineBackend";
