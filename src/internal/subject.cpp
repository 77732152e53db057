#include "internal/subject.h"

#include <cstdio>

namespace vek_nats::detail {

natsStatus check_publish_subject(const char* subject) {
    if (subject == nullptr) return NATS_INVALID_SUBJECT;
    bool token_empty = true;  // at the start, and right after each dot
    std::size_t i = 0;
    for (; subject[i] != '\0'; ++i) {
        if (i == MAX_SUBJECT_BYTES) return NATS_INVALID_SUBJECT;
        const auto c = static_cast<unsigned char>(subject[i]);
        if (c == '.') {
            if (token_empty) return NATS_INVALID_SUBJECT;
            token_empty = true;
            continue;
        }
        // Space and below are whitespace and control bytes; 0x7F is DEL. Bytes of UTF-8
        // sequences (0x80 and up) are ordinary subject bytes.
        if (c <= ' ' || c == 0x7F || c == '*' || c == '>') return NATS_INVALID_SUBJECT;
        token_empty = false;
    }
    return token_empty ? NATS_INVALID_SUBJECT : NATS_OK;  // empty, or a trailing dot
}

natsStatus check_publish(const char* subject, const void* data, int dataLen) {
    const natsStatus s = check_publish_subject(subject);
    return s != NATS_OK ? s : check_payload(data, dataLen);
}

natsStatus check_subscribe_subject(const char* subject) {
    if (subject == nullptr) return NATS_OK;
    for (std::size_t i = 0; subject[i] != '\0'; ++i) {
        if (i == MAX_SUBJECT_BYTES) return NATS_INVALID_SUBJECT;
    }
    return NATS_OK;
}

std::string shown_subject(const char* subject) {
    if (subject == nullptr) return "(null)";
    std::string shown;
    for (std::size_t i = 0; subject[i] != '\0' && i < MAX_SUBJECT_BYTES; ++i) {
        const auto c = static_cast<unsigned char>(subject[i]);
        if (c < ' ' || c == 0x7F) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            shown += escaped;
        } else {
            shown += static_cast<char>(c);
        }
    }
    return shown;
}

}  // namespace vek_nats::detail
