// The completion list: a small two-column list (type, then the entry's prototype) floating in
// the editor's viewport just below the caret's line. It never takes the focus: the editor keeps
// it and forwards the up and down arrows.
#pragma once

#include "completion/QVCodeCompletionEntry.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QTreeView>

class QKeyEvent;
class QVCodeCompletionListModel;
class QVTextView;

class QVCodeCompletionViewController : public QObject {
    Q_OBJECT
public:
    static constexpr int MaximumHeight = 112;
    static constexpr int MaximumWidth = 452;
    static constexpr int Margin = 10;        // kept free at the viewport's sides
    static constexpr int TypeColumnWidth = 80;
    // The type column's width for the entries shown: TypeColumnWidth, or more for a wider type.
    int typeColumnWidth() const;

    // The list lives in superview's viewport, hidden until entries are displayed. The view owns
    // the controller; a controller outliving its view answers as hidden.
    explicit QVCodeCompletionViewController(QVTextView* superview);
    ~QVCodeCompletionViewController() override;

    bool isVisible() const;
    // The up and down arrows; nothing else.
    bool handlesEvent(const QKeyEvent* event) const;
    // Moves the selection one row up or down, staying inside the list.
    void keyDown(const QKeyEvent* event);
    void hide();
    // The selected entry's completion; null when no row is selected.
    QString currentCompletion() const;
    bool shouldHideOnComplete() const;
    void setShowTypeColumn(bool flag);
    bool showsTypeColumn() const { return _showTypeColumn; }
    // Shows the entries below the caret and selects the entry whose key is mainEntry; without
    // one the selection stays (row 0 when there was none or it lies past the new list).
    void displayEntries(const QList<QVCodeCompletionEntry>& entries, const QString& mainEntry);
    const QList<QVCodeCompletionEntry>& entries() const { return _entries; }
    // The selected row, -1 for none.
    int selectedRow() const;
    // The list widget (its geometry is in viewport coordinates).
    QTreeView* listWidget() const { return _list.data(); }
    // The height of one row.
    int rowHeight() const;

Q_SIGNALS:
    // A double-click on a row: the editor accepts the current completion.
    void doubleClicked();

private:
    QSize sizeForEntries() const;
    void select(int row);

    QPointer<QVTextView> _superview;
    QPointer<QTreeView> _list;
    QVCodeCompletionListModel* _model = nullptr;  // owned by the list
    QList<QVCodeCompletionEntry> _entries;
    bool _showTypeColumn = true;
};
