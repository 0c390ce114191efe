#include "tools/web/QVIntegratedPreviewController.h"

#include "editor/HTMLView.h"
#include "editor/QVEditorToolSeams.h"
#include "editor/QVFileDocument.h"
#include "platform/AppBundle.h"
#include "platform/MainQueue.h"
#include "platform/OwnFiles.h"
#include "platform/SystemLog.h"
#include "platform/UserDefaults.h"
#include "platform/web/QVWebView.h"
#include "shell/FileEncodings.h"
#include "shell/QVScreenPlacement.h"
#include "tools/QVBrowser.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QStyle>
#include <QTemporaryFile>
#include <QToolBar>

#include <sys/stat.h>
#include <unistd.h>

namespace {

QVIntegratedPreviewController* shared = nullptr;

QString frameKey() { return QStringLiteral("QVWindowFrame QVIntegratedPreviewWindow"); }

// Whether path still names the file open in file (not something put there since).
bool namesFile(const QString& path, const QFile& file) {
    struct stat named {}, open {};
    return ::lstat(QFile::encodeName(path).constData(), &named) == 0 && ::fstat(file.handle(), &open) == 0 &&
           named.st_dev == open.st_dev && named.st_ino == open.st_ino;
}

}  // namespace

QVIntegratedPreviewController& QVIntegratedPreviewController::sharedPreview() {
    Q_ASSERT(MainQueue::isMainThread());
    if (!shared) {
        shared = new QVIntegratedPreviewController();
        QObject::connect(qApp, &QCoreApplication::aboutToQuit, [] {
            delete shared;
            shared = nullptr;
        });
    }
    return *shared;
}

bool QVIntegratedPreviewController::exists() { return shared != nullptr; }

bool QVIntegratedPreviewController::previewOnKeystroke() {
    return UserDefaults::standard().integerForKey(RefreshModeKey) == 1;
}

void QVIntegratedPreviewController::install() {
    QVBrowser::setBuiltInPreview([](const QString& url) {
        MainQueue::postAndWait([url] { sharedPreview().showURL(url, true); });
    });
    QVEditorToolSeams::setTextChangeObserver([](HTMLView& view) {
        // Cheap tests first: the whole text is copied only when a refresh will use it.
        if (!shared || !shared->isVisible() || shared->_lastURL.isEmpty() || !previewOnKeystroke()) return;
        if (view.path().isEmpty()) return;
        const QVStringEncoding encoding = view.stringEncoding() ? view.stringEncoding() : FileEncodings::defaultEncoding();
        shared->previewAsTemporaryFile(view.path(), view.fullString(), encoding, view.hasByteOrderMark());
    });
}

QVIntegratedPreviewController::QVIntegratedPreviewController() {
    setObjectName(QStringLiteral("QVIntegratedPreviewWindow"));
    setWindowTitle(QVLocalized(QStringLiteral("Preview")));
    _webView = QVWebView::create(this);
    setCentralWidget(_webView);
    buildToolbar();
    statusBar();
    resize(900, 700);
    restoreGeometry(UserDefaults::standard().objectForKey(frameKey()).toByteArray());
    QVScreenPlacement::keepInside(this);

    QVWebView::Policy policy;
    policy.alert = [this](const QString& message) { showAlert(message); };
    policy.confirm = [this](const QString& message) { return showConfirmation(message); };
    // The plain view reads a file as the editor does: the encoding the text was written in for
    // the copy of a page being typed, else the one the editor finds (name, declaration, default,
    // and the fallback that keeps every byte).
    policy.decodePage = [this](const QByteArray& bytes, const QUrl& url) -> QString {
        if (!url.isLocalFile()) return {};
        const QString path = url.toLocalFile();
        QVStringEncoding encoding = _temporaryEncodings.value(path, 0);
        return FileEncodings::createWithData(bytes, path, &encoding).value_or(QString());
    };
    _webView->setPolicy(std::move(policy));
    connect(_webView, &QVWebView::loadStarted, this, [this] {
        _panelsThisPage = 0;
        _suppressPanels = false;
    });
    connect(_webView, &QVWebView::loadFinished, this, [this](bool) {
        if (_urlBeforeLoad.isValid() && _webView->url() == _urlBeforeLoad) _webView->setScrollPosition(_scrollBeforeLoad);
        _urlBeforeLoad = QUrl();
    });
    connect(_webView, &QVWebView::loadFailed, this, [this](const QUrl& url, const QString& description) {
        // The error page itself failing must not show the error page again.
        if (url == _errorBase && _errorBase.isValid()) return;
        QUrl base;
        const QString page = errorPage(description, url.toString(), &base);
        _errorBase = base;
        _webView->setHtml(page, base);
    });
    connect(_webView, &QVWebView::urlChanged, this, [this](const QUrl& url) {
        if (url != _errorBase) _addressBar->setText(url.toString());
        // The copy of a page being typed stands for that page only while it shows.
        if (!url.isLocalFile() || !_temporaryFiles.contains(url.toLocalFile())) removeTemporaryFiles();
    });
    connect(_webView, &QVWebView::refused, this, [this](const QString& message) { setStatus(message); });
    connect(_webView, &QVWebView::linkHovered, this, [this](const QString& url) { setStatus(url); });
    _savedObserver = NotificationCenter::defaultCenter().addObserver(QVFileDocument::FileDidSaveNotification, nullptr,
                                                                     [](const Notification&) {
                                                                         MainQueue::post([] {
                                                                             if (shared) shared->fileSaved();
                                                                         });
                                                                     });
}

