#pragma once

// The measured variants. Every raw libnats variant has a vek_nats twin that does the same
// work through the wrapper, on the same server, subject and settings.
#include <cstdint>
#include <string>

#include "harness.h"

namespace bench {

// ---- raw libnats ----
Measure raw_publish(const std::string& url, int size, bool asap, std::int64_t count);
// Async subscription whose callback only counts.
Measure raw_queue_count(const std::string& url, std::int64_t count);
// Async subscription whose callback copies into a mutex-guarded deque read by another thread.
Measure raw_queue_deque(const std::string& url, std::int64_t count);
Measure raw_next_msg(const std::string& url, std::int64_t count);
// Replier answering inside its message callback.
Measure raw_request_callback(const std::string& url, bool asap, std::int64_t n);
// Replier whose callback queues the request for a serving thread, as the wrapper's queue does.
Measure raw_request_handoff(const std::string& url, bool asap, std::int64_t n);
// Replier answering from a thread that reads with natsSubscription_NextMsg.
Measure raw_request_next_msg(const std::string& url, bool asap, std::int64_t n);
// Bytes per message while `count` messages wait unread in a synchronous subscription.
Measure raw_memory(const std::string& url, std::int64_t count);

// ---- vek_nats ----
Measure vek_publish(const std::string& url, int size, bool asap, std::int64_t count);
Measure vek_queue_recv(const std::string& url, std::int64_t count);
Measure vek_recv_sync(const std::string& url, std::int64_t count);
Measure vek_request_recv(const std::string& url, bool asap, std::int64_t n);
Measure vek_request_recv_sync(const std::string& url, bool asap, std::int64_t n);
// Bytes per message while `count` messages wait unread in the subscriber's queue.
Measure vek_memory(const std::string& url, std::int64_t count);

// Cost of one trace record while the switch file is absent, next to the cost of one access(2)
// on the switch file and of formatting the record, all in ns per call.
struct TraceGate {
    bool ok = false;
    std::string error;
    double gated_ns = 0, access_ns = 0, format_ns = 0;
};
TraceGate measure_trace_gate(std::int64_t n);

}  // namespace bench
