// A nats-server that dies (SIGKILL) under the roles, and one that comes back on the same port.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/log_sandbox.h"
#include "support/nats_server.h"
#include "test_fault_support.h"
#include "vek_nats/vek_nats.h"

using namespace vek_nats;
using namespace std::chrono_literals;
using vek_fault::quick_param;
using vek_fault::Watchdog;
using vek_test::LogSandbox;
using vek_test::NatsServer;

namespace {

using Clock = std::chrono::steady_clock;

long ms_since(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// Opens the state a test needs to see of a role object.
template <class Role>
class Open : public Role {
public:
    natsConnection* conn() const { return this->m_conn; }
    bool flush() { return natsConnection_FlushTimeout(this->m_conn, 5000) == NATS_OK; }
    natsConnStatus conn_status() const { return natsConnection_Status(this->m_conn); }
    // The status a connection callback recorded; 0 while none did.
    natsStatus recorded_status() {
        std::lock_guard<std::mutex> lock(this->m_msg_mutex);
        return this->m_conn_error ? this->m_last_status : NATS_OK;
    }
};

class ServerFault : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.start()); }
    LogSandbox box;
    NatsServer server;
};

}  // namespace

// Without reconnection the client closes the connection when the server dies; the callbacks
// record why, and every reader blocked on a queue returns that code.
TEST_F(ServerFault, KilledServerEndsQueueReadersWithTheRecordedStatus) {
    Watchdog dog("queue readers after server kill", 60s);
    Open<CNATSSubscriber> sub;
    Open<CNATSReplier> rep;
    ASSERT_EQ(sub.connect(server.url().c_str(), quick_param(0)), STATUS_OK);
    ASSERT_EQ(rep.connect(server.url().c_str(), quick_param(0)), STATUS_OK);
    ASSERT_EQ(sub.subscribe("sf.queue", nullptr, nullptr), STATUS_OK);
    ASSERT_EQ(rep.subscribe("sf.queue", nullptr, nullptr), STATUS_OK);

    std::vector<std::future<svc_status>> readers;
    for (int i = 0; i < 2; ++i) {
        readers.push_back(std::async(std::launch::async, [&sub] {
            NATSSvcMsg m;
            return sub.recv("sf.queue", m);
        }));
        readers.push_back(std::async(std::launch::async, [&rep] {
            NATSSvcMsg m;
            return rep.recv("sf.queue", m);
        }));
    }
    std::this_thread::sleep_for(20ms);
    const auto killed = Clock::now();
    server.kill_hard();

    for (auto& r : readers) {
        ASSERT_EQ(r.wait_for(5s), std::future_status::ready) << "recv still blocked";
    }
    const long woke_ms = ms_since(killed);
    const natsStatus sub_status = sub.recorded_status();
    const natsStatus rep_status = rep.recorded_status();
    ASSERT_NE(sub_status, NATS_OK);
    ASSERT_NE(rep_status, NATS_OK);
    // The disconnected and the closed handler may both record a status, the later one
    // overwriting the earlier: each reader returns the one recorded when it woke.
    for (auto& r : readers) {
        const svc_status got = r.get();
        EXPECT_GT(got, STATUS_CONNECTION_BASE) << std::hex << got;
        EXPECT_LT(got, STATUS_CONNECTION_BASE + 0x100) << std::hex << got;
    }
    // Nothing lowers the state: later reads fail at once as well.
    NATSSvcMsg m;
    EXPECT_EQ(sub.recv("sf.queue", m), connection_status(sub_status));
    EXPECT_EQ(rep.recv("sf.queue", m), connection_status(rep_status));
    const std::string line = "- error: (" + std::to_string(sub_status) + " - ";
    EXPECT_TRUE(box.has(line)) << "no callback line for status " << sub_status;
    std::printf("server kill: queue readers returned 0x%08X / 0x%08X %ld ms after the kill\n",
                connection_status(sub_status), connection_status(rep_status), woke_ms);
}

