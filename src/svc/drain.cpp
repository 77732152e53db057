// drain: the subscriptions stop taking new messages, the serving threads finish what was
// delivered, then the connection closes.
#include <chrono>
#include <thread>
#include <vector>

#include "internal/context.h"
#include "internal/core.h"
#include "internal/logging.h"
#include "vek_nats/svc.h"

namespace vek_nats {

namespace {

// How often drain looks whether the serving threads are done.
constexpr auto DRAIN_POLL = std::chrono::milliseconds(2);

}  // namespace

svc_status CNATSSvc::drain(std::int64_t timeout_ms) {
    detail::core& core = *m_core;
    if (timeout_ms <= 0) {
        VEK_LOG("- error: timeout=%ld ms", static_cast<long>(timeout_ms));
        return STATUS_DRAIN;
    }
    std::lock_guard<std::mutex> one(core.drain_mutex);
    // Pinned throughout: destroy() on another thread closes the connection, which ends every
    // wait below, and then waits for this call.
    detail::core::pinned pin(core);
    if (pin.conn() == nullptr) {
        VEK_LOG("- error: empty connection");
        return STATUS_NO_CONNECTION;
    }
    const int64_t deadline = nats_Now() + timeout_ms;
    const auto left = [deadline] { return deadline - nats_Now(); };
    std::vector<detail::sub_ref*> subs;
    {
        std::lock_guard<std::mutex> slots(core.slot_mutex);
        for (detail::sub_ref* ref : core.refs) {
            if (ref == nullptr) continue;
            ref->retain();  // unsubscribe or destroy cannot release it under us
            subs.push_back(ref);
        }
    }
    natsStatus s = NATS_OK;
    for (detail::sub_ref* ref : subs) {
        const natsStatus d = natsSubscription_DrainTimeout(ref->handle, timeout_ms);
        if (s == NATS_OK) s = d;
    }
    // Complete once libnats handed every message on: into the queue, or to recv_sync.
    for (detail::sub_ref* ref : subs) {
        const natsStatus d = left() > 0
                                 ? natsSubscription_WaitForDrainCompletion(ref->handle, left())
                                 : NATS_TIMEOUT;
        if (s == NATS_OK) s = d;
        ref->release();
    }
    {
        std::lock_guard<std::mutex> lock(m_msg_mutex);
        core.drained = true;
    }
    m_msg_cv.notify_all();  // a recv on an empty queue ends now
    // What was delivered is taken and answered by the serving threads, or the time runs out.
    bool torn_down = false;  // destroy() on another thread: it closes the connection
    const auto served = [&] {
        std::lock_guard<std::mutex> lock(m_msg_mutex);
        torn_down = m_terminate;
        return torn_down || (core.records.empty() && core.unanswered.load() <= 0);
    };
    while (!served() && left() > 0) std::this_thread::sleep_for(DRAIN_POLL);
    if (s == NATS_OK && !served()) s = NATS_TIMEOUT;
    if (s == NATS_OK && torn_down) s = NATS_CONNECTION_CLOSED;
    const natsStatus f =
        left() > 0 ? natsConnection_FlushTimeout(pin.conn(), left()) : NATS_TIMEOUT;
    if (s == NATS_OK) s = f;
    natsConnection_Close(pin.conn());
    if (s != NATS_OK) {
        VEK_LOG_NATS(s, " timeout=%ld ms", static_cast<long>(timeout_ms));
        return STATUS_DRAIN;
    }
    return STATUS_OK;
}

}  // namespace vek_nats
