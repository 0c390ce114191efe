// The registry of language bundles.
#include "languages/QVBundleRepository.h"

#include "platform/NotificationCenter.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

namespace {

const QString kBundlesFolder = QStringLiteral("Bundles");

}  // namespace

QVBundleRepository& QVBundleRepository::sharedRepository() {
    // Bundles stop observing the notification centre when they go: it must be made before the
    // registry so that it is destroyed after it at exit.
    NotificationCenter::defaultCenter();
    static QVBundleRepository repository;
    return repository;
}

QVBundleRepository::QVBundleRepository(UserDefaults* defaults) : _defaults(defaults) {
    for (const QVariant& identifier : this->defaults().arrayForKey(QLatin1String(QVHiddenBundles)))
        if (identifier.typeId() == QMetaType::QString) _hiddenBundles.insert(identifier.toString());
}

QVBundleRepository::~QVBundleRepository() = default;

UserDefaults& QVBundleRepository::defaults() const { return _defaults ? *_defaults : UserDefaults::standard(); }

void QVBundleRepository::loadIfNeeded(bool mapIsEmpty) {
    if (!_loaded || mapIsEmpty) loadBundles();
}

void QVBundleRepository::loadBundles() {
    std::lock_guard locker(_lock);
    _loaded = true;
    const QString userFolder = QDir::cleanPath(Defaults::appSupportPathForFile(kBundlesFolder)) + QLatin1Char('/');
    for (const QString& path : Defaults::pathsForResourcesOfType(QVBundle::BundleExtension, kBundlesFolder)) {
        if (!QFileInfo(path).isDir()) continue;
        const std::shared_ptr<QVBundle> bundle = QVBundle::bundleWithPath(path, true);
        if (!bundle) continue;
        const QString identifier = bundle->bundleIdentifier();
        if (_bundlesByID.contains(identifier) || _hiddenBundles.contains(identifier)) continue;
        bundle->loadDefinitions();
        _bundlesByID.insert(identifier, bundle);
        _registrationOrder.insert(identifier, _nextRegistration++);
        if (!QDir::cleanPath(path).startsWith(userFolder)) _builtInBundles.insert(identifier);
        registerParser(bundle);
    }
    refreshBundleFileTypes();
    const QVParserResolver resolver = [this](const QString& parserIdentifier) -> std::shared_ptr<QVParser> {
        const std::shared_ptr<QVBundle> bundle = _bundlesByParser.value(parserIdentifier);
        return bundle ? bundle->parser() : nullptr;
    };
    for (const std::shared_ptr<QVBundle>& bundle : std::as_const(_bundlesByID))
        if (const std::shared_ptr<QVParser> parser = bundle->parser()) parser->finishLoad(resolver);
}

void QVBundleRepository::registerParser(const std::shared_ptr<QVBundle>& bundle) {
    const QString parserIdentifier = bundle->identifier();
    if (!parserIdentifier.isEmpty()) _bundlesByParser.insert(parserIdentifier, bundle);
}

bool QVBundleRepository::ranksBefore(const std::shared_ptr<QVBundle>& a, const std::shared_ptr<QVBundle>& b) const {
    const QString first = a->bundleIdentifier();
    const QString second = b->bundleIdentifier();
    const bool firstBuiltIn = _builtInBundles.contains(first);
    const bool secondBuiltIn = _builtInBundles.contains(second);
    if (firstBuiltIn != secondBuiltIn) return secondBuiltIn;
    return first < second;
}

void QVBundleRepository::refreshBundleFileTypes() {
    std::lock_guard locker(_lock);
    _bundlesByFileType.clear();
    for (const std::shared_ptr<QVBundle>& bundle : std::as_const(_bundlesByID)) {
        for (const QString& extension : bundle->fileTypes()) {
            std::shared_ptr<QVBundle>& slot = _bundlesByFileType[extension];
            if (!slot || ranksBefore(bundle, slot)) slot = bundle;
        }
    }
}

