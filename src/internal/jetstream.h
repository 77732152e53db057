#pragma once

// The JetStream side of a service object: the context made for its connection and, for a
// consumer, the pull subscription, the batch being handed out and the acknowledgement subjects
// of the messages handed out and not yet settled. Lives as long as the object; destroy()
// releases the handles (release_streams), a later connect makes them anew.
#include <nats/nats.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "vek_nats/status.h"
#include "vek_nats/stream.h"

namespace vek_nats::detail {

struct core;

// Stream sequences of the messages handed out and not settled, in rising order. Fetches hand
// them out rising and acks mostly follow, so nearly every change is at one end of the deque:
// no allocation per message, as a std::set node was. Not locked: acks_mutex guards it.
class unsettled_seqs {
public:
    void add(std::uint64_t seq) {  // handed out (again)
        if (seqs_.empty() || seqs_.back() < seq) {
            seqs_.push_back(seq);
            return;
        }
        const auto at = std::lower_bound(seqs_.begin(), seqs_.end(), seq);
        if (at == seqs_.end() || *at != seq) seqs_.insert(at, seq);
    }
    bool take(std::uint64_t seq) {  // true when `seq` was unsettled; then it no longer is
        if (!seqs_.empty() && seqs_.front() == seq) {
            seqs_.pop_front();
            return true;
        }
        const auto at = std::lower_bound(seqs_.begin(), seqs_.end(), seq);
        if (at == seqs_.end() || *at != seq) return false;
        seqs_.erase(at);
        return true;
    }
    void drop_oldest() {
        if (!seqs_.empty()) seqs_.pop_front();
    }
    void clear() { seqs_.clear(); }
    size_t size() const { return seqs_.size(); }

private:
    std::deque<std::uint64_t> seqs_;
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
