// The sheet that asks under which web address a project's files are served, and in which
// browser to preview (remote preview). Window-modal; it reports once through done.
#pragma once

#include "tools/QVBrowser.h"

#include <QDialog>

#include <functional>
#include <memory>

class QComboBox;

class QVRemotePreviewController : public QDialog {
    Q_OBJECT
public:
    // The addresses ever confirmed (no duplicates, in no particular order).
    static inline const QString URLPrefixesKey = QStringLiteral("QVPreviewURLPrefixes");

    // done hears the resolved prefix and the browser chosen, or an empty prefix when cancelled.
    using Done = std::function<void(const QString& prefix, const std::shared_ptr<QVBrowser>& browser)>;
    explicit QVRemotePreviewController(QWidget* parent = nullptr);

    // Fills the browser pop-up from the browser list, puts prefix in the address field and
    // opens the sheet on window (none: a window of its own).
    void displayOnWindow(QWidget* window, Done done, const QString& prefix);
    // The sheet's buttons: tag 1 confirms (the address is resolved and remembered), any other
    // cancels.
    void close(int tag);

    QString urlPrefix() const;
    void setUrlPrefix(const QString& prefix);
    QComboBox* browserPopUpButton() const { return _browserPopUpButton; }

    // The address as typed, trimmed, with "http://" in front when it names no scheme.
    static QString resolvedPrefix(const QString& typed);
    // Adds prefix to the remembered addresses (once).
    static void rememberPrefix(const QString& prefix);

private:
    QComboBox* _browserPopUpButton = nullptr;
    QComboBox* _addressField = nullptr;
    Done _done;
};