QVIntegratedPreviewController::~QVIntegratedPreviewController() {
    NotificationCenter::defaultCenter().removeObserver(_savedObserver);
    removeTemporaryFiles();
    if (shared == this) shared = nullptr;
}

void QVIntegratedPreviewController::buildToolbar() {
    QToolBar* toolbar = addToolBar(QVLocalized(QStringLiteral("Preview")));
    toolbar->setObjectName(QStringLiteral("QVIntegratedPreviewToolbar"));
    toolbar->setMovable(false);
    struct Button {
        const char* identifier;
        const char* label;
        QStyle::StandardPixmap icon;
        std::function<void()> act;
    };
    const Button buttons[] = {
        {"QVBackButton", "Back", QStyle::SP_ArrowBack, [this] { _webView->back(); }},
        {"QVForwardButton", "Forward", QStyle::SP_ArrowForward, [this] { _webView->forward(); }},
        {"QVStopButton", "Stop", QStyle::SP_BrowserStop, [this] { _webView->stop(); }},
        {"QVRefreshButton", "Refresh", QStyle::SP_BrowserReload, [this] { reload(); }},
    };
    for (const Button& button : buttons) {
        QAction* action = toolbar->addAction(style()->standardIcon(button.icon), QVLocalized(QString::fromLatin1(button.label)));
        action->setObjectName(QString::fromLatin1(button.identifier));
        connect(action, &QAction::triggered, this, button.act);
    }
    _addressBar = new QLineEdit(toolbar);
    _addressBar->setObjectName(QStringLiteral("QVAddressBar"));
    _addressBar->setPlaceholderText(QVLocalized(QStringLiteral("Address")));
    connect(_addressBar, &QLineEdit::returnPressed, this, [this] { setURL(_addressBar->text()); });
    toolbar->addWidget(_addressBar);
    _autoRefreshPopUpButton = new QComboBox(toolbar);
    _autoRefreshPopUpButton->setObjectName(QStringLiteral("QVRefreshModeItem"));
    _autoRefreshPopUpButton->addItem(QVLocalized(QStringLiteral("Refresh on Save")), 0);
    _autoRefreshPopUpButton->addItem(QVLocalized(QStringLiteral("Refresh on Keystroke")), 1);
    _autoRefreshPopUpButton->setCurrentIndex(previewOnKeystroke() ? 1 : 0);
    connect(_autoRefreshPopUpButton, &QComboBox::activated, this, [this](int index) {
        UserDefaults::standard().setInteger(_autoRefreshPopUpButton->itemData(index).toInt(), RefreshModeKey);
    });
    toolbar->addWidget(_autoRefreshPopUpButton);
}

