// The same work as raw_sides.cpp, done through the wrapper's role classes.
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "sides.h"

namespace bench {
namespace {

using vek_nats::NATSSvcMsg;
using vek_nats::NATSSvcParam;
using vek_nats::svc_status;

// Every status code lies above any payload length a receive can return.
constexpr svc_status LOWEST_STATUS_CODE = 0x910E0000;

NATSSvcParam param_with(bool asap) {
    NATSSvcParam p;
    p.send_asap = asap;
    return p;
}

std::string failure(const char* what, svc_status s) {
    char text[160];
    snprintf(text, sizeof(text), "%s: 0x%08X (%s)", what, s, vek_nats::status_text(s));
    return text;
}

class VekPublisher : public Side {
public:
    VekPublisher(int size, bool asap, bool headers)
        : m_subject(new_subject("pub")), m_payload(size_t(size), 'x') {
        if (headers) m_headers.emplace_back(HEADER_NAME, HEADER_VALUE);
        const svc_status s = m_pub.connect(server_url().c_str(), param_with(asap));
        if (s != 0) error = failure("connect", s);
    }
    bool run(std::int64_t n) override {
        svc_status s = 0;
        const int size = static_cast<int>(m_payload.size());
        for (std::int64_t i = 0; i < n && s == 0; ++i) {
            s = m_headers.empty()
                    ? m_pub.publish(m_subject.c_str(), m_payload.data(), size)
                    : m_pub.publish(m_subject.c_str(), m_payload.data(), size, m_headers);
        }
        return s == 0;
    }

private:
    vek_nats::NATSSvcHeaders m_headers;
    vek_nats::CNATSPublisher m_pub;
    std::string m_subject;
    std::vector<char> m_payload;
};

class VekReader : public Side {
public:
    VekReader(Recv how, int size, bool binary)
        : m_how(how), m_size(size), m_subject(new_subject("vek")) {
        NATSSvcParam p = param_with(false);
        p.binary_payloads = binary;
        if (how == Recv::held) {  // every message waits in the queue, none in libnats
            p.queue_max_msgs = 0;
            p.queue_max_bytes = 0;
        }
        svc_status s = m_sub.connect(server_url().c_str(), p);
        // The raw side removes the pending limits of its subscription; the wrapper does it only
        // for all five slots at once, so the other four get subjects that carry nothing.
        for (int i = 0; i < vek_nats::CNATSSvc::SLOT_COUNT && s == 0; ++i) {
            const std::string subject =
                i == 0 ? m_subject : m_subject + ".idle" + std::to_string(i);
            s = how == Recv::sync ? m_sub.subscribe_sync(subject.c_str())
                                  : m_sub.subscribe(subject.c_str(), nullptr, nullptr);
        }
        if (s == 0) s = m_sub.init_subscription(p);
        if (s == 0) s = m_sub.flush(10000);
        if (s != 0) error = failure("subscribe", s);
    }
    bool run(std::int64_t n) override {
        feed(m_subject, n, m_size);
        if (m_how == Recv::held) {
            m_held += n;
            return arrives(n, [this] { return m_sub.queued() >= size_t(m_held); });
        }
        for (std::int64_t i = 0; i < n; ++i) {
            const svc_status r = m_how == Recv::sync ? m_sub.recv_sync(m_subject.c_str(), m_msg)
                                                     : m_sub.recv(m_subject.c_str(), m_msg);
            if (r != svc_status(m_size) || m_msg.dataLen != m_size) return false;
        }
        return true;
    }

private:
    Recv m_how;
    int m_size;
    std::string m_subject;
    std::int64_t m_held = 0;
    NATSSvcMsg m_msg;  // reused, as a caller's loop would
    vek_nats::CNATSSubscriber m_sub;
};

class VekReplier : public Side {
public:
    VekReplier(const std::string& subject, bool sync) : m_subject(subject) {
        svc_status s = m_rep.connect(server_url().c_str(), param_with(REQREP_ASAP));
        if (s == 0) {
            s = sync ? m_rep.subscribe_sync(subject.c_str())
                     : m_rep.subscribe(subject.c_str(), nullptr, nullptr);
        }
        if (s == 0) s = m_rep.flush(10000);
        if (s != 0) {
            error = failure("replier", s);
        } else {
            m_server = std::thread([this, sync] { serve(sync); });
        }
    }
    ~VekReplier() override {
        if (!m_server.joinable()) return;
        m_stop = true;
        m_rep.destroy();  // wakes the serving thread
        m_server.join();
    }
    bool run(std::int64_t) override { return true; }

private:
    void serve(bool sync) {
        NATSSvcMsg msg;
        while (!m_stop) {
            const svc_status r =
                sync ? m_rep.recv_sync(m_subject.c_str(), msg) : m_rep.recv(m_subject.c_str(), msg);
            if (r == 0 || r >= LOWEST_STATUS_CODE) continue;  // a time-out, or destroyed
            msg.reply_data = REPLY_TEXT;
            m_rep.reply(m_subject.c_str(), msg);
        }
    }

