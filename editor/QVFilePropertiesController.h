// The "Modify Document Properties" sheet: edits the head of an HTML document (document type, XML
// prolog, charset, language, title, base address, meta elements) and writes it back into the
// editor's text as one undoable step.
#pragma once

#include "editor/QVDocumentProperties.h"

#include <QDialog>
#include <QPointer>

class HTMLView;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QTableWidget;

// A window-modal dialog on the window that opens it (open()); it deletes itself when it ends.
// Nothing is written unless the confirming button (tag 1) ends it.
class QVFilePropertiesController : public QDialog {
    Q_OBJECT
public:
    static inline const QString ActionName = QStringLiteral("Modify Document Properties");

    explicit QVFilePropertiesController(QWidget* parent = nullptr);

    // Reads the editor's full text and shows the sheet on window.
    void displayOnWindow(QWidget* window, HTMLView* textView);
    // The sheet's buttons: tag 1 writes the document; any tag ends the sheet.
    void close(int tag);

    QVDocumentProperties& properties() { return _properties; }
    bool isNewFile() const;

    QComboBox* doctypePopUpButton() const { return _doctypePopUpButton; }
    QComboBox* encodingPopUpButton() const { return _encodingPopUpButton; }
    QComboBox* languagePopUpButton() const { return _languagePopUpButton; }
    QLineEdit* titleField() const { return _titleField; }
    QLineEdit* baseField() const { return _baseField; }
    QCheckBox* addXMLPrologBox() const { return _addXMLProlog; }
    QCheckBox* includeBasicTagsBox() const { return _includeBasicTags; }
    QTableWidget* metaTable() const { return _metaTable; }
    // Adds a row for a meta element (the type must be one of the known types to be written).
    void addMetaRow(const QString& type = {}, const QString& value = {});

private:
    void fillPopUps();
    // Widgets from the values read, and back.
    void showProperties();
    void takeProperties();
    void updateEnabling();
    void updateDocument();

    QVDocumentProperties _properties;
    QPointer<HTMLView> _textView;
    QComboBox* _doctypePopUpButton = nullptr;
    QComboBox* _languagePopUpButton = nullptr;
    QComboBox* _encodingPopUpButton = nullptr;
    QCheckBox* _addXMLProlog = nullptr;
    QLineEdit* _titleField = nullptr;
    QLineEdit* _baseField = nullptr;
    QTableWidget* _metaTable = nullptr;
    QCheckBox* _includeBasicTags = nullptr;
};
