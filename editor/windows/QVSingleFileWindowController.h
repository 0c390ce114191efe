// The window of one single-file document: toolbar, editor, status line. The window owns the
// document, which ends when the window closes (after the unsaved-changes question).
#pragma once

#include "editor/QVSingleFileDocument.h"
#include "editor/windows/QVDocumentWindowController.h"

#include <memory>


class QVSingleFileWindowController : public QVDocumentWindowController {
    Q_OBJECT
public:
    // The name under which the window's frame is kept.
    static inline const QString FrameAutosaveName = QStringLiteral("SingleFileWindow");

    // A window for the document, which it reads (a file that cannot be read leaves the window
    // empty and says why in a sheet).
    explicit QVSingleFileWindowController(std::unique_ptr<QVSingleFileDocument> document, QWidget* parent = nullptr);
    ~QVSingleFileWindowController() override;

    QVFileDocument* document() const override { return _document.get(); }
    QVSingleFileDocument& singleFileDocument() const { return *_document; }
    HTMLView* currentTextView() const override;
    void activateDocument(QVFileDocument*) override;
    void documentShouldForceClose(QVFileDocument*) override;

protected:
    bool canSave(const QVFileDocument* document) const override;
    void documentSavedAs(QVFileDocument*) override;
    // An edited document asks first: save (closing only when the save ended whole), close
    // without saving, or stay open.
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    std::unique_ptr<QVSingleFileDocument> _document;
    // The editor's and the status bar's delegate.
    bool _closeAnswered = false;
    bool _asking = false;
};
