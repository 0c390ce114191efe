// The snippet store: loading the folder tree, menus, triggers, adding and migration.
#include "editor/QVSnippetRepository.h"

#include "platform/AppBundle.h"
#include "platform/AtomicFile.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/PropertyList.h"
#include "platform/QVRegex.h"
#include "platform/SystemLog.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"
#include "shell/MenuConstruction.h"
#include "shell/StringUtilities.h"

#include <QAction>
#include <QDir>
#include <QFileInfo>
#include <QMenu>
#include <QPointer>
#include <QRegularExpression>
#include <QTextBoundaryFinder>
#include <QSet>

namespace {

const QString MarkerFileName = QStringLiteral(".Qorvel");
const QString SnippetsPlist = QStringLiteral("snippets.plist");
// Codes of the store's errors (the application's error domain).
constexpr qint64 SnippetWriteError = 30;
constexpr qint64 SnippetExistsError = 31;

QVSnippetRepository::InsertHandler& insertHandler() {
    static QVSnippetRepository::InsertHandler handler;
    return handler;
}

QVSnippetRepository::AddSheet& addSheet() {
    static QVSnippetRepository::AddSheet sheet;
    return sheet;
}

bool ignored(const QString& name) { return name.startsWith(u'.') || name.endsWith(QStringLiteral("qvproj")); }

QVError writeSnippetFile(const QString& path, const QString& text) {
    QVError error;
    if (!AtomicFile::write(path, QVSnippet::fileData(text), &error)) {
        if (!error) error = QVError::app(SnippetWriteError, QStringLiteral("The snippet could not be written."));
        SystemLog::warning(QStringLiteral("snippet not written: %1: %2").arg(path, error.localizedDescription()));
        return error;
    }
    return {};
}

// A path in folder for name that no file takes yet: name, then "name 2", "name 3", ...
QString freePath(const QString& folder, const QString& name) {
    QString path = QDir(folder).filePath(name);
    for (int n = 2; QFileInfo::exists(path) || QFileInfo(path).isSymLink(); ++n)
        path = QDir(folder).filePath(QStringLiteral("%1 %2").arg(name).arg(n));
    return path;
}

}  // namespace

QString QVSnippetRepository::defaultSnippetsFolder() { return Defaults::appSupportPathForFile(QStringLiteral("snippets")); }

QString QVSnippetRepository::snippetsLocation() {
    const QString chosen = UserDefaults::standard().stringForKey(QString::fromLatin1(qvSnippetsLocation));
    return chosen.isEmpty() ? defaultSnippetsFolder() : chosen;
}

QVSnippetRepository& QVSnippetRepository::sharedRepository() {
    static QVSnippetRepository& repository = [] () -> QVSnippetRepository& {
        static QVSnippetRepository store(QString{});
        store._followsLocation = true;
        return store;
    }();
    return repository;
}

QVSnippetRepository::QVSnippetRepository(QString folder) : _folder(std::move(folder)) {}

const std::shared_ptr<const QVRegex>& QVSnippetRepository::keyComboPattern() {
    static const std::shared_ptr<const QVRegex> pattern =
        QVRegex::create(QStringLiteral("^#\\s+%%%\\{QVKeyEquivalent=([^\\}]+)\\}%%%"), QVRegex::MultiLine);
    return pattern;
}

const std::shared_ptr<const QVRegex>& QVSnippetRepository::keywordTriggerPattern() {
    static const std::shared_ptr<const QVRegex> pattern =
        QVRegex::create(QStringLiteral("^#\\s+%%%\\{QVKeywordComplete=([^\\}]+)\\}%%%"), QVRegex::MultiLine);
    return pattern;
}

void QVSnippetRepository::setInsertHandler(InsertHandler handler) { insertHandler() = std::move(handler); }
void QVSnippetRepository::setAddSheet(AddSheet sheet) { addSheet() = std::move(sheet); }
void QVSnippetRepository::setMainMenu(QMenu* menu) { _mainMenu = menu; }

// --- Loading ------------------------------------------------------------------------------------

std::shared_ptr<const QVSnippetRepository::Tree> QVSnippetRepository::loadTree() {
    auto tree = std::make_shared<Tree>();
    const QString folder = snippetsFolder();
    if (!QFileInfo::exists(QDir(folder).filePath(MarkerFileName))) migrate();
    QSet<QString> seen;
    // Depth first, each folder once (by its real path), entries by name.
    std::function<void(const QString&, QVSnippet*)> list = [&](const QString& folder, QVSnippet* parent) {
        const QString real = QFileInfo(folder).canonicalFilePath();
        if (real.isEmpty() || seen.contains(real)) return;
        seen.insert(real);
        const QFileInfoList entries =
            QDir(folder).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                       QDir::Name | QDir::IgnoreCase);
        for (const QFileInfo& entry : entries) {
            if (ignored(entry.fileName())) continue;
            const bool isFolder = entry.isDir();
            if (!isFolder && !entry.isFile()) continue;
            if (isFolder && seen.contains(entry.canonicalFilePath())) continue;
            auto snippet = std::make_shared<QVSnippet>(entry.filePath(), isFolder);
            snippet->parse();
            if (parent) parent->addObject(snippet);
            else tree->snippets.push_back(snippet);
            const QString trigger = snippet->keywordTrigger();
            if (!trigger.isEmpty()) tree->keywordTriggers.insert(trigger, snippet);
            if (isFolder) list(entry.filePath(), snippet.get());
        }
    };
    list(folder, nullptr);
    return tree;
}

