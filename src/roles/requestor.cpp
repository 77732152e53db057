#include "vek_nats/requestor.h"

#include "internal/core.h"
#include "internal/logging.h"
#include "internal/subject.h"

namespace vek_nats {

CNATSRequestor::CNATSRequestor() {
    VEK_TRACE("");
}

CNATSRequestor::~CNATSRequestor() {
    VEK_TRACE("");
}

svc_status CNATSRequestor::request(const char* subject, const void* data, int dataLen,
                                   NATSSvcMsg& reply) {
    detail::core::answer_awaited awaiting(*m_core);
    detail::core::pinned pin(*m_core);
    if (pin.conn() == nullptr) {
        VEK_LOG("- error: empty connection");
        return STATUS_NO_CONNECTION;
    }
    // What the check refuses never reaches libnats; either refusal is reported alike.
    natsMsg* msg = nullptr;
    natsStatus s = detail::check_publish(subject, data, dataLen);
    if (s == NATS_OK) {
        s = natsConnection_Request(&msg, pin.conn(), subject, data, dataLen,
                                   m_core->request_timeout);
    }
    if (s != NATS_OK) {
        VEK_LOG_NATS(s, " subj-> %s, dataLen=%d", detail::shown_subject(subject).c_str(), dataLen);
        return STATUS_REQUEST;
    }
    // Only subject, data, dataLen, recv_ts and headers: inbox and reply_data stay the caller's.
    m_core->fill_record(reply, msg, false);
    VEK_TRACE("- Received reply: %s -> %.*s", reply.subject.c_str(), reply.dataLen,
              reply.data.c_str());
    natsMsg_Destroy(msg);
    return STATUS_OK;
}

svc_status CNATSRequestor::request(const char* subject, const void* data, int dataLen,
                                   const NATSSvcHeaders& headers, NATSSvcMsg& reply) {
    detail::core::answer_awaited awaiting(*m_core);
    detail::core::pinned pin(*m_core);
    if (pin.conn() == nullptr) {
        VEK_LOG("- error: empty connection");
        return STATUS_NO_CONNECTION;
    }
    natsStatus s = NATS_OK;
    natsMsg* msg = m_core->make_message(subject, data, dataLen, headers, &s);
    natsMsg* answer = nullptr;
    if (s == NATS_OK)
        s = natsConnection_RequestMsg(&answer, pin.conn(), msg, m_core->request_timeout);
    natsMsg_Destroy(msg);
    if (s != NATS_OK) {
        VEK_LOG_NATS(s, " subj-> %s, dataLen=%d, headers=%zu",
                     detail::shown_subject(subject).c_str(), dataLen, headers.size());
        return STATUS_REQUEST;
    }
    m_core->fill_record(reply, answer, false);
    natsMsg_Destroy(answer);
    return STATUS_OK;
}

svc_status CNATSRequestor::request_string(const char* subject, const char* text,
                                          NATSSvcMsg& reply) {
    detail::core::answer_awaited awaiting(*m_core);
    detail::core::pinned pin(*m_core);
    if (pin.conn() == nullptr) {
        VEK_LOG("- error: empty connection");
        return STATUS_NO_CONNECTION;
    }
    natsMsg* msg = nullptr;
    natsStatus s = detail::check_publish_subject(subject);
    if (s == NATS_OK) {
        s = natsConnection_RequestString(&msg, pin.conn(), subject, text, m_core->request_timeout);
    }
    if (s != NATS_OK) {
        VEK_LOG_NATS(s, " subj-> %s, str-> %s", detail::shown_subject(subject).c_str(),
                     detail::printable(text));
        return STATUS_REQUEST_STRING;
    }
    m_core->fill_record(reply, msg, false);
    VEK_TRACE("- Received reply: %s -> %.*s", reply.subject.c_str(), reply.dataLen,
              reply.data.c_str());
    natsMsg_Destroy(msg);
    return STATUS_OK;
}

}  // namespace vek_nats
