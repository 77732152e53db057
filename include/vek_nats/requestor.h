#pragma once

#include "vek_nats/svc.h"

namespace vek_nats {

// Sends a request and waits up to request_timeout for the first reply.
class VEK_NATS_API CNATSRequestor : public CNATSSvc {
public:
    CNATSRequestor();
    ~CNATSRequestor() override;

    // 0 with `reply` filled (subject, data, dataLen, recv_ts, headers), STATUS_NO_CONNECTION
    // or STATUS_REQUEST (time-out and no responders included; reply untouched).
    // last_nats_status() then tells NATS_NO_RESPONDERS from NATS_TIMEOUT.
    svc_status request(const char* subject, const void* data, int dataLen, NATSSvcMsg& reply);
    // As request, with headers, refused as CNATSPublisher::publish refuses them.
    svc_status request(const char* subject, const void* data, int dataLen,
                       const NATSSvcHeaders& headers, NATSSvcMsg& reply);
    // As request, for a zero-terminated text; STATUS_REQUEST_STRING on failure.
    svc_status request_string(const char* subject, const char* text, NATSSvcMsg& reply);
};

}  // namespace vek_nats