// Synchronous reads and requests have time-outs of their own: they end with their failure
// codes, at the latest when the time-out runs out, whether the client gave up or reconnects.
TEST_F(ServerFault, KilledServerEndsSyncReadsAndRequestsInBoundedTime) {
    Watchdog dog("sync readers after server kill", 60s);
    for (const int max_reconnect : {0, 100}) {
        SCOPED_TRACE("max_reconnect " + std::to_string(max_reconnect));
        if (!server.running()) {
            ASSERT_TRUE(server.start());
        }
        NATSSvcParam p = quick_param(max_reconnect, 200);
        p.recv_timeout = 1500;
        p.request_timeout = 1500;
        Open<CNATSReplier> rep;
        Open<CNATSSubscriber> sub;
        CNATSRequestor req;
        ASSERT_EQ(rep.connect(server.url().c_str(), p), STATUS_OK);
        ASSERT_EQ(sub.connect(server.url().c_str(), p), STATUS_OK);
        ASSERT_EQ(req.connect(server.url().c_str(), p), STATUS_OK);
        ASSERT_EQ(rep.subscribe_sync("sf.sync.req"), STATUS_OK);
        ASSERT_EQ(sub.subscribe_sync("sf.sync.msg"), STATUS_OK);
        ASSERT_TRUE(rep.flush() && sub.flush());

        // The first request reaches the replier, which never answers it.
        auto asking = std::async(std::launch::async, [&req] {
            NATSSvcMsg reply;
            return req.request_string("sf.sync.req", "q", reply);
        });
        NATSSvcMsg got;
        ASSERT_EQ(rep.recv_sync("sf.sync.req", got), 1u);
        EXPECT_FALSE(got.inbox.empty());

        auto rep_reading = std::async(std::launch::async, [&rep] {
            NATSSvcMsg m;
            return rep.recv_sync("sf.sync.req", m);
        });
        auto sub_reading = std::async(std::launch::async, [&sub] {
            NATSSvcMsg m;
            return sub.recv_sync("sf.sync.msg", m);
        });
        std::this_thread::sleep_for(20ms);
        const auto killed = Clock::now();
        server.kill_hard();

        const auto bound = std::chrono::milliseconds(p.recv_timeout) + 2s;
        ASSERT_EQ(asking.wait_for(bound), std::future_status::ready);
        ASSERT_EQ(rep_reading.wait_for(bound), std::future_status::ready);
        ASSERT_EQ(sub_reading.wait_for(bound), std::future_status::ready);
        EXPECT_EQ(asking.get(), STATUS_REQUEST_STRING);
        EXPECT_EQ(rep_reading.get(), STATUS_NEXT_MSG);
        EXPECT_EQ(sub_reading.get(), STATUS_NEXT_MSG);
        const long ended_ms = ms_since(killed);

        // Calls made while the server is gone fail with their own codes, also bounded.
        const auto later = Clock::now();
        NATSSvcMsg m;
        EXPECT_EQ(sub.recv_sync("sf.sync.msg", m), STATUS_NEXT_MSG);
        EXPECT_EQ(req.request("sf.sync.req", "x", 1, m), STATUS_REQUEST);
        EXPECT_LT(ms_since(later), 2 * p.recv_timeout + 2000);
        std::printf(
            "server kill (max_reconnect %d): sync reads and request ended %ld ms after "
            "the kill (time-outs %ld ms)\n",
            max_reconnect, ended_ms, static_cast<long>(p.recv_timeout));
    }
}

// A publisher keeps publishing while the server is away for about a second; the client
// buffers what it cannot send and reconnects once the server is back on its port.
TEST_F(ServerFault, RestartedServerResumesPublishingAndSyncReceiving) {
    Watchdog dog("server restart", 90s);
    const NATSSvcParam p = quick_param(600, 50);  // keeps trying for about half a minute
    Open<CNATSPublisher> pub;
    Open<CNATSSubscriber> sub;
    Open<CNATSSubscriber> queue_sub;
    ASSERT_EQ(pub.connect(server.url().c_str(), p), STATUS_OK);
    ASSERT_EQ(sub.connect(server.url().c_str(), p), STATUS_OK);
    ASSERT_EQ(queue_sub.connect(server.url().c_str(), p), STATUS_OK);
    ASSERT_EQ(sub.subscribe_sync("sf.restart"), STATUS_OK);
    ASSERT_EQ(queue_sub.subscribe("sf.restart", nullptr, nullptr), STATUS_OK);
    ASSERT_TRUE(sub.flush() && queue_sub.flush());

    // Sequence numbers as payload; the reader records which ones arrived.
    std::mutex seen_mutex;
    std::set<int> seen;
    std::atomic<bool> reading{true};
    std::atomic<int> read_failures{0};
    std::thread reader([&] {
        while (reading.load()) {
            NATSSvcMsg m;
            const svc_status r = sub.recv_sync("sf.restart", m);
            if (r == STATUS_NEXT_MSG) continue;  // time-out or connection trouble: try again
            if (r != 8u) {
                ++read_failures;
                continue;
            }
            std::lock_guard<std::mutex> lock(seen_mutex);
            seen.insert(std::stoi(m.data));
        }
    });
    const vek_fault::StopAndJoin stop_reader(reading, reader);

    vek_fault::NumberedPublisher numbered(pub, "sf.restart");

    const auto arrived = [&](int upto) {
        std::lock_guard<std::mutex> lock(seen_mutex);
        return !seen.empty() && *seen.rbegin() >= upto - 1;
    };
    ASSERT_TRUE(vek_test::wait_until([&] { return numbered.next() >= 300 && arrived(300); }, 10s));

    server.kill_hard();
    const auto killed = Clock::now();
    const int first_in_outage = numbered.next();
    std::this_thread::sleep_for(1s);
    ASSERT_TRUE(server.start()) << "restart on port " << server.port();
    ASSERT_TRUE(vek_test::wait_until(
        [&] {
            return pub.conn_status() == NATS_CONN_STATUS_CONNECTED &&
                   sub.conn_status() == NATS_CONN_STATUS_CONNECTED;
        },
        20s))
        << "no reconnection";
    const long reconnect_ms = ms_since(killed);
    const int first_after = numbered.next();
    ASSERT_TRUE(sub.flush());

    // Publishing resumed and the synchronous subscriber receives again.
    const int last_wanted = first_after + 500;
    ASSERT_TRUE(vek_test::wait_until([&] { return numbered.next() >= last_wanted; }, 20s));
    ASSERT_TRUE(vek_test::wait_until([&] { return arrived(last_wanted); }, 10s))
        << "the subscriber did not receive after the restart";
    numbered.stop();

    int across = 0;
    int after_missing = 0;
    {
        std::lock_guard<std::mutex> lock(seen_mutex);
        for (int i = first_in_outage; i < first_after; ++i) across += seen.count(i) ? 1 : 0;
        // Settled: both ends reconnected and the subscription is back on the server.
        for (int i = first_after + 100; i < last_wanted; ++i)
            after_missing += seen.count(i) ? 0 : 1;
    }
    EXPECT_EQ(after_missing, 0);
    EXPECT_EQ(read_failures.load(), 0);
    // A publish may fail while the client notices the dead socket; once it reconnected,
    // none may.
    int failed_in_outage = 0;
    for (const int seq : numbered.failed_at()) {
        EXPECT_LT(seq, first_after) << "publishing failed after the reconnection";
        failed_in_outage += seq < first_after ? 1 : 0;
    }
    std::string failure_line;
    for (const std::string& m : box.messages()) {
        if (failure_line.empty() && m.find("publish_string(") == 0) failure_line = m;
    }

    // The queue-based reader learnt of the disconnection and keeps reporting it.
    const natsStatus recorded = queue_sub.recorded_status();
    NATSSvcMsg m;
    if (recorded != NATS_OK) {
        EXPECT_EQ(queue_sub.recv("sf.restart", m), connection_status(recorded));
    }
    std::printf(
        "server restart: reconnected %ld ms after the kill; %d of %d messages published "
        "across the outage arrived (%d publish calls failed during it%s%s); all %d "
        "published after resubscription arrived; queue reader state 0x%08X\n",
        reconnect_ms, across, first_after - first_in_outage, failed_in_outage,
        failure_line.empty() ? "" : ": ", failure_line.c_str(), last_wanted - first_after - 100,
        recorded != NATS_OK ? connection_status(recorded) : 0u);
}