std::shared_ptr<const QVSnippetRepository::Tree> QVSnippetRepository::tree() {
    {
        std::lock_guard guard(_lock);
        if (_tree) return _tree;
    }
    std::lock_guard loading(_loadLock);
    {
        std::lock_guard guard(_lock);
        if (_tree) return _tree;
    }
    std::shared_ptr<const Tree> built = loadTree();
    std::lock_guard guard(_lock);
    _tree = built;
    return _tree;
}

std::vector<std::shared_ptr<QVSnippet>> QVSnippetRepository::snippets() { return tree()->snippets; }

std::shared_ptr<QVSnippet> QVSnippetRepository::snippetForKeywordTrigger(const QString& word) const {
    std::shared_ptr<const Tree> current;
    {
        std::lock_guard guard(_lock);
        current = _tree;
    }
    return current ? current->keywordTriggers.value(word) : nullptr;
}

void QVSnippetRepository::reloadSnippets() {
    std::shared_ptr<const Tree> built;
    {
        std::lock_guard loading(_loadLock);
        built = loadTree();
        std::lock_guard guard(_lock);
        _tree = built;
    }
    const auto refill = [this, built] {
        if (QMenu* menu = _mainMenu.data()) fillMenu(menu, false, *built);
    };
    if (MainQueue::isMainThread()) refill();
    else MainQueue::postAndWait(refill);
    NotificationCenter::defaultCenter().post(QString::fromLatin1(QVSnippetsChangedNotification));
}

// --- Menus --------------------------------------------------------------------------------------

void QVSnippetRepository::buildMenu(QMenu* menu, bool useIndentation) {
    if (!menu) return;
    std::shared_ptr<const Tree> current = tree();
    if (MainQueue::isMainThread()) fillMenu(menu, useIndentation, *current);
    else MainQueue::postAndWait([&] { fillMenu(menu, useIndentation, *current); });
}

QList<MenuItemRep> QVSnippetRepository::itemReps(const std::vector<std::shared_ptr<QVSnippet>>& snippets, bool useIndentation) {
    QList<MenuItemRep> reps;
    std::function<void(QList<MenuItemRep>&, const std::vector<std::shared_ptr<QVSnippet>>&, qint64)> collect =
        [&](QList<MenuItemRep>& into, const std::vector<std::shared_ptr<QVSnippet>>& list, qint64 level) {
            for (const std::shared_ptr<QVSnippet>& snippet : list) {
                // The folder list holds folders only, their contents one level deeper.
                if (useIndentation && !snippet->isDirectory()) continue;
                MenuItemRep rep = snippet->menuItemRepWithIndentation(useIndentation ? level : 0, true);
                rep.setRepresentedObject(QVariant::fromValue(snippet));
                if (useIndentation) {
                    into.append(rep);
                    collect(into, snippet->children(), level + 1);
                    continue;
                }
                if (snippet->isDirectory() && !snippet->children().empty()) {
                    QList<MenuItemRep> submenu;
                    collect(submenu, snippet->children(), 0);
                    rep.setSubmenuReps(submenu);
                }
                into.append(rep);
            }
        };
    collect(reps, snippets, 0);
    return reps;
}

void QVSnippetRepository::fillMenu(QMenu* menu, bool useIndentation, const Tree& tree) {
    // The menu's own first four items stay.
    const QList<QAction*> items = menu->actions();
    for (qsizetype i = items.size() - 1; i >= 4; --i) {
        menu->removeAction(items[i]);
        if (items[i]->parent() == menu) delete items[i];
    }
    if (menu->actions().size() >= 2) menu->addSeparator();
    menu->addActions(MenuConstruction::menuItemsFromReps(itemReps(tree.snippets, useIndentation), menu,
                                                         [](const QString& action, QAction* item) {
        const auto snippet = item->data().value<std::shared_ptr<QVSnippet>>();
        if (action == QStringLiteral("insertSnippet:") && snippet && insertHandler()) insertHandler()(snippet, item);
    }));
}

// --- Adding -------------------------------------------------------------------------------------

void QVSnippetRepository::addSnippetWithString(const QString& text, QWidget* sender) {
    if (addSheet()) addSheet()(*this, text, sender);
}

