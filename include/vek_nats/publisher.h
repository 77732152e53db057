#pragma once

#include "vek_nats/svc.h"

namespace vek_nats {

// Publishes messages, fire and forget, and remembers the subjects of its first five publishes.
// Every subject sent (here, by CNATSRequestor and by CNATSReplier::reply) must be 1 to 4096
// bytes of non-empty dot-separated tokens without whitespace, control bytes, '*' or '>';
// any other is refused with the operation's failure code before anything is sent.
class VEK_NATS_API CNATSPublisher : public CNATSSvc {
public:
    CNATSPublisher();
    ~CNATSPublisher() override;

    // Sends dataLen bytes from data (null only when dataLen is 0; a negative dataLen is
    // refused). 0, STATUS_NO_CONNECTION or STATUS_PUBLISH.
    svc_status publish(const char* subject, const void* data, int dataLen);
    // As publish, with headers. A name that is empty or holds ':', a blank or a control byte,
    // or a value holding CR, LF or a zero byte, is refused (STATUS_PUBLISH) before anything
    // is sent.
    svc_status publish(const char* subject, const void* data, int dataLen,
                       const NATSSvcHeaders& headers);
    // Sends the zero-terminated text. 0, STATUS_NO_CONNECTION or STATUS_PUBLISH_STRING.
    svc_status publish_string(const char* subject, const char* text);
};

}  // namespace vek_nats
