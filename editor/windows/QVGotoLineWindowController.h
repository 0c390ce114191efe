// The go-to-line sheet: asks for a line number and sends the editor view there.
#pragma once

#include "editor/HTMLView.h"

#include <QDialog>
#include <QPointer>

class QAbstractButton;
class QSpinBox;

class QVGotoLineWindowController : public QDialog {
    Q_OBJECT
public:
    // The confirming button's tag.
    static constexpr int OKTag = 1;

    explicit QVGotoLineWindowController(QWidget* parent = nullptr);
    ~QVGotoLineWindowController() override;

    // Shows the sheet window-modal on the view's window with line as the number offered.
    void displayForTarget(HTMLView* target, quint32 line);
    // Ends the sheet; a button tagged OKTag (Return) first sends the view to the line.
    void close(int tag);

    quint32 lineNumber() const;
    void setLineNumber(quint32 line);
    HTMLView* target() const { return _target; }

private:
    QPointer<HTMLView> _target;
    QSpinBox* _lineField = nullptr;
};
