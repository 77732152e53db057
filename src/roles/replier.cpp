#include "vek_nats/replier.h"

#include "internal/core.h"
#include "internal/logging.h"
#include "internal/subject.h"

namespace vek_nats {

using detail::delivery;
using detail::received;

CNATSReplier::CNATSReplier() {
    m_core->keep_inbox = true;
    VEK_TRACE("");
}

CNATSReplier::~CNATSReplier() {
    VEK_TRACE("");
}

svc_status CNATSReplier::subscribe(const char* subject, natsMsgHandler cb, void* closure) {
    const auto r = m_core->subscribe(__func__, STATUS_SUBSCRIBE, subject, nullptr, delivery::async,
                                     cb, closure);
    if (r.status == STATUS_OK) VEK_LOG("subject_name = %s", r.shown.c_str());
    return r.status;
}

svc_status CNATSReplier::subscribe_queue(const char* subject, const char* group, natsMsgHandler cb,
                                         void* closure) {
    const auto r = m_core->subscribe(__func__, STATUS_SUBSCRIBE, subject,
                                     detail::queue_group(group), delivery::async, cb, closure);
    if (r.status == STATUS_OK) {
        VEK_LOG("subject_name = %s, group = %s", r.shown.c_str(),
                detail::shown_subject(group).c_str());
    }
    return r.status;
}

svc_status CNATSReplier::subscribe_sync(const char* subject) {
    return m_core->subscribe(__func__, STATUS_SUBSCRIBE_SYNC, subject, nullptr, delivery::sync)
        .status;
}

svc_status CNATSReplier::subscribe_sync_queue(const char* subject, const char* group) {
    return m_core
        ->subscribe(__func__, STATUS_SUBSCRIBE_SYNC, subject, detail::queue_group(group),
                    delivery::sync)
        .status;
}

void CNATSReplier::onMsg_callback(natsConnection*, natsSubscription*, natsMsg* msg) {
    m_core->deliver(msg);
}

void CNATSReplier::onMsg_callback_wrapper(natsConnection* nc, natsSubscription* sub, natsMsg* msg,
                                          void* closure) {
    if (closure != nullptr) static_cast<CNATSReplier*>(closure)->onMsg_callback(nc, sub, msg);
}

// The replier has no unsubscribe: its recv watches no slot.
svc_status CNATSReplier::recv(const char* subject, NATSSvcMsg& msg) {
    const received r = m_core->recv(subject, nullptr, msg);
    if (r.how == received::end::message) {
        VEK_TRACE("-\nReceived msg  : %s -> %.*s, recv_ts=%ld ms, queue sz=%zu\nReceived inbox: %s",
                  msg.subject.c_str(), msg.dataLen, msg.data.c_str(),
                  static_cast<long>(msg.recv_ts), r.left, msg.inbox.c_str());
    }
    return r.status;
}

// reply_data is the caller's: only the request's own fields are replaced.
svc_status CNATSReplier::recv_sync(const char* subject, NATSSvcMsg& msg) {
    const received r = m_core->recv_sync(subject, msg);
    if (r.how == received::end::message) {
        VEK_TRACE("-\nReceived msg  : %s -> %.*s, recv_ts=%ld ms\nReceived inbox: %s",
                  msg.subject.c_str(), msg.dataLen, msg.data.c_str(),
                  static_cast<long>(msg.recv_ts), msg.inbox.c_str());
    }
    return r.status;
}

svc_status CNATSReplier::reply(const char* subject, const NATSSvcMsg& msg) {
    static const NATSSvcHeaders none;
    return reply(subject, msg, none);
}

svc_status CNATSReplier::reply(const char* subject, const NATSSvcMsg& msg,
                               const NATSSvcHeaders& headers) {
    detail::core::pinned pin(*m_core);
    if (pin.conn() == nullptr) {
        VEK_LOG("- error: empty connection");
        return STATUS_NO_CONNECTION;
    }
    // An inbox that the check refuses never reaches libnats; either refusal is reported alike.
    natsStatus s = detail::check_publish_subject(msg.inbox.c_str());
    // A subject that no slot holds is fine: answering needs no subscription.
    if (s == NATS_OK && m_core->slot_without_subscription(subject)) {
        VEK_LOG("- error: empty subscription");
        return STATUS_NO_SUBSCRIPTION;
    }
    // Taken by recv, dealt with here, whatever the outcome: drain stops waiting for it.
    int taken = m_core->unanswered.load();
    while (taken > 0 && !m_core->unanswered.compare_exchange_weak(taken, taken - 1)) {
    }
    const int length = m_core->payload_length(msg.reply_data);
    if (s == NATS_OK && headers.empty()) {
        s = natsConnection_Publish(pin.conn(), msg.inbox.c_str(), msg.reply_data.data(), length);
    } else if (s == NATS_OK) {
        natsMsg* answer =
            m_core->make_message(msg.inbox.c_str(), msg.reply_data.data(), length, headers, &s);
        if (s == NATS_OK) s = natsConnection_PublishMsg(pin.conn(), answer);
        natsMsg_Destroy(answer);
    }
    if (s != NATS_OK) {
        VEK_LOG_NATS(s, "\nReceived msg  : %s -> %.*s, recv_ts=%ld ms\nSending  inbox: %s -> %.*s",
                     detail::shown_subject(msg.subject.c_str()).c_str(), msg.dataLen,
                     msg.data.c_str(), static_cast<long>(msg.recv_ts),
                     detail::shown_subject(msg.inbox.c_str()).c_str(), length,
                     msg.reply_data.c_str());
        return STATUS_PUBLISH_STRING;
    }
    VEK_TRACE(
        "-\nReceived msg  : %s -> %.*s, recv_ts=%ld ms, queue sz=%zu\nSending  inbox: %s -> %.*s",
        msg.subject.c_str(), msg.dataLen, msg.data.c_str(), static_cast<long>(msg.recv_ts),
        queued(), msg.inbox.c_str(), length, msg.reply_data.c_str());
    return STATUS_OK;
}

}  // namespace vek_nats
