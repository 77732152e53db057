#include "vek_nats/subscriber.h"

#include "internal/logging.h"

namespace vek_nats {

CNATSSubscriber::CNATSSubscriber() {
    VEK_TRACE("");
}

CNATSSubscriber::~CNATSSubscriber() {
    VEK_TRACE("");
    retire_role();
}

svc_status CNATSSubscriber::subscribe(const char* subject, natsMsgHandler cb, void* closure) {
    if (cb == nullptr) {
        cb = onMsg_callback_wrapper;
        closure = this;
    }
    int i = -1;
    const svc_status ret =
        subscribe_slot(__func__, subject, nullptr, cb, closure, STATUS_SUBSCRIBE, &i);
    if (ret == STATUS_OK) VEK_LOG("- error: i= %d subj-> %s", i, subject);
    return ret;
}

svc_status CNATSSubscriber::subscribe_queue(const char* subject, const char* group,
                                            natsMsgHandler cb, void* closure) {
    if (cb == nullptr) {
        cb = onMsg_callback_wrapper;
        closure = this;
    }
    int i = -1;
    const svc_status ret = subscribe_slot(__func__, subject, detail::queue_group(group), cb,
                                          closure, STATUS_SUBSCRIBE, &i);
    if (ret == STATUS_OK) VEK_LOG("- error: i= %d subj-> %s, group-> %s", i, subject, group);
    return ret;
}

svc_status CNATSSubscriber::subscribe_sync_queue(const char* subject, const char* group) {
    int i = -1;
    return subscribe_slot(__func__, subject, detail::queue_group(group), nullptr, nullptr,
                          STATUS_SUBSCRIBE_SYNC, &i);
}

void CNATSSubscriber::onMsg_callback_wrapper(natsConnection* nc, natsSubscription* sub,
                                             natsMsg* msg, void* closure) {
    if (closure == nullptr) return;
    auto* self = static_cast<CNATSSubscriber*>(closure);
    // libnats may deliver after the object began to go away: such messages are dropped.
    live_guard alive(self, true);
    if (!alive) {
        natsMsg_Destroy(msg);
        return;
    }
    self->onMsg_callback(nc, sub, msg, nullptr);
}

void CNATSSubscriber::onMsg_callback(natsConnection*, natsSubscription*, natsMsg* msg, void*) {
    queue_message(msg, false);
}

svc_status CNATSSubscriber::recv(const char* subject, NATSSvcMsg& msg) {
    std::unique_lock<std::mutex> lock(m_msg_mutex);
    const int found = find_slot(subject);
    if (found >= 0) m_sub_index = found;
    const auto slot_freed = [this] {
        return m_sub_index != -1 && m_sub_list[m_sub_index].subject_name.empty();
    };
    // The flags and the slot table change only under m_msg_mutex, so nothing that ends the
    // wait can slip in between this test and the wait.
    m_msg_cv.wait(
        lock, [&] { return !m_msg_queue.empty() || m_conn_error || m_terminate || slot_freed(); });

    std::unique_lock<std::mutex> state_lock(m_state_mutex);
    const char* shown = detail::printable(subject);
    if (m_conn_error) {
        const svc_status ret = connection_status(static_cast<std::uint32_t>(m_last_status));
        VEK_LOG("- error: (%u - 0x%08X) subj-> %s", static_cast<unsigned>(m_last_status), ret,
                shown);
        return ret;
    }
    if (m_terminate) {
        VEK_LOG("- oops: terminate, subj-> %s", shown);
        return STATUS_OK;
    }
    if (slot_freed()) {
        VEK_LOG("- subject_name unsubscribe subj-> %s", shown);
        return STATUS_OK;
    }
    state_lock.unlock();
    const size_t left = take_front(lock, msg);

    // msg is the caller's now: the trace needs no lock and keeps file I/O off the hot path.
    VEK_TRACE("- Received msg: %s -> %.*s, recv_ts=%ld ms, queue sz=%zu", msg.subject.c_str(),
              msg.dataLen, msg.data.c_str(), static_cast<long>(msg.recv_ts), left);
    return static_cast<svc_status>(msg.dataLen);
}

svc_status CNATSSubscriber::unsubscribe(const char* subject) {
    const int i = find_slot(subject);
    if (i < 0) {
        VEK_LOG("- error subj-> %s", detail::printable(subject));
        return STATUS_UNSUBSCRIBE;
    }
    natsSubscription* sub = m_sub_list[i].subscription;
    const natsStatus s = natsSubscription_Unsubscribe(sub);
    if (s != NATS_OK) {
        VEK_LOG_NATS(s, " subj-> %s", subject);
        return STATUS_UNSUBSCRIBE;
    }
    clear_slot(i);
    release_subscription(sub);
    return STATUS_OK;
}

svc_status CNATSSubscriber::subscribe_sync(const char* subject) {
    int i = -1;
    return subscribe_slot(__func__, subject, nullptr, nullptr, nullptr, STATUS_SUBSCRIBE_SYNC, &i);
}

svc_status CNATSSubscriber::recv_sync(const char* subject, NATSSvcMsg& msg) {
    svc_status ret = STATUS_OK;
    if (next_message(__func__, subject, msg, false, &ret)) {
        VEK_TRACE("- Received msg: %s -> %.*s", msg.subject.c_str(), msg.dataLen, msg.data.c_str());
    }
    return ret;
}

}  // namespace vek_nats
