#pragma once

#include "vek_nats/svc.h"

namespace vek_nats {

// Receives messages of up to five subjects, through the queue (subscribe + recv) or
// synchronously (subscribe_sync + recv_sync).
class VEK_NATS_API CNATSSubscriber : public CNATSSvc {
public:
    CNATSSubscriber();
    ~CNATSSubscriber() override;

    // cb null: messages go to the object's queue. Otherwise cb/closure get them instead.
    // 0, STATUS_NO_CONNECTION or STATUS_SUBSCRIBE (client refused, or all five slots used).
    svc_status subscribe(const char* subject, natsMsgHandler cb, void* closure);
    // Takes the oldest queued message, whatever its subject, waiting without time-out.
    // Returns its dataLen; 0 when ended by destroy() or by unsubscribe of `subject`;
    // connection_status(s) once a connection callback reported s.
    svc_status recv(const char* subject, NATSSvcMsg& msg);
    // 0 or STATUS_UNSUBSCRIBE.
    svc_status unsubscribe(const char* subject);
    // 0, STATUS_NO_CONNECTION or STATUS_SUBSCRIBE_SYNC.
    svc_status subscribe_sync(const char* subject);
    // As subscribe and subscribe_sync, joining the queue group `group`: each message of the
    // subject goes to one member of the group. A null or empty group is refused.
    svc_status subscribe_queue(const char* subject, const char* group, natsMsgHandler cb = nullptr,
                               void* closure = nullptr);
    svc_status subscribe_sync_queue(const char* subject, const char* group);
    // Next message of the subject's synchronous subscription within recv_timeout: its dataLen,
    // STATUS_NO_SUBSCRIPTION or STATUS_NEXT_MSG (time-out included).
    svc_status recv_sync(const char* subject, NATSSvcMsg& msg);

    void onMsg_callback(natsConnection* nc, natsSubscription* sub, natsMsg* msg, void* closure);
    static void onMsg_callback_wrapper(natsConnection* nc, natsSubscription* sub, natsMsg* msg,
                                       void* closure);

protected:
    // Slot of the last recv that found its subject (-1 until one did); a recv whose subject
    // is in no slot watches this one. A waiting recv keeps its own copy, so callers naming
    // other subjects meanwhile do not move it. Guarded by m_msg_mutex.
    std::int32_t m_sub_index = -1;
};

}  // namespace vek_nats
