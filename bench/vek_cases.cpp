// The same work as raw_cases.cpp, done through the wrapper's role classes.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "cases.h"
#include "vek_nats/vek_nats.h"

namespace bench {
namespace {

using vek_nats::NATSSvcMsg;
using vek_nats::NATSSvcParam;
using vek_nats::svc_status;

// Every status code lies above any payload length a receive can return.
constexpr svc_status LOWEST_STATUS_CODE = 0x910E0000;

std::int64_t arrival_timeout_ms(std::int64_t count) {
    return 30000 + count / 20;
}

NATSSvcParam param_with(bool asap) {
    NATSSvcParam p;
    p.send_asap = asap;
    return p;
}

std::string status_error(const char* what, svc_status s) {
    char buf[160];
    snprintf(buf, sizeof(buf), "%s: 0x%08X (%s)", what, s, vek_nats::status_text(s));
    return buf;
}

// The raw side removes the pending limits of its subscription; the wrapper does it only for
// all five slots at once, so the other four get subjects that carry nothing.
svc_status fill_and_unlimit(vek_nats::CNATSSubscriber& sub, bool sync) {
    static const char* const idle[] = {"bench.idle.subject.1", "bench.idle.subject.2",
                                       "bench.idle.subject.3", "bench.idle.subject.4"};
    svc_status s = 0;
    for (const char* subject : idle) {
        if (s == 0)
            s = sync ? sub.subscribe_sync(subject) : sub.subscribe(subject, nullptr, nullptr);
    }
    if (s == 0) s = sub.init_subscription(NATSSvcParam{});
    if (s == 0) s = sub.flush(10000);
    return s;
}

bool is_payload(svc_status r, const NATSSvcMsg& msg) {
    return r == 16 && msg.dataLen == 16 && msg.data.size() == 16;
}

class VekExchange : public Exchange {
public:
    VekExchange(const std::string& url, bool asap, const char* subject, bool sync)
        : m_subject(subject) {
        svc_status s = m_rep.connect(url.c_str(), param_with(asap));
        if (s == 0) {
            s = sync ? m_rep.subscribe_sync(subject) : m_rep.subscribe(subject, nullptr, nullptr);
        }
        if (s != 0) {
            m_error = status_error("replier", s);
            return;
        }
        if (m_rep.flush(10000) != 0) {
            m_error = "replier flush failed";
            return;
        }
        s = m_req.connect(url.c_str(), param_with(asap));
        if (s != 0) {
            m_error = status_error("requestor connect", s);
            return;
        }
        m_server = std::thread([this, sync] { serve(sync); });
    }

    ~VekExchange() override {
        if (!m_server.joinable()) return;
        // The stop request ends the serving loop between two requests; destroy only wakes a
        // server whose stop request got lost.
        if (m_req.request_string(m_subject.c_str(), STOP_TEXT, m_reply) != 0) m_rep.destroy();
        m_server.join();
    }

    bool request() override {
        return m_req.request_string(m_subject.c_str(), REQUEST_TEXT, m_reply) == 0;
    }

private:
    // Serves until STOP_TEXT, which is answered too, or until the receive call fails.
    void serve(bool sync) {
        NATSSvcMsg msg;
        for (;;) {
            const svc_status r =
                sync ? m_rep.recv_sync(m_subject.c_str(), msg) : m_rep.recv(m_subject.c_str(), msg);
            if (r == 0 || r >= LOWEST_STATUS_CODE) return;
            msg.reply_data = REPLY_TEXT;
            m_rep.reply(m_subject.c_str(), msg);
            if (msg.data == STOP_TEXT) return;
        }
    }

