#pragma once

// Process-wide record of live service objects. libnats may still run a callback after the
// handle it belongs to was destroyed; forwarders look their closure up here before touching it.
namespace vek_nats::detail {

void registry_add(const void* obj);
// The object stops being a whole role object (its role destructor runs): message deliveries,
// which reach role members, are refused from now on, and those running are waited for;
// connection events, which reach the service core only, still arrive.
void registry_retire_role(const void* obj);
// Refuses further callbacks on obj and waits until those running on it have returned.
void registry_remove(const void* obj);
// True when obj is live (with whole_role: still a whole role object); the callback then counts
// as running on it until registry_leave with the same arguments.
bool registry_enter(const void* obj, bool whole_role);
void registry_leave(const void* obj, bool whole_role);

}  // namespace vek_nats::detail
