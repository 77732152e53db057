#pragma once

// Shared by the publish/subscribe tests: role objects with their protected state in reach,
// a fixture with a private server and log, and log-line matching.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/log_sandbox.h"
#include "support/nats_server.h"
#include "vek_nats/vek_nats.h"

namespace pubsub_test {

using namespace std::chrono_literals;
using vek_nats::NATSSvcMsg;
using vek_nats::svc_status;

class Sub : public vek_nats::CNATSSubscriber {
public:
    using CNATSSvc::m_conn;
    using CNATSSvc::m_sub_list;

    int sub_index() {
        std::lock_guard<std::mutex> lock(m_msg_mutex);
        return m_sub_index;
    }
    std::string slot(int i) {
        std::lock_guard<std::mutex> lock(m_msg_mutex);
        return m_sub_list[i].subject_name;
    }
    // Hands a message to the delivery path as the client would, without a server.
    void deliver(const char* subject, const std::string& payload) {
        ASSERT_EQ(NATS_OK, nats_Open(-1));
        natsMsg* msg = nullptr;
        ASSERT_EQ(NATS_OK, natsMsg_Create(&msg, subject, nullptr, payload.data(),
                                          static_cast<int>(payload.size())));
        onMsg_callback_wrapper(nullptr, nullptr, msg, this);
    }
};

class Pub : public vek_nats::CNATSPublisher {
public:
    std::vector<std::string> published() const { return m_pub_subjects; }
};

class PubSubTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.start()); }

    void connect(vek_nats::CNATSSvc& obj) {
        ASSERT_EQ(0u, obj.connect(server.url().c_str(), param));
    }
    // The server has taken every subscription made so far on that connection: a round trip.
    static void settle(vek_nats::CNATSSvc& obj, natsConnection* conn) {
        ASSERT_EQ(NATS_OK, natsConnection_Flush(conn)) << &obj;
    }
    static void settle(Sub& sub) { settle(sub, sub.m_conn); }
    // Waits until `n` records are queued (publish is fire and forget).
    static ::testing::AssertionResult queued(Sub& sub, size_t n) {
        if (vek_test::wait_until([&] { return sub.queued() == n; }, 5s)) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure() << "queued " << sub.queued() << ", expected " << n;
    }
    // Rests of this process's log lines "<func>(<line>)<rest>".
    std::vector<std::string> lines(const std::string& func) const {
        std::vector<std::string> rests;
        for (const std::string& m : log.messages()) {
            if (m.compare(0, func.size() + 1, func + "(") != 0) continue;
            const size_t close = m.find(')');
            if (close == std::string::npos || close == func.size() + 1) continue;
            if (m.find_first_not_of("0123456789", func.size() + 1) != close) continue;
            rests.push_back(m.substr(close + 1));
        }
        return rests;
    }
    size_t count(const std::string& func, const std::string& rest) const {
        size_t n = 0;
        for (const std::string& r : lines(func)) n += r == rest ? 1 : 0;
        return n;
    }

    vek_test::LogSandbox log;  // first: outlives everything that may log
    vek_test::NatsServer server;
    vek_nats::NATSSvcParam param;
};

// A recv or recv_sync on a thread of its own. Should the test end while it still waits,
// destroy() ends it, so a failing test fails instead of hanging.
class Pending {
public:
    Pending(Sub& sub, std::function<svc_status()> call)
        : m_sub(sub), m_result(std::async(std::launch::async, std::move(call))) {}
    ~Pending() {
        if (!m_result.valid()) return;
        if (!finishes(0ms)) m_sub.destroy();
        m_result.wait();
    }
    Pending(const Pending&) = delete;
    Pending& operator=(const Pending&) = delete;

    bool finishes(std::chrono::milliseconds within = 5s) {
        return m_result.wait_for(within) == std::future_status::ready;
    }
    svc_status get() { return m_result.get(); }

private:
    Sub& m_sub;
    std::future<svc_status> m_result;
};

inline std::unique_ptr<Pending> recv_async(Sub& sub, const char* subject, NATSSvcMsg& msg) {
    return std::make_unique<Pending>(sub, [&sub, subject, &msg] { return sub.recv(subject, msg); });
}
inline std::unique_ptr<Pending> recv_sync_async(Sub& sub, const char* subject, NATSSvcMsg& msg) {
    return std::make_unique<Pending>(sub,
                                     [&sub, subject, &msg] { return sub.recv_sync(subject, msg); });
}

inline std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
inline std::string format(const char* fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    return buf;
}

}  // namespace pubsub_test
