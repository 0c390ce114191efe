// The label above the project outline.
#include "projects/windows/QVProjectViewHeader.h"

#include "platform/AppBundle.h"

QVProjectViewHeader::QVProjectViewHeader(QWidget* parent) : QVTab(parent) {
    setIsBackground(true);
    setDefaultColor(QColor::fromRgbF(0.94f, 0.94f, 0.94f, 1.0f));
    setTitle(QVLocalized(QStringLiteral("Project View")));
}
