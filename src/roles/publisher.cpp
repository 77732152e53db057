#include "vek_nats/publisher.h"

#include "internal/core.h"
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
    detail::core::pinned pin(*m_core);
    if (pin.conn() == nullptr) {
        VEK_LOG("- error: empty connection");
        return STATUS_NO_CONNECTION;
    }
    // What the check refuses never reaches libnats; either refusal is reported alike. A
    // subject that passed it for an earlier publication is not scanned again.
    const bool known = m_core->checked_before(subject);
    natsStatus s = known ? detail::check_payload(data, dataLen)
                         : detail::check_publish(subject, data, dataLen);
    if (s == NATS_OK) s = natsConnection_Publish(pin.conn(), subject, data, dataLen);
    if (s != NATS_OK) {
        VEK_LOG_NATS(s, " subj-> %s, dataLen=%d", detail::shown_subject(subject).c_str(), dataLen);
        return STATUS_PUBLISH;
    }
    if (!known) m_core->record_published(subject);  // a known one was, and all five are taken
    return STATUS_OK;
}

svc_status CNATSPublisher::publish(const char* subject, const void* data, int dataLen,
                                   const NATSSvcHeaders& headers) {
    detail::core::pinned pin(*m_core);
    if (pin.conn() == nullptr) {
        VEK_LOG("- error: empty connection");
        return STATUS_NO_CONNECTION;
    }
    natsStatus s = NATS_OK;
    natsMsg* msg = m_core->make_message(subject, data, dataLen, headers, &s);
    if (s == NATS_OK) s = natsConnection_PublishMsg(pin.conn(), msg);
    natsMsg_Destroy(msg);
    if (s != NATS_OK) {
        VEK_LOG_NATS(s, " subj-> %s, dataLen=%d, headers=%zu",
                     detail::shown_subject(subject).c_str(), dataLen, headers.size());
        return STATUS_PUBLISH;
    }
    m_core->record_published(subject);
    return STATUS_OK;
}

svc_status CNATSPublisher::publish_string(const char* subject, const char* text) {
    detail::core::pinned pin(*m_core);
    if (pin.conn() == nullptr) {
        VEK_LOG("- error: empty connection");
        return STATUS_NO_CONNECTION;
    }
    natsStatus s =
        m_core->checked_before(subject) ? NATS_OK : detail::check_publish_subject(subject);
    if (s == NATS_OK) s = natsConnection_PublishString(pin.conn(), subject, text);
    if (s != NATS_OK) {
        VEK_LOG_NATS(s, " subj-> %s, str-> %s", detail::shown_subject(subject).c_str(),
                     detail::printable(text));
        return STATUS_PUBLISH_STRING;
    }
    m_core->record_published(subject);
    return STATUS_OK;
}

}  // namespace vek_nats
