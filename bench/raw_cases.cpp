// The ceiling: the same work done with libnats alone.
#include <nats/nats.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "cases.h"

namespace bench {
namespace {

// Time allowed for `count` messages to arrive: generous, a shared machine stalls.
std::int64_t arrival_timeout_ms(std::int64_t count) {
    return 30000 + count / 20;
}

std::string nats_error(const char* what, natsStatus s) {
    return std::string(what) + ": " + std::to_string(s) + " - " + natsStatus_GetText(s);
}

// One raw connection with its options; released in reverse order.
class RawConn {
public:
    RawConn() = default;
    ~RawConn() {
        natsConnection_Destroy(m_nc);
        natsOptions_Destroy(m_opts);
    }
    RawConn(const RawConn&) = delete;
    RawConn& operator=(const RawConn&) = delete;

    natsStatus open(const std::string& url, bool asap) {
        natsStatus s = natsOptions_Create(&m_opts);
        if (s == NATS_OK) s = natsOptions_SetURL(m_opts, url.c_str());
        if (s == NATS_OK) s = natsOptions_SetSendAsap(m_opts, asap);
        if (s == NATS_OK) s = natsConnection_Connect(&m_nc, m_opts);
        return s;
    }
    natsConnection* nc() const { return m_nc; }

private:
    natsOptions* m_opts = nullptr;
    natsConnection* m_nc = nullptr;
};

class RawSub {
public:
    ~RawSub() { natsSubscription_Destroy(m_sub); }
    natsSubscription** out() { return &m_sub; }
    natsSubscription* get() const { return m_sub; }

private:
    natsSubscription* m_sub = nullptr;
};

// The wrapper's record, rebuilt with plain members so the raw side does the same copying.
struct Record {
    std::string subject;
    std::string data;
    std::int32_t dataLen = 0;
    std::int64_t recv_ts = 0;
    std::string inbox;
    std::string reply_data;
};

struct CountState {
    std::atomic<std::int64_t> received{0};
    std::atomic<std::int64_t> first{0}, last{0};
    std::int64_t target = 0;
};

void count_cb(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) {
    auto* state = static_cast<CountState*>(closure);
    const std::int64_t n = state->received.fetch_add(1, std::memory_order_relaxed) + 1;
    if (n == 1) state->first.store(wall_ns(), std::memory_order_relaxed);
    if (n == state->target) state->last.store(wall_ns(), std::memory_order_release);
    natsMsg_Destroy(msg);
}

struct DequeState {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<Record> queue;
    bool stop = false;
};

// The wrapper's delivery: the record is built outside the lock, then appended. The reply
// subject is copied when there is one, as the replier's queue does.
void deque_cb(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) {
    auto* state = static_cast<DequeState*>(closure);
    Record rec;
    const char* subject = natsMsg_GetSubject(msg);
    const char* data = natsMsg_GetData(msg);
    const char* reply = natsMsg_GetReply(msg);
    rec.dataLen = natsMsg_GetDataLength(msg);
    if (subject != nullptr) rec.subject.assign(subject);
    if (data != nullptr) rec.data.assign(data, strnlen(data, static_cast<size_t>(rec.dataLen)));
    if (reply != nullptr) rec.inbox.assign(reply);
    rec.recv_ts = nats_Now();
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->queue.push_back(std::move(rec));
    }
    state->cv.notify_one();
    natsMsg_Destroy(msg);
}

void reply_cb(natsConnection* nc, natsSubscription*, natsMsg* msg, void*) {
    const char* reply = natsMsg_GetReply(msg);
    if (reply != nullptr) natsConnection_PublishString(nc, reply, REPLY_TEXT);
    natsMsg_Destroy(msg);
}

class RawExchange : public Exchange {
public:
    RawExchange(const std::string& url, bool asap, const char* subject, RawReplier kind,
                bool raw_requestor)
        : m_subject(subject), m_kind(kind) {
        natsStatus s = m_server.open(url, asap);
        if (s == NATS_OK) {
            if (kind == RawReplier::next_msg) {
                s = natsConnection_SubscribeSync(m_sub.out(), m_server.nc(), subject);
            } else if (kind == RawReplier::handoff) {
                s = natsConnection_Subscribe(m_sub.out(), m_server.nc(), subject, deque_cb,
                                             &m_state);
            } else {
                s = natsConnection_Subscribe(m_sub.out(), m_server.nc(), subject, reply_cb,
                                             nullptr);
            }
        }
        if (s == NATS_OK) s = natsConnection_Flush(m_server.nc());
        if (s == NATS_OK && raw_requestor) s = m_client.open(url, asap);
        if (s != NATS_OK) {
            m_error = nats_error("set-up", s);
            return;
        }
        if (kind == RawReplier::handoff) m_thread = std::thread([this] { serve_queue(); });
        if (kind == RawReplier::next_msg) m_thread = std::thread([this] { serve_next_msg(); });
    }

