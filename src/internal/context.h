#pragma once

// What libnats' callbacks of one connection reach through their closure. libnats 3.4 calls
// back after natsConnection_Destroy and after natsSubscription_Destroy returned, when the
// service object may be gone (or torn down and connected anew); the context outlives every
// such callback and tells it whether the object still listens. It is released by libnats' own
// signals that it is done: the connection's closed callback (only fired for a connection that
// was made) and each subscription's completion callback.
#include <nats/nats.h>

#include <atomic>

#include "internal/gate.h"

namespace vek_nats::detail {

struct core;

struct context {
    explicit context(core* of) : owner(of) {}
    context(const context&) = delete;
    context& operator=(const context&) = delete;

    void retain() { m_refs.fetch_add(1, std::memory_order_relaxed); }
    void release() {
        if (m_refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }

    // A callback may use the owner between a successful enter and its leave.
    bool enter() { return m_listening.enter(); }
    void leave() { m_listening.leave(); }
    // The object stops listening: refuses further callbacks, waits for those inside it.
    void kill() {
        m_listening.close();
        m_listening.wait();
    }

    // The callbacks handed to libnats, closure a context (a sub_ref for subscriptions).
    static void on_error(natsConnection* nc, natsSubscription* sub, natsStatus s, void* closure);
    static void on_closed(natsConnection* nc, void* closure);
    static void on_disconnected(natsConnection* nc, void* closure);
    static void on_reconnected(natsConnection* nc, void* closure);
    static void on_connected(natsConnection* nc, void* closure);
    static void on_message(natsConnection* nc, natsSubscription* sub, natsMsg* msg, void* closure);
    static void on_complete(void* closure);

    core* const owner;

private:
    std::atomic<int> m_refs{1};  // the object's own, until destroy()
    gate m_listening;            // never opened again once killed
};

// One subscription handle, released when everyone who may still use it let go: its slot
// (until unsubscribe or destroy frees it), libnats (until the completion callback of an
// asynchronous subscription) and each recv_sync waiting on it.
struct sub_ref {
    // Made before the subscription, since it is the closure of its message handler.
    explicit sub_ref(context* owner) : ctx(owner) { ctx->retain(); }
    sub_ref(const sub_ref&) = delete;
    sub_ref& operator=(const sub_ref&) = delete;

    void retain() { m_refs.fetch_add(1, std::memory_order_relaxed); }
    void release() {
        if (m_refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
        natsSubscription_Destroy(handle);
        ctx->release();
        delete this;
    }

    context* const ctx;
    natsSubscription* handle = nullptr;  // set once the subscription is made

private:
    std::atomic<int> m_refs{1};  // the slot's
};

}  // namespace vek_nats::detail
