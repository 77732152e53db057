// The ceiling: each case's work done with libnats alone.
#include <nats/nats.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "sides.h"

namespace bench {
namespace {

using namespace std::chrono_literals;

std::string failure(const char* what, natsStatus s) {
    return std::string(what) + ": " + natsStatus_GetText(s);
}

// One connection and its subscription; each handle has one release site.
class Conn {
public:
    Conn() = default;
    Conn(const Conn&) = delete;
    Conn& operator=(const Conn&) = delete;
    ~Conn() {
        natsSubscription_Destroy(sub);
        natsConnection_Destroy(nc);
        natsOptions_Destroy(m_opts);
    }
    natsStatus open(bool asap, std::int64_t write_deadline = 0) {
        natsStatus s = natsOptions_Create(&m_opts);
        if (s == NATS_OK) s = natsOptions_SetURL(m_opts, server_url().c_str());
        if (s == NATS_OK) s = natsOptions_SetSendAsap(m_opts, asap);
        if (s == NATS_OK) s = natsOptions_SetWriteDeadline(m_opts, write_deadline);
        if (s == NATS_OK) s = natsConnection_Connect(&nc, m_opts);
        return s;
    }
    // Without a callback, a synchronous subscription.
    natsStatus subscribe(const std::string& subject, natsMsgHandler cb, void* closure) {
        if (cb == nullptr) return natsConnection_SubscribeSync(&sub, nc, subject.c_str());
        return natsConnection_Subscribe(&sub, nc, subject.c_str(), cb, closure);
    }
    natsConnection* nc = nullptr;
    natsSubscription* sub = nullptr;

private:
    natsOptions* m_opts = nullptr;
};

// The wrapper's record, rebuilt with plain members so that the raw side copies as much.
struct Record {
    std::string subject, data, inbox, reply_data;
    std::int32_t dataLen = 0;
    std::int64_t recv_ts = 0;
};

// Fills `rec` from the message as the wrapper fills its record: the text of the payload, the
// reply subject when there is one.
void fill(Record& rec, natsMsg* msg) {
    const char* subject = natsMsg_GetSubject(msg);
    const char* data = natsMsg_GetData(msg);
    const char* reply = natsMsg_GetReply(msg);
    rec.dataLen = natsMsg_GetDataLength(msg);
    if (subject != nullptr) rec.subject.assign(subject);
    if (data != nullptr) rec.data.assign(data, strnlen(data, size_t(rec.dataLen)));
    if (reply != nullptr) rec.inbox.assign(reply);
    rec.recv_ts = nats_Now();
}

// Records handed from libnats' delivery thread to a reader, as the wrapper's queue hands them.
struct Handoff {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<Record> queue;
    std::atomic<bool> stop{false};

    // The record is built outside the lock, then appended; the reply subject is copied when
    // there is one, as the replier's queue does.
    static void deliver(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) {
        auto* h = static_cast<Handoff*>(closure);
        Record rec;
        fill(rec, msg);
        {
            std::lock_guard<std::mutex> lock(h->mutex);
            h->queue.push_back(std::move(rec));
        }
        h->cv.notify_one();
        natsMsg_Destroy(msg);
    }
    // The oldest record; false when none came within 10 s or the hand-off ended.
    bool take(Record& out) {
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait_for(lock, 10s, [this] { return !queue.empty() || stop; });
        if (queue.empty()) return false;
        out = std::move(queue.front());
        queue.pop_front();
        return true;
    }
    void end() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stop = true;
        }
        cv.notify_all();
    }
};

