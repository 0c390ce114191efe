// One entry of the code-navigation pop-up.
#include "languages/QVCodeNavMenuItem.h"

QVCodeNavMenuItem QVCodeNavMenuItem::separator(QVRange range) {
    QVCodeNavMenuItem entry;
    entry._range = range;
    return entry;
}

QVCodeNavMenuItem QVCodeNavMenuItem::item(const QString& title, const QFont& font, const QImage& icon, QVRange range) {
    QVCodeNavMenuItem entry;
    entry._separator = false;
    entry._title = title;
    entry._font = font;
    entry._icon = icon;
    entry._range = range;
    return entry;
}
