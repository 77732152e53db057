#include "internal/registry.h"

#include <condition_variable>
#include <mutex>
#include <unordered_map>

namespace vek_nats::detail {
namespace {

struct entry {
    bool role_alive = true;
    int callbacks = 0;       // running on the object
    int role_callbacks = 0;  // of those, running on its role part
};

// One short-held mutex; waits are per object, so a busy object never holds up another's
// construction or destruction. Nothing here calls into libnats.
struct registry {
    std::mutex mutex;
    std::condition_variable idle;
    std::unordered_map<const void*, entry> live;
};

registry& the_registry() {
    static registry r;
    return r;
}

}  // namespace

void registry_add(const void* obj) {
    registry& r = the_registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.live[obj] = entry{};
}

void registry_retire_role(const void* obj) {
    registry& r = the_registry();
    std::unique_lock<std::mutex> lock(r.mutex);
    const auto it = r.live.find(obj);
    if (it == r.live.end()) return;
    it->second.role_alive = false;
    r.idle.wait(lock, [&] { return it->second.role_callbacks == 0; });
}

void registry_remove(const void* obj) {
    registry& r = the_registry();
    std::unique_lock<std::mutex> lock(r.mutex);
    const auto it = r.live.find(obj);
    if (it == r.live.end()) return;
    it->second.role_alive = false;
    r.idle.wait(lock, [&] { return it->second.callbacks == 0; });
    r.live.erase(it);
}

bool registry_enter(const void* obj, bool whole_role) {
    registry& r = the_registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    const auto it = r.live.find(obj);
    if (it == r.live.end() || (whole_role && !it->second.role_alive)) return false;
    ++it->second.callbacks;
    if (whole_role) ++it->second.role_callbacks;
    return true;
}

void registry_leave(const void* obj, bool whole_role) {
    registry& r = the_registry();
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        const auto it = r.live.find(obj);
        if (it == r.live.end()) return;
        --it->second.callbacks;
        if (whole_role) --it->second.role_callbacks;
        wake = it->second.callbacks == 0 || (whole_role && it->second.role_callbacks == 0);
    }
    if (wake) r.idle.notify_all();
}

}  // namespace vek_nats::detail