class RawPublisher : public Side {
public:
    RawPublisher(int size, bool asap, bool headers, bool deadline)
        : m_headers(headers), m_subject(new_subject("pub")), m_payload(size_t(size), 'x') {
        const natsStatus s =
            m_conn.open(asap, deadline ? vek_nats::NATSSvcParam().write_deadline : 0);
        if (s != NATS_OK) error = failure("connect", s);
    }
    bool run(std::int64_t n) override {
        natsStatus s = NATS_OK;
        const int size = static_cast<int>(m_payload.size());
        for (std::int64_t i = 0; i < n && s == NATS_OK; ++i) {
            if (!m_headers) {
                s = natsConnection_Publish(m_conn.nc, m_subject.c_str(), m_payload.data(), size);
                continue;
            }
            natsMsg* msg = nullptr;
            s = natsMsg_Create(&msg, m_subject.c_str(), nullptr, m_payload.data(), size);
            if (s == NATS_OK) s = natsMsgHeader_Add(msg, HEADER_NAME, HEADER_VALUE);
            if (s == NATS_OK) s = natsConnection_PublishMsg(m_conn.nc, msg);
            natsMsg_Destroy(msg);
        }
        return s == NATS_OK;
    }

private:
    bool m_headers;
    Conn m_conn;
    std::string m_subject;
    std::vector<char> m_payload;
};

class RawReader : public Side {
public:
    RawReader(Reader how, int size) : m_how(how), m_size(size), m_subject(new_subject("raw")) {
        const natsMsgHandler cb = how == Reader::count ? counted
                                  : how == Reader::deque || how == Reader::deque_gated
                                      ? Handoff::deliver
                                      : nullptr;
        natsStatus s = m_conn.open(false);
        if (s == NATS_OK)
            s = m_conn.subscribe(m_subject, cb,
                                 how == Reader::count ? static_cast<void*>(this) : &m_handoff);
        // Pending limits removed, as the wrapper's init_subscription removes them.
        if (s == NATS_OK) s = natsSubscription_SetPendingLimits(m_conn.sub, -1, -1);
        if (s == NATS_OK) s = natsConnection_Flush(m_conn.nc);
        if (s != NATS_OK) error = failure("subscribe", s);
    }
    ~RawReader() override { natsSubscription_Unsubscribe(m_conn.sub); }

    bool run(std::int64_t n) override {
        if (m_how == Reader::count) {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_target += n;
            feed(m_subject, n, m_size);
            return m_counted_cv.wait_for(lock, std::chrono::milliseconds(30000 + n / 20),
                                         [this] { return m_counted >= m_target; });
        }
        feed(m_subject, n, m_size);
        if (m_how == Reader::held) {
            m_held += n;
            int pending = 0;
            return arrives(n, [this, &pending] {
                natsSubscription_GetPending(m_conn.sub, &pending, nullptr);
                return pending >= m_held;
            });
        }
        const bool gated = m_how == Reader::deque_gated || m_how == Reader::next_msg_gated;
        for (std::int64_t i = 0; i < n; ++i) {
            if (!take_one()) return false;
            if (gated && access(SWITCH_FILE, F_OK) == 0) return false;  // tracing is on
        }
        return true;
    }

private:
    static void counted(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) {
        auto* self = static_cast<RawReader*>(closure);
        natsMsg_Destroy(msg);
        if (++self->m_counted == self->m_target) {
            std::lock_guard<std::mutex> lock(self->m_mutex);
            self->m_counted_cv.notify_one();
        }
    }
    bool take_one() {
        if (m_how == Reader::deque || m_how == Reader::deque_gated)
            return m_handoff.take(m_record) && m_record.dataLen == m_size;
        natsMsg* msg = nullptr;
        if (natsSubscription_NextMsg(&msg, m_conn.sub, 10000) != NATS_OK) return false;
        const bool whole = natsMsg_GetDataLength(msg) == m_size;
        natsMsg_Destroy(msg);
        return whole;
    }

    Reader m_how;
    int m_size;
    std::string m_subject;
    Handoff m_handoff;
    Record m_record;
    std::mutex m_mutex;
    std::condition_variable m_counted_cv;
    std::atomic<std::int64_t> m_counted{0}, m_target{0};
    std::int64_t m_held = 0;
    Conn m_conn;  // destroyed first: no callback runs once the state above goes
};

