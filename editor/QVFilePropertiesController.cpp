// The document properties sheet.
#include "editor/QVFilePropertiesController.h"

#include "editor/HTMLView.h"
#include "platform/AppBundle.h"
#include "shell/FileEncodings.h"
#include "shell/StringUtilities.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

const QString None = QStringLiteral("---");

void selectTitle(QComboBox* popUp, const QString& title) {
    const int index = title.isEmpty() ? 0 : popUp->findText(title);
    popUp->setCurrentIndex(index < 0 ? 0 : index);
}

QString selectedTitle(const QComboBox* popUp) {
    return popUp->currentIndex() <= 0 || popUp->currentData().isNull() ? QString() : popUp->currentText();
}

}  // namespace

QVFilePropertiesController::QVFilePropertiesController(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("FileProperties"));
    setWindowTitle(QVLocalized(ActionName));
    setAttribute(Qt::WA_DeleteOnClose);
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    _doctypePopUpButton = new QComboBox(this);
    _addXMLProlog = new QCheckBox(QVLocalized(QStringLiteral("Add XML prolog")), this);
    _encodingPopUpButton = new QComboBox(this);
    _languagePopUpButton = new QComboBox(this);
    _titleField = new QLineEdit(this);
    _baseField = new QLineEdit(this);
    form->addRow(QVLocalized(QStringLiteral("Document type:")), _doctypePopUpButton);
    form->addRow(QString(), _addXMLProlog);
    form->addRow(QVLocalized(QStringLiteral("Encoding:")), _encodingPopUpButton);
    form->addRow(QVLocalized(QStringLiteral("Language:")), _languagePopUpButton);
    form->addRow(QVLocalized(QStringLiteral("Title:")), _titleField);
    form->addRow(QVLocalized(QStringLiteral("Base URL:")), _baseField);
    layout->addLayout(form);

    _metaTable = new QTableWidget(0, 2, this);
    _metaTable->setHorizontalHeaderLabels({QVLocalized(QStringLiteral("Meta")), QVLocalized(QStringLiteral("Content"))});
    _metaTable->horizontalHeader()->setStretchLastSection(true);
    _metaTable->horizontalHeader()->resizeSection(0, 170);
    _metaTable->verticalHeader()->hide();
    _metaTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    _metaTable->setMinimumHeight(130);
    layout->addWidget(_metaTable, 1);
    auto* rowButtons = new QHBoxLayout;
    auto* add = new QPushButton(QStringLiteral("+"), this);
    auto* remove = new QPushButton(QStringLiteral("\u2212"), this);
    add->setObjectName(QStringLiteral("addMeta"));
    remove->setObjectName(QStringLiteral("removeMeta"));
    for (QPushButton* button : {add, remove}) {
        button->setAutoDefault(false);
        button->setFixedWidth(32);
        rowButtons->addWidget(button);
    }
    rowButtons->addStretch(1);
    _includeBasicTags = new QCheckBox(QVLocalized(QStringLiteral("Include basic tags")), this);
    rowButtons->addWidget(_includeBasicTags);
    layout->addLayout(rowButtons);
    connect(add, &QPushButton::clicked, this, [this] {
        addMetaRow();
        _metaTable->setCurrentCell(_metaTable->rowCount() - 1, 1);
    });
    connect(remove, &QPushButton::clicked, this, [this] {
        if (_metaTable->currentRow() >= 0) _metaTable->removeRow(_metaTable->currentRow());
    });

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* cancel = buttons->addButton(QDialogButtonBox::Cancel);
    QPushButton* ok = buttons->addButton(QVLocalized(QStringLiteral("Apply")), QDialogButtonBox::AcceptRole);
    ok->setDefault(true);
    connect(cancel, &QPushButton::clicked, this, [this] { close(0); });
    connect(ok, &QPushButton::clicked, this, [this] { close(1); });
    layout->addWidget(buttons);
    fillPopUps();
    connect(_doctypePopUpButton, &QComboBox::currentIndexChanged, this, [this] { updateEnabling(); });
    resize(520, 480);
}

void QVFilePropertiesController::fillPopUps() {
    const QVDocumentProperties::Lists& lists = _properties.lists();
    const auto fill = [](QComboBox* popUp, const QList<QVDocumentProperties::Item>& items) {
        popUp->clear();
        popUp->addItem(None);
        for (const auto& item : items) {
            if (item.title.isEmpty()) popUp->insertSeparator(popUp->count());
            else popUp->addItem(QVLocalized(item.title), item.value);
        }
    };
    fill(_doctypePopUpButton, lists.doctypes);
    fill(_encodingPopUpButton, lists.encodings);
    fill(_languagePopUpButton, lists.languages);
}

bool QVFilePropertiesController::isNewFile() const { return _textView && _textView->length() == 0; }