// A server that stops reading (SIGSTOP): a publish fails once the write deadline passes
// instead of blocking in send() for good, and destroy() returns in bounded time while other
// threads still publish or wait for a reply on the stopped server.
TEST_F(ServerFault, StoppedServerFailsPublishesAndLetsDestroyReturn) {
    Watchdog dog("stopped server", 90s);
    NATSSvcParam p = quick_param();
    p.write_deadline = 500;
    p.request_timeout = 30000;
    CNATSPublisher measured, blocked;
    CNATSRequestor req;
    for (CNATSSvc* obj : std::vector<CNATSSvc*>{&measured, &blocked, &req}) {
        ASSERT_EQ(obj->connect(server.url().c_str(), p), STATUS_OK);
    }
    const std::string big(256 * 1024, 's');
    const auto publish_until_failure = [&big](CNATSPublisher& pub) {
        return std::async(std::launch::async, [&big, &pub] {
            svc_status r = STATUS_OK;
            for (const auto start = Clock::now(); r == STATUS_OK && ms_since(start) < 30000;) {
                r = pub.publish("sf.stopped", big.data(), static_cast<int>(big.size()));
            }
            return r;
        });
    };
    ASSERT_EQ(kill(server.pid(), SIGSTOP), 0);
    struct Resume {
        pid_t pid;
        ~Resume() { kill(pid, SIGCONT); }
    } resume{server.pid()};

    const auto stopped = Clock::now();
    auto failing = publish_until_failure(measured);
    ASSERT_EQ(failing.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(failing.get(), STATUS_PUBLISH);
    const long failed_ms = ms_since(stopped);

    auto publishing = publish_until_failure(blocked);
    auto asking = std::async(std::launch::async, [&req] {
        NATSSvcMsg reply;
        return req.request_string("sf.stopped", "?", reply);
    });
    std::this_thread::sleep_for(200ms);
    const auto teardown = Clock::now();
    blocked.destroy();
    req.destroy();
    const long destroy_ms = ms_since(teardown);
    EXPECT_LT(destroy_ms, 5000);
    ASSERT_EQ(publishing.wait_for(5s), std::future_status::ready);
    ASSERT_EQ(asking.wait_for(5s), std::future_status::ready);
    const svc_status published = publishing.get();
    EXPECT_TRUE(published == STATUS_PUBLISH || published == STATUS_NO_CONNECTION) << published;
    EXPECT_EQ(asking.get(), STATUS_REQUEST_STRING);
    std::printf("stopped server: publish failed after %ld ms, destroy of two objects took %ld ms\n",
                failed_ms, destroy_ms);
}
