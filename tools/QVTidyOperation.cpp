#include "tools/QVTidyOperation.h"

#include "platform/AppBundle.h"
#include "platform/AtomicFile.h"
#include "platform/RegularFile.h"
#include "shell/Defaults.h"
#include "shell/FileManagerUtilities.h"
#include "shell/StringUtilities.h"
#include "tools/QVTidyOptionLibrary.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>

namespace {

QString nameFromPath(const QString& path) { return QFileInfo(path).fileName(); }

QVError invalid(const QString& what) {
    return QVError::app(FileManagerUtilities::FileOperationErrorCode,
                        QStringLiteral("The HTML Tidy operation could not be saved."), what);
}

bool hasLineBreak(const QString& text) {
    return text.contains(QLatin1Char('\n')) || text.contains(QLatin1Char('\r'));
}

}  // namespace

// --- QVTidyOperation ----------------------------------------------------------------------------

QVTidyOperation::QVTidyOperation(const QString& path) : QVOperation(path) {
    if (!path.isEmpty() && !isDirectory()) read();
    else if (!path.isEmpty()) _title = nameFromPath(path);
    validate();
}

std::shared_ptr<QVOperation> QVTidyOperation::copy() const {
    auto result = std::make_shared<QVTidyOperation>();
    copyInto(*result);
    result->_title = _title;
    result->_description = _description;
    // Values are copied, not shared: a cancelled edit leaves the listed operation as it was.
    result->_actions = _actions;
    result->validate();
    return result;
}

void QVTidyOperation::validate() {
    setIsValid(!_title.isEmpty() && !_actions.isEmpty());
}

void QVTidyOperation::read() {
    _title = nameFromPath(path());
    _description.clear();
    _actions.clear();
    if (const std::optional<QByteArray> bytes = RegularFile::read(path())) {
        const QString text = QString::fromUtf8(*bytes);
        static const QRegularExpression titleExpression(QStringLiteral("%%%\\{QVTidyName=([^\\}]+)\\}%%%"));
        static const QRegularExpression descriptionExpression(QStringLiteral("%%%\\{QVTidyDescription=([^\\}]+)\\}%%%"));
        // The whole rest of the line is the value, so blanks inside it and empty values read back.
        static const QRegularExpression optionExpression(QStringLiteral("^([a-z0-9-]+):[ \\t]*(.*?)[ \\t\\r]*$"),
                                                         QRegularExpression::CaseInsensitiveOption |
                                                             QRegularExpression::MultilineOption);
        if (const auto match = titleExpression.match(text); match.hasMatch()) _title = match.captured(1);
        if (const auto match = descriptionExpression.match(text); match.hasMatch()) _description = match.captured(1);
        for (auto it = optionExpression.globalMatch(text); it.hasNext();) {
            const auto match = it.next();
            _actions.append({match.captured(1), valueFromText(match.captured(2))});
        }
    }
    validate();
}

QList<MenuItemRep> QVTidyOperation::menuItemRepresentations() {
    if (!isDirectory()) read();
    MenuItemRep rep = MenuItemRep::withTitle(_title, isDirectory() ? QString() : QStringLiteral("performTidy:"));
    if (!isDirectory()) {
        const std::shared_ptr<QVTidyOperationItem> item = std::dynamic_pointer_cast<QVTidyOperation>(shared_from_this());
        rep.setRepresentedObject(QVariant::fromValue(item));
    }
    return {rep};
}

void QVTidyOperation::setActions(const QList<QVTidyAction>& actions) {
    _actions = actions;
    validate();
}

void QVTidyOperation::insertAction(const QVTidyAction& action, qsizetype index) {
    if (index < 0 || index > _actions.size()) index = _actions.size();
    _actions.insert(index, action);
    validate();
}

void QVTidyOperation::removeActionAt(qsizetype index) {
    if (index >= 0 && index < _actions.size()) _actions.removeAt(index);
    validate();
}

void QVTidyOperation::replaceActionAt(qsizetype index, const QVTidyAction& action) {
    if (index >= 0 && index < _actions.size()) _actions[index] = action;
    validate();
}

QVariant QVTidyOperation::valueFromText(const QString& text) {
    if (text == QLatin1String("1") || text == QLatin1String("yes")) return true;
    if (text == QLatin1String("0") || text == QLatin1String("no")) return false;
    return text;
}

QString QVTidyOperation::textFromValue(const QVariant& value) {
    if (value.typeId() == QMetaType::Bool) return value.toBool() ? QStringLiteral("yes") : QStringLiteral("no");
    return value.toString();
}

QString QVTidyOperation::textFromValue(const QVariant& value, const QString& option) {
    if (value.typeId() == QMetaType::Bool) {
        const QString type = QVTidyOptionLibrary::shared().definitionForFlag(option).value(QStringLiteral("type")).toString();
        if (type == QLatin1String("Combo") || type == QLatin1String("String"))
            return value.toBool() ? QStringLiteral("1") : QStringLiteral("0");
    }
    return textFromValue(value);
}

QString QVTidyOperation::fileText() const {
    QString text = QStringLiteral("// %%%{QVTidyName=%1}%%%\n// %%%{QVTidyDescription=%2}%%%\n").arg(_title, _description);
    for (const QVTidyAction& action : _actions)
        text += action.action + QStringLiteral(": ") + textFromValue(action.value, action.action) + QLatin1Char('\n');
    return text;
}

