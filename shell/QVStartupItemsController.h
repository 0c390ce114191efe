// Runs the start-up items: at launch (on the configuration thread) every item that needs no
// window runs at once and the panes are collected into the start-up wizard, shown later on the
// main thread one page each; on demand a single item runs, its pane shown as a sheet.
#pragma once

#include "shell/QVStartupItems.h"

#include <QHash>
#include <QObject>
#include <QPointer>

#include <chrono>
#include <mutex>

class QDialog;
class QLabel;
class QPushButton;
class QVBoxLayout;
class QWidget;

class QVStartupItemsController : public QObject {
    Q_OBJECT
public:
    // definitionsPath: a "StartupItems.plist"; the shipped one when empty.
    explicit QVStartupItemsController(const QString& definitionsPath = {});
    ~QVStartupItemsController() override;
    // The one controller, made once whichever thread asks first.
    static QVStartupItemsController& sharedController();

    // Item classes by the name definitions use. The shell's own are registered from the start;
    // later subsystems add theirs (a reload of their menu, for instance).
    static void registerItemClass(const QString& name, QVStartupItemClass itemClass);
    static void registerReloadItem(const QString& name, std::function<void()> reload);
    // The view of a pane by its interface name, made on the main thread.
    using PaneViewMaker = std::function<QWidget*(QVStartupPane* pane, QWidget* parent)>;
    static void registerPaneView(const QString& nibName, PaneViewMaker maker);

    // The launch run: items without a window run in order (one that throws or outlives the
    // time-out is logged and left behind), panes are collected. True when a pane was.
    bool needsDisplay();
    bool canRunItemWithIdentifier(const QString& identifier);
    // Runs one item; its pane shows as a window-modal sheet on sheetParent when one is given,
    // didEnd hearing 1 after Done and 0 after Cancel. False when no definition qualifies.
    bool runItemWithIdentifier(const QString& identifier, QWidget* sheetParent = nullptr,
                               std::function<void(int)> didEnd = {});

    void showWindow();
    void back();
    void next();

    qint64 currentIndex() const { return _currentIndex; }
    qint64 paneCount() const;
    bool isSheet() const { return _isSheet; }
    bool canGoBackward() const { return _currentIndex > 1 || _isSheet; }
    QString backwardTitle() const;
    QString forwardTitle() const;
    QVStartupPane* currentPane() const { return _currentPane; }
    QDialog* window();

    void setItemTimeout(std::chrono::milliseconds timeout) { _itemTimeout = timeout; }

Q_SIGNALS:
    void pageChanged();

private:
    struct Qualified {
        QVariantMap definition;
        QVStartupItemClass itemClass;
    };
    const QVariantList& definitions();
    std::optional<Qualified> qualifying(const QVariantMap& definition, const QString& identifier = {});
    void runGuarded(const std::shared_ptr<QVStartupItem>& item);
    void showPaneAtIndex(qint64 index);
    void endSheet(int code);

    QString _definitionsPath;
    std::once_flag _definitionsLoaded;
    QVariantList _allItems;
    mutable std::mutex _panesLock;
    QList<std::shared_ptr<QVStartupPane>> _activePanes;
    std::chrono::milliseconds _itemTimeout{10000};

    QDialog* _window = nullptr;
    QWidget* _welcome = nullptr;
    QWidget* _pageView = nullptr;
    QVBoxLayout* _contentBox = nullptr;
    QPushButton* _backButton = nullptr;
    QPushButton* _forwardButton = nullptr;
    QVStartupPane* _currentPane = nullptr;
    qint64 _currentIndex = 0;
    bool _isSheet = false;
    std::function<void(int)> _didEnd;
};