    ~RawExchange() override {
        if (!m_thread.joinable()) return;
        if (m_kind == RawReplier::next_msg) {
            // Unsubscribing ends a NextMsg that waits.
            natsSubscription_Unsubscribe(m_sub.get());
        } else {
            std::lock_guard<std::mutex> lock(m_state.mutex);
            m_state.stop = true;
        }
        m_state.cv.notify_all();
        m_thread.join();
    }

    bool request() override {
        if (m_client.nc() == nullptr) return false;
        natsMsg* reply = nullptr;
        const natsStatus s = natsConnection_RequestString(&reply, m_client.nc(), m_subject.c_str(),
                                                          REQUEST_TEXT, 5000);
        natsMsg_Destroy(reply);
        return s == NATS_OK;
    }

private:
    void serve_queue() {
        Record rec;
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(m_state.mutex);
                m_state.cv.wait(lock, [&] { return !m_state.queue.empty() || m_state.stop; });
                if (m_state.queue.empty()) return;
                rec = std::move(m_state.queue.front());
                m_state.queue.pop_front();
            }
            rec.reply_data = REPLY_TEXT;
            natsConnection_PublishString(m_server.nc(), rec.inbox.c_str(), rec.reply_data.c_str());
        }
    }

    void serve_next_msg() {
        for (;;) {
            natsMsg* msg = nullptr;
            if (natsSubscription_NextMsg(&msg, m_sub.get(), 10000) != NATS_OK) return;
            natsConnection_PublishString(m_server.nc(), natsMsg_GetReply(msg), REPLY_TEXT);
            natsMsg_Destroy(msg);
        }
    }

    // Destroyed in reverse: the subscription goes before the connections, the queue last.
    DequeState m_state;
    RawConn m_server, m_client;
    RawSub m_sub;
    std::string m_subject;
    RawReplier m_kind;
    std::thread m_thread;
};

}  // namespace

std::unique_ptr<Sender> raw_sender(const std::string& url, int size, bool asap) {
    class RawSender : public Sender {
    public:
        RawSender(const std::string& url, int size, bool asap)
            : m_payload(static_cast<size_t>(size), 'x') {
            const natsStatus s = m_conn.open(url, asap);
            if (s != NATS_OK) m_error = nats_error("connect", s);
        }
        bool send(std::int64_t n) override {
            natsStatus s = NATS_OK;
            const int size = static_cast<int>(m_payload.size());
            for (std::int64_t i = 0; i < n && s == NATS_OK; ++i) {
                s = natsConnection_Publish(m_conn.nc(), PUB_SUBJECT, m_payload.data(), size);
            }
            return s == NATS_OK;
        }
        bool flush() override { return natsConnection_FlushTimeout(m_conn.nc(), 60000) == NATS_OK; }

    private:
        RawConn m_conn;
        std::vector<char> m_payload;
    };
    return std::make_unique<RawSender>(url, size, asap);
}

Measure raw_queue_count(const std::string& url, std::int64_t count) {
    RawConn conn;
    RawSub sub;
    CountState state;
    state.target = count;
    natsStatus s = conn.open(url, false);
    if (s == NATS_OK)
        s = natsConnection_Subscribe(sub.out(), conn.nc(), QUEUE_SUBJECT, count_cb, &state);
    if (s == NATS_OK) s = natsSubscription_SetPendingLimits(sub.get(), -1, -1);
    if (s == NATS_OK) s = natsConnection_Flush(conn.nc());
    if (s != NATS_OK) return failed(nats_error("subscribe", s));
    Stopwatch watch;
    Feeder feeder;
    if (!feeder.start(url, QUEUE_SUBJECT, count, 16)) return failed("feeder did not start");
    const bool all = wait_for([&] { return state.last.load(std::memory_order_acquire) != 0; },
                              arrival_timeout_ms(count));
    Measure m = watch.finish_span(count - 1, state.first.load(), state.last.load());
    natsSubscription_Unsubscribe(sub.get());
    if (!feeder.wait()) return failed("feeder failed");
    if (!all)
        return failed("received " + std::to_string(state.received.load()) + " of " +
                      std::to_string(count));
    return m;
}

