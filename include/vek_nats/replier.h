#pragma once

#include <condition_variable>
#include <mutex>

#include "vek_nats/svc.h"

namespace vek_nats {

// Receives requests, through the queue (subscribe + recv) or synchronously
// (subscribe_sync + recv_sync), and answers them with reply.
class VEK_NATS_API CNATSReplier : public CNATSSvc {
public:
    CNATSReplier();
    ~CNATSReplier() override;

    // cb null: requests go to the object's queue. 0, STATUS_NO_CONNECTION or STATUS_SUBSCRIBE.
    svc_status subscribe(const char* subject, natsMsgHandler cb, void* closure);
    // Oldest queued request with its inbox; returns its dataLen, 0 after destroy(),
    // connection_status(s) once a connection callback reported s.
    svc_status recv(const char* subject, NATSSvcMsg& msg);
    // 0, STATUS_NO_CONNECTION or STATUS_SUBSCRIBE_SYNC.
    svc_status subscribe_sync(const char* subject);
    // As subscribe and subscribe_sync, joining the queue group `group`: each request goes to
    // one member of the group. A null or empty group is refused.
    svc_status subscribe_queue(const char* subject, const char* group, natsMsgHandler cb = nullptr,
                               void* closure = nullptr);
    svc_status subscribe_sync_queue(const char* subject, const char* group);
    // Next request within recv_timeout: its dataLen, STATUS_NO_SUBSCRIPTION or STATUS_NEXT_MSG.
    // msg.reply_data is kept.
    svc_status recv_sync(const char* subject, NATSSvcMsg& msg);
    // Publishes msg.reply_data on msg.inbox: as text, or every byte with binary_payloads.
    // 0, STATUS_NO_CONNECTION, STATUS_NO_SUBSCRIPTION or STATUS_PUBLISH_STRING.
    svc_status reply(const char* subject, const NATSSvcMsg& msg);
    // As reply, with headers, refused as CNATSPublisher::publish refuses them.
    svc_status reply(const char* subject, const NATSSvcMsg& msg, const NATSSvcHeaders& headers);

    void onMsg_callback(natsConnection* nc, natsSubscription* sub, natsMsg* msg);
    static void onMsg_callback_wrapper(natsConnection* nc, natsSubscription* sub, natsMsg* msg,
                                       void* closure);

protected:
    std::condition_variable m_reply_cv;  // part of the class since its first release; unused
    std::mutex m_reply_mutex;
};

}  // namespace vek_nats