void QVFilePropertiesController::addMetaRow(const QString& type, const QString& value) {
    const int row = _metaTable->rowCount();
    _metaTable->insertRow(row);
    auto* types = new QComboBox(_metaTable);
    types->addItems(QVDocumentProperties::metaTypes(_properties.lists()));
    const int index = types->findText(type, Qt::MatchFixedString);
    if (index >= 0) types->setCurrentIndex(index);
    else if (!type.isEmpty()) types->addItem(type), types->setCurrentIndex(types->count() - 1);
    _metaTable->setCellWidget(row, 0, types);
    _metaTable->setItem(row, 1, new QTableWidgetItem(value));
}

void QVFilePropertiesController::displayOnWindow(QWidget* window, HTMLView* textView) {
    _textView = textView;
    if (window && parentWidget() != window) setParent(window, windowFlags());
    if (_textView) _properties.parse(_textView->fullString());
    showProperties();
    setWindowModality(Qt::WindowModal);
    open();
}

void QVFilePropertiesController::showProperties() {
    selectTitle(_doctypePopUpButton, _properties.doctype);
    selectTitle(_encodingPopUpButton, _properties.encoding);
    selectTitle(_languagePopUpButton, _properties.language);
    _addXMLProlog->setChecked(_properties.addXMLProlog);
    _titleField->setText(_properties.title);
    _baseField->setText(_properties.base);
    _metaTable->setRowCount(0);
    for (const auto& meta : _properties.metaElements) addMetaRow(meta.type, meta.value);
    _includeBasicTags->setChecked(_properties.includeBasicTags);
    updateEnabling();
}

void QVFilePropertiesController::updateEnabling() {
    // The titles are localized in the pop-up; the model knows them by their list titles.
    const int index = _doctypePopUpButton->currentIndex();
    const auto& doctypes = _properties.lists().doctypes;
    const QString doctype = index > 0 && index - 1 < doctypes.size() ? doctypes[index - 1].title : QString();
    const bool xml = doctype.contains(QLatin1String("XML")) || doctype.contains(QLatin1String("XHTML"));
    _addXMLProlog->setEnabled(xml || _addXMLProlog->isChecked());
    _includeBasicTags->setEnabled(isNewFile());
}

void QVFilePropertiesController::takeProperties() {
    const auto listTitle = [](const QComboBox* popUp, const QList<QVDocumentProperties::Item>& items) {
        if (selectedTitle(popUp).isEmpty()) return QString();
        const QString value = popUp->currentData().toString();
        for (const auto& item : items)
            if (!item.title.isEmpty() && item.value == value) return item.title;
        return QString();
    };
    const QVDocumentProperties::Lists& lists = _properties.lists();
    _properties.doctype = listTitle(_doctypePopUpButton, lists.doctypes);
    _properties.encoding = listTitle(_encodingPopUpButton, lists.encodings);
    _properties.language = listTitle(_languagePopUpButton, lists.languages);
    _properties.addXMLProlog = _addXMLProlog->isChecked();
    _properties.title = _titleField->text();
    _properties.base = _baseField->text();
    _properties.includeBasicTags = _includeBasicTags->isChecked();
    _properties.metaElements.clear();
    for (int row = 0; row < _metaTable->rowCount(); ++row) {
        const auto* types = qobject_cast<QComboBox*>(_metaTable->cellWidget(row, 0));
        const QTableWidgetItem* value = _metaTable->item(row, 1);
        if (types) _properties.metaElements.push_back({types->currentText(), value ? value->text() : QString()});
    }
}

void QVFilePropertiesController::close(int tag) {
    // Ends any editing in a field or table cell (its editor commits on losing focus) so its
    // text counts.
    if (QWidget* focused = focusWidget()) focused->clearFocus();
    if (tag == 1) {
        takeProperties();
        updateDocument();
    }
    done(tag == 1 ? QDialog::Accepted : QDialog::Rejected);
}

void QVFilePropertiesController::updateDocument() {
    if (!_textView) return;
    const QString before = _textView->fullString();
    const QString after = _properties.apply(before, _textView->lineBreak(), StringUtilities::tabSpaces());
    if (after != before) {
        if (_textView->string() == before) {
            // Only the changed stretch is replaced, so the rest of the text keeps its own line
            // breaks and the step undoes exactly.
            qsizetype prefix = 0;
            while (prefix < before.size() && prefix < after.size() && before[prefix] == after[prefix]) ++prefix;
            qsizetype suffix = 0;
            while (suffix < before.size() - prefix && suffix < after.size() - prefix &&
                   before[before.size() - 1 - suffix] == after[after.size() - 1 - suffix])
                ++suffix;
            const QVRange range(prefix, before.size() - prefix - suffix);
            const QString replacement = after.mid(prefix, after.size() - prefix - suffix);
            _textView->performUndoable([&] { _textView->replaceRange(range, replacement); }, QVLocalized(ActionName));
        } else {
            _textView->undoableSetString(after, QVLocalized(ActionName));
        }
    }
    // The file is written in the charset it now declares.
    const QString charset = _properties.charset();
    const QVStringEncoding encoding = charset.isEmpty() ? 0 : FileEncodings::encodingFromDeclaration(charset);
    if (encoding && TextEncoding::isSupported(encoding) && encoding != _textView->stringEncoding()) _textView->setStringEncoding(encoding);
}
