// A subscriber that does not keep up while a million messages arrive. The delivery into the
// queue is held back for the whole flood, so every message waits in the NATS client's own
// pending queue: with the pending limits removed by init_subscription none is lost; with the
// client's default limits the overflow is dropped, show_stats reports it, and the client's
// asynchronous slow-consumer report raises the connection-error state.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>

#include "support/log_sandbox.h"
#include "support/nats_server.h"
#include "test_fault_support.h"
#include "vek_nats/vek_nats.h"

using namespace vek_nats;
using namespace std::chrono_literals;
using vek_fault::Watchdog;
using vek_test::LogSandbox;
using vek_test::NatsServer;

namespace {

constexpr int FLOOD_SLOT = CNATSSvc::SLOT_COUNT - 1;  // show_stats reports the last slot
constexpr int DEFAULT_PENDING_LIMIT = 65536;          // NATS_OPTS_DEFAULT_MAX_PENDING_MSGS

class Stalled : public CNATSSubscriber {
public:
    // Holding the queue's mutex keeps the delivery thread inside its first append.
    void hold_delivery() { m_msg_mutex.lock(); }
    void release_delivery() { m_msg_mutex.unlock(); }
    size_t queued() {
        std::lock_guard<std::mutex> lock(m_msg_mutex);
        return m_msg_queue.size();
    }
    bool conn_error() {
        std::lock_guard<std::mutex> lock(m_msg_mutex);
        return m_conn_error;
    }
    natsStatus last_status() {
        std::lock_guard<std::mutex> lock(m_msg_mutex);
        return m_last_status;
    }
    bool flush() { return natsConnection_FlushTimeout(m_conn, 10000) == NATS_OK; }
    int pending() {
        int n = -1;
        natsSubscription_GetStats(m_sub_list[FLOOD_SLOT].subscription, &n, nullptr, nullptr,
                                  nullptr, nullptr, nullptr);
        return n;
    }
    bool limit_pending(int msgs) {
        return natsSubscription_SetPendingLimits(m_sub_list[FLOOD_SLOT].subscription, msgs,
                                                 1 << 20) == NATS_OK;
    }
    // Messages the client accounts for on the flood subscription: waiting, handed to the
    // delivery callback, or dropped.
    int64_t accounted() {
        int pending = 0;
        int64_t delivered = 0, dropped = 0;
        if (natsSubscription_GetStats(m_sub_list[FLOOD_SLOT].subscription, &pending, nullptr,
                                      nullptr, nullptr, &delivered, &dropped) != NATS_OK) {
            return -1;
        }
        return pending + delivered + dropped;
    }
    // Subscribes four quiet subjects and the flood subject in the last slot.
    bool subscribe_all(const char* flood) {
        for (int i = 0; i < FLOOD_SLOT; ++i) {
            const std::string quiet = "sc.quiet." + std::to_string(i);
            if (subscribe(quiet.c_str(), nullptr, nullptr) != STATUS_OK) return false;
        }
        return subscribe(flood, nullptr, nullptr) == STATUS_OK && flush();
    }
};

class Flooder : public CNATSPublisher {
public:
    // Publishes `count` eight-digit sequence numbers; false when a publish fails.
    bool flood(const char* subject, long count) {
        char payload[24];
        for (long i = 0; i < count; ++i) {
            std::snprintf(payload, sizeof(payload), "%08ld", i);
            if (publish_string(subject, payload) != STATUS_OK) return false;
        }
        return natsConnection_FlushTimeout(m_conn, 30000) == NATS_OK;
    }
};

// The figure of one show_stats line ("- Dropped    : 123 - "), -1 when missing.
long stats_figure(const LogSandbox& box, const char* label) {
    const std::regex line(std::string("- ") + label + R"( *: (-?\d+))");
    long value = -1;
    for (const std::string& m : box.messages()) {
        std::smatch match;
        if (std::regex_search(m, match, line)) value = std::stol(match[1].str());
    }
    return value;
}

class SlowConsumer : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.start()); }
    LogSandbox box;
    NatsServer server;
    const long messages = vek_fault::count_from_env("VEK_SLOW_CONSUMER_MESSAGES", 1000000, 100000);
};

}  // namespace

