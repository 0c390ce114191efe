// The information window: the page that ships with Qorvel (what is new in this version), shown
// once per version at launch and from the Help menu. Its checkbox keeps it from showing again
// for the running version; links stay inside the window, pages that ask for a new window open in
// the desktop's browser.
#pragma once

#include "shell/QVNormalWindow.h"

#include <QString>
#include <QUrl>
#include <QVariantMap>

#include <functional>

class QCheckBox;
class QPushButton;
class QVWebView;

class QVInfoWindowController : public QVNormalWindow {
    Q_OBJECT
public:
    // The setting holding the short version for which the user turned the window off; empty
    // (or absent) shows it at every launch.
    static inline const QString DisplayInfoViewKey = QStringLiteral("qvDisplayInfoView");
    static inline const QString FrameAutosaveName = QStringLiteral("QVInfoWindow");

    // The one window, made on first use (main thread only); every call sends "Info Open" when
    // usage tracking is on.
    static QVInfoWindowController& sharedInstance();
    // Whether the launch shows the window: the running short version is not the one stored.
    static bool shouldShowAtLaunch();
    // The launch's step: when shouldShowAtLaunch(), the window shows on a later turn of the event
    // loop, after the windows opened at launch have painted. Answers whether it will show.
    static bool showAtLaunchIfNeeded();

    // Where usage events go (none: nowhere); called only while qvAnonymousUsageTracking is on.
    using UsageEvents = std::function<void(const QString& event, const QVariantMap& properties)>;
    static void setUsageEvents(UsageEvents events);
    // "link-url" and "link-title" of a clicked link; "undefined" for what is missing or empty.
    static QVariantMap linkProperties(const QUrl& url, const QString& title);

    // The close button: "Info Close", then the window closes.
    void closeWindow();
    // The checkbox: off stores the running short version, on stores the empty string.
    void displayOnLaunch(bool show);

    QVWebView* infoWebView() const { return _infoWebView; }
    QPushButton* closeButton() const { return _closeButton; }
    QCheckBox* dontShowCheckBox() const { return _dontShowCheckBox; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QVInfoWindowController();
    // Loads the shipped page, places the window, ticks the checkbox from the setting.
    void awake();
    static void sendEvent(const QString& event, const QVariantMap& properties = {});

    QVWebView* _infoWebView = nullptr;
    QPushButton* _closeButton = nullptr;
    QCheckBox* _dontShowCheckBox = nullptr;
};
