#include "vek_nats/replier.h"

#include "internal/logging.h"
#include "internal/subject.h"

namespace vek_nats {

CNATSReplier::CNATSReplier() {
    VEK_TRACE("");
}

CNATSReplier::~CNATSReplier() {
    VEK_TRACE("");
}

svc_status CNATSReplier::subscribe(const char* subject, natsMsgHandler cb, void* closure) {
    int i = -1;
    const svc_status ret = subscribe_slot(
        __func__, subject, nullptr, cb != nullptr ? delivery::handler : delivery::queue_with_inbox,
        cb, closure, STATUS_SUBSCRIBE, &i);
    if (ret == STATUS_OK) VEK_LOG("subject_name = %s", subject);
    return ret;
}

svc_status CNATSReplier::subscribe_queue(const char* subject, const char* group, natsMsgHandler cb,
                                         void* closure) {
    int i = -1;
    const svc_status ret =
        subscribe_slot(__func__, subject, detail::queue_group(group),
                       cb != nullptr ? delivery::handler : delivery::queue_with_inbox, cb, closure,
                       STATUS_SUBSCRIBE, &i);
    if (ret == STATUS_OK) VEK_LOG("subject_name = %s, group = %s", subject, group);
    return ret;
}

svc_status CNATSReplier::subscribe_sync_queue(const char* subject, const char* group) {
    int i = -1;
    return subscribe_slot(__func__, subject, detail::queue_group(group), delivery::sync, nullptr,
                          nullptr, STATUS_SUBSCRIBE_SYNC, &i);
}

void CNATSReplier::onMsg_callback(natsConnection*, natsSubscription*, natsMsg* msg) {
    queue_message(msg, true);
}

void CNATSReplier::onMsg_callback_wrapper(natsConnection* nc, natsSubscription* sub, natsMsg* msg,
                                          void* closure) {
    if (closure != nullptr) static_cast<CNATSReplier*>(closure)->onMsg_callback(nc, sub, msg);
}

svc_status CNATSReplier::recv(const char* subject, NATSSvcMsg& msg) {
    const char* shown = detail::printable(subject);
    size_t left = 0;
    natsStatus status = NATS_OK;
    switch (take(subject, nullptr, msg, &left, &status)) {
        case take_result::conn_error: {
            const svc_status ret = connection_status(static_cast<std::uint32_t>(status));
            VEK_LOG("- error: (%u - 0x%08X) subj-> %s", static_cast<unsigned>(status), ret, shown);
            return ret;
        }
        case take_result::terminated:
        case take_result::unsubscribed:  // not watched: the replier has no unsubscribe
            VEK_LOG("- oops: terminate, subj-> %s", shown);
            return STATUS_OK;
        case take_result::record:
            break;
    }
    VEK_TRACE("-\nReceived msg  : %s -> %.*s, recv_ts=%ld ms, queue sz=%zu\nReceived inbox: %s",
              msg.subject.c_str(), msg.dataLen, msg.data.c_str(), static_cast<long>(msg.recv_ts),
              left, msg.inbox.c_str());
    return static_cast<svc_status>(msg.dataLen);
}

svc_status CNATSReplier::subscribe_sync(const char* subject) {
    int i = -1;
    return subscribe_slot(__func__, subject, nullptr, delivery::sync, nullptr, nullptr,
                          STATUS_SUBSCRIBE_SYNC, &i);
}

svc_status CNATSReplier::recv_sync(const char* subject, NATSSvcMsg& msg) {
    // reply_data is the caller's: only the request's own fields are replaced.
    svc_status ret = STATUS_OK;
    if (next_message(__func__, subject, msg, true, &ret)) {
        VEK_TRACE("-\nReceived msg  : %s -> %.*s, recv_ts=%ld ms\nReceived inbox: %s",
                  msg.subject.c_str(), msg.dataLen, msg.data.c_str(),
                  static_cast<long>(msg.recv_ts), msg.inbox.c_str());
    }
    return ret;
}

svc_status CNATSReplier::reply(const char* subject, const NATSSvcMsg& msg) {
    pinned pin(*this);
    if (pin.conn() == nullptr) {
        VEK_LOG("- error: empty connection");
        return STATUS_NO_CONNECTION;
    }
    // An inbox that the check refuses never reaches libnats; either refusal is reported alike.
    natsStatus s = detail::check_publish_subject(msg.inbox.c_str());
    // A subject that no slot holds is fine: answering needs no subscription.
    if (s == NATS_OK && slot_without_subscription(subject)) {
        VEK_LOG("- error: empty subscription");
        return STATUS_NO_SUBSCRIPTION;
    }
    if (s == NATS_OK) {
        s = natsConnection_PublishString(pin.conn(), msg.inbox.c_str(), msg.reply_data.c_str());
    }
    if (s != NATS_OK) {
        VEK_LOG_NATS(s, "\nReceived msg  : %s -> %.*s, recv_ts=%ld ms\nSending  inbox: %s -> %.*s",
                     detail::shown_subject(msg.subject.c_str()).c_str(), msg.dataLen,
                     msg.data.c_str(), static_cast<long>(msg.recv_ts),
                     detail::shown_subject(msg.inbox.c_str()).c_str(),
                     static_cast<int>(msg.reply_data.size()), msg.reply_data.c_str());
        return STATUS_PUBLISH_STRING;
    }
    const size_t left = queued();
    VEK_TRACE(
        "-\nReceived msg  : %s -> %.*s, recv_ts=%ld ms, queue sz=%zu\nSending  inbox: %s -> %.*s",
        msg.subject.c_str(), msg.dataLen, msg.data.c_str(), static_cast<long>(msg.recv_ts), left,
        msg.inbox.c_str(), static_cast<int>(msg.reply_data.size()), msg.reply_data.c_str());
    return STATUS_OK;
}

}  // namespace vek_nats