    vek_nats::CNATSReplier m_rep;
    vek_nats::CNATSRequestor m_req;
    NATSSvcMsg m_reply;  // reused, as a caller's loop would
    std::string m_subject;
    std::thread m_server;
};

}  // namespace

std::unique_ptr<Sender> vek_sender(const std::string& url, int size, bool asap) {
    class VekSender : public Sender {
    public:
        VekSender(const std::string& url, int size, bool asap)
            : m_payload(static_cast<size_t>(size), 'x') {
            const svc_status s = m_pub.connect(url.c_str(), param_with(asap));
            if (s != 0) m_error = status_error("connect", s);
        }
        bool send(std::int64_t n) override {
            svc_status s = 0;
            const int size = static_cast<int>(m_payload.size());
            for (std::int64_t i = 0; i < n && s == 0; ++i) {
                s = m_pub.publish(PUB_SUBJECT, m_payload.data(), size);
            }
            return s == 0;
        }
        bool flush() override { return m_pub.flush(60000) == 0; }

    private:
        vek_nats::CNATSPublisher m_pub;
        std::vector<char> m_payload;
    };
    return std::make_unique<VekSender>(url, size, asap);
}

Measure vek_queue_recv(const std::string& url, std::int64_t count) {
    vek_nats::CNATSSubscriber sub;
    svc_status s = sub.connect(url.c_str(), param_with(false));
    if (s == 0) s = sub.subscribe(QUEUE_SUBJECT, nullptr, nullptr);
    if (s == 0) s = fill_and_unlimit(sub, false);
    if (s != 0) return failed(status_error("subscribe", s));

    std::int64_t taken = 0, first = 0, last = 0;
    bool bad = false;
    std::atomic<bool> done{false};
    Stopwatch watch;
    std::thread reader([&] {
        NATSSvcMsg msg;
        for (; taken < count; ++taken) {
            const svc_status r = sub.recv(QUEUE_SUBJECT, msg);
            if (!is_payload(r, msg)) {
                bad = r != 0;  // 0: ended by destroy below
                break;
            }
            if (taken == 0) first = wall_ns();
        }
        last = wall_ns();
        done = true;
    });
    Feeder feeder;
    const bool fed = feeder.start(url, QUEUE_SUBJECT, count, 16) && feeder.wait();
    if (fed) wait_for([&] { return done.load(); }, arrival_timeout_ms(count));
    if (!done) sub.destroy();  // ends a reader that waits for messages that will not come
    reader.join();
    if (!fed) return failed("feeder failed");
    if (taken != count || bad) {
        return failed("took " + std::to_string(taken) + " of " + std::to_string(count));
    }
    return watch.finish_span(count - 1, first, last);
}

Measure vek_recv_sync(const std::string& url, std::int64_t count) {
    vek_nats::CNATSSubscriber sub;
    svc_status s = sub.connect(url.c_str(), param_with(false));
    if (s == 0) s = sub.subscribe_sync(SYNC_SUBJECT);
    if (s == 0) s = fill_and_unlimit(sub, true);
    if (s != 0) return failed(status_error("subscribe_sync", s));
    Stopwatch watch;
    Feeder feeder;
    if (!feeder.start(url, SYNC_SUBJECT, count, 16)) return failed("feeder did not start");
    NATSSvcMsg msg;
    std::int64_t first = 0, taken = 0;
    svc_status r = 0;
    for (; taken < count; ++taken) {
        r = sub.recv_sync(SYNC_SUBJECT, msg);
        if (!is_payload(r, msg)) break;
        if (taken == 0) first = wall_ns();
    }
    const std::int64_t last = wall_ns();
    if (!feeder.wait()) return failed("feeder failed");
    if (taken != count) {
        return failed(status_error("recv_sync", r) + " after " + std::to_string(taken));
    }
    return watch.finish_span(count - 1, first, last);
}

std::unique_ptr<Exchange> vek_exchange(const std::string& url, bool asap, const char* subject,
                                       bool sync) {
    return std::make_unique<VekExchange>(url, asap, subject, sync);
}

std::unique_ptr<Exchange> vek_requestor_exchange(const std::string& url, bool asap,
                                                 const char* subject) {
    class VekRequestorExchange : public Exchange {
    public:
        VekRequestorExchange(const std::string& url, bool asap, const char* subject)
            : m_replier(raw_exchange(url, asap, subject, RawReplier::callback, false)),
              m_subject(subject) {
            m_error = m_replier->error();
            if (!m_error.empty()) return;
            const svc_status s = m_req.connect(url.c_str(), param_with(asap));
            if (s != 0) m_error = status_error("requestor connect", s);
        }
        bool request() override {
            return m_req.request_string(m_subject.c_str(), REQUEST_TEXT, m_reply) == 0;
        }

    private:
        std::unique_ptr<Exchange> m_replier;  // its own requestor is not opened
        vek_nats::CNATSRequestor m_req;
        NATSSvcMsg m_reply;
        std::string m_subject;
    };
    return std::make_unique<VekRequestorExchange>(url, asap, subject);
}

Measure vek_memory(const std::string& url, std::int64_t count) {
    vek_nats::CNATSSubscriber sub;
    NATSSvcParam p = param_with(false);
    p.queue_max_msgs = count;  // every message waits in the queue, none in libnats
    p.queue_max_bytes = count * 1024;
    svc_status s = sub.connect(url.c_str(), p);
    if (s == 0) s = sub.subscribe(MEM_SUBJECT, nullptr, nullptr);
    if (s == 0) s = fill_and_unlimit(sub, false);
    if (s != 0) return failed(status_error("subscribe", s));
    settle_heap();
    const long before = rss_bytes();
    const long heap_before = heap_in_use();
    Stopwatch watch;
    Feeder feeder;
    if (!feeder.start(url, MEM_SUBJECT, count, 16)) return failed("feeder did not start");
    const bool all = wait_for([&] { return sub.queued() >= static_cast<size_t>(count); },
                              arrival_timeout_ms(count));
    Measure m = watch.finish(count);
    trim_heap();
    const long after = rss_bytes();
    const long heap_after = heap_in_use();
    if (!feeder.wait()) return failed("feeder failed");
    if (!all)
        return failed("queued " + std::to_string(sub.queued()) + " of " + std::to_string(count));
    m.value = static_cast<double>(after - before) / static_cast<double>(count);
    m.heap_per_msg = static_cast<double>(heap_after - heap_before) / static_cast<double>(count);
    return m;
}

TraceGate measure_trace_gate(std::int64_t n) {
    TraceGate g;
    if (access(SWITCH_FILE, F_OK) == 0) {
        g.error = std::string(SWITCH_FILE) + " exists: tracing is on, the gate cannot be measured";
        return g;
    }
// The shape of the queue recv's trace record, with its arguments.
#define TRACE_RECORD "%s(%d)- Received msg: %s -> %.*s, recv_ts=%ld ms, queue sz=%zu"
    const char* data = "xxxxxxxxxxxxxxxx";
    const long ts = static_cast<long>(nats_Now());
    const auto per_call = [n](std::int64_t start) {
        return static_cast<double>(wall_ns() - start) / static_cast<double>(n);
    };

    std::int64_t t = wall_ns();
    for (std::int64_t i = 0; i < n; ++i) {
        vek_nats::log_dump(1, 0, TRACE_RECORD, "recv", 123, QUEUE_SUBJECT, 16, data, ts,
                           static_cast<size_t>(i));
    }
    g.gated_ns = per_call(t);

    int misses = 0;
    t = wall_ns();
    for (std::int64_t i = 0; i < n; ++i) misses += access(SWITCH_FILE, F_OK) != 0;
    g.access_ns = per_call(t);

    char record[4096];
    volatile int sink = 0;
    t = wall_ns();
    for (std::int64_t i = 0; i < n; ++i) {
        sink = sink + snprintf(record, sizeof(record), TRACE_RECORD, "recv", 123, QUEUE_SUBJECT, 16,
                               data, ts, static_cast<size_t>(i));
    }
    g.format_ns = per_call(t);
#undef TRACE_RECORD
    g.ok = misses == n;
    if (!g.ok) g.error = "the switch file appeared during the measurement";
    return g;
}

}  // namespace bench
