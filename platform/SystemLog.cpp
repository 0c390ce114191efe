// The system log behind a replaceable sink; a replaced sink is never called once setSink returns.
#include "platform/SystemLog.h"

#include <QSet>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <syslog.h>

namespace {

// A sink with the threads inside it right now. setSink swaps in a new slot and waits until no
// other thread is still inside the old one, so a test can capture lines into a local and let the
// local go the moment it restores the previous sink. Calls on the thread that replaces the sink
// (a sink replacing itself) are further up its own stack and are not waited for.
struct SinkSlot {
    SystemLog::Sink sink;
    std::vector<std::thread::id> inFlight;
};

std::mutex g_lock;
std::condition_variable g_idle;
std::shared_ptr<SinkSlot> g_slot;

void toSyslog(int priority, const QString& message) {
    static const bool opened = [] {
        // Standard error as well: a desktop may run no syslog daemon, and whoever starts Qorvel
        // from a terminal sees its errors there.
        openlog("Qorvel", LOG_PID | LOG_PERROR, LOG_USER);
        return true;
    }();
    (void)opened;
    syslog(priority, "%s", message.toLocal8Bit().constData());
}

}  // namespace

void SystemLog::log(int priority, const QString& message) {
    const std::thread::id self = std::this_thread::get_id();
    std::shared_ptr<SinkSlot> slot;
    {
        std::lock_guard<std::mutex> locker(g_lock);
        slot = g_slot;
        if (slot) slot->inFlight.push_back(self);
    }
    if (!slot) {
        toSyslog(priority, message);
        return;
    }
    struct Leave {
        SinkSlot& slot;
        std::thread::id self;
        ~Leave() {
            std::lock_guard<std::mutex> locker(g_lock);
            slot.inFlight.erase(std::find(slot.inFlight.begin(), slot.inFlight.end(), self));
            g_idle.notify_all();
        }
    } leave{*slot, self};
    slot->sink(priority, message);
}

void SystemLog::setSink(Sink sink) {
    std::shared_ptr<SinkSlot> next;
    if (sink) {
        next = std::make_shared<SinkSlot>();
        next->sink = std::move(sink);
    }
    const std::thread::id self = std::this_thread::get_id();
    std::unique_lock<std::mutex> locker(g_lock);
    std::shared_ptr<SinkSlot> previous = std::exchange(g_slot, std::move(next));
    if (!previous) return;
    g_idle.wait(locker, [&] {
        return std::all_of(previous->inFlight.begin(), previous->inFlight.end(),
                           [&](std::thread::id t) { return t == self; });
    });
}

void SystemLog::warningOnce(const QString& message) {
    static std::mutex lock;
    static QSet<QString> said;
    {
        std::lock_guard<std::mutex> locker(lock);
        if (said.contains(message)) return;
        said.insert(message);
    }
    warning(message);
}
