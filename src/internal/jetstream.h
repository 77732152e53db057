#pragma once

// The JetStream side of a service object: the context made for its connection and, for a
// consumer, the pull subscription, the batch being handed out and the acknowledgement subjects
// of the messages handed out and not yet settled. Lives as long as the object; destroy()
// releases the handles (release_streams), a later connect makes them anew.
#include <nats/nats.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "vek_nats/status.h"
#include "vek_nats/stream.h"

namespace vek_nats::detail {

struct core;

// Stream sequences of the messages handed out and not settled. Fetches mostly hand them out in
// rising order and acks mostly follow it, so a sorted vector appended at its end and consumed
// from its head costs no allocation per message; one settled out of order stays as a mark
// until the marks outnumber the rest. Not locked: its owner's acks_mutex guards it.
class unsettled_seqs {
public:
    void add(std::uint64_t seq);   // handed out (again)
    bool take(std::uint64_t seq);  // true when `seq` was unsettled; then it no longer is
    void drop_oldest();            // the lowest sequence, when there is one
    void clear();
    size_t size() const { return live_; }

private:
    struct entry {
        std::uint64_t seq;
        bool settled;
    };
    void tidy();
    std::vector<entry> entries_;  // sorted by seq; those before head_ are gone
    size_t head_ = 0;             // the first unsettled entry when live_ > 0
    size_t live_ = 0;
};

struct jetstream {
    jetstream() = default;
    jetstream(const jetstream&) = delete;
    jetstream& operator=(const jetstream&) = delete;
    ~jetstream() { release(); }

    // The context of the pinned connection `nc`, made on first use; null when libnats refused.
    jsCtx* context(natsConnection* nc, core& owner);
    void release();  // every handle; the object is not pinned by anyone

    // The handles and names; a fetch holds it while it pulls, so one pull runs at a time.
    std::mutex mutex;
    // Set under the mutex; read without it by the publishing calls (cleared only by destroy(),
    // when nobody is pinned).
    std::atomic<jsCtx*> js{nullptr};
    // The consumer: set under both mutexes, so either one is enough to read it.
    natsSubscription* pull = nullptr;
    std::string stream, durable;

    // What fetch hands out and what is settled, under acks_mutex alone: handing out a message
    // of the batch and recording it take one lock pair, and settling never waits for a pull.
    std::mutex acks_mutex;
    natsMsgList batch{nullptr, 0};
    int next = 0;  // first message of the batch not handed out
    // Stream sequences of the messages handed out and not settled.
    unsettled_seqs unsettled;
    // The acknowledgement subject of the last message handed out and its stream sequence:
    // settling that message, the usual next call, needs no second parse.
    std::string last_inbox;
    std::uint64_t last_seq = 0;

    std::atomic<int> async_failed{0};  // asynchronous publishes refused since publish_complete
};

// What an acknowledgement subject tells; zeros when `subject` is not one.
struct ack_fields {
    std::uint64_t stream_seq = 0;
    std::uint64_t delivered = 0;
};
ack_fields parse_ack_subject(const std::string& subject);  // allocates nothing

// NATS_OK when `name` may name a stream or a durable: 1 to 255 bytes, no dot, wildcard, path
// separator, whitespace or control byte.
bool valid_stream_name(const char* name);

// The code of a failed JetStream call: a known cause's own, else `fallback`.
svc_status stream_code(natsStatus s, jsErrCode err, svc_status fallback);

}  // namespace vek_nats::detail
