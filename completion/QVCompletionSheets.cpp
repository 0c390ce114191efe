#include "completion/QVCompletionSheets.h"

#include "shell/ColorUtilities.h"
#include "shell/StringPaths.h"

#include <QApplication>
#include <QColorDialog>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <atomic>

namespace {

std::atomic<bool> useNativeFileDialog{true};

const QString kNumber = QStringLiteral("number");
const QString kUnits = QStringLiteral("units");
const QString kUnitList = QStringLiteral("unitlist");
const QString kColor = QStringLiteral("color");
const QString kValue = QStringLiteral("value");
const QString kValueList = QStringLiteral("valuelist");
const QString kPath = QStringLiteral("path");

QString capitalised(const QString& label) {
    QStringList words = label.split(QLatin1Char(' '));
    for (QString& word : words)
        if (!word.isEmpty()) word = word.left(1).toUpper() + word.mid(1).toLower();
    return words.join(QLatin1Char(' '));
}

}  // namespace

void QVCompletionSheets::install() {
    QVCodeCompletionUI::registerFactory([](const QString& kind, const QString& label) -> std::shared_ptr<QVCodeCompletionUI> {
        if (kind == QLatin1String("path")) return std::make_shared<QVPathCodeCompletionUI>();
        if (kind == QLatin1String("css")) return std::make_shared<QVCSSCodeCompletionUI>(label);
        return nullptr;
    });
    QVCodeCompletion::setBeepHandler([] { QApplication::beep(); });
}

void QVCompletionSheets::setUseNativeFileDialog(bool flag) { useNativeFileDialog = flag; }

// ---- path -------------------------------------------------------------------------------

QWidget* QVPathCodeCompletionUI::parentWindow() const {
    auto* view = qobject_cast<QWidget*>(receiver());
    return view ? view->window() : nullptr;
}

void QVPathCodeCompletionUI::showDialog(QDialog* dialog) {
    _dialog = dialog;
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::WindowModal);
    const std::weak_ptr<QVCodeCompletionUI> weak = weak_from_this();
    // A dialog that goes with its window (the view closed) ends the sheet: nobody hears of it.
    QObject::connect(dialog, &QObject::destroyed, [weak] {
        if (const auto sheet = weak.lock()) sheet->end(0);
    });
    dialog->open();
}

void QVPathCodeCompletionUI::displayWithDelegate(const std::shared_ptr<QVCodeCompletion>& engine) {
    QVCodeCompletionUI::displayWithDelegate(engine);
    const QString document = documentPath();
    const QString folder = document.isEmpty() ? QDir::homePath() : QFileInfo(document).absolutePath();
    auto* dialog = new QFileDialog(parentWindow(), QObject::tr("Choose a File"), folder);
    dialog->setFileMode(QFileDialog::AnyFile);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    if (!useNativeFileDialog) dialog->setOption(QFileDialog::DontUseNativeDialog);
    const std::weak_ptr<QVCodeCompletionUI> weak = weak_from_this();
    QObject::connect(dialog, &QDialog::finished, [weak, dialog](int result) {
        const auto sheet = weak.lock();
        if (!sheet) return;
        if (result == QDialog::Accepted && !dialog->selectedFiles().isEmpty())
            sheet->values().insert(kPath, dialog->selectedFiles().first());
        sheet->end(result == QDialog::Accepted ? 1 : 0);
    });
    showDialog(dialog);
}

QString QVPathCodeCompletionUI::pathText() const {
    const QString chosen = values().value(kPath).toString();
    if (chosen.isEmpty()) return {};
    const QString document = documentPath();
    // An untitled document has no folder to be relative to: its paths are written whole.
    return document.isEmpty() ? chosen : StringPaths::relativePathTo(document, chosen);
}

QString QVPathCodeCompletionUI::stringValue() const { return pathText(); }

// ---- style-sheet values -----------------------------------------------------------------

QVCSSCodeCompletionUI::QVCSSCodeCompletionUI(const QString& label)
    : _type(typeForLabel(label)), _label(capitalised(label)) {
    setDefaultValuesForType();
}

QVCSSCodeCompletionUI::Type QVCSSCodeCompletionUI::typeForLabel(const QString& label) {
    const QString lower = label.toLower();
    if (lower == QLatin1String("length") || lower == QLatin1String("size")) return Length;
    if (lower == QLatin1String("angle")) return Angle;
    if (lower == QLatin1String("percentage")) return Percentage;
    if (lower == QLatin1String("color")) return Color;
    if (lower == QLatin1String("integer") || lower == QLatin1String("number")) return Number;
    if (lower == QLatin1String("family-name")) return FamilyName;
    if (lower == QLatin1String("uri")) return URI;
    return Unknown;
}

