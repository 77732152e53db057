#pragma once

// The measured variants. Every raw libnats variant has a vek_nats twin that does the same
// work through the wrapper, on the same server, subject and settings.
#include <cstdint>
#include <memory>
#include <string>

#include "harness.h"

namespace bench {

// A requestor and a replier, connected and serving on a subject of their own: request() sends
// one request and waits for its answer. Several exchanges live at once, so that their requests
// can be interleaved one by one and all of them see the same load of the machine.
class Exchange {
public:
    virtual ~Exchange() = default;
    // Empty when set up; else why not.
    const std::string& error() const { return m_error; }
    virtual bool request() = 0;

protected:
    std::string m_error;
};

// A connected publisher of payloads of one size: send(n) publishes n of them in a tight loop,
// flush() waits until the server has them all.
class Sender {
public:
    virtual ~Sender() = default;
    const std::string& error() const { return m_error; }
    virtual bool send(std::int64_t n) = 0;
    virtual bool flush() = 0;

protected:
    std::string m_error;
};

// ---- raw libnats ----
std::unique_ptr<Sender> raw_sender(const std::string& url, int size, bool asap);
// Async subscription whose callback only counts.
Measure raw_queue_count(const std::string& url, std::int64_t count);
// Async subscription whose callback copies into a mutex-guarded deque read by another thread.
// gated: the reader tests the switch file with access(2) once per message, as the wrapper
// must for its trace record (here too the receive paths are compared with and without it).
Measure raw_queue_deque(const std::string& url, std::int64_t count, bool gated);
Measure raw_next_msg(const std::string& url, std::int64_t count, bool gated);
// A raw replier of one of three kinds, and natsConnection_RequestString against it; without
// raw_requestor only the replier is set up, for vek_requestor_exchange.
enum class RawReplier {
    callback,  // answers inside its message callback
    handoff,   // its callback queues the request for a serving thread, as the wrapper's queue does
    next_msg,  // a serving thread reads with natsSubscription_NextMsg
};
std::unique_ptr<Exchange> raw_exchange(const std::string& url, bool asap, const char* subject,
                                       RawReplier kind, bool raw_requestor = true);
// Bytes per message while `count` messages wait unread in a synchronous subscription.
Measure raw_memory(const std::string& url, std::int64_t count);

// ---- vek_nats ----
std::unique_ptr<Sender> vek_sender(const std::string& url, int size, bool asap);
Measure vek_queue_recv(const std::string& url, std::int64_t count);
Measure vek_recv_sync(const std::string& url, std::int64_t count);
// CNATSRequestor against a CNATSReplier serving through recv (sync false) or recv_sync, each
// answer sent with reply.
std::unique_ptr<Exchange> vek_exchange(const std::string& url, bool asap, const char* subject,
                                       bool sync);
// CNATSRequestor against the raw replier that answers in its callback: the requestor alone.
std::unique_ptr<Exchange> vek_requestor_exchange(const std::string& url, bool asap,
                                                 const char* subject);
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
