#include "vek_nats/subscriber.h"

#include "internal/logging.h"

namespace vek_nats {

CNATSSubscriber::CNATSSubscriber() {
    VEK_TRACE("");
}

CNATSSubscriber::~CNATSSubscriber() {
    VEK_TRACE("");
}

svc_status CNATSSubscriber::subscribe(const char* subject, natsMsgHandler cb, void* closure) {
    int i = -1;
    const svc_status ret = subscribe_slot(__func__, subject, nullptr,
                                          cb != nullptr ? delivery::handler : delivery::queue, cb,
                                          closure, STATUS_SUBSCRIBE, &i);
    if (ret == STATUS_OK) VEK_LOG("- error: i= %d subj-> %s", i, subject);
    return ret;
}

svc_status CNATSSubscriber::subscribe_queue(const char* subject, const char* group,
                                            natsMsgHandler cb, void* closure) {
    int i = -1;
    const svc_status ret = subscribe_slot(__func__, subject, detail::queue_group(group),
                                          cb != nullptr ? delivery::handler : delivery::queue, cb,
                                          closure, STATUS_SUBSCRIBE, &i);
    if (ret == STATUS_OK) VEK_LOG("- error: i= %d subj-> %s, group-> %s", i, subject, group);
    return ret;
}

svc_status CNATSSubscriber::subscribe_sync_queue(const char* subject, const char* group) {
    int i = -1;
    return subscribe_slot(__func__, subject, detail::queue_group(group), delivery::sync, nullptr,
                          nullptr, STATUS_SUBSCRIBE_SYNC, &i);
}

void CNATSSubscriber::onMsg_callback_wrapper(natsConnection* nc, natsSubscription* sub,
                                             natsMsg* msg, void* closure) {
    if (closure != nullptr)
        static_cast<CNATSSubscriber*>(closure)->onMsg_callback(nc, sub, msg, nullptr);
}

void CNATSSubscriber::onMsg_callback(natsConnection*, natsSubscription*, natsMsg* msg, void*) {
    queue_message(msg, false);
}

svc_status CNATSSubscriber::recv(const char* subject, NATSSvcMsg& msg) {
    const char* shown = detail::printable(subject);
    size_t left = 0;
    natsStatus status = NATS_OK;
    switch (take(subject, &m_sub_index, msg, &left, &status)) {
        case take_result::conn_error: {
            const svc_status ret = connection_status(static_cast<std::uint32_t>(status));
            VEK_LOG("- error: (%u - 0x%08X) subj-> %s", static_cast<unsigned>(status), ret, shown);
            return ret;
        }
        case take_result::terminated:
            VEK_LOG("- oops: terminate, subj-> %s", shown);
            return STATUS_OK;
        case take_result::unsubscribed:
            VEK_LOG("- subject_name unsubscribe subj-> %s", shown);
            return STATUS_OK;
        case take_result::record:
            break;
    }
    VEK_TRACE("- Received msg: %s -> %.*s, recv_ts=%ld ms, queue sz=%zu", msg.subject.c_str(),
              msg.dataLen, msg.data.c_str(), static_cast<long>(msg.recv_ts), left);
    return static_cast<svc_status>(msg.dataLen);
}

svc_status CNATSSubscriber::unsubscribe(const char* subject) {
    return unsubscribe_slot(subject);
}

svc_status CNATSSubscriber::subscribe_sync(const char* subject) {
    int i = -1;
    return subscribe_slot(__func__, subject, nullptr, delivery::sync, nullptr, nullptr,
                          STATUS_SUBSCRIBE_SYNC, &i);
}

svc_status CNATSSubscriber::recv_sync(const char* subject, NATSSvcMsg& msg) {
    svc_status ret = STATUS_OK;
    if (next_message(__func__, subject, msg, false, &ret)) {
        VEK_TRACE("- Received msg: %s -> %.*s", msg.subject.c_str(), msg.dataLen, msg.data.c_str());
    }
    return ret;
}

}  // namespace vek_nats
