// The question asked before searching a project whose files live on a remote site: search the
// local copies of its files, or do not search.
#pragma once

#include <QDialog>
#include <QObject>
#include <QPointer>

#include <functional>

class QWidget;

// A window-modal sheet; its answer is stored under QVSearchLocalCacheForRemoteProjects and its
// check box writes QVDontPromptToSearchLocalCache. Main thread only.
class QVSearchLocalCachePromptController : public QObject {
    Q_OBJECT
public:
    // The tags of the sheet's buttons (the return codes).
    static constexpr int SearchTag = 1;
    static constexpr int DontSearchTag = 0;

    QVSearchLocalCachePromptController();
    ~QVSearchLocalCachePromptController() override;

    // Told the answer once: true for searching the local copies.
    void setDelegate(std::function<void(bool searchLocalCopies)> finished) { _finished = std::move(finished); }
    void displayOnWindow(QWidget* window);
    // The sheet's buttons end it with their tag.
    void buttonAction(int tag);
    QDialog* sheet() const { return _sheet; }

private:
    std::function<void(bool)> _finished;
    QPointer<QDialog> _sheet;
};
