// The object that shows a file document's file: it makes the widget a tab or window shows, loads
// the file into it and answers for the editor view inside it. The first kind that can display the
// document's path is taken: a snippet, an image, else text.
#pragma once

#include "platform/QVError.h"
#include "platform/TextEncoding.h"

#include <QByteArray>
#include <QString>
#include <QVariantMap>

#include <memory>
#include <optional>

class HTMLView;
class QVFileDocument;
class QVGradientBar;
class QWidget;

// Posted (object: the editor view) when a text file view closes.
inline constexpr const char* QVTextViewIsClosing = "QVTextViewIsClosing";

// The widgets a file view makes are owned by whoever shows them (a window takes mainView() as a
// child); a view whose widgets were never shown deletes them itself.
class QVFileView {
public:
    explicit QVFileView(QVFileDocument* document) : _document(document) {}
    virtual ~QVFileView() = default;
    QVFileView(const QVFileView&) = delete;
    QVFileView& operator=(const QVFileView&) = delete;

    // A view for a document of the file at path (empty: untitled text): the snippet view, the
    // image view or the text view, the first whose canDisplayPath() says yes.
    static std::unique_ptr<QVFileView> createViewForDocument(QVFileDocument* document, const QString& path);
    // Any path, untitled included, shows as text.
    static bool canDisplayPath(const QString&) { return true; }
    // Gives a bottom bar the look of the bars under document views.
    static void configureBottomBar(QVGradientBar* bar);

    QVFileDocument* document() const { return _document; }

    // The view is leaving its window.
    virtual void close() {}
    // Lets go of what the view shows before the document goes.
    virtual void releaseAndDestroy() { close(); }
    // What a project keeps of the view among its open files.
    virtual QVariantMap plistRepresentationForProject() const { return {}; }
    // The widget a tab or window shows.
    virtual QWidget* mainView() { return nullptr; }

    // Reading the file or its bytes; with an action name a text becomes one undoable step. A
    // load that fails changes nothing and says why in error.
    virtual bool loadFromPath(const QString& path, const QString& actionName, QVError* error);
    virtual bool loadFromData(const QByteArray& data, const QString& path, const QString& actionName, QVError* error);
    virtual void loadFromString(const QString&, const QString&) {}

    // The bytes to write for a view that holds no text (the file as it was read); nothing for
    // text, which the document encodes itself.
    virtual std::optional<QByteArray> contents() const { return std::nullopt; }

    // The editor view's encoding; 0 and nothing without one.
    QVStringEncoding stringEncoding();
    void setStringEncoding(QVStringEncoding encoding);
    // The editor view; none for an image.
    virtual HTMLView* textView() { return nullptr; }

private:
    QVFileDocument* _document;
};
