// The unknown-file-type sheet's logic: whether to ask about a file, the choices it offers
// (ignore the type, edit the categories, or one of the text and image categories) and what a
// choice records in the category model. The window itself is QVUnknownFileTypePanel.
#pragma once

#include "platform/NotificationCenter.h"
#include "shell/QVFileCategories.h"
#include "shell/QVUnknownFileTypePanel.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>

class QWidget;
class QVUnknownFileTypeControllerDelegate;

// Files are given by path, with a folder flag where a decision needs it; the file-tree nodes
// that will carry them later hand over their path and type. Main thread only, except that the
// model's change notification may arrive from any thread (the pop-up is then rebuilt on the
// main thread).
class QVUnknownFileTypeController : public QObject {
    Q_OBJECT

public:
    // One entry of the pop-up: a separator, a fixed item, or a category.
    struct PopUpItem {
        QString title;
        std::shared_ptr<QVFileCategory> category;  // the represented object, if any
        bool isSeparator = false;
    };
    static constexpr int IgnoreItemIndex = 0;          // ignore files of the extension
    static constexpr int EditCategoriesItemIndex = 1;  // opens the file-categories preferences
    static constexpr int FixedItemCount = 3;           // the two above and a separator

    // Whether the sheet should ask about the file: never for a folder; never for an ignorable
    // extension (then *ignoreFile is set, when asked for, and the file is not to be opened);
    // otherwise when the file is of kind Other. The shared model when none is given.
    static bool shouldDisplayForFile(const QString& path, bool isFolder, bool* ignoreFile = nullptr,
                                     std::shared_ptr<QVFileCategories> model = {});

    // Builds the pop-up from the model (the shared one when none is given) and rebuilds it
    // whenever any model posts QVFileCategoriesChangedNotification.
    explicit QVUnknownFileTypeController(std::shared_ptr<QVFileCategories> model = {},
                                         QObject* parent = nullptr);
    ~QVUnknownFileTypeController() override;

    // Shows the sheet window-modal on the window for the file; when the window already shows a
    // sheet, this one begins on the next turn of the event loop. The delegate is not owned; it
    // must outlive the controller or detach itself with clearDelegate().
    void displayOnWindow(QWidget* window, QVUnknownFileTypeControllerDelegate* delegate,
                         const QString& path);
    // Forgets the delegate when it is the one given.
    void clearDelegate(QVUnknownFileTypeControllerDelegate* delegate);

    QList<PopUpItem> popUpItems() const { return _items; }
    int indexOfSelectedItem() const { return _selectedIndex; }
    // Moves the selection without acting on it; out of range and separators change nothing.
    void selectItemAtIndex(int index);
    // The pop-up's action: selects the item; the edit item opens the file-categories preferences
    // pane (through the handler) and the selection returns to the ignore item.
    void selectType(int index);
    // Ends the sheet and records the choice: the selected category gains the file's extension,
    // or the ignore item makes it ignorable; the model is then written. The delegate hears last.
    void choose();
    // Ends the sheet without touching the model; the delegate hears of no category.
    void cancel();

    QString path() const { return _path; }
    // The sheet while it is shown, else null.
    QVUnknownFileTypePanel* panel() const { return _panel; }

    // Set once by the preferences window: shows the pane with the identifier given.
    static void setPreferencesPaneHandler(std::function<void(const QString& identifier)> handler);
    // The application's bundle identifier followed by ".prefs.files".
    static QString filesPaneIdentifier();

Q_SIGNALS:
    // The items or the selection changed.
    void popUpChanged();

private:
    void populatePopUpMenu();
    void beginSheet();
    void endSheet();
    void finish(const std::shared_ptr<QVFileCategory>& category);

    std::shared_ptr<QVFileCategories> _model;
    QVUnknownFileTypeControllerDelegate* _delegate = nullptr;
    QString _path;
    QPointer<QWidget> _window;
    QPointer<QVUnknownFileTypePanel> _panel;
    bool _sheetPending = false;  // asked for and not yet begun or ended
    QList<PopUpItem> _items;
    int _selectedIndex = IgnoreItemIndex;
    NotificationCenter::Token _observer = 0;
};
