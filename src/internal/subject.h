#pragma once

// Subjects as callers hand them over, checked before they reach the wire: libnats checks
// subscribe subjects but sends a publish subject as it is, so a subject holding "\r\n" would
// write protocol lines of the caller's choosing.
#include <nats/nats.h>

#include <cstddef>
#include <string>

namespace vek_nats::detail {

// The longest subject sent; longer ones make the server drop the connection.
inline constexpr std::size_t MAX_SUBJECT_BYTES = 4096;

// NATS_OK for a subject that may be published to: 1 to MAX_SUBJECT_BYTES bytes of non-empty
// tokens separated by single dots, no whitespace, control byte or wildcard ('*', '>') in it.
// Else NATS_INVALID_SUBJECT. Reads at most MAX_SUBJECT_BYTES + 1 bytes.
natsStatus check_publish_subject(const char* subject);

// As check_publish_subject, and a payload that can be read (check_payload).
natsStatus check_publish(const char* subject, const void* data, int dataLen);

// NATS_OK for a payload that can be read: `dataLen` bytes from `data`, which may be null only
// for an empty payload (NATS_INVALID_ARG otherwise).
inline natsStatus check_payload(const void* data, int dataLen) {
    // libnats 3.4 copies dataLen bytes from a null payload and sends a negative length as 0.
    return dataLen < 0 || (data == nullptr && dataLen > 0) ? NATS_INVALID_ARG : NATS_OK;
}

// Subscribe subjects may hold wildcards and libnats checks their tokens; only the length,
// which it does not check, is ours. A null subject is left to libnats.
natsStatus check_subscribe_subject(const char* subject);

// A caller's subject as error records show it: control bytes as "\xNN", so that no subject
// can end a record and start a forged one; at most MAX_SUBJECT_BYTES bytes of it; null as
// "(null)".
std::string shown_subject(const char* subject);

}  // namespace vek_nats::detail
