#pragma once

// What libnats' callbacks of one connection reach through their closure. libnats 3.4 calls
// back after natsConnection_Destroy and after natsSubscription_Destroy returned, when the
// service object may be gone (or torn down and connected anew); the context outlives every
// such callback and tells it whether the object still listens. It is released by libnats' own
// signals that it is done: the connection's closed callback (only fired for a connection that
// was made) and each subscription's completion callback.
#include <nats/nats.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "vek_nats/svc.h"

namespace vek_nats::detail {

struct context {
    explicit context(CNATSSvc* owner) : svc(owner) {}
    context(const context&) = delete;
    context& operator=(const context&) = delete;

    void retain() { m_refs.fetch_add(1, std::memory_order_relaxed); }
    void release() {
        if (m_refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }

    // A callback may use svc between a successful enter and its leave.
    bool enter() {
        if ((m_active.fetch_add(1) & DEAD) == 0) return true;
        leave();
        return false;
    }
    void leave() {
        if (m_active.fetch_sub(1) == DEAD + 1) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_idle.notify_all();
        }
    }
    // The object stops listening: refuses further callbacks, waits for those inside it.
    void kill() {
        m_active.fetch_or(DEAD);
        std::unique_lock<std::mutex> lock(m_mutex);
        m_idle.wait(lock, [this] { return m_active.load() == DEAD; });
    }

    // The callbacks handed to libnats, closure a context (a sub_ref for subscriptions).
    static void on_error(natsConnection* nc, natsSubscription* sub, natsStatus s, void* closure);
    static void on_closed(natsConnection* nc, void* closure);
    static void on_disconnected(natsConnection* nc, void* closure);
    static void on_message(natsConnection* nc, natsSubscription* sub, natsMsg* msg, void* closure);
    static void on_complete(void* closure);

    CNATSSvc* const svc;

private:
    static constexpr int DEAD = 1 << 30;
    std::atomic<int> m_refs{1};    // the object's own, until destroy()
    std::atomic<int> m_active{0};  // callbacks inside the object, plus DEAD
    std::mutex m_mutex;
    std::condition_variable m_idle;
};

// One subscription handle, released when everyone who may still use it let go: its slot
// (until unsubscribe or destroy frees it), libnats (until the completion callback of an
// asynchronous subscription) and each recv_sync waiting on it.
struct sub_ref {
    // Made before the subscription, since it is the closure of its message handler.
    sub_ref(context* owner, bool inbox) : ctx(owner), with_inbox(inbox) { ctx->retain(); }
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
    const bool with_inbox;

private:
    std::atomic<int> m_refs{1};  // the slot's
};

}  // namespace vek_nats::detail