void QVCSSCodeCompletionUI::setDefaultValuesForType() {
    values().clear();
    switch (_type) {
    case Length:
        values().insert(kUnits, QStringLiteral("px"));
        values().insert(kUnitList, QStringList{u"cm"_qs, u"em"_qs, u"ex"_qs, u"in"_qs, u"mm"_qs, u"pc"_qs, u"pt"_qs,
                                               u"px"_qs, u"%"_qs});
        break;
    case Angle:
        values().insert(kUnits, QStringLiteral("deg"));
        values().insert(kUnitList, QStringList{QStringLiteral("deg")});
        break;
    case Percentage:
        values().insert(kUnits, QStringLiteral("%"));
        values().insert(kUnitList, QStringList{QStringLiteral("%")});
        break;
    case FamilyName: {
        QStringList families = QFontDatabase::families();
        families.sort(Qt::CaseInsensitive);
        values().insert(kValueList, families);
        if (!families.isEmpty()) values().insert(kValue, families.first());
        break;
    }
    default:
        break;
    }
}

QString QVCSSCodeCompletionUI::stringValueForUnknownValue(const QVariant& value) {
    QString text;
    bool quote = false;
    if (value.typeId() == QMetaType::QString) text = value.toString();
    else if (value.canConvert<QString>() && value.isValid()) text = value.toString();
    else quote = true;
    static const QString breaking = QStringLiteral(" \t\"'();{}\\");
    for (QChar c : std::as_const(text))
        if (breaking.contains(c)) quote = true;
    if (!quote) return text;
    text.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    text.replace(QLatin1Char('"'), QStringLiteral("\\\""));
    return QLatin1Char('"') + text + QLatin1Char('"');
}

QString QVCSSCodeCompletionUI::stringValue() const {
    switch (_type) {
    case Length:
    case Angle:
    case Percentage:
        return values().value(kNumber).toString() + values().value(kUnits).toString();
    case Color: {
        const QColor color = values().value(kColor).value<QColor>();
        return color.isValid() ? ColorUtilities::styleString(color, false) : QStringLiteral("#000000");
    }
    case URI: {
        const QString path = pathText();
        return path.isEmpty() ? QString() : QStringLiteral("url(%1)").arg(stringValueForUnknownValue(path));
    }
    default:
        return stringValueForUnknownValue(values().value(kValue));
    }
}

void QVCSSCodeCompletionUI::displayWithDelegate(const std::shared_ptr<QVCodeCompletion>& engine) {
    if (_type == URI) {
        QVPathCodeCompletionUI::displayWithDelegate(engine);
        return;
    }
    QVCodeCompletionUI::displayWithDelegate(engine);
    const std::weak_ptr<QVCodeCompletionUI> weak = weak_from_this();
    if (_type == Color) {
        auto* dialog = new QColorDialog(parentWindow());
        dialog->setOption(QColorDialog::DontUseNativeDialog);
        dialog->setWindowTitle(_label);
        QObject::connect(dialog, &QDialog::finished, [weak, dialog](int result) {
            const auto sheet = weak.lock();
            if (!sheet) return;
            if (result == QDialog::Accepted) sheet->values().insert(kColor, dialog->selectedColor());
            sheet->end(result == QDialog::Accepted ? 1 : 0);
        });
        showDialog(dialog);
        return;
    }

    auto* dialog = new QDialog(parentWindow());
    dialog->setWindowTitle(_label);
    auto* form = new QFormLayout(dialog);
    QLineEdit* edit = nullptr;
    QComboBox* choice = nullptr;
    if (_type == FamilyName) {
        choice = new QComboBox(dialog);
        choice->setObjectName(kValue);
        choice->addItems(values().value(kValueList).toStringList());
        form->addRow(_label, choice);
    } else {
        edit = new QLineEdit(dialog);
        edit->setObjectName(_type == Number || _type == Unknown ? kValue : kNumber);
        auto* row = new QHBoxLayout;
        row->addWidget(edit);
        if (_type == Length || _type == Angle || _type == Percentage) {
            choice = new QComboBox(dialog);
            choice->setObjectName(kUnits);
            choice->addItems(values().value(kUnitList).toStringList());
            choice->setCurrentText(values().value(kUnits).toString());
            row->addWidget(choice);
        }
        form->addRow(_label, row);
    }
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog);
    form->addRow(buttons);
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    QObject::connect(dialog, &QDialog::finished, [weak, edit, choice, this](int result) {
        const auto sheet = weak.lock();
        if (!sheet) return;
        if (result == QDialog::Accepted) {
            if (_type == FamilyName) {
                values().insert(kValue, choice->currentText());
            } else {
                values().insert(edit->objectName(), edit->text());
                if (choice) values().insert(kUnits, choice->currentText());
            }
        }
        sheet->end(result == QDialog::Accepted ? 1 : 0);
    });
    showDialog(dialog);
}
