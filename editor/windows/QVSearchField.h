// The toolbar's quick-search field: a search-styled line edit that keeps the focus, its text
// selected, when Return or Tab ends an entry.
#pragma once

#include <QLineEdit>

class QVSearchField : public QLineEdit {
    Q_OBJECT
public:
    explicit QVSearchField(QWidget* parent = nullptr);

protected:
    bool event(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
};