class RawReplier : public Side {
public:
    RawReplier(const std::string& subject, Replier how) : m_how(how) {
        const natsMsgHandler cb = how == Replier::callback  ? answer
                                  : how == Replier::handoff ? Handoff::deliver
                                                            : nullptr;
        natsStatus s = m_conn.open(REQREP_ASAP);
        if (s == NATS_OK) s = m_conn.subscribe(subject, cb, &m_handoff);
        if (s == NATS_OK) s = natsConnection_Flush(m_conn.nc);
        if (s != NATS_OK) {
            error = failure("replier", s);
        } else if (how != Replier::callback) {
            m_server = std::thread([this] { serve(); });
        }
    }
    ~RawReplier() override {
        if (!m_server.joinable()) return;
        m_handoff.end();
        natsSubscription_Unsubscribe(m_conn.sub);  // ends a NextMsg that waits
        m_server.join();
    }
    bool run(std::int64_t) override { return true; }

private:
    static void answer(natsConnection* nc, natsSubscription*, natsMsg* msg, void*) {
        const char* reply = natsMsg_GetReply(msg);
        if (reply != nullptr) natsConnection_PublishString(nc, reply, REPLY_TEXT);
        natsMsg_Destroy(msg);
    }
    void serve() {
        for (Record rec; m_how == Replier::handoff && !m_handoff.stop;) {
            if (!m_handoff.take(rec)) continue;
            rec.reply_data = REPLY_TEXT;
            natsConnection_PublishString(m_conn.nc, rec.inbox.c_str(), rec.reply_data.c_str());
        }
        // Until the subscription goes; a second without requests is no reason to stop.
        const bool gated = m_how == Replier::next_msg_gated;
        for (natsStatus s = NATS_OK;
             (m_how == Replier::next_msg || gated) && (s == NATS_OK || s == NATS_TIMEOUT);) {
            natsMsg* msg = nullptr;
            s = natsSubscription_NextMsg(&msg, m_conn.sub, 1000);
            if (s == NATS_OK && !gated)
                natsConnection_PublishString(m_conn.nc, natsMsg_GetReply(msg), REPLY_TEXT);
            if (s == NATS_OK && gated) {
                fill(m_record, msg);
                if (access(SWITCH_FILE, F_OK) == 0) s = NATS_ERR;  // tracing is on
                m_record.reply_data = REPLY_TEXT;
                if (access(SWITCH_FILE, F_OK) == 0) s = NATS_ERR;
                natsConnection_PublishString(m_conn.nc, m_record.inbox.c_str(),
                                             m_record.reply_data.c_str());
            }
            natsMsg_Destroy(msg);
        }
    }

    Replier m_how;
    Record m_record;
    Handoff m_handoff;
    Conn m_conn;
    std::thread m_server;
};

class RawRequestor : public Side {
public:
    RawRequestor(const std::string& subject, bool gated) : m_gated(gated), m_subject(subject) {
        const natsStatus s = m_conn.open(REQREP_ASAP);
        if (s != NATS_OK) error = failure("requestor", s);
    }
    bool run(std::int64_t n) override {
        for (std::int64_t i = 0; i < n; ++i) {
            if (m_gated && access(SWITCH_FILE, F_OK) == 0) return false;  // tracing is on
            natsMsg* reply = nullptr;
            const natsStatus s = natsConnection_RequestString(&reply, m_conn.nc, m_subject.c_str(),
                                                              REQUEST_TEXT, 5000);
            natsMsg_Destroy(reply);
            if (s != NATS_OK) return false;
        }
        return true;
    }

private:
    bool m_gated;
    Conn m_conn;
    std::string m_subject;
};

