#include "vek_nats/publisher.h"

#include "internal/logging.h"
#include "internal/subject.h"

namespace vek_nats {

CNATSPublisher::CNATSPublisher() {
    VEK_TRACE("");
}

CNATSPublisher::~CNATSPublisher() {
    VEK_TRACE("");
}

svc_status CNATSPublisher::publish(const char* subject, const void* data, int dataLen) {
    pinned pin(*this);
    if (pin.conn() == nullptr) {
        VEK_LOG("- error: empty connection");
        return STATUS_NO_CONNECTION;
    }
    if (const natsStatus bad = detail::check_publish(subject, data, dataLen); bad != NATS_OK) {
        VEK_LOG_NATS(bad, " subj-> %s, dataLen=%d", detail::shown_subject(subject).c_str(),
                     dataLen);
        return STATUS_PUBLISH;
    }
    const natsStatus s = natsConnection_Publish(pin.conn(), subject, data, dataLen);
    if (s != NATS_OK) {
        VEK_LOG_NATS(s, " subj-> %s, dataLen=%d", detail::printable(subject), dataLen);
        return STATUS_PUBLISH;
    }
    record_published(subject);
    return STATUS_OK;
}

svc_status CNATSPublisher::publish_string(const char* subject, const char* text) {
    pinned pin(*this);
    if (pin.conn() == nullptr) {
        VEK_LOG("- error: empty connection");
        return STATUS_NO_CONNECTION;
    }
    if (const natsStatus bad = detail::check_publish_subject(subject); bad != NATS_OK) {
        VEK_LOG_NATS(bad, " subj-> %s, str-> %s", detail::shown_subject(subject).c_str(),
                     detail::printable(text));
        return STATUS_PUBLISH_STRING;
    }
    const natsStatus s = natsConnection_PublishString(pin.conn(), subject, text);
    if (s != NATS_OK) {
        VEK_LOG_NATS(s, " subj-> %s, str-> %s", detail::printable(subject),
                     detail::printable(text));
        return STATUS_PUBLISH_STRING;
    }
    record_published(subject);
    return STATUS_OK;
}

}  // namespace vek_nats