QString QVSnippetRepository::safeFileName(const QString& title) {
    QString name = title;
    const qsizetype lineEnd = name.indexOf(QRegularExpression(QStringLiteral("[\\r\\n\\x{2028}\\x{2029}]")));
    if (lineEnd >= 0) name.truncate(lineEnd);
    for (QChar& c : name)
        if (c.category() == QChar::Other_Control) c = u'-';
    // Path steps join with "-": "../x" is "x", "a/b" is "a-b".
    QStringList steps = name.split(u'/');
    steps.removeIf([](const QString& step) { return step.trimmed().isEmpty() || step == u'.' || step == QStringLiteral(".."); });
    name = steps.join(u'-');
    qsizetype start = 0;
    while (start < name.size() && (name[start] == u'.' || name[start].isSpace())) ++start;
    name = name.mid(start).trimmed();
    // Long names are cut to what a Linux file name holds (255 bytes of UTF-8), between whole
    // characters: a surrogate pair or a letter and its accents stay together.
    QTextBoundaryFinder characters(QTextBoundaryFinder::Grapheme, name);
    qsizetype kept = 0, bytes = 0;
    for (qsizetype next = characters.toNextBoundary(); next > 0; next = characters.toNextBoundary()) {
        bytes += QStringView(name).mid(kept, next - kept).toUtf8().size();
        if (bytes > 255) break;
        kept = next;
    }
    name.truncate(kept);
    name = name.trimmed();
    return name.isEmpty() ? QStringLiteral("Untitled") : name;
}

bool QVSnippetRepository::snippetAddDidFinish(int returnCode, const QString& folder, const QString& title,
                                              const QString& text, const ReplaceQuestion& replace, QVError* error) {
    if (returnCode != 1) return false;
    const QString target = folder.isEmpty() ? snippetsFolder() : folder;
    if (!QDir().mkpath(target)) {
        qvSetError(error, QVError::app(SnippetWriteError, QStringLiteral("The snippets folder could not be made.")));
        return false;
    }
    const QString path = QDir(target).filePath(safeFileName(title));
    if (QFileInfo::exists(path) || QFileInfo(path).isSymLink()) {
        if (QFileInfo(path).isDir() || !replace || !replace(path)) {
            qvSetError(error, QVError::app(SnippetExistsError,
                                           QStringLiteral("A snippet named \"%1\" already exists.").arg(QFileInfo(path).fileName())));
            return false;
        }
    }
    if (const QVError failure = writeSnippetFile(path, text)) {
        qvSetError(error, failure);
        return false;
    }
    reloadSnippets();
    return true;
}

// --- Migration ----------------------------------------------------------------------------------

bool QVSnippetRepository::migrate(QVError* error) {
    const QString support = QFileInfo(snippetsFolder()).absolutePath();
    QStringList titles;
    QStringList bodies;
    const auto takeDictionary = [&](const QVariant& plist) {
        const QVariantMap map = plist.toMap();
        const QVariantList t = map.value(QStringLiteral("titles")).toList();
        const QVariantList s = map.value(QStringLiteral("snippets")).toList();
        for (qsizetype i = 0; i < std::min(t.size(), s.size()); ++i) {
            if (t[i].typeId() != QMetaType::QString || s[i].typeId() != QMetaType::QString) continue;
            titles.append(t[i].toString());
            bodies.append(s[i].toString());
        }
    };
    const QString dataList = QDir(support).filePath(QStringLiteral("data/") + SnippetsPlist);
    if (QFileInfo::exists(dataList)) {
        takeDictionary(PropertyList::readFile(dataList));
    } else {
        takeDictionary(PropertyList::readFile(AppBundle::main().pathForResource(QStringLiteral("defaultSnippets"), QStringLiteral("plist"))));
        const QString oldest = QDir(support).filePath(SnippetsPlist);
        if (QFileInfo::exists(oldest)) {
            for (const QVariant& value : PropertyList::readFile(oldest).toList()) {
                if (value.typeId() != QMetaType::QString) continue;
                const QString body = value.toString();
                titles.append(body);  // the first line names it (safeFileName cuts at the break)
                bodies.append(body);
            }
        }
    }
    if (!QDir().mkpath(snippetsFolder())) {
        qvSetError(error, QVError::app(SnippetWriteError, QStringLiteral("The snippets folder could not be made.")));
        return false;
    }
    QVError firstFailure;
    for (qsizetype i = 0; i < titles.size(); ++i) {
        // A file a failed run already wrote stays; any other file of that name is kept too.
        const QString name = safeFileName(titles[i]);
        if (QVSnippet::readFile(QDir(snippetsFolder()).filePath(name)) == bodies[i]) continue;
        const QVError failure = writeSnippetFile(freePath(snippetsFolder(), name), bodies[i]);
        if (failure && !firstFailure) firstFailure = failure;
    }
    if (firstFailure) {
        // Without the marker the next load tries again; the files written stay.
        qvSetError(error, firstFailure);
        return false;
    }
    QVError markerError;
    if (!AtomicFile::write(QDir(snippetsFolder()).filePath(MarkerFileName), QByteArray(), &markerError)) {
        qvSetError(error, markerError ? markerError : QVError::app(SnippetWriteError, QStringLiteral("The snippets folder could not be marked.")));
        return false;
    }
    return true;
}
