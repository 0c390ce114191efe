// The languages pane: every bundle by title with its three editable properties, the editor of
// the selected row beside them, bundles added and removed, and the changed bundles saved (then
// the queued notifications posted once each) when the window closes.
#pragma once

#include "preferences/QVLanguagePane.h"
#include "preferences/QVPrefPane.h"

#include <QList>
#include <QSet>

#include <memory>
#include <set>

class QDialog;
class QLabel;
class QPushButton;
class QStackedLayout;
class QTreeWidget;
class QTreeWidgetItem;
class QVBundle;

class QVLanguagesPrefPane : public QVPrefPane, public QVLanguagePaneDelegate {
    Q_OBJECT
public:
    using QVPrefPane::QVPrefPane;
    ~QVLanguagesPrefPane() override;

    bool allowSelect() override;
    bool resizable() const override { return true; }
    QSize maxSize() const override { return minSize() + QSize(200, 150); }
    void startSession() override;
    void endSession() override;

    void bundleDidChange(const std::shared_ptr<QVBundle>& bundle) override;
    void sendNotificationOnEnd(const QString& name) override;

    const QList<std::shared_ptr<QVBundle>>& bundles() const { return _bundles; }
    // Adds the bundle titled title (an existing bundle of that title is answered as it is);
    // false, with a beep, for an empty title or one the repository refuses.
    bool addBundle(const QString& title, const QString& parserIdentifier);
    // Hides the bundle of the selected row; beeps for anything else.
    bool removeBundle();
    void openAddBundleSheet();

    // Selects the bundle's row (property -1) or one of its property rows (0 Completion,
    // 1 Navigation, 2 Syntax) as a click would.
    void selectRow(const std::shared_ptr<QVBundle>& bundle, int property);
    QVLanguagePane* currentPane() const { return _currentPane.get(); }
    QString selectionState() const;
    QVNoEditorWindowController* noEditorController() const { return _picker; }
    // The picker's end: confirmed, the new engine or parser is made and its editor opens;
    // otherwise nothing changes and the row is deselected.
    void noEditorControllerDidEnd(bool confirmed);
    QTreeWidget* outlineView() const { return _outline; }
    const std::set<std::shared_ptr<QVBundle>>& changedBundles() const { return _changedBundles; }

protected:
    QIcon makeIcon() override;
    QWidget* loadView() override;

private:
    void reloadOutline();
    void selectionChanged();
    void editBundle(const std::shared_ptr<QVBundle>& bundle, int property);
    void showPlaceholder(const QString& state);

    QList<std::shared_ptr<QVBundle>> _bundles;
    std::set<std::shared_ptr<QVBundle>> _changedBundles;
    QSet<QString> _endNotificationNames;
    std::unique_ptr<QVLanguagePane> _currentPane;
    QVNoEditorWindowController* _picker = nullptr;
    QTreeWidget* _outline = nullptr;
    QWidget* _editBox = nullptr;
    QStackedLayout* _editLayout = nullptr;
    QLabel* _placeholder = nullptr;
    QPushButton* _removeButton = nullptr;
    bool _loaded = false;
};
