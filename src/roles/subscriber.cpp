#include "vek_nats/subscriber.h"

#include "internal/core.h"
#include "internal/logging.h"
#include "internal/subject.h"

namespace vek_nats {

using detail::delivery;
using detail::received;

CNATSSubscriber::CNATSSubscriber() {
    VEK_TRACE("");
}

CNATSSubscriber::~CNATSSubscriber() {
    VEK_TRACE("");
}

svc_status CNATSSubscriber::subscribe(const char* subject, natsMsgHandler cb, void* closure) {
    const auto r = m_core->subscribe(__func__, STATUS_SUBSCRIBE, subject, nullptr, delivery::async,
                                     cb, closure);
    if (r.status == STATUS_OK) VEK_LOG("- error: i= %d subj-> %s", r.slot, r.shown.c_str());
    return r.status;
}

svc_status CNATSSubscriber::subscribe_queue(const char* subject, const char* group,
                                            natsMsgHandler cb, void* closure) {
    const auto r = m_core->subscribe(__func__, STATUS_SUBSCRIBE, subject,
                                     detail::queue_group(group), delivery::async, cb, closure);
    if (r.status == STATUS_OK) {
        VEK_LOG("- error: i= %d subj-> %s, group-> %s", r.slot, r.shown.c_str(),
                detail::shown_subject(group).c_str());
    }
    return r.status;
}

svc_status CNATSSubscriber::subscribe_sync(const char* subject) {
    return m_core->subscribe(__func__, STATUS_SUBSCRIBE_SYNC, subject, nullptr, delivery::sync)
        .status;
}

svc_status CNATSSubscriber::subscribe_sync_queue(const char* subject, const char* group) {
    return m_core
        ->subscribe(__func__, STATUS_SUBSCRIBE_SYNC, subject, detail::queue_group(group),
                    delivery::sync)
        .status;
}

void CNATSSubscriber::onMsg_callback_wrapper(natsConnection* nc, natsSubscription* sub,
                                             natsMsg* msg, void* closure) {
    if (closure != nullptr)
        static_cast<CNATSSubscriber*>(closure)->onMsg_callback(nc, sub, msg, nullptr);
}

void CNATSSubscriber::onMsg_callback(natsConnection*, natsSubscription*, natsMsg* msg, void*) {
    m_core->deliver(msg);
}

svc_status CNATSSubscriber::recv(const char* subject, NATSSvcMsg& msg) {
    const received r = m_core->recv(subject, &m_sub_index, msg);
    if (r.how == received::end::unsubscribed) {
        VEK_LOG("- subject_name unsubscribe subj-> %s", detail::shown_subject(subject).c_str());
    } else if (r.how == received::end::message) {
        VEK_TRACE("- Received msg: %s -> %.*s, recv_ts=%ld ms, queue sz=%zu", msg.subject.c_str(),
                  msg.dataLen, msg.data.c_str(), static_cast<long>(msg.recv_ts), r.left);
    }
    return r.status;
}

svc_status CNATSSubscriber::unsubscribe(const char* subject) {
    return m_core->unsubscribe(subject);
}

svc_status CNATSSubscriber::recv_sync(const char* subject, NATSSvcMsg& msg) {
    const received r = m_core->recv_sync(subject, msg);
    if (r.how == received::end::message) {
        VEK_TRACE("- Received msg: %s -> %.*s", msg.subject.c_str(), msg.dataLen, msg.data.c_str());
    }
    return r.status;
}

}  // namespace vek_nats
