#include "internal/registry.h"

#include <mutex>
#include <shared_mutex>
#include <unordered_set>

namespace vek_nats::detail {
namespace {

// Callbacks hold the lock shared while they run; adding and removing objects holds it
// exclusively and never calls into libnats, so a callback can never deadlock against it.
std::shared_mutex& registry_mutex() {
    static std::shared_mutex m;
    return m;
}

std::unordered_set<const void*>& live_objects() {
    static std::unordered_set<const void*> s;
    return s;
}

}  // namespace

void registry_add(const void* obj) {
    std::unique_lock<std::shared_mutex> lock(registry_mutex());
    live_objects().insert(obj);
}

void registry_remove(const void* obj) {
    std::unique_lock<std::shared_mutex> lock(registry_mutex());
    live_objects().erase(obj);
}

bool registry_enter(const void* obj) {
    registry_mutex().lock_shared();
    return live_objects().count(obj) != 0;
}

void registry_leave() { registry_mutex().unlock_shared(); }

}  // namespace vek_nats::detail
