#pragma once

// Process-wide record of live service objects. libnats may still run a callback after the
// handle it belongs to was destroyed; forwarders look their closure up here before touching it.
namespace vek_nats::detail {

void registry_add(const void* obj);
// The object is no longer a whole role object (its role destructor has run): message
// deliveries, which reach role members, are refused from now on; connection events,
// which reach the service core only, still arrive.
void registry_retire_role(const void* obj);
// Waits until no callback is running on any object, so a removed object is never touched again.
void registry_remove(const void* obj);
// Takes the registry's shared lock; true when obj is live (and, with whole_role, still a whole
// role object). Pair with registry_leave().
bool registry_enter(const void* obj, bool whole_role);
void registry_leave();

}  // namespace vek_nats::detail
