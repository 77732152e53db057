#pragma once

// The two sides of every case: raw libnats and vek_nats doing the same work on one server.
// A side is set up (connected, subscribed, serving) by its maker and then does units of work
// when asked; vek_nats_bench.cpp times the twins of a case in alternating turns.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "vek_nats/vek_nats.h"

namespace bench {

class Side {
public:
    virtual ~Side() = default;
    // n units of the case's work (publishes, messages taken, request round trips, messages
    // held unread); false when one of them failed.
    virtual bool run(std::int64_t n) = 0;
    std::string error;  // why the maker could not set the side up; empty when ready
};
using SidePtr = std::unique_ptr<Side>;
using Maker = std::function<SidePtr()>;

// The server of the run.
const std::string& server_url();

// The library tests it with access(2) at every gated record; gated raw readers do the same.
inline constexpr const char* SWITCH_FILE = "/tmp/vek_nats_debug";
// 16 bytes without a zero byte, so the wrapper's text copy covers the whole payload.
inline constexpr const char* REQUEST_TEXT = "request-16-bytes";
inline constexpr const char* REPLY_TEXT = "reply";
// Both ends of request/reply publish as the library does by default.
inline const bool REQREP_ASAP = vek_nats::NATSSvcParam{}.send_asap;

// A subject of its own for each side, 19 characters or more: past the small-string buffer of
// std::string, as the subjects of this system are.
std::string new_subject(const char* kind);
// Has the feeder process publish n payloads of `size` bytes on subject, so that publishing
// costs the measured process nothing; returns at once.
void feed(const std::string& subject, std::int64_t n, int size);
// Polls pred until it holds, at most 30 s plus a millisecond per 20 messages expected.
bool arrives(std::int64_t n, const std::function<bool()>& pred);

// ---- raw libnats ----
// With `headers`, each message carries one header (a natsMsg built per publish); with
// `deadline`, the write deadline the wrapper sets by default (libnats arms it per publish).
Maker raw_publisher(int size, bool asap, bool headers = false, bool deadline = false);
enum class Reader {
    count,           // the callback only counts
    deque,           // the callback builds the wrapper's record into a mutex-guarded deque
    deque_gated,     // ... and the reader tests the switch file once per message
    next_msg,        // natsSubscription_NextMsg
    next_msg_gated,  // ... plus one access(2) per message
    held,            // messages wait unread in a sync subscription (memory)
};
Maker raw_reader(Reader how, int size);
enum class Replier {
    callback,  // answers inside its message callback
    handoff,   // its callback queues the request for a serving thread, as the wrapper's queue does
    next_msg,  // a serving thread reads with natsSubscription_NextMsg
    // ... fills the wrapper's record (kept from request to request, as a caller's loop keeps
    // it) and tests the switch file for its receive and its reply, as the library must
    next_msg_gated,
};
// Serves on subject until destroyed; its run() does nothing.
SidePtr raw_replier(const std::string& subject, Replier how);
SidePtr raw_requestor(const std::string& subject);
// ... plus one access(2) per request, as the library's request record must.
SidePtr raw_gated_requestor(const std::string& subject);

// Streams (memory storage, a stream of its own per side): `publish` waits for each message's
// acknowledgement, `publish_async` sends a turn's messages and waits for all acknowledgements,
// `fetch_ack` takes what the feeder publishes into the stream through a durable, pulled in
// batches of JS_BATCH, and acknowledges each.
enum class Js { publish, publish_async, fetch_ack };
inline constexpr int JS_BATCH = 64;
// The stream that stores `subject`, named after it.
std::string stream_name(const std::string& subject);
Maker raw_stream(Js how);

// ---- vek_nats ----
Maker vek_publisher(int size, bool asap, bool headers = false);
enum class Recv { queue, sync, held };  // recv, recv_sync, or messages left in the queue
// `binary`: with binary_payloads, every byte copied.
Maker vek_reader(Recv how, int size, bool binary = false);
// The one header of the publish-with-headers twins.
inline constexpr const char* HEADER_NAME = "Trace-Id";
inline constexpr const char* HEADER_VALUE = "4bf92f3577b34da6";
// CNATSReplier answering with reply what recv (or recv_sync) gives it.
SidePtr vek_replier(const std::string& subject, bool sync);
SidePtr vek_requestor(const std::string& subject);
Maker vek_stream(Js how);

}  // namespace bench
