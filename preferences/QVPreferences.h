// The Preferences window: a toolbar of panes, the Show All grid, switching with the top-left
// corner kept, and the session that every pane takes part in from showing to closing.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QString>

#include <memory>
#include <vector>

class QAction;
class QActionGroup;
class QLabel;
class QToolBar;
class QToolButton;
class QVPrefPane;

// Name of the notification posted, with the window as object, after every pane ended its session.
inline constexpr const char* QorvelPrefsClosed = "QorvelPrefsClosed";

// The transition view: the pane's icon and name while the window takes the new pane's size.
class QVPrefTransitionView : public QWidget {
    Q_OBJECT
public:
    explicit QVPrefTransitionView(QWidget* parent = nullptr);
    void setImage(const QIcon& icon);
    void setTitle(const QString& title);
    QString title() const;

private:
    QLabel* _imageView;
    QLabel* _titleField;
};

class QVPreferences : public QMainWindow {
    Q_OBJECT
public:
    static constexpr const char* ShowAllIdentifier = "SHOW_ALL_ID";
    static constexpr int PanesPerRow = 5;

    static QVPreferences& sharedInstance();
    // Registers the pane classes and lets the unknown-file-type sheet open a pane.
    static void install();
    // A window that reads its pane list from listPath (tests); the shared one reads
    // "PrefPanes-Glimbo.plist" from the application's resources.
    explicit QVPreferences(const QString& listPath = {}, QWidget* parent = nullptr);
    ~QVPreferences() override;

    // "<bundle identifier>.prefs.<name>".
    static QString paneIdentifier(const QString& name);
    static QString filesPaneIdentifier() { return paneIdentifier(QStringLiteral("files")); }

    // Shows the window, starting a session in every pane; an open window is only raised (its
    // session goes on).
    void showWindow();
    // Switches to the pane with the identifier (Show All when none has it), then showWindow().
    void showPaneWithIdentifier(const QString& identifier);
    // The pane at index, Show All for any index outside the list.
    void changePane(int index);

    // Ends the session of an open window (each pane, then QorvelPrefsClosed, then the defaults
    // are written) and hides it; nothing when it is not open. Quitting calls it.
    void endSession();
    bool inSession() const { return _inSession; }

    const std::vector<std::unique_ptr<QVPrefPane>>& panes() { loadPanesIfNeeded(); return _panes; }
    QVPrefPane* currentPane() const { return _currentPane; }
    QWidget* showAllView() const { return _mainView; }
    const QList<QToolButton*>& buttons() const { return _buttons; }
    QToolBar* toolbar() const { return _toolbar; }
    QAction* toolbarAction(const QString& identifier) const;
    QVPrefTransitionView* transitionView() const { return _transitionView; }

    // The identifiers the toolbar shows by default, and those the user may show.
    QStringList defaultToolbarIdentifiers() const;
    QStringList allowedToolbarIdentifiers();

protected:
    void closeEvent(QCloseEvent* event) override;
    void moveEvent(QMoveEvent* event) override;

private:
    void loadPanesIfNeeded();
    void buildToolbar();
    void applyToolbarConfiguration();
    void showToolbarMenu(const QPoint& position);
    void switchTo(QVPrefPane* pane, const QString& label, const QIcon& image);
    void setContent(QWidget* view, QVPrefPane* pane = nullptr);
    // Moves the window so that its title bar lies on a screen, below the screen's top edge (a
    // stored place or a taller pane may have put it above or beside every screen).
    void keepTitleBarOnScreen();

    QString _listPath;
    bool _panesLoaded = false;
    bool _inSession = false;
    std::vector<std::unique_ptr<QVPrefPane>> _panes;
    QList<QToolButton*> _buttons;
    QPointer<QWidget> _mainView;
    QPointer<QVPrefTransitionView> _transitionView;
    QToolBar* _toolbar = nullptr;
    QActionGroup* _toolbarGroup = nullptr;
    QVPrefPane* _currentPane = nullptr;
    bool _positionRestored = false;
};
