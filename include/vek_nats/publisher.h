#pragma once

#include "vek_nats/svc.h"

namespace vek_nats {

// Publishes messages, fire and forget, and remembers the subjects of its first five publishes.
class VEK_NATS_API CNATSPublisher : public CNATSSvc {
public:
    CNATSPublisher();
    ~CNATSPublisher() override;

    // Sends dataLen bytes from data. 0, STATUS_NO_CONNECTION or STATUS_PUBLISH.
    svc_status publish(const char* subject, const void* data, int dataLen);
    // Sends the zero-terminated text. 0, STATUS_NO_CONNECTION or STATUS_PUBLISH_STRING.
    svc_status publish_string(const char* subject, const char* text);
};

}  // namespace vek_nats
