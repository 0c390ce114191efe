// One entry of the code-navigation pop-up: a titled place in the text, or a separator.
#pragma once

#include "platform/QVRange.h"

#include <QFont>
#include <QImage>
#include <QString>

// A value the editor turns into a menu action: the title with its font (the item's
// attributes), an optional icon, and the range of the text it stands for (in the coordinates of
// the whole text). A separator has no title, font or icon but still carries its range, so that
// sorting by location places it among the other items.
class QVCodeNavMenuItem {
public:
    QVCodeNavMenuItem() = default;
    static QVCodeNavMenuItem separator(QVRange range);
    static QVCodeNavMenuItem item(const QString& title, const QFont& font, const QImage& icon, QVRange range);

    bool isSeparator() const { return _separator; }
    const QString& title() const { return _title; }
    const QFont& font() const { return _font; }
    const QImage& icon() const { return _icon; }
    QVRange range() const { return _range; }

private:
    bool _separator = true;
    QString _title;
    QFont _font;
    QImage _icon;
    QVRange _range;
};
