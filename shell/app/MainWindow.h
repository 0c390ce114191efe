// The application's window: until the document windows arrive, a plain window with the menu bar
// that hosts one file document and its editor view.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QString>

#include <memory>

class HTMLView;
class HTMLViewDelegate;
class QLabel;
class QPrinter;
class QVError;
class QVFileDocument;
class QVFileDocumentDelegate;
class QVFilePropertiesController;

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    // A window editing the file at path (empty: an untitled text). A file that cannot be read
    // leaves the window empty and says why in its status bar. The title carries the document's
    // edited mark.
    explicit MainWindow(const QString& path = {}, QWidget* parent = nullptr);
    ~MainWindow() override;

    // The editor view; none for an image, whose view shows instead.
    HTMLView* editor() const { return _editor; }
    QVFileDocument& document() const { return *_document; }
    // File > Save: writes the file (an untitled text goes through Save As); a failure, a lossy
    // write or the question before overwriting a file changed on disk shows in a window-modal box.
    void saveDocument();
    // File > Save As: the save panel (window-modal), then the write to the path chosen.
    void saveDocumentAs();
    // File > Revert to Saved: reads the file again; a failure changes nothing and is shown.
    void revertDocument();
    // File > Reopen with Encoding: an edited document asks first (save in the new encoding,
    // discard the changes, or cancel) in a window-modal box.
    void reopenUsingEncoding(const QString& charset);
    // File > Print: the print dialog, window-modal; the text prints when it is accepted.
    void printDocument();
    // The print settings, kept from one print to the next (half-inch margins at first).
    QPrinter& printer();
    // File > Modify Document Properties: the properties sheet of the text.
    void modifyDocumentProperties();
    // The open properties sheet, if any.
    QVFilePropertiesController* propertyController() const;
    // Whether the file given was read.
    bool loaded() const { return _loaded; }

protected:
    // An edited document asks first, in a window-modal box: save (closing only when the save
    // succeeded), close without saving, or stay open.
    void closeEvent(QCloseEvent* event) override;

private:
    friend class DocumentWindowSeam;
    void buildMenus();
    // Every question and error of the document goes through the seam (_documentWindow): a
    // window-modal box with the error's recovery options, or the status bar for a notice.
    void showError(const QVError& error);
    void refreshTitle();

    std::unique_ptr<QVFileDocument> _document;
    // The print settings, kept from one print to the next.
    std::unique_ptr<QPrinter> _printer;
    QPointer<QVFilePropertiesController> _propertyController;
    HTMLView* _editor = nullptr;
    QLabel* _position = nullptr;
    std::shared_ptr<HTMLViewDelegate> _editorDelegate;
    std::shared_ptr<QVFileDocumentDelegate> _documentWindow;
    bool _loaded = true;
    bool _closeAnswered = false;
};
