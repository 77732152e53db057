#include "internal/logging.h"
#include "vek_nats/svc.h"

namespace vek_nats {

// The forwarders ignore closures that are not live objects: libnats 3.4 may still call a
// connection handler after natsConnection_Destroy returned, when the object may be gone.
void CNATSSvc::error_callback_wrapper(natsConnection* nc, natsSubscription* sub,
                                      natsStatus status, void* closure) {
    if (closure == nullptr) return;
    auto* svc = static_cast<CNATSSvc*>(closure);
    live_guard alive(svc);
    if (alive) svc->error_callback(nc, sub, status, nullptr);
}

void CNATSSvc::closed_callback_wrapper(natsConnection* nc, void* closure) {
    if (closure == nullptr) return;
    auto* svc = static_cast<CNATSSvc*>(closure);
    live_guard alive(svc);
    if (alive) svc->closed_callback(nc, nullptr);
}

void CNATSSvc::disconnected_callback_wrapper(natsConnection* nc, void* closure) {
    if (closure == nullptr) return;
    auto* svc = static_cast<CNATSSvc*>(closure);
    live_guard alive(svc);
    if (alive) svc->disconnected_callback(nc, nullptr);
}

void CNATSSvc::error_callback(natsConnection*, natsSubscription*, natsStatus status, void*) {
    VEK_LOG_NATS(status, "");
    raise_conn_error(status);
}

void CNATSSvc::closed_callback(natsConnection* nc, void*) { report_last_error(__func__, nc); }

void CNATSSvc::disconnected_callback(natsConnection* nc, void*) {
    report_last_error(__func__, nc);
}

void CNATSSvc::report_last_error(const char* func, natsConnection* nc) {
    // The connection's own text, not natsStatus_GetText: it names the cause.
    const char* text = nullptr;
    const natsStatus s = natsConnection_GetLastError(nc, &text);
    if (s == NATS_OK) return;
    VEK_LOG_AS(func, "- error: (%u - %s)", static_cast<unsigned>(s), detail::printable(text));
    raise_conn_error(s);
}

svc_status CNATSSvc::show_stats(std::int32_t mask) {
    uint64_t in_msgs = 0, in_bytes = 0, out_msgs = 0, out_bytes = 0, reconnects = 0;
    int64_t delivered = 0, dropped = 0;
    int pending = 0;

    natsStatus s = natsConnection_GetStats(m_conn, m_stats);
    if (s == NATS_OK) {
        s = natsStatistics_GetCounts(m_stats, &in_msgs, &in_bytes, &out_msgs, &out_bytes,
                                     &reconnects);
    }
    for (const natsSubList& slot : m_sub_list) {
        if (s != NATS_OK || slot.subscription == nullptr) continue;
        s = natsSubscription_GetStats(slot.subscription, &pending, nullptr, nullptr, nullptr,
                                      &delivered, &dropped);
        if (s == NATS_INVALID_SUBSCRIPTION) {
            pending = 0;
            s = NATS_OK;
        }
    }
    if (s != NATS_OK) return STATUS_OK;

    if ((mask & 1) != 0) {
        VEK_LOG("- In Msgs    : %-10lu - In Bytes : %-10lu - ", static_cast<unsigned long>(in_msgs),
                static_cast<unsigned long>(in_bytes));
    }
    if ((mask & 2) != 0) {
        VEK_LOG("- Out Msgs   : %-10lu - Out Bytes: %-10lu - ", static_cast<unsigned long>(out_msgs),
                static_cast<unsigned long>(out_bytes));
    }
    if ((mask & 4) != 0) {
        VEK_LOG("- Delivered  : %-10ld - ", static_cast<long>(delivered));
        VEK_LOG("- Pending    : %-10d - ", pending);
        VEK_LOG("- Dropped    : %-10ld - ", static_cast<long>(dropped));
    }
    VEK_LOG("- Reconnected: %-10lu\n", static_cast<unsigned long>(reconnects));
    return STATUS_OK;
}

svc_status CNATSSvc::get_last_error_stack() {
    char buffer[4096] = {};
    const natsStatus s = nats_GetLastErrorStack(buffer, sizeof(buffer));
    if (s != NATS_OK) {
        VEK_LOG_NATS(s, " nats_GetLastErrorStack()");
        return STATUS_ERROR_STACK;
    }
    VEK_LOG("- \n%s", buffer);
    return STATUS_OK;
}

}  // namespace vek_nats
