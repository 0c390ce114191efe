#include "tools/QVBrowser.h"

#include "platform/FileName.h"
#include "platform/SystemLog.h"
#include "shell/ScratchFolder.h"
#include "tools/QVBrowserRepository.h"
#include "tools/QVDesktopEntry.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QUrl>

#include <cerrno>
#include <cstring>
#include <mutex>

#include <sys/stat.h>
#include <unistd.h>

namespace {

std::mutex seamsLock;

QVBrowser::BuiltInPreview& builtInPreview() {
    static QVBrowser::BuiltInPreview preview;
    return preview;
}

bool startDetached(const QString& program, const QStringList& arguments, const QString& folder) {
    return QProcess::startDetached(program, arguments, folder);
}

QVBrowser::Starter& starter() {
    static QVBrowser::Starter start = startDetached;
    return start;
}

bool start(const QString& program, const QStringList& arguments) {
    QVBrowser::Starter run;
    {
        std::lock_guard lock(seamsLock);
        run = starter();
    }
    const QString folder = QVBrowser::startFolder();
    return run && !folder.isEmpty() && run(program, arguments, folder);
}

bool isEmptyFolderOfOurs(const QByteArray& path) {
    struct stat st {};
    return ::lstat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && FileName::entries(FileName::decode(path)).isEmpty() &&
           (st.st_mode & 07777) == 0500;
}

}  // namespace

std::shared_ptr<QVBrowser> QVBrowser::fromPlist(const QVariantMap& entry) {
    const QString path = entry.value(QStringLiteral("path")).toString();
    const QString name = entry.value(QStringLiteral("name")).toString();
    if (path.isEmpty() && name != BuiltInName && name != AllName) return nullptr;
    auto browser = std::make_shared<QVBrowser>();
    browser->_browserPath = path;
    browser->_browserName = name;
    browser->_browserVersion = entry.value(QStringLiteral("version")).toString();
    return browser;
}

std::shared_ptr<QVBrowser> QVBrowser::defaultBrowser() { return QVBrowserRepository::sharedInstance().firstBrowser(); }

std::shared_ptr<QVOperation> QVBrowser::copy() const {
    auto result = std::make_shared<QVBrowser>();
    copyInto(*result);
    result->_browserPath = _browserPath;
    result->_browserName = _browserName;
    result->_browserVersion = _browserVersion;
    return result;
}

QList<MenuItemRep> QVBrowser::menuItemRepresentations() {
    MenuItemRep item = MenuItemRep::withTitle(_browserName, QStringLiteral("previewInBrowser"));
    item.setRepresentedObject(QVariant::fromValue(std::static_pointer_cast<QVBrowser>(shared_from_this())));
    if (_browserPath.startsWith(QLatin1Char('/'))) item.setIconPath(_browserPath);
    else item.setImageIsFile(true);
    return {item};
}

void QVBrowser::setBuiltInPreview(BuiltInPreview preview) {
    std::lock_guard lock(seamsLock);
    builtInPreview() = std::move(preview);
}

void QVBrowser::setStarter(Starter run) {
    std::lock_guard lock(seamsLock);
    starter() = run ? std::move(run) : Starter(startDetached);
}

QString QVBrowser::startFolder() {
    static std::mutex made;
    std::lock_guard lock(made);
    const QString scratch = ScratchFolder::privatePath();
    if (scratch.isEmpty()) return {};
    const QString folder = scratch + QStringLiteral("/browser-start");
    const QByteArray path = FileName::encode(folder);
    if (isEmptyFolderOfOurs(path)) return folder;
    // Whatever stands there (a file, a link, a folder someone wrote into) goes; the folder it
    // stands in is ours and closed to others, so nobody can slip anything in between.
    struct stat st {};
    if (::lstat(path.constData(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            ::chmod(path.constData(), 0700);
            QDir(folder).removeRecursively();
        } else {
            ::unlink(path.constData());
        }
    }
    if (::mkdir(path.constData(), 0700) != 0 || ::chmod(path.constData(), 0500) != 0 || !isEmptyFolderOfOurs(path)) {
        SystemLog::error(QStringLiteral("No empty folder to start browsers in could be made at %1: %2").arg(folder, QString::fromLocal8Bit(strerror(errno))));
        return {};
    }
    return folder;
}

bool QVBrowser::openWithDefaultHandler(const QString& target) {
    if (start(QStringLiteral("xdg-open"), {target})) return true;
    SystemLog::error(QStringLiteral("EXEC FAILED: %1, %2").arg(QStringLiteral("xdg-open"), target));
    return false;
}

QString QVBrowser::refusalForEntry(const QString& entryPath) {
    const std::optional<QVDesktopEntry> entry = QVDesktopEntry::read(entryPath);
    if (!entry) return QStringLiteral("its desktop entry cannot be read");
    // The verdict on an entry never depends on the page, so any page stands for all.
    QString why;
    return entry->commandFor(QStringLiteral("/page.html"), &why) ? QString() : why;
}

void QVBrowser::performActionWithObject(const QVariant& object) { open(object.toString()); }

QStringList QVBrowser::open(const QString& target) {
    if (target.isEmpty()) return {};
    if (isBuiltIn()) {
        BuiltInPreview show;
        {
            std::lock_guard lock(seamsLock);
            show = builtInPreview();
        }
        if (show) show(target.startsWith(QLatin1Char('/')) ? QUrl::fromLocalFile(target).toString() : target);
        return {};
    }
    if (!fansOut()) {
        const std::optional<QVDesktopEntry> entry = QVDesktopEntry::read(_browserPath);
        QString why = entry ? QString() : QStringLiteral("its desktop entry cannot be read");
        const std::optional<QStringList> command = entry ? entry->commandFor(target, &why) : std::nullopt;
        if (command && start(command->first(), command->mid(1))) return {};
        if (command) why = QStringLiteral("%1 could not be started").arg(command->first());
        SystemLog::warning(QStringLiteral("The browser %1 (%2) was not started: %3; opening %4 with the default handler")
                               .arg(_browserName, _browserPath, why, target));
        openWithDefaultHandler(target);
        return {QStringLiteral("\u201c%1\u201d: %2.").arg(_browserName, why)};
    }
    // Every real browser and the built-in row, once each: rows that fan out themselves are
    // skipped, so two "All" rows (or a path that names no file) never call each other.
    QStringList refused;
    for (const auto& browser : QVBrowserRepository::sharedInstance().browsers())
        if (browser.get() != this && !browser->fansOut()) refused += browser->open(target);
    return refused;
}
