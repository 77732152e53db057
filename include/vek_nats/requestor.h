#pragma once

#include "vek_nats/svc.h"

namespace vek_nats {

// Sends a request and waits up to request_timeout for the first reply.
class VEK_NATS_API CNATSRequestor : public CNATSSvc {
public:
    CNATSRequestor();
    ~CNATSRequestor() override;

    // 0 with `reply` filled (subject, data, dataLen, recv_ts), STATUS_NO_CONNECTION or
    // STATUS_REQUEST (time-out and no responders included; reply untouched).
    svc_status request(const char* subject, const void* data, int dataLen, NATSSvcMsg& reply);
    // As request, for a zero-terminated text; STATUS_REQUEST_STRING on failure.
    svc_status request_string(const char* subject, const char* text, NATSSvcMsg& reply);
};

}  // namespace vek_nats