TEST_F(SlowConsumer, UnlimitedPendingKeepsEveryMessage) {
    Watchdog dog("slow consumer without limits", 240s);
    Stalled sub;
    Flooder pub;
    ASSERT_EQ(sub.connect(server.url().c_str(), NATSSvcParam()), STATUS_OK);
    ASSERT_EQ(pub.connect(server.url().c_str(), NATSSvcParam()), STATUS_OK);
    ASSERT_TRUE(sub.subscribe_all("sc.flood"));
    ASSERT_EQ(sub.init_subscription(NATSSvcParam()), STATUS_OK);

    sub.hold_delivery();
    const bool flooded = pub.flood("sc.flood", messages);
    const bool all_in_client =
        vek_test::wait_until([&] { return sub.accounted() >= messages; }, 60s);
    sub.release_delivery();
    ASSERT_TRUE(flooded);
    ASSERT_TRUE(all_in_client) << "the client accounts for " << sub.accounted() << " of "
                               << messages;
    // The queue fills up to its bound; the rest waits in the client, nothing is dropped.
    const size_t bound = std::min<size_t>(messages, NATSSvcParam().queue_max_msgs);
    ASSERT_TRUE(vek_test::wait_until([&] { return sub.queued() == bound; }, 60s))
        << "queued " << sub.queued() << " of " << bound;

    // Every message arrives, in publishing order, as recv makes room.
    for (long i = 0; i < messages; ++i) {
        NATSSvcMsg m;
        ASSERT_EQ(sub.recv("sc.flood", m), 8u) << "message " << i;
        ASSERT_EQ(std::stol(m.data), i);
    }
    EXPECT_EQ(sub.queued(), 0u);
    EXPECT_FALSE(sub.conn_error());
    sub.show_stats(4);
    EXPECT_EQ(stats_figure(box, "Dropped"), 0);
    EXPECT_EQ(stats_figure(box, "Delivered"), messages);
    std::printf("slow consumer, limits removed: %ld of %ld messages kept, peak RSS %ld MiB\n",
                messages, messages, vek_fault::proc_status_kib("VmHWM") / 1024);
}

TEST_F(SlowConsumer, DefaultLimitsDropReportAndRaiseTheConnectionError) {
    Watchdog dog("slow consumer with limits", 240s);
    Stalled sub;
    Flooder pub;
    NATSSvcParam unbounded;  // the client's limits decide here, not the queue's
    unbounded.queue_max_msgs = 0;
    ASSERT_EQ(sub.connect(server.url().c_str(), unbounded), STATUS_OK);
    ASSERT_EQ(pub.connect(server.url().c_str(), NATSSvcParam()), STATUS_OK);
    ASSERT_TRUE(sub.subscribe_all("sc.flood"));

    sub.hold_delivery();
    const bool flooded = pub.flood("sc.flood", messages);
    const bool all_in_client =
        vek_test::wait_until([&] { return sub.accounted() >= messages; }, 60s);
    sub.release_delivery();
    ASSERT_TRUE(flooded);
    ASSERT_TRUE(all_in_client);
    ASSERT_TRUE(vek_test::wait_until([&] { return sub.conn_error(); }, 10s))
        << "the slow-consumer report did not raise the connection-error state";
    EXPECT_EQ(sub.last_status(), NATS_SLOW_CONSUMER);
    ASSERT_TRUE(vek_test::wait_until([&] { return sub.pending() == 0; }, 30s));

    const size_t kept = sub.queued();
    sub.show_stats(7);
    const long dropped = stats_figure(box, "Dropped");
    const long delivered = stats_figure(box, "Delivered");
    EXPECT_GT(dropped, 0);
    EXPECT_LE(kept, static_cast<size_t>(DEFAULT_PENDING_LIMIT) + 1);
    EXPECT_EQ(dropped + static_cast<long>(kept), messages) << "kept " << kept;
    EXPECT_EQ(delivered, static_cast<long>(kept));
    EXPECT_TRUE(box.has("error_callback(") &&
                box.has("- error: (" + std::to_string(NATS_SLOW_CONSUMER) + " - " +
                        natsStatus_GetText(NATS_SLOW_CONSUMER) + ")"));

    // The raised state wins over the queued messages, on every call.
    NATSSvcMsg m;
    EXPECT_EQ(sub.recv("sc.flood", m), connection_status(NATS_SLOW_CONSUMER));
    EXPECT_EQ(sub.recv("sc.flood", m), connection_status(NATS_SLOW_CONSUMER));
    EXPECT_EQ(sub.queued(), kept);
    std::printf(
        "slow consumer, default limits: %zu kept, %ld dropped of %ld; recv returns "
        "0x%08X\n",
        kept, dropped, messages, connection_status(NATS_SLOW_CONSUMER));
}

// After a slow consumer the client may still run the closed handler, with a non-zero last
// error, once the connection is destroyed; objects torn down right after must not see it.
TEST_F(SlowConsumer, ObjectsDestroyedAfterASlowConsumerIgnoreLateCallbacks) {
    Watchdog dog("slow consumer teardown rounds", 120s);
    constexpr int ROUNDS = 50;
    int raised = 0;
    Flooder pub;
    ASSERT_EQ(pub.connect(server.url().c_str(), NATSSvcParam()), STATUS_OK);
    for (int round = 0; round < ROUNDS; ++round) {
        auto sub = std::make_unique<Stalled>();
        ASSERT_EQ(sub->connect(server.url().c_str(), NATSSvcParam()), STATUS_OK);
        ASSERT_TRUE(sub->subscribe_all("sc.small"));
        ASSERT_TRUE(sub->limit_pending(100));
        sub->hold_delivery();
        ASSERT_TRUE(pub.flood("sc.small", 2000));
        sub->release_delivery();
        if (sub->conn_error()) ++raised;
        sub.reset();  // at once: the client's reports of the overflow may still be under way
    }
    EXPECT_EQ(box.count("- bye"), static_cast<size_t>(ROUNDS));
    std::printf("slow consumer teardown: %d rounds, %d had raised the state before teardown\n",
                ROUNDS, raised);
}