QList<std::shared_ptr<QVBundle>> QVBundleRepository::bundles(const Comparison& compare) {
    QList<std::shared_ptr<QVBundle>> list;
    {
        std::lock_guard locker(_lock);
        loadIfNeeded(_bundlesByID.isEmpty());
        list = _bundlesByID.values();
    }
    if (compare)
        std::stable_sort(list.begin(), list.end(), [&compare](const std::shared_ptr<QVBundle>& a, const std::shared_ptr<QVBundle>& b) {
            return compare(*a, *b) < 0;
        });
    return list;
}

std::shared_ptr<QVBundle> QVBundleRepository::bundleForBundleIdentifier(const QString& bundleIdentifier) {
    std::lock_guard locker(_lock);
    loadIfNeeded(_bundlesByID.isEmpty());
    return _bundlesByID.value(bundleIdentifier);
}

std::shared_ptr<QVBundle> QVBundleRepository::bundleForIdentifier(const QString& parserIdentifier) {
    if (parserIdentifier.isNull()) return nullptr;
    std::lock_guard locker(_lock);
    loadIfNeeded(_bundlesByParser.isEmpty());
    return _bundlesByParser.value(parserIdentifier);
}

std::shared_ptr<QVParser> QVBundleRepository::parserForIdentifier(const QString& parserIdentifier) {
    const std::shared_ptr<QVBundle> bundle = bundleForIdentifier(parserIdentifier);
    return bundle ? bundle->parser() : nullptr;
}

std::shared_ptr<QVBundle> QVBundleRepository::bundleForFileCategory(const QString&, const QString& extension) {
    std::lock_guard locker(_lock);
    loadIfNeeded(_bundlesByFileType.isEmpty());
    return _bundlesByFileType.value(extension);
}

std::shared_ptr<QVBundle> QVBundleRepository::addBundleWithTitle(const QString& title, const QString& parserIdentifier) {
    std::lock_guard locker(_lock);
    // Adding to a registry that never loaded would keep every bundle on disk out of it for good.
    loadIfNeeded(false);
    for (const std::shared_ptr<QVBundle>& bundle : std::as_const(_bundlesByID))
        if (bundle->title().compare(title, Qt::CaseInsensitive) == 0) return bundle;
    if (_bundlesByParser.contains(parserIdentifier)) return nullptr;
    const std::shared_ptr<QVBundle> bundle = QVBundle::bundleWithTitle(title, parserIdentifier);
    const QString identifier = bundle->bundleIdentifier();
    _bundlesByID.insert(identifier, bundle);
    _registrationOrder.insert(identifier, _nextRegistration++);
    registerParser(bundle);
    return bundle;
}

bool QVBundleRepository::removeBundle(const std::shared_ptr<QVBundle>& bundle) {
    if (!bundle) return true;
    std::lock_guard locker(_lock);
    loadIfNeeded(false);
    const QString identifier = bundle->bundleIdentifier();
    _hiddenBundles.insert(identifier);
    QStringList hidden(_hiddenBundles.cbegin(), _hiddenBundles.cend());
    hidden.sort();
    defaults().setObject(hidden, QLatin1String(QVHiddenBundles));

    if (_bundlesByID.value(identifier) == bundle) {
        _bundlesByID.remove(identifier);
        _registrationOrder.remove(identifier);
        _builtInBundles.remove(identifier);
    }
    // Every parser identifier it answered for falls to the latest other bundle that has it.
    QStringList freed;
    for (auto it = _bundlesByParser.begin(); it != _bundlesByParser.end();) {
        if (it.value() == bundle) {
            freed.append(it.key());
            it = _bundlesByParser.erase(it);
        } else {
            ++it;
        }
    }
    for (const QString& parserIdentifier : std::as_const(freed)) {
        std::shared_ptr<QVBundle> heir;
        for (const std::shared_ptr<QVBundle>& other : std::as_const(_bundlesByID)) {
            if (other->identifier() != parserIdentifier) continue;
            if (!heir || _registrationOrder.value(other->bundleIdentifier()) > _registrationOrder.value(heir->bundleIdentifier()))
                heir = other;
        }
        if (heir) _bundlesByParser.insert(parserIdentifier, heir);
    }
    refreshBundleFileTypes();
    return true;
}
