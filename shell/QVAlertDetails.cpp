// Informative texts of alerts, long ones in a scrolling field.
#include "shell/QVAlertDetails.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QScreen>
#include <QTextBoundaryFinder>

#include <algorithm>

namespace {

// What a label shows whole without making the alert tall.
constexpr qsizetype kShortLines = 12;
constexpr qsizetype kShortCharacters = 1200;

// Whether the label would cut text at the alert's edge: it breaks lines only where line breaking
// allows (spaces, after slashes and hyphens), and an alert is at most about as wide as the screen
// less a margin, so a longer run without such a place (a very long file name) runs off its side.
bool cutByLabel(const QMessageBox* box, const QString& text, const QRect& available) {
    const int widest = (available.width() <= 1024 ? available.width() : std::min(available.width() - 480, 1000)) - 120;
    const QFontMetrics metrics = box->fontMetrics();
    QTextBoundaryFinder breaks(QTextBoundaryFinder::Line, text);
    for (qsizetype from = 0, to = breaks.toNextBoundary(); to > from; from = to, to = breaks.toNextBoundary())
        if (to - from > 8 && metrics.horizontalAdvance(text.mid(from, to - from).trimmed()) > widest) return true;
    return false;
}

}  // namespace

void QVSetAlertDetails(QMessageBox* box, const QString& text) {
    const qsizetype lines = text.count(u'\n') + 1;
    const QWidget* near = box->parentWidget() ? box->parentWidget() : box;
    const QScreen* screen = near->screen() ? near->screen() : QGuiApplication::primaryScreen();
    const QRect available = screen ? screen->availableGeometry() : QRect(0, 0, 800, 600);
    if (lines <= kShortLines && text.size() <= kShortCharacters && !cutByLabel(box, text, available)) {
        box->setInformativeText(text);
        return;
    }
    // Clearing the informative text lays the box out anew in a new grid: the layout is looked up
    // only after it (the one before is deleted).
    box->setInformativeText(QString());
    auto* grid = qobject_cast<QGridLayout*>(box->layout());
    auto* buttons = box->findChild<QDialogButtonBox*>();
    if (!grid || !buttons) {
        box->setInformativeText(text);
        return;
    }
    auto* details = new QPlainTextEdit(box);
    details->setObjectName(QStringLiteral("alertDetails"));
    details->setReadOnly(true);
    details->setPlainText(text);
    details->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    // Up to half the screen's height: the message, the buttons and a title bar keep the rest.
    const int frame = 2 * details->frameWidth() + 8;
    const int needed = details->fontMetrics().lineSpacing() * int(std::min<qsizetype>(lines, 4096)) + frame;
    details->setFixedHeight(std::max(details->fontMetrics().lineSpacing() * 4 + frame, std::min(needed, available.height() / 2)));
    details->setMinimumWidth(std::min(details->fontMetrics().averageCharWidth() * 72, available.width() / 2));
    // Below the message, above the buttons: the button box moves down a row.
    int row = 0, column = 0, rows = 0, columns = 0;
    grid->getItemPosition(grid->indexOf(buttons), &row, &column, &rows, &columns);
    int labelRow = 0, labelColumn = 0;
    if (auto* label = box->findChild<QWidget*>(QStringLiteral("qt_msgbox_label")); label && grid->indexOf(label) >= 0)
        grid->getItemPosition(grid->indexOf(label), &labelRow, &labelColumn, &rows, &columns);
    grid->removeWidget(buttons);
    grid->addWidget(details, row, labelColumn, 1, grid->columnCount() - labelColumn);
    grid->addWidget(buttons, row + 1, 0, 1, grid->columnCount());
}
