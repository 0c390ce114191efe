// Relative and absolute paths between files, and free names for copies.
#include "shell/StringPaths.h"

#include "platform/AppBundle.h"

#include <QFileInfo>
#include <QStringList>

#include <algorithm>

namespace {

// The folder of a path without its trailing "/" ("/" for the root, "" for a bare name).
QString folderOf(const QString& path) {
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    if (slash < 0) return {};
    if (slash == 0) return QStringLiteral("/");
    return path.left(slash);
}

QString parentOf(const QString& folder) {
    if (folder.isEmpty() || folder == QLatin1String("/")) return folder;
    return folderOf(folder);
}

QString join(const QString& folder, const QString& rest) {
    if (rest.isEmpty()) return folder;
    if (folder.isEmpty()) return rest;
    if (folder.endsWith(QLatin1Char('/'))) return folder + rest;
    return folder + QLatin1Char('/') + rest;
}

}  // namespace

QString StringPaths::relativePathTo(const QString& path, const QString& target) {
    if (path == QVLocalized(QStringLiteral("Untitled"))) return target;
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    const QString base = path.left(slash + 1);  // the file's folder with its "/"
    if (target.startsWith(base)) return target.mid(base.size());

    const QStringList baseParts = base.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    const QStringList targetParts = target.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    // Only folders of the target can be shared, never its file name.
    const qsizetype targetFolders = std::max<qsizetype>(targetParts.size() - 1, 0);
    qsizetype common = 0;
    while (common < baseParts.size() && common < targetFolders && baseParts[common] == targetParts[common])
        ++common;
    QString result;
    for (qsizetype i = common; i < baseParts.size(); ++i) result += QStringLiteral("../");
    return result + targetParts.mid(common).join(QLatin1Char('/'));
}

QString StringPaths::absolutePathFromFile(const QString& written, const QString& file, const QString& base) {
    if (!base.isNull() && written.startsWith(QLatin1Char('/'))) {
        QString root = base;
        while (root.endsWith(QLatin1Char('/'))) root.chop(1);
        return root + written;
    }
    QString folder = file.endsWith(QLatin1Char('/')) ? file : folderOf(file);
    while (folder.size() > 1 && folder.endsWith(QLatin1Char('/'))) folder.chop(1);
    const QStringList parts = written.split(QLatin1Char('/'));
    qsizetype i = 0;
    for (; i < parts.size(); ++i) {
        const QString& part = parts[i];
        if (part.isEmpty() || part == QLatin1String(".")) continue;
        if (part == QLatin1String("..")) {
            folder = parentOf(folder);
            continue;
        }
        break;
    }
    return join(folder, parts.mid(i).join(QLatin1Char('/')));
}

QString StringPaths::fullyQualifiedPathTo(const QString& path, const QString& relative) {
    if (relative.contains(QLatin1Char(':'))) return relative;
    QString folder = folderOf(path);
    QString rest = relative;
    const qsizetype ups = rest.count(QStringLiteral("../"));
    rest.remove(QStringLiteral("../"));
    for (qsizetype i = 0; i < ups; ++i) folder = parentOf(folder);
    return join(folder, rest);
}

QString StringPaths::filenameForDuplicateOfFile(const QString& file, const QString& folder) {
    const QString name = file.section(QLatin1Char('/'), -1);
    // A leading dot belongs to the name, not to an extension.
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const bool hasExtension = dot > 0;
    const QString stem = hasExtension ? name.left(dot) : name;
    const QString extension = hasExtension ? name.mid(dot) : QString();
    const auto taken = [&](const QString& candidate) {
        const QFileInfo info(join(folder, candidate));
        return info.exists() || info.isSymLink();
    };
    constexpr int limit = 100000;
    for (int n = 1; n <= limit; ++n) {
        const QString candidate = n == 1 ? QStringLiteral("%1 copy%2").arg(stem, extension)
                                         : QStringLiteral("%1 copy %2%3").arg(stem).arg(n).arg(extension);
        if (!taken(candidate)) return candidate;
    }
    return {};
}