bool QVTidyOperation::commit(QVError* error) {
    // A folder of operations has nothing of its own to write.
    if (isDirectory()) return true;
    if (path().isEmpty()) {
        qvSetError(error, invalid(QStringLiteral("It has no file.")));
        return false;
    }
    if (_title.isEmpty() || hasLineBreak(_title) || _title.contains(QLatin1Char('}'))) {
        qvSetError(error, invalid(QStringLiteral("A title must be one line, not empty, without \"}\".")));
        return false;
    }
    if (hasLineBreak(_description) || _description.contains(QLatin1Char('}'))) {
        qvSetError(error, invalid(QStringLiteral("A description must be one line without \"}\".")));
        return false;
    }
    static const QRegularExpression nameExpression(QStringLiteral("^[A-Za-z0-9-]+$"));
    for (const QVTidyAction& action : _actions) {
        if (!nameExpression.match(action.action).hasMatch()) {
            qvSetError(error, invalid(QStringLiteral("\"%1\" is not an option name.").arg(action.action)));
            return false;
        }
        if (hasLineBreak(textFromValue(action.value))) {
            qvSetError(error, invalid(QStringLiteral("The value of \"%1\" holds a line break.").arg(action.action)));
            return false;
        }
    }
    return AtomicFile::write(path(), fileText().toUtf8(), error);
}

QString QVTidyOperation::mergedOperations(const QList<std::shared_ptr<QVTidyOperation>>& operations) {
    QString text;
    QSet<QString> seen;
    for (const auto& operation : operations) {
        if (!operation) continue;
        for (const QVTidyAction& action : operation->actions()) {
            const QString value = textFromValue(action.value, action.action);
            // A line break would smuggle further options into the configuration.
            if (seen.contains(action.action) || hasLineBreak(action.action) || hasLineBreak(value)) continue;
            seen.insert(action.action);
            text += action.action + QStringLiteral(": ") + value + QLatin1Char('\n');
        }
    }
    return text;
}

// --- QVTidyOperationRepository ------------------------------------------------------------------

QVTidyOperationRepository::QVTidyOperationRepository(const QString& sourcePath) : _sourcePath(sourcePath) {}

QVTidyOperationRepository& QVTidyOperationRepository::sharedInstance() {
    static QVTidyOperationRepository repository;
    return repository;
}

QString QVTidyOperationRepository::sourcePath() const {
    if (!_sourcePath.isEmpty()) return _sourcePath;
    const QString support = Defaults::appSupportPathForFile(QStringLiteral("TidyConfigFiles"));
    if (QFileInfo(support).isDir()) return support;
    return AppBundle::main().pathForResource(QStringLiteral("Tidy"));
}

std::shared_ptr<QVOperation> QVTidyOperationRepository::createOperationForPath(const QString& path) {
    return std::make_shared<QVTidyOperation>(path);
}

QString QVTidyOperationRepository::freePathForTitle(const QString& folder, const QString& title) {
    QString base = StringUtilities::camelString(title);
    // The name stays inside the folder: no separators, no hidden or parent names.
    base.replace(QLatin1Char('/'), QLatin1Char('-'));
    base.remove(QChar(0));
    while (base.startsWith(QLatin1Char('.'))) base.remove(0, 1);
    if (base.isEmpty()) base = QStringLiteral("Operation");
    const QDir dir(folder);
    QString path = dir.filePath(base + QStringLiteral(".tidy"));
    for (int n = 2; QFileInfo::exists(path) || QFileInfo(path).isSymLink(); ++n)
        path = dir.filePath(QStringLiteral("%1 %2.tidy").arg(base).arg(n));
    return path;
}

bool QVTidyOperationRepository::insertObjectInOperationsAtIndex(const std::shared_ptr<QVOperation>& operation,
                                                                qsizetype index, QVError* error) {
    auto tidy = std::dynamic_pointer_cast<QVTidyOperation>(operation);
    if (!tidy) return false;
    if (tidy->path().isEmpty()) {
        // New operations go to the user's folder, never into the application's own.
        const QString folder = _sourcePath.isEmpty() ? Defaults::appSupportPathForFile(QStringLiteral("TidyConfigFiles")) : _sourcePath;
        if (folder.isEmpty() || !FileManagerUtilities::ensureDirectoryExists(folder)) {
            qvSetError(error, invalid(QStringLiteral("The folder of operations cannot be made.")));
            return false;
        }
        tidy->setPath(freePathForTitle(folder, tidy->title()));
    }
    if (!tidy->commit(error)) return false;
    return QVOperationRepository::insertObjectInOperationsAtIndex(operation, index, error);
}

bool QVTidyOperationRepository::removeObjectFromOperationsAtIndex(qsizetype index, QVError* error) {
    if (index < 0 || index >= countOfOperations()) return false;
    const QString path = objectInOperationsAtIndex(index)->path();
    if (!path.isEmpty() && QFileInfo::exists(path) && !QFile::remove(path)) {
        qvSetError(error, QVError::posix(EACCES, QStringLiteral("delete"), path));
        return false;
    }
    return QVOperationRepository::removeObjectFromOperationsAtIndex(index, error);
}

bool QVTidyOperationRepository::replaceObjectInOperationsAtIndex(qsizetype index, const std::shared_ptr<QVOperation>& operation,
                                                                 QVError* error) {
    auto tidy = std::dynamic_pointer_cast<QVTidyOperation>(operation);
    if (!tidy || index < 0 || index >= countOfOperations()) return false;
    const QString oldPath = objectInOperationsAtIndex(index)->path();
    if (tidy->path().isEmpty()) tidy->setPath(oldPath);
    if (!tidy->commit(error)) return false;
    if (!oldPath.isEmpty() && oldPath != tidy->path()) QFile::remove(oldPath);
    mutableOperations()[index] = operation;
    return true;
}