void QVIntegratedPreviewController::showURL(const QString& address, bool bringToFront) {
    if (bringToFront) {
        _autoRefreshPopUpButton->setCurrentIndex(previewOnKeystroke() ? 1 : 0);
        if (isVisible()) {
            raise();
            activateWindow();
        } else {
            show();
        }
        removeTemporaryFiles();
        _lastURL = address;
    }
    loadKeepingScroll(QUrl(address));
}

void QVIntegratedPreviewController::loadKeepingScroll(const QUrl& url) {
    _urlBeforeLoad = _webView->url();
    _scrollBeforeLoad = _webView->scrollPosition();
    _webView->load(url);
}

bool QVIntegratedPreviewController::previewAsTemporaryFile(const QString& documentPath, const QString& text, QVStringEncoding encoding,
                                                           bool byteOrderMark) {
    if (!isVisible() || _lastURL.isEmpty() || !previewOnKeystroke()) return false;
    // Typing faster than pages load drops changes rather than stacking loads.
    const int progress = _webView->loadProgress();
    if (progress > 0 && progress < 100) return false;
    _webView->stop();
    if (documentPath.startsWith(QLatin1String("Untitled"))) {
        _webView->setHtml(text, QUrl());
        return true;
    }
    const QUrl page(_lastURL);
    // A page on a web server has no folder to write beside: that keystroke is not previewed.
    if (!page.isLocalFile()) return false;
    std::optional<QByteArray> bytes = TextEncoding::encode(text, encoding, true);
    if (!bytes) return false;
    if (byteOrderMark && encoding == TextEncoding::UTF8) bytes->prepend("\xEF\xBB\xBF");
    const QString copy = writeTemporaryCopy(QFileInfo(page.toLocalFile()).absolutePath(), QFileInfo(documentPath).suffix(), *bytes);
    if (copy.isEmpty()) return false;
    _temporaryEncodings.insert(copy, encoding);
    showURL(QUrl::fromLocalFile(copy).toString(), false);
    return true;
}

QString QVIntegratedPreviewController::writeTemporaryCopy(const QString& folder, const QString& suffix, const QByteArray& bytes) {
    const QString extension = suffix.isEmpty() ? QString() : QLatin1Char('.') + suffix;
    // The copy already made here is written again in place, while its name still holds it.
    for (auto it = _temporaryFiles.begin(); it != _temporaryFiles.end(); ++it) {
        if (QFileInfo(it.key()).absolutePath() != folder || !it.key().endsWith(extension)) continue;
        QFile& file = *it.value();
        if (!namesFile(it.key(), file)) break;
        if (!file.resize(0) || !file.seek(0) || file.write(bytes) != bytes.size() || !file.flush()) return {};
        OwnFiles::written(it.key());
        return it.key();
    }
    removeTemporaryFiles();
    // A new file, made only where nothing stands: a file of the project's of that name (or a
    // link) is left as it is and the copy takes a name of its own.
    const QFileDevice::Permissions privateFile = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    auto file = std::make_shared<QFile>(folder + QLatin1Char('/') + TemporaryName + extension);
    if (!file->open(QIODevice::ReadWrite | QIODevice::NewOnly, privateFile)) {
        auto unique = std::make_shared<QTemporaryFile>(folder + QLatin1Char('/') + TemporaryName + QStringLiteral("-XXXXXX") + extension);
        unique->setAutoRemove(false);
        if (!unique->open()) return {};
        file = std::move(unique);
    }
    const QString path = file->fileName();
    _temporaryFiles.insert(path, file);
    // Found and removed by the next launch should this run be killed before it removes it.
    OwnFiles::made(path);
    if (file->write(bytes) != bytes.size() || !file->flush()) {
        removeTemporaryFiles();
        return {};
    }
    OwnFiles::written(path);
    return path;
}

void QVIntegratedPreviewController::reload() {
    _urlBeforeLoad = _webView->url();
    _scrollBeforeLoad = _webView->scrollPosition();
    _webView->reload();
}

void QVIntegratedPreviewController::setURL(const QString& address) {
    const QUrl url = QUrl::fromUserInput(address.trimmed());
    if (url.isValid()) _webView->load(url);
}