    std::string m_subject;
    std::atomic<bool> m_stop{false};
    vek_nats::CNATSReplier m_rep;
    std::thread m_server;
};

class VekRequestor : public Side {
public:
    VekRequestor(const std::string& subject) : m_subject(subject) {
        const svc_status s = m_req.connect(server_url().c_str(), param_with(REQREP_ASAP));
        if (s != 0) error = failure("requestor", s);
    }
    bool run(std::int64_t n) override {
        for (std::int64_t i = 0; i < n; ++i) {
            if (m_req.request_string(m_subject.c_str(), REQUEST_TEXT, m_reply) != 0) return false;
        }
        return true;
    }

private:
    std::string m_subject;
    vek_nats::CNATSRequestor m_req;
    NATSSvcMsg m_reply;  // reused, as a caller's loop would
};

class VekStream : public Side {
public:
    explicit VekStream(Js how) : m_how(how), m_subject(new_subject("js")) {
        vek_nats::NATSStreamConfig config;
        config.name = stream_name(m_subject);
        config.subjects = {m_subject};
        config.memory_storage = true;
        svc_status s = m_pub.connect(server_url().c_str(), param_with(true));
        if (s == 0) s = m_pub.add_stream(config);
        vek_nats::NATSConsumerConfig durable;
        durable.stream = config.name;
        durable.durable = "bench";
        if (s == 0 && how == Js::fetch_ack)
            s = m_con.connect(server_url().c_str(), param_with(true));
        if (s == 0 && how == Js::fetch_ack) s = m_con.consume(durable);
        if (s != 0) error = failure("stream", s);
    }
    bool run(std::int64_t n) override {
        svc_status s = 0;
        if (m_how == Js::fetch_ack) {
            feed(m_subject, n, 16);
            for (std::int64_t i = 0; i < n && s == 0; ++i) {
                if (m_con.fetch(m_msg, 10000) >= LOWEST_STATUS_CODE) return false;
                s = m_con.ack(m_msg);
            }
            return s == 0;
        }
        for (std::int64_t i = 0; i < n && s == 0; ++i) {
            s = m_how == Js::publish ? m_pub.publish(m_subject.c_str(), REQUEST_TEXT, 16)
                                     : m_pub.publish_async(m_subject.c_str(), REQUEST_TEXT, 16);
        }
        if (s == 0 && m_how == Js::publish_async) s = m_pub.publish_complete(30000);
        return s == 0;
    }

private:
    Js m_how;
    std::string m_subject;
    vek_nats::CNATSStreamPublisher m_pub;
    vek_nats::CNATSStreamConsumer m_con;
    NATSSvcMsg m_msg;  // reused, as a caller's loop would
};

}  // namespace

Maker vek_stream(Js how) {
    return [=] { return std::make_unique<VekStream>(how); };
}
Maker vek_publisher(int size, bool asap, bool headers) {
    return [=] { return std::make_unique<VekPublisher>(size, asap, headers); };
}
Maker vek_reader(Recv how, int size, bool binary) {
    return [=] { return std::make_unique<VekReader>(how, size, binary); };
}
SidePtr vek_replier(const std::string& subject, bool sync) {
    return std::make_unique<VekReplier>(subject, sync);
}
SidePtr vek_requestor(const std::string& subject) {
    return std::make_unique<VekRequestor>(subject);
}

}  // namespace bench
