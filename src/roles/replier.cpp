#include "vek_nats/replier.h"

#include "internal/logging.h"
#include "internal/subject.h"

namespace vek_nats {

CNATSReplier::CNATSReplier() {
    VEK_TRACE("");
}

CNATSReplier::~CNATSReplier() {
    VEK_TRACE("");
    retire_role();
}

svc_status CNATSReplier::subscribe(const char* subject, natsMsgHandler cb, void* closure) {
    if (cb == nullptr) {
        cb = onMsg_callback_wrapper;
        closure = this;
    }
    int i = -1;
    const svc_status ret =
        subscribe_slot(__func__, subject, nullptr, cb, closure, STATUS_SUBSCRIBE, &i);
    if (ret == STATUS_OK) VEK_LOG("subject_name = %s", subject);
    return ret;
}

svc_status CNATSReplier::subscribe_queue(const char* subject, const char* group,
                                         natsMsgHandler cb, void* closure) {
    if (cb == nullptr) {
        cb = onMsg_callback_wrapper;
        closure = this;
    }
    int i = -1;
    const svc_status ret = subscribe_slot(__func__, subject, detail::queue_group(group), cb,
                                          closure, STATUS_SUBSCRIBE, &i);
    if (ret == STATUS_OK) VEK_LOG("subject_name = %s, group = %s", subject, group);
    return ret;
}

svc_status CNATSReplier::subscribe_sync_queue(const char* subject, const char* group) {
    int i = -1;
    return subscribe_slot(__func__, subject, detail::queue_group(group), nullptr, nullptr,
                          STATUS_SUBSCRIBE_SYNC, &i);
}

void CNATSReplier::onMsg_callback(natsConnection*, natsSubscription*, natsMsg* msg) {
    queue_message(msg, true);
}

void CNATSReplier::onMsg_callback_wrapper(natsConnection* nc, natsSubscription* sub, natsMsg* msg,
                                          void* closure) {
    if (closure == nullptr) return;
    auto* self = static_cast<CNATSReplier*>(closure);
    // libnats may deliver after the object began to go away: such messages are dropped.
    live_guard alive(self, true);
    if (!alive) {
        natsMsg_Destroy(msg);
        return;
    }
    self->onMsg_callback(nc, sub, msg);
}

svc_status CNATSReplier::recv(const char* subject, NATSSvcMsg& msg) {
    const char* shown = detail::printable(subject);
    size_t left = 0;
    {
        std::unique_lock<std::mutex> lock(m_msg_mutex);
        // The flags are raised under m_msg_mutex as well, so no wake-up is lost between the
        // test and the wait.
        m_msg_cv.wait(lock, [this] { return !m_msg_queue.empty() || m_conn_error || m_terminate; });
        {
            std::lock_guard<std::mutex> state_lock(m_state_mutex);
            if (m_conn_error) {
                const svc_status code = connection_status(m_last_status);
                VEK_LOG("- error: (%u - 0x%08X) subj-> %s", static_cast<unsigned>(m_last_status),
                        code, shown);
                return code;
            }
            if (m_terminate) {
                VEK_LOG("- oops: terminate, subj-> %s", shown);
                return STATUS_OK;
            }
        }
        left = take_front(lock, msg);
    }
    // Written outside the lock so that delivery threads never wait on the log file.
    VEK_TRACE("-\nReceived msg  : %s -> %.*s, recv_ts=%ld ms, queue sz=%zu\nReceived inbox: %s",
              msg.subject.c_str(), msg.dataLen, msg.data.c_str(), static_cast<long>(msg.recv_ts),
              left, msg.inbox.c_str());
    return static_cast<svc_status>(msg.dataLen);
}

svc_status CNATSReplier::subscribe_sync(const char* subject) {
    int i = -1;
    return subscribe_slot(__func__, subject, nullptr, nullptr, nullptr, STATUS_SUBSCRIBE_SYNC, &i);
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
    if (m_conn == nullptr) {
        VEK_LOG("- error: empty connection");
        return STATUS_NO_CONNECTION;
    }
    if (const natsStatus bad = detail::check_publish_subject(msg.inbox.c_str()); bad != NATS_OK) {
        VEK_LOG_NATS(
            bad, "\nReceived msg  : %s -> %.*s, recv_ts=%ld ms\nSending  inbox: %s -> %.*s",
            detail::shown_subject(msg.subject.c_str()).c_str(), msg.dataLen, msg.data.c_str(),
            static_cast<long>(msg.recv_ts), detail::shown_subject(msg.inbox.c_str()).c_str(),
            static_cast<int>(msg.reply_data.size()), msg.reply_data.c_str());
        return STATUS_PUBLISH_STRING;
    }
    // A subject that no slot holds is fine: answering needs no subscription.
    const int i = find_slot(subject);
    if (i >= 0 && m_sub_list[i].subscription == nullptr) {
        VEK_LOG("- error: empty subscription");
        return STATUS_NO_SUBSCRIPTION;
    }

    const natsStatus s =
        natsConnection_PublishString(m_conn, msg.inbox.c_str(), msg.reply_data.c_str());
    if (s != NATS_OK) {
        VEK_LOG_NATS(s, "\nReceived msg  : %s -> %.*s, recv_ts=%ld ms\nSending  inbox: %s -> %.*s",
                     msg.subject.c_str(), msg.dataLen, msg.data.c_str(),
                     static_cast<long>(msg.recv_ts), msg.inbox.c_str(),
                     static_cast<int>(msg.reply_data.size()), msg.reply_data.c_str());
        return STATUS_PUBLISH_STRING;
    }
    size_t queued = 0;
    {
        std::lock_guard<std::mutex> lock(m_msg_mutex);
        queued = m_msg_queue.size();
    }
    VEK_TRACE(
        "-\nReceived msg  : %s -> %.*s, recv_ts=%ld ms, queue sz=%zu\nSending  inbox: %s -> %.*s",
        msg.subject.c_str(), msg.dataLen, msg.data.c_str(), static_cast<long>(msg.recv_ts), queued,
        msg.inbox.c_str(), static_cast<int>(msg.reply_data.size()), msg.reply_data.c_str());
    return STATUS_OK;
}

}  // namespace vek_nats
