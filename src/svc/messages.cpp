// The send side of headers and payloads: messages built for publish, request and reply.
#include <cstring>

#include "internal/bytes.h"
#include "internal/core.h"
#include "internal/logging.h"
#include "internal/subject.h"

namespace vek_nats::detail {

namespace {

// libnats writes headers as "name: value" lines as they are: a name with ':' or blanks, or a
// value with a line end, would let a caller write header lines (or protocol) of its choosing.
// A zero byte would cut the field short of what the caller gave.
bool header_allowed(const std::string& name, const std::string& value) {
    if (name.empty()) return false;
    // Space and below are blanks and control bytes; 0x7F is DEL.
    const bool name_refused = any_byte(name.c_str(), name.size(), [](bytes16 b, bytes16) {
        return (b <= ' ') | (b == 0x7F) | (b == ':');
    });
    return !name_refused && !any_byte(value.c_str(), value.size(), [](bytes16 b, bytes16) {
        return (b == '\r') | (b == '\n') | (b == 0);
    });
}

}  // namespace

int core::payload_length(const std::string& data) const {
    return static_cast<int>(binary.load(std::memory_order_relaxed) ? data.size()
                                                                   : strlen(data.c_str()));
}

natsMsg* core::make_message(const char* subject, const void* data, int length,
                            const NATSSvcHeaders& headers, natsStatus* s) const {
    // A subject that passed the check for an earlier publication is not scanned again.
    *s = checked_before(subject) ? check_payload(data, length)
                                 : check_publish(subject, data, length);
    if (*s != NATS_OK) return nullptr;
    for (const auto& [name, value] : headers) {
        if (!header_allowed(name, value)) {
            *s = NATS_INVALID_ARG;
            VEK_LOG("- error: header refused: %s", shown_subject(name.c_str()).c_str());
            return nullptr;
        }
    }
    natsMsg* msg = nullptr;
    *s = natsMsg_Create(&msg, subject, nullptr, static_cast<const char*>(data), length);
    for (size_t i = 0; *s == NATS_OK && i < headers.size(); ++i) {
        *s = natsMsgHeader_Add(msg, headers[i].first.c_str(), headers[i].second.c_str());
    }
    if (*s == NATS_OK) return msg;
    natsMsg_Destroy(msg);
    return nullptr;
}

}  // namespace vek_nats::detail
