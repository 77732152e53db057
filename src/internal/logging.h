#pragma once

// Logging shorthands for the library's own code: every record begins with "%s(%d)", the
// unqualified name of the calling function and the source line.
#include <nats/nats.h>

#include "vek_nats/log.h"

// Written whether or not the switch file exists.
#define VEK_LOG(fmt, ...) \
    ::vek_nats::log_dump(0, 0, "%s(%d)" fmt, __func__, __LINE__, ##__VA_ARGS__)
// Written only while the switch file exists; otherwise not even its arguments are evaluated
// (a reply's trace reads the queue's size under its mutex).
#define VEK_TRACE(fmt, ...)                                                              \
    do {                                                                                 \
        if (::vek_nats::detail::tracing())                                               \
            ::vek_nats::log_dump(0, 0, "%s(%d)" fmt, __func__, __LINE__, ##__VA_ARGS__); \
    } while (0)
// As VEK_LOG, for helpers that work on behalf of an operation named `func`.
#define VEK_LOG_AS(func, fmt, ...) \
    ::vek_nats::log_dump(0, 0, "%s(%d)" fmt, func, __LINE__, ##__VA_ARGS__)
// Error line carrying a NATS status as "(%u - %s)", its number and its text; the status
// becomes the calling thread's last_nats_status().
#define VEK_LOG_NATS(status, fmt, ...)                                        \
    do {                                                                      \
        const natsStatus vek_status_ = (status);                              \
        ::vek_nats::detail::note_nats_status(vek_status_);                    \
        VEK_LOG("- error: (%u - %s)" fmt, static_cast<unsigned>(vek_status_), \
                natsStatus_GetText(vek_status_), ##__VA_ARGS__);              \
    } while (0)

namespace vek_nats::detail {

// Sets what last_nats_status() gives the calling thread.
void note_nats_status(natsStatus status);

// Whether the switch file exists: one access(2), so that creating or removing it takes effect
// at once in every process.
bool tracing();

// Subjects come from callers as C strings that may be null; logs print "(null)" for them.
inline const char* printable(const char* text) {
    return text != nullptr ? text : "(null)";
}

// A queue group as the subscribe operations pass it on: a null group would make a plain
// subscription, so it is handed over as the empty group, which libnats refuses.
inline const char* queue_group(const char* group) {
    return group != nullptr ? group : "";
}

}  // namespace vek_nats::detail
