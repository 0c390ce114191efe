// The tab-style label above the project outline: a background tab titled "Project View".
#pragma once

#include "editor/QVTab.h"

class QVProjectViewHeader : public QVTab {
    Q_OBJECT
public:
    explicit QVProjectViewHeader(QWidget* parent = nullptr);
};
