#include "internal/subject.h"

#include <cstdio>
#include <cstring>

#include "internal/bytes.h"

namespace vek_nats::detail {

natsStatus check_publish_subject(const char* subject) {
    if (subject == nullptr) return NATS_INVALID_SUBJECT;
    const std::size_t n = strnlen(subject, MAX_SUBJECT_BYTES + 1);
    // Empty, too long, or an empty first or last token.
    if (n == 0 || n > MAX_SUBJECT_BYTES || subject[0] == '.' || subject[n - 1] == '.') {
        return NATS_INVALID_SUBJECT;
    }
    // Space and below are whitespace and control bytes; 0x7F is DEL; two dots in a row make an
    // empty token. Bytes of UTF-8 sequences (0x80 and up) are ordinary subject bytes.
    const bool refused = any_byte(subject, n, [](bytes16 b, bytes16 next) {
        return (b <= ' ') | (b == 0x7F) | (b == '*') | (b == '>') | ((b == '.') & (next == '.'));
    });
    return refused ? NATS_INVALID_SUBJECT : NATS_OK;
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
