#include "kits/trellis/TRLKitRegistry.h"

#include <QMutex>

#include <map>

namespace {

struct Entry {
    std::shared_ptr<TRLKit> kit;
    std::shared_ptr<TRLLegacyKit> legacy;
};

QMutex g_lock;
std::map<QString, Entry>& entries() {
    static std::map<QString, Entry> map;
    return map;
}

}  // namespace

void TRLKitRegistry::registerKit(std::shared_ptr<TRLKit> kit) {
    if (!kit) return;
    QMutexLocker locker(&g_lock);
    entries()[kit->kitName()] = {kit, nullptr};
}

void TRLKitRegistry::registerLegacyKit(std::shared_ptr<TRLLegacyKit> kit) {
    if (!kit) return;
    QMutexLocker locker(&g_lock);
    entries()[kit->kitName()] = {nullptr, kit};
}

void TRLKitRegistry::registerOther(const QString& name) {
    QMutexLocker locker(&g_lock);
    entries()[name] = {};
}

std::shared_ptr<TRLKit> TRLKitRegistry::kit(const QString& name) {
    QMutexLocker locker(&g_lock);
    auto it = entries().find(name);
    return it == entries().end() ? nullptr : it->second.kit;
}

std::shared_ptr<TRLLegacyKit> TRLKitRegistry::legacyKit(const QString& name) {
    QMutexLocker locker(&g_lock);
    auto it = entries().find(name);
    return it == entries().end() ? nullptr : it->second.legacy;
}

bool TRLKitRegistry::exists(const QString& name) {
    QMutexLocker locker(&g_lock);
    return entries().count(name) > 0;
}

void TRLKitRegistry::clear() {
    QMutexLocker locker(&g_lock);
    entries().clear();
}