void QVIntegratedPreviewController::setStatus(const QString& status) {
    _status = status;
    if (status.isEmpty()) statusBar()->clearMessage();
    else statusBar()->showMessage(status);
}

void QVIntegratedPreviewController::fileSaved() {
    if (!isVisible()) return;
    if (previewOnKeystroke()) {
        reload();
    } else if (!_lastURL.isEmpty()) {
        removeTemporaryFiles();
        showURL(_lastURL, false);
    }
}

void QVIntegratedPreviewController::removeTemporaryFiles() {
    for (auto it = _temporaryFiles.cbegin(); it != _temporaryFiles.cend(); ++it) {
        // Only the file this window made: a name now holding something else is left alone.
        if (namesFile(it.key(), *it.value())) ::unlink(QFile::encodeName(it.key()).constData());
        OwnFiles::removed(it.key());
    }
    _temporaryFiles.clear();
    _temporaryEncodings.clear();
}

QString QVIntegratedPreviewController::errorPage(const QString& description, const QString& address, QUrl* base) {
    const QString resource = AppBundle::main().pathForResource(QStringLiteral("error"), QStringLiteral("html"));
    QString format = QStringLiteral("<html><body><h1>%@</h1><p>%@</p><p>%@</p></body></html>");
    QFile file(resource);
    if (!resource.isEmpty() && file.open(QIODevice::ReadOnly)) format = QString::fromUtf8(file.readAll());
    if (base) *base = resource.isEmpty() ? QUrl() : QUrl::fromLocalFile(resource);
    // One pass over the format: a "%@" inside a filled value is never filled again.
    const QStringList values{description.toHtmlEscaped(), description.toHtmlEscaped(), address.toHtmlEscaped()};
    const QStringList pieces = format.split(QStringLiteral("%@"));
    QString page = pieces.first();
    for (qsizetype i = 1; i < pieces.size(); ++i) page += (i <= values.size() ? values[i - 1] : QString()) + pieces[i];
    return page;
}

void QVIntegratedPreviewController::closeEvent(QCloseEvent* event) {
    UserDefaults::standard().setObject(saveGeometry(), frameKey());
    hide();
    event->ignore();
}

void QVIntegratedPreviewController::hideEvent(QHideEvent* event) {
    removeTemporaryFiles();
    QMainWindow::hideEvent(event);
}

void QVIntegratedPreviewController::showAlert(const QString& message) {
    if (_suppressPanels) return;
    QMessageBox box(QMessageBox::NoIcon, QVLocalized(QStringLiteral("JavaScript Alert")), message, QMessageBox::NoButton, this);
    box.setTextFormat(Qt::PlainText);
    box.setObjectName(QStringLiteral("QVJavaScriptPanel"));
    box.setDefaultButton(box.addButton(QVLocalized(QStringLiteral("OK")), QMessageBox::AcceptRole));
    // A page that opens panel after panel can be told to stop; the next load resets this.
    QPushButton* stop = ++_panelsThisPage > 1 ? box.addButton(QVLocalized(QStringLiteral("Stop Showing Panels")), QMessageBox::RejectRole) : nullptr;
    box.exec();
    if (stop && box.clickedButton() == stop) _suppressPanels = true;
}

bool QVIntegratedPreviewController::showConfirmation(const QString& message) {
    if (_suppressPanels) return false;
    QMessageBox box(QMessageBox::NoIcon, QVLocalized(QStringLiteral("JavaScript Confirmation")), message, QMessageBox::NoButton, this);
    box.setTextFormat(Qt::PlainText);
    box.setObjectName(QStringLiteral("QVJavaScriptPanel"));
    QPushButton* yes = box.addButton(QVLocalized(QStringLiteral("Yes")), QMessageBox::YesRole);
    box.addButton(QVLocalized(QStringLiteral("No")), QMessageBox::NoRole);
    QPushButton* stop = ++_panelsThisPage > 1 ? box.addButton(QVLocalized(QStringLiteral("Stop Showing Panels")), QMessageBox::RejectRole) : nullptr;
    box.setDefaultButton(yes);
    box.exec();
    if (stop && box.clickedButton() == stop) _suppressPanels = true;
    return box.clickedButton() == yes;
}