class RawStream : public Side {
public:
    explicit RawStream(Js how) : m_how(how), m_subject(new_subject("js")) {
        const std::string stream = stream_name(m_subject);
        const char* subject = m_subject.c_str();
        jsStreamConfig sc;
        jsStreamConfig_Init(&sc);
        sc.Name = stream.c_str();
        sc.Subjects = &subject;
        sc.SubjectsLen = 1;
        sc.Storage = js_MemoryStorage;
        natsStatus s = m_conn.open(true);
        // Told of every refused asynchronous publish, as the wrapper must be to report it:
        // libnats then reads each acknowledgement it gets.
        jsOptions jo;
        jsOptions_Init(&jo);
        jo.PublishAsync.ErrHandler = [](jsCtx*, jsPubAckErr*, void* closure) {
            ++*static_cast<std::atomic<int>*>(closure);
        };
        jo.PublishAsync.ErrHandlerClosure = &m_refused;
        if (s == NATS_OK) s = natsConnection_JetStream(&m_js, m_conn.nc, &jo);
        if (s == NATS_OK) s = js_AddStream(nullptr, m_js, &sc, nullptr, nullptr);
        jsSubOptions so;
        jsSubOptions_Init(&so);
        so.Stream = sc.Name;
        if (s == NATS_OK && how == Js::fetch_ack)
            s = js_PullSubscribe(&m_conn.sub, m_js, subject, "bench", nullptr, &so, nullptr);
        if (s != NATS_OK) error = failure("stream", s);
    }
    ~RawStream() override {
        natsSubscription_Destroy(m_conn.sub);
        m_conn.sub = nullptr;
        jsCtx_Destroy(m_js);
    }
    bool run(std::int64_t n) override {
        if (m_how == Js::fetch_ack) return fetch_ack(n);
        natsStatus s = NATS_OK;
        for (std::int64_t i = 0; i < n && s == NATS_OK; ++i) {
            if (m_how == Js::publish_async) {
                s = js_PublishAsync(m_js, m_subject.c_str(), REQUEST_TEXT, 16, nullptr);
                continue;
            }
            jsPubAck* ack = nullptr;
            s = js_Publish(&ack, m_js, m_subject.c_str(), REQUEST_TEXT, 16, nullptr, nullptr);
            jsPubAck_Destroy(ack);
        }
        if (s == NATS_OK && m_how == Js::publish_async) s = js_PublishAsyncComplete(m_js, nullptr);
        return s == NATS_OK && m_refused.exchange(0) == 0;
    }

private:
    // Each message copied as the wrapper's record is, then acknowledged.
    bool fetch_ack(std::int64_t n) {
        feed(m_subject, n, 16);
        Record rec;
        for (std::int64_t got = 0; got < n;) {
            natsMsgList list{nullptr, 0};
            if (natsSubscription_Fetch(&list, m_conn.sub, JS_BATCH, 10000, nullptr) != NATS_OK)
                return false;
            for (int i = 0; i < list.Count; ++i) {
                natsMsg* msg = list.Msgs[i];
                const char* data = natsMsg_GetData(msg);
                rec.dataLen = natsMsg_GetDataLength(msg);
                rec.subject.assign(natsMsg_GetSubject(msg));
                rec.data.assign(data, strnlen(data, size_t(rec.dataLen)));
                rec.inbox.assign(natsMsg_GetReply(msg));
                rec.recv_ts = nats_Now();
                if (natsMsg_Ack(msg, nullptr) != NATS_OK) return false;
            }
            got += list.Count;
            natsMsgList_Destroy(&list);
        }
        return true;
    }

    Js m_how;
    std::string m_subject;
    Conn m_conn;
    jsCtx* m_js = nullptr;
    std::atomic<int> m_refused{0};
};

}  // namespace

std::string stream_name(const std::string& subject) {
    std::string name = subject;
    for (char& c : name) c = c == '.' ? '_' : c;
    return name;
}
Maker raw_stream(Js how) {
    return [=] { return std::make_unique<RawStream>(how); };
}

Maker raw_publisher(int size, bool asap, bool headers, bool deadline) {
    return [=] { return std::make_unique<RawPublisher>(size, asap, headers, deadline); };
}
Maker raw_reader(Reader how, int size) {
    return [=] { return std::make_unique<RawReader>(how, size); };
}
SidePtr raw_replier(const std::string& subject, Replier how) {
    return std::make_unique<RawReplier>(subject, how);
}
SidePtr raw_requestor(const std::string& subject) {
    return std::make_unique<RawRequestor>(subject, false);
}
SidePtr raw_gated_requestor(const std::string& subject) {
    return std::make_unique<RawRequestor>(subject, true);
}

}  // namespace bench
