// The shared find panel of the editor: next, previous, replace and find, replace all in the
// whole text or the selection, over the one editor view it is bound to.
#pragma once

#include "editor/HTMLView.h"
#include "tools/QVSearchController.h"

#include <QPointer>

#include <functional>

class QWidget;
class QComboBox;
class QDialog;
class QCheckBox;
class QLabel;
class QPushButton;
class QRadioButton;

// Editors bind the panel to themselves when they become active and before each of their find
// commands, so find-next works while the panel is hidden. Main thread only.
class QVSingleFileSearchController : public QVSearchController {
    Q_OBJECT
public:
    // The one panel, created on first use.
    static QVSingleFileSearchController& sharedFind();
    // Routes the editors' find commands (HTMLViewFind's seam) to the shared panel.
    static void install();

    QVSingleFileSearchController();
    ~QVSingleFileSearchController() override;

    HTMLView* textView() const { return _textView; }
    // Binds the panel to the view (null: none) and validates.
    void setTextView(HTMLView* view);
    // Where the panel finds the front-most editor when its own closes (the application's
    // window order); none leaves the panel without a view.
    void setFrontTextViewProvider(std::function<HTMLView*()> provider) { _frontTextView = std::move(provider); }

    // 0: the whole text; any other value: the selection.
    int scope() const { return _scope; }
    void setScope(int scope);

    // Valid only with an editor view to act on.
    void validate() override;

    // The panel's actions; all but findUsingSelection remember the entry first.
    void next();
    void previous();
    void replaceAndFind();
    void replaceAll();
    void findUsingSelection();
    // Hands the search to the multi-file window (front document); nothing until it exists.
    void findAll();
    static void setFindAllHandler(std::function<void(const QVSearch&)> handler);
    // The extended input: a window-modal sheet on window for multi-line text, holding the
    // controller's search text (tag SearchFieldTag) or replacement; OK hands the text back
    // (extendedInputFinished) and either answer brings window forward. Answers the sheet.
    static QDialog* showExtendedInput(QVSearchController& controller, QWidget* window, int tag);

    // The panel's window, made on first use; showWindow() shows and raises it.
    QWidget* window();
    void showWindow();

private:
    void find(bool backwards);
    void textViewClosed(const void* view);
    void refreshControls();

    QPointer<HTMLView> _textView;
    int _scope = 0;
    std::function<HTMLView*()> _frontTextView;
    NotificationCenter::Token _closingToken = 0;

    QPointer<QWidget> _window;
    QComboBox* _searchField = nullptr;
    QComboBox* _replaceField = nullptr;
    QCheckBox* _regexBox = nullptr;
    QCheckBox* _caseBox = nullptr;
    QRadioButton* _wholeText = nullptr;
    QRadioButton* _selection = nullptr;
    QLabel* _statusLabel = nullptr;
    QList<QPushButton*> _actionButtons;
    bool _refreshing = false;
};
