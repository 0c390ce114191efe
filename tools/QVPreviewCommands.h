// The file document's preview commands: preview a page in a browser (an HTML file as its own
// file, any other file under the project's web address), the remote preview sheet, and the
// Preview menu of browsers. Installed into the editor's document-command seam.
#pragma once

#include "tools/QVBrowser.h"

#include <QByteArrayView>
#include <QString>
#include <QVariant>

#include <memory>

class QMenu;
class QVFileDocument;

class QVPreviewCommands {
public:
    QVPreviewCommands() = delete;

    // Document settings (the project's when the document has one).
    static inline const QString RemotePreviewURLKey = QStringLiteral("QVRemotePreviewURL");
    static inline const QString RemotePreviewBrowserNameKey = QStringLiteral("QVRemotePreviewBrowserName");
    // The error shown when a browser's application is gone.
    static constexpr qint64 BrowserNotFoundError = 13;
    // The error shown when a browser's entry was refused or its program did not start.
    static constexpr qint64 BrowserNotUsedError = 14;
    // The main menu's place of the Preview submenu.
    static inline const QString PreviewMenuPlace = QStringLiteral("previewMenu");

    // Hands the commands below to every document, registers the start-up item that builds the
    // Preview menu ("QVSetupBrowserMenu"), and puts Tools > Preview and the two remote preview
    // items into the main menu. Once; later calls do nothing.
    static void install();
    // The commands by name: "previewInBrowser", "remotePreviewUsingCurrent" (object: a browser
    // or none), "remotePreviewUsingOther". False for any other name.
    static bool perform(QVFileDocument& document, QByteArrayView action, const QVariant& object);

    // An untitled document: the save panel, nothing more. An HTML file ("htm…"): saved when
    // edited (a failed save shows its error and previews nothing), then opened in browser, or
    // in the list's first one. Any other file: remotePreviewUsingCurrent().
    static void previewInBrowser(QVFileDocument& document, std::shared_ptr<QVBrowser> browser);
    // With a stored address and a browser (the one given, else the one stored by name), the
    // preview at once; otherwise the sheet.
    static void remotePreviewUsingCurrent(QVFileDocument& document, std::shared_ptr<QVBrowser> browser);
    static void remotePreviewUsingOther(QVFileDocument& document);
    // The sheet's answer: with an address and a browser, opens the file's address and stores
    // both for the next time; nothing otherwise.
    static void remotePreviewDidClose(QVFileDocument& document, const QString& prefix, const std::shared_ptr<QVBrowser>& browser);
    // Opens target in browser; a browser whose application file is gone shows "Browser Not
    // Found" (code 13) instead. False when nothing was opened. A browser that was not used (its
    // entry refused, its program not started) is named in an error (code 14) with the reason.
    static bool attemptPreview(QVFileDocument& document, const QString& target, const std::shared_ptr<QVBrowser>& browser);
    // prefix joined with the file's path from its project's root (its name without a project),
    // each component percent-encoded where a URL needs it.
    static QString remoteAddress(const QString& prefix, const QVFileDocument& document);

    // Rebuilds the Preview menus from the browser list, reading the list again when forced
    // (what the preview preferences call after writing it). Any thread; the menus are filled on
    // the main thread, the caller waiting.
    static void reload(bool force);
    // Fills menu with the browsers; when menu is a submenu its first item answers Ctrl+=. Each
    // item previews the front document window's document in its browser. Main thread.
    static void fillMenu(QMenu* menu);
};
