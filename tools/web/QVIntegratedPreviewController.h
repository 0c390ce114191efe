// The built-in preview window: a small browser (back, forward, stop, refresh, an address field
// and the refresh mode) that shows the page the editor asked for and refreshes it on every save,
// or on every keystroke from a temporary copy of the text beside the page.
#pragma once

#include "platform/TextEncoding.h"
#include "platform/NotificationCenter.h"

#include <QHash>
#include <QMainWindow>
#include <QPointF>
#include <QSet>
#include <QString>
#include <QUrl>

#include <memory>

class HTMLView;
class QComboBox;
class QFile;
class QLineEdit;
class QVWebView;

class QVIntegratedPreviewController : public QMainWindow {
    Q_OBJECT
public:
    // The integer setting: 1 refreshes on every keystroke, anything else on every save.
    static inline const QString RefreshModeKey = QStringLiteral("integratedPreviewRefreshMode");
    // The name of the keystroke copy, followed by the page's extension.
    static inline const QString TemporaryName = QStringLiteral(".tmp_Qorvel");

    // The one preview window, made on first use (main thread); it lives until the application
    // ends, and closing it only hides it.
    static QVIntegratedPreviewController& sharedPreview();
    // Whether one was made (what the editor's hooks test before making one).
    static bool exists();
    static bool previewOnKeystroke();
    // The built-in browser row shows addresses here; the editor's typing reaches
    // previewAsTemporaryFile().
    static void install();

    // Loads address; with bringToFront the window comes to the front and address becomes the
    // page the editor asked for (lastURL()).
    void showURL(const QString& address, bool bringToFront = true);
    // A keystroke's refresh: with the window visible, a page asked for and the keystroke mode
    // on, the text replaces the page (no load while one is still under way): untitled text
    // directly, a file's text through the copy ".tmp_Qorvel.<ext>" written in encoding beside
    // the page: a private file made new, under ".tmp_Qorvel-<6 letters>.<ext>" when something
    // already has the name, and written again in place. The copy is removed (only while its name
    // still holds the file made) once the preview shows another page, the window hides or it
    // ends. With byteOrderMark (a UTF-8 file read with one), the copy begins with the mark as a
    // save writes it: a browser reads the mark before any declaration. Answers whether a load
    // started.
    bool previewAsTemporaryFile(const QString& documentPath, const QString& text, QVStringEncoding encoding,
                                bool byteOrderMark = false);
    // Loads the page again (Refresh).
    void reload();
    // The address field's action.
    void setURL(const QString& address);

    QString lastURL() const { return _lastURL; }
    QString status() const { return _status; }
    void setStatus(const QString& status);
    QVWebView* webView() const { return _webView; }
    QLineEdit* addressBar() const { return _addressBar; }
    QComboBox* autoRefreshPopUpButton() const { return _autoRefreshPopUpButton; }
    // The keystroke copies written and not yet removed.
    QSet<QString> temporaryFiles() const {
        const QList<QString> paths = _temporaryFiles.keys();
        return QSet<QString>(paths.begin(), paths.end());
    }

    // The error page: the "error" resource with its three "%@" filled (the description twice,
    // the address), each escaped for HTML; base gets the resource's own address.
    static QString errorPage(const QString& description, const QString& address, QUrl* base = nullptr);

protected:
    void closeEvent(QCloseEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QVIntegratedPreviewController();
    ~QVIntegratedPreviewController() override;
    void buildToolbar();
    // Loads url remembering where the page it replaces was scrolled, so a load of the same
    // page returns there.
    void loadKeepingScroll(const QUrl& url);
    void fileSaved();
    // Writes bytes to this window's copy in folder (made when there is none): its path, empty when
    // it could not be written.
    QString writeTemporaryCopy(const QString& folder, const QString& suffix, const QByteArray& bytes);
    void removeTemporaryFiles();
    void showAlert(const QString& message);
    bool showConfirmation(const QString& message);
    // A page that shows panel after panel can be told to stop.
    bool panelsSuppressed() const { return _suppressPanels; }

    QVWebView* _webView = nullptr;
    QLineEdit* _addressBar = nullptr;
    QComboBox* _autoRefreshPopUpButton = nullptr;
    QString _lastURL;
    QString _status;
    QUrl _urlBeforeLoad;
    QPointF _scrollBeforeLoad;
    QUrl _errorBase;
    QHash<QString, std::shared_ptr<QFile>> _temporaryFiles;  // the copies made, held open
    QHash<QString, QVStringEncoding> _temporaryEncodings;  // what each was written in
    NotificationCenter::Token _savedObserver = 0;
    int _panelsThisPage = 0;
    bool _suppressPanels = false;
};
