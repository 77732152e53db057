#pragma once

// Shared pieces of the request/reply tests: a fixture with a private server and log sandbox,
// and a peer that talks plain libnats on a library-owned connection.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "support/log_sandbox.h"
#include "support/nats_server.h"
#include "vek_nats/vek_nats.h"

namespace reqrep_test {

using namespace std::chrono_literals;
using vek_nats::NATSSvcMsg;
using vek_nats::NATSSvcParam;

// A fixed answer with its exact bytes (zero bytes included). Static storage: a responder may
// still run while its peer goes away.
struct Payload {
    const char* bytes;
    int len;
};

// A second party on the server. It owns its connection through the library, so the
// process-wide close of the client library stays in the library's hands; the raw
// subscriptions are released before that connection.
class Peer : public vek_nats::CNATSRequestor {
public:
    ~Peer() override {
        for (natsSubscription* sub : m_raw) natsSubscription_Destroy(sub);
    }
    natsConnection* conn() const { return m_conn; }

    // Answers every request on `subject` with `answer`, or echoes it when answer is null.
    void respond(const char* subject, const Payload* answer) {
        natsSubscription* sub = nullptr;
        ASSERT_EQ(NATS_OK, natsConnection_Subscribe(&sub, m_conn, subject, &Peer::on_request,
                                                    const_cast<Payload*>(answer)));
        ASSERT_EQ(NATS_OK, natsConnection_Flush(m_conn));
        m_raw.push_back(sub);
    }
    // Listens on `subject` and never answers.
    void ignore(const char* subject) {
        natsSubscription* sub = nullptr;
        ASSERT_EQ(NATS_OK, natsConnection_SubscribeSync(&sub, m_conn, subject));
        ASSERT_EQ(NATS_OK, natsConnection_Flush(m_conn));
        m_raw.push_back(sub);
    }
    // Publishes raw bytes, with a reply subject when `reply` is set.
    void send(const char* subject, const std::string& bytes, const char* reply = nullptr) {
        const int len = static_cast<int>(bytes.size());
        ASSERT_EQ(NATS_OK,
                  reply != nullptr
                      ? natsConnection_PublishRequest(m_conn, subject, reply, bytes.data(), len)
                      : natsConnection_Publish(m_conn, subject, bytes.data(), len));
        ASSERT_EQ(NATS_OK, natsConnection_Flush(m_conn));
    }

private:
    static void on_request(natsConnection* nc, natsSubscription*, natsMsg* msg, void* closure) {
        const auto* answer = static_cast<const Payload*>(closure);
        const char* data = answer != nullptr ? answer->bytes : natsMsg_GetData(msg);
        const int len = answer != nullptr ? answer->len : natsMsg_GetDataLength(msg);
        natsConnection_Publish(nc, natsMsg_GetReply(msg), data, len);
        natsMsg_Destroy(msg);
    }

    std::vector<natsSubscription*> m_raw;
};

// A replier whose queue the tests can see.
class Replier : public vek_nats::CNATSReplier {
public:
    // Makes sure the server has seen this connection's subscriptions.
    void flush() { ASSERT_EQ(NATS_OK, natsConnection_Flush(m_conn)); }
    bool holds_slot(int index, const std::string& subject) const {
        return m_sub_list[index].subject_name == subject &&
               m_sub_list[index].subscription != nullptr;
    }
};

class ReqRepTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.start());
        param.request_timeout = 2000;
        param.recv_timeout = 2000;
        url = server.url();
    }
    template <class Svc>
    void connect(Svc& svc) {
        ASSERT_EQ(vek_nats::STATUS_OK, svc.connect(url.c_str(), param));
    }

    vek_test::LogSandbox log;  // first: outlives every object that logs
    vek_test::NatsServer server;
    NATSSvcParam param;
    std::string url;
};

template <class T>
bool ready_within(std::future<T>& f, std::chrono::milliseconds d) {
    return f.wait_for(d) == std::future_status::ready;
}

}  // namespace reqrep_test