Measure raw_queue_deque(const std::string& url, std::int64_t count, bool gated) {
    RawConn conn;
    RawSub sub;
    DequeState state;
    natsStatus s = conn.open(url, false);
    if (s == NATS_OK)
        s = natsConnection_Subscribe(sub.out(), conn.nc(), QUEUE_SUBJECT, deque_cb, &state);
    if (s == NATS_OK) s = natsSubscription_SetPendingLimits(sub.get(), -1, -1);
    if (s == NATS_OK) s = natsConnection_Flush(conn.nc());
    if (s != NATS_OK) return failed(nats_error("subscribe", s));

    std::int64_t taken = 0, first = 0, last = 0, switch_seen = 0;
    bool bad = false;
    std::atomic<bool> done{false};
    Stopwatch watch;
    std::thread reader([&] {
        Record out;
        for (; taken < count; ++taken) {
            {
                std::unique_lock<std::mutex> lock(state.mutex);
                state.cv.wait(lock, [&] { return !state.queue.empty() || state.stop; });
                if (state.queue.empty()) break;
                out = std::move(state.queue.front());
                state.queue.pop_front();
            }
            if (out.dataLen != 16) bad = true;
            if (gated) switch_seen += access(SWITCH_FILE, F_OK) == 0;
            if (taken == 0) first = wall_ns();
        }
        last = wall_ns();
        done = true;
    });
    Feeder feeder;
    const bool fed = feeder.start(url, QUEUE_SUBJECT, count, 16) && feeder.wait();
    if (fed) wait_for([&] { return done.load(); }, arrival_timeout_ms(count));
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.stop = true;  // ends a reader that waits for messages that will not come
    }
    state.cv.notify_all();
    reader.join();
    natsSubscription_Unsubscribe(sub.get());
    if (!fed) return failed("feeder failed");
    if (taken != count || bad) {
        return failed("took " + std::to_string(taken) + " of " + std::to_string(count));
    }
    if (switch_seen != 0) return failed("the switch file exists: tracing is on");
    return watch.finish_span(count - 1, first, last);
}

Measure raw_next_msg(const std::string& url, std::int64_t count, bool gated) {
    RawConn conn;
    RawSub sub;
    natsStatus s = conn.open(url, false);
    if (s == NATS_OK) s = natsConnection_SubscribeSync(sub.out(), conn.nc(), SYNC_SUBJECT);
    if (s == NATS_OK) s = natsSubscription_SetPendingLimits(sub.get(), -1, -1);
    if (s == NATS_OK) s = natsConnection_Flush(conn.nc());
    if (s != NATS_OK) return failed(nats_error("subscribe", s));
    Stopwatch watch;
    Feeder feeder;
    if (!feeder.start(url, SYNC_SUBJECT, count, 16)) return failed("feeder did not start");
    std::int64_t first = 0, taken = 0, switch_seen = 0;
    for (; taken < count; ++taken) {
        natsMsg* msg = nullptr;
        s = natsSubscription_NextMsg(&msg, sub.get(), 10000);
        if (s != NATS_OK) break;
        natsMsg_Destroy(msg);
        if (gated) switch_seen += access(SWITCH_FILE, F_OK) == 0;
        if (taken == 0) first = wall_ns();
    }
    const std::int64_t last = wall_ns();
    if (!feeder.wait()) return failed("feeder failed");
    if (taken != count) return failed(nats_error("NextMsg", s) + " after " + std::to_string(taken));
    if (switch_seen != 0) return failed("the switch file exists: tracing is on");
    return watch.finish_span(count - 1, first, last);
}

std::unique_ptr<Exchange> raw_exchange(const std::string& url, bool asap, const char* subject,
                                       RawReplier kind, bool raw_requestor) {
    return std::make_unique<RawExchange>(url, asap, subject, kind, raw_requestor);
}

Measure raw_memory(const std::string& url, std::int64_t count) {
    RawConn conn;
    RawSub sub;
    natsStatus s = conn.open(url, false);
    if (s == NATS_OK) s = natsConnection_SubscribeSync(sub.out(), conn.nc(), MEM_SUBJECT);
    if (s == NATS_OK) s = natsSubscription_SetPendingLimits(sub.get(), -1, -1);
    if (s == NATS_OK) s = natsConnection_Flush(conn.nc());
    if (s != NATS_OK) return failed(nats_error("subscribe", s));
    settle_heap();
    const long before = rss_bytes();
    const long heap_before = heap_in_use();
    Stopwatch watch;
    Feeder feeder;
    if (!feeder.start(url, MEM_SUBJECT, count, 16)) return failed("feeder did not start");
    int pending = 0;
    const bool all = wait_for(
        [&] {
            natsSubscription_GetPending(sub.get(), &pending, nullptr);
            return pending >= count;
        },
        arrival_timeout_ms(count));
    Measure m = watch.finish(count);
    trim_heap();
    const long after = rss_bytes();
    const long heap_after = heap_in_use();
    if (!feeder.wait()) return failed("feeder failed");
    if (!all) return failed("pending " + std::to_string(pending) + " of " + std::to_string(count));
    m.value = static_cast<double>(after - before) / static_cast<double>(count);
    m.heap_per_msg = static_cast<double>(heap_after - heap_before) / static_cast<double>(count);
    return m;
}

}  // namespace bench
