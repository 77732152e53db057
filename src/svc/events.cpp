#include "internal/context.h"
#include "internal/core.h"
#include "internal/logging.h"
#include "vek_nats/svc.h"

namespace vek_nats {

void CNATSSvc::error_callback_wrapper(natsConnection* nc, natsSubscription* sub, natsStatus status,
                                      void* closure) {
    if (closure != nullptr)
        static_cast<CNATSSvc*>(closure)->error_callback(nc, sub, status, nullptr);
}

void CNATSSvc::closed_callback_wrapper(natsConnection* nc, void* closure) {
    if (closure != nullptr) static_cast<CNATSSvc*>(closure)->closed_callback(nc, nullptr);
}

void CNATSSvc::disconnected_callback_wrapper(natsConnection* nc, void* closure) {
    if (closure != nullptr) static_cast<CNATSSvc*>(closure)->disconnected_callback(nc, nullptr);
}

namespace {

// The code recv gives for the connection's last error; 0 when there is none.
svc_status cause(natsConnection* nc) {
    const char* text = nullptr;
    const natsStatus s = natsConnection_GetLastError(nc, &text);
    return s == NATS_OK ? STATUS_OK : connection_status(static_cast<std::uint32_t>(s));
}

}  // namespace

// What libnats calls: the context forwards while its object listens.
void detail::context::on_error(natsConnection* nc, natsSubscription* sub, natsStatus s,
                               void* closure) {
    auto* ctx = static_cast<context*>(closure);
    if (!ctx->enter()) return;
    ctx->owner->svc.error_callback(nc, sub, s, nullptr);
    ctx->owner->tell(conn_event::error, connection_status(static_cast<std::uint32_t>(s)));
    ctx->leave();
}

void detail::context::on_disconnected(natsConnection* nc, void* closure) {
    auto* ctx = static_cast<context*>(closure);
    if (!ctx->enter()) return;
    ctx->owner->svc.disconnected_callback(nc, nullptr);
    ctx->owner->tell(conn_event::disconnected, cause(nc));
    ctx->leave();
}

void detail::context::on_reconnected(natsConnection*, void* closure) {
    auto* ctx = static_cast<context*>(closure);
    if (!ctx->enter()) return;
    ctx->owner->tell(conn_event::reconnected, STATUS_OK);
    ctx->leave();
}

void detail::context::on_connected(natsConnection*, void* closure) {
    auto* ctx = static_cast<context*>(closure);
    if (!ctx->enter()) return;
    ctx->owner->tell(conn_event::connected, STATUS_OK);
    ctx->leave();
}

// The last callback of a connection: it gives back the connection's reference.
void detail::context::on_closed(natsConnection* nc, void* closure) {
    auto* ctx = static_cast<context*>(closure);
    if (ctx->enter()) {
        ctx->owner->svc.closed_callback(nc, nullptr);
        ctx->owner->tell(conn_event::closed, cause(nc));
        ctx->leave();
    }
    ctx->release();
}

void detail::context::on_complete(void* closure) {
    static_cast<sub_ref*>(closure)->release();
}

void CNATSSvc::error_callback(natsConnection*, natsSubscription*, natsStatus status, void*) {
    VEK_LOG_NATS(status, "");
    m_core->raise_conn_error(status);
}

void CNATSSvc::closed_callback(natsConnection* nc, void*) {
    m_core->report_last_error(__func__, nc);
}

void CNATSSvc::disconnected_callback(natsConnection* nc, void*) {
    m_core->report_last_error(__func__, nc);
}

natsStatus detail::core::report_last_error(const char* func, natsConnection* nc) {
    // The connection's own text, not natsStatus_GetText: it names the cause.
    const char* text = nullptr;
    const natsStatus s = natsConnection_GetLastError(nc, &text);
    if (s == NATS_OK) return s;
    VEK_LOG_AS(func, "- error: (%u - %s)", static_cast<unsigned>(s), detail::printable(text));
    raise_conn_error(s);
    return s;
}

void detail::core::tell(conn_event event, svc_status status) {
    std::function<void(conn_event, svc_status)> listener;
    {
        std::lock_guard<std::mutex> lock(event_mutex);
        if (!on_event) return;
        listener = on_event;
    }
    listener(event, status);
}

void detail::core::raise_conn_error(natsStatus status) {
    {
        std::lock_guard<std::mutex> lock(svc.m_msg_mutex);
        std::lock_guard<std::mutex> state(svc.m_state_mutex);
        svc.m_last_status = status;
        svc.m_conn_error = true;
    }
    svc.m_msg_cv.notify_all();
}

svc_status CNATSSvc::show_stats(std::int32_t mask) {
    uint64_t in_msgs = 0, in_bytes = 0, out_msgs = 0, out_bytes = 0, reconnects = 0;
    int64_t delivered = 0, dropped = 0;
    int pending = 0;

    detail::core::pinned pin(*m_core);
    natsStatus s = pin.conn() != nullptr ? natsConnection_GetStats(pin.conn(), m_stats)
                                         : NATS_CONNECTION_CLOSED;
    if (s == NATS_OK) {
        s = natsStatistics_GetCounts(m_stats, &in_msgs, &in_bytes, &out_msgs, &out_bytes,
                                     &reconnects);
    }
    {
        std::lock_guard<std::mutex> slots(m_core->slot_mutex);
        for (const natsSubList& slot : m_sub_list) {
            if (s != NATS_OK || slot.subscription == nullptr) continue;
            s = natsSubscription_GetStats(slot.subscription, &pending, nullptr, nullptr, nullptr,
                                          &delivered, &dropped);
            if (s == NATS_INVALID_SUBSCRIPTION) {
                pending = 0;
                s = NATS_OK;
            }
        }
    }
    if (s != NATS_OK) return STATUS_OK;

    if ((mask & 1) != 0) {
        VEK_LOG("- In Msgs    : %-10lu - In Bytes : %-10lu - ", static_cast<unsigned long>(in_msgs),
                static_cast<unsigned long>(in_bytes));
    }
    if ((mask & 2) != 0) {
        VEK_LOG("- Out Msgs   : %-10lu - Out Bytes: %-10lu - ",
                static_cast<unsigned long>(out_msgs), static_cast<unsigned long>(out_bytes));
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
