// The site-view pane: the file-name filters of project trees, one filter edited at a time in a
// sheet, saved and announced when the window closes.
#pragma once

#include "preferences/QVPrefPane.h"

#include <memory>

class QDialog;
class QTableWidget;
class QVFileFilter;
class QVFileFilters;

// Posted (no object) after the changed filter list was written.
inline constexpr const char* QVSiteViewFiltersChanged = "QVSiteViewFiltersChanged";

class QVSiteViewPrefPane : public QVPrefPane {
    Q_OBJECT
public:
    using QVPrefPane::QVPrefPane;

    std::shared_ptr<QVFileFilters> fileFilters() const;
    void endSession() override;

    void addFilter();
    void removeFilter();
    // Opens the sheet on a copy of the selected filter; nothing without a selection.
    void doubleClick();
    // The sheet's buttons: save puts the edited copy in place of the filter it was made from.
    void save();
    void cancel();
    std::shared_ptr<QVFileFilter> editingFilter() const { return _editingFilter; }
    QDialog* editPanel() const { return _editPanel; }
    QTableWidget* tableView() const { return _tableView; }

protected:
    QIcon makeIcon() override;
    QWidget* loadView() override;

private:
    void reloadTable();

    QTableWidget* _tableView = nullptr;
    QDialog* _editPanel = nullptr;
    std::shared_ptr<QVFileFilter> _editingFilter;
    int _editingRow = -1;
};
