#include "internal/registry.h"

#include <mutex>
#include <shared_mutex>
#include <unordered_map>

namespace vek_nats::detail {
namespace {

// Callbacks hold the lock shared while they run; adding and removing objects holds it
// exclusively and never calls into libnats, so a callback can never deadlock against it.
std::shared_mutex& registry_mutex() {
    static std::shared_mutex m;
    return m;
}

// Live object -> whether its role part still exists.
std::unordered_map<const void*, bool>& live_objects() {
    static std::unordered_map<const void*, bool> s;
    return s;
}

}  // namespace

void registry_add(const void* obj) {
    std::unique_lock<std::shared_mutex> lock(registry_mutex());
    live_objects()[obj] = true;
}

void registry_retire_role(const void* obj) {
    std::unique_lock<std::shared_mutex> lock(registry_mutex());
    const auto it = live_objects().find(obj);
    if (it != live_objects().end()) it->second = false;
}

void registry_remove(const void* obj) {
    std::unique_lock<std::shared_mutex> lock(registry_mutex());
    live_objects().erase(obj);
}

bool registry_enter(const void* obj, bool whole_role) {
    registry_mutex().lock_shared();
    const auto it = live_objects().find(obj);
    return it != live_objects().end() && (it->second || !whole_role);
}

void registry_leave() { registry_mutex().unlock_shared(); }

}  // namespace vek_nats::detail
