// The service core's life: defaults, the process-wide count, connect/close/destroy, options,
// pending limits, and the forwarders' guard against objects that are gone.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "support/log_sandbox.h"
#include "support/nats_server.h"
#include "vek_nats/vek_nats.h"

using namespace vek_nats;
using vek_test::LogSandbox;
using vek_test::NatsServer;

namespace {

// Opens the protected state to the tests.
class Probe : public CNATSSubscriber {
public:
    using CNATSSvc::m_conn;
    using CNATSSvc::m_conn_error;
    using CNATSSvc::m_last_status;
    using CNATSSvc::m_msg_queue;
    using CNATSSvc::m_opts;
    using CNATSSvc::m_param;
    using CNATSSvc::m_pub_subjects;
    using CNATSSvc::m_stats;
    using CNATSSvc::m_sub_list;
    using CNATSSvc::m_terminate;
    using CNATSSvc::m_urls;
};

int live_count() {
    std::lock_guard<std::mutex> lock(CNATSSvc::m_nats_Init_mutex);
    return CNATSSvc::m_nats_Init_count;
}

class Lifecycle : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.start()); }
    NatsServer server;
};

}  // namespace

TEST(Records, ParameterDefaults) {
    const NATSSvcParam p;
    EXPECT_EQ(p.request_timeout, 10000);
    EXPECT_EQ(p.max_reconnect, 10);
    EXPECT_EQ(p.reconnect_wait, 1000);
    EXPECT_FALSE(p.reserved_flag);
    EXPECT_TRUE(p.send_asap);
    EXPECT_EQ(p.recv_timeout, 10000);
    EXPECT_FALSE(p.no_error_handler);
}

TEST(Records, FreshObjectHoldsNothing) {
    Probe p;
    ASSERT_EQ(p.m_sub_list.size(), 5u);
    for (const natsSubList& slot : p.m_sub_list) {
        EXPECT_TRUE(slot.subject_name.empty());
        EXPECT_EQ(slot.subscription, nullptr);
    }
    EXPECT_EQ(p.m_pub_subjects, std::vector<std::string>(5));
    EXPECT_TRUE(p.m_msg_queue.empty());
    EXPECT_EQ(p.m_conn, nullptr);
    EXPECT_EQ(p.m_opts, nullptr);
    EXPECT_EQ(p.m_stats, nullptr);
    EXPECT_FALSE(p.m_conn_error);
    EXPECT_FALSE(p.m_terminate);
    EXPECT_EQ(p.m_last_status, NATS_OK);
    EXPECT_EQ(p.m_urls, "nats://127.0.0.1:4222");
    EXPECT_EQ(p.m_param.request_timeout, NATSSvcParam().request_timeout);
}

TEST(InstanceCount, LastObjectClosesTheClientLibraryOnce) {
    LogSandbox box;
    box.set_trace(true);
    auto first = std::make_unique<CNATSSvc>();
    auto second = std::make_unique<CNATSSvc>();
    EXPECT_EQ(live_count(), 2);
    EXPECT_TRUE(box.has("CNATSSvc(") && box.has("- nats_Init_count=2"));

    first.reset();
    EXPECT_EQ(live_count(), 1);
    EXPECT_EQ(box.count("- nats_Close()"), 0u);

    second.reset();
    EXPECT_EQ(live_count(), 0);
    // Per object an entry trace and a count trace; the last one also its "nats_Close()" line.
    EXPECT_EQ(box.count("~CNATSSvc("), 5u);
    EXPECT_EQ(box.count("- nats_Close()"), 1u);
    EXPECT_EQ(box.count("- nats_Init_count=0"), 1u);
}

TEST(InstanceCount, CountIsSharedByObjectsOnManyThreads) {
    std::vector<std::thread> threads;
    std::atomic<int> peak{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&peak] {
            for (int i = 0; i < 50; ++i) {
                CNATSSvc a, b;
                int now = live_count();
                int seen = peak.load();
                while (now > seen && !peak.compare_exchange_weak(seen, now)) {
                }
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_GE(peak.load(), 2);
    EXPECT_EQ(live_count(), 0);
}

TEST(InstanceCount, NegativeCountIsResetWithAnErrorLine) {
    LogSandbox box;
    auto obj = std::make_unique<CNATSSvc>();
    {
        std::lock_guard<std::mutex> lock(CNATSSvc::m_nats_Init_mutex);
        CNATSSvc::m_nats_Init_count = -3;
    }
    obj.reset();
    EXPECT_EQ(live_count(), 0);
    EXPECT_TRUE(box.has("~CNATSSvc(") && box.has("- error: reset nats_Init_count=-3"));
    EXPECT_EQ(box.count("- nats_Close()"), 0u);
}

TEST_F(Lifecycle, SecondConnectReappliesOptionsWithoutNewConnection) {
    LogSandbox box;
    box.set_trace(true);
    Probe p;
    ASSERT_EQ(p.connect(server.url().c_str(), NATSSvcParam()), STATUS_OK);
    natsConnection* const first = p.m_conn;
    NATSSvcParam changed;
    changed.request_timeout = 1234;
    changed.recv_timeout = 55;
    EXPECT_EQ(p.connect(server.url().c_str(), changed), STATUS_OK);
    EXPECT_EQ(p.m_conn, first);
    EXPECT_EQ(p.m_param.request_timeout, 1234);
    EXPECT_EQ(p.m_param.recv_timeout, 55);
    // The first connect may well take under a millisecond too: only the second must say 0.
    std::vector<std::string> timed;
    for (const std::string& m : box.messages()) {
        if (m.find(", elapsed=") != std::string::npos) timed.push_back(m);
    }
    ASSERT_EQ(timed.size(), 2u);
    EXPECT_NE(timed[1].find(", elapsed=0 ms"), std::string::npos) << timed[1];
}

TEST_F(Lifecycle, CloseThenConnectKeepsTheClosedConnection) {
    Probe p;
    ASSERT_EQ(p.connect(server.url().c_str(), NATSSvcParam()), STATUS_OK);
    natsConnection* const conn = p.m_conn;
    EXPECT_EQ(p.close(), STATUS_OK);
    EXPECT_TRUE(natsConnection_IsClosed(p.m_conn));
    EXPECT_EQ(p.connect(server.url().c_str(), NATSSvcParam()), STATUS_OK);
    EXPECT_EQ(p.m_conn, conn);
    EXPECT_TRUE(natsConnection_IsClosed(p.m_conn));
}

TEST_F(Lifecycle, DestroyReleasesEverythingAndCanRunTwice) {
    LogSandbox box;
    Probe p;
    ASSERT_EQ(p.connect(server.url().c_str(), NATSSvcParam()), STATUS_OK);
    ASSERT_EQ(p.subscribe_sync("a"), STATUS_OK);
    EXPECT_EQ(p.destroy(), STATUS_OK);
    EXPECT_EQ(p.m_conn, nullptr);
    EXPECT_EQ(p.m_opts, nullptr);
    EXPECT_EQ(p.m_stats, nullptr);
    EXPECT_TRUE(p.m_terminate);
    for (const natsSubList& slot : p.m_sub_list) {
        EXPECT_TRUE(slot.subject_name.empty());
        EXPECT_EQ(slot.subscription, nullptr);
    }
    EXPECT_EQ(p.destroy(), STATUS_OK);
    EXPECT_EQ(box.count("destroy("), 4u);
    EXPECT_EQ(box.count("- hello"), 2u);
    EXPECT_EQ(box.count("- bye"), 2u);
}

TEST_F(Lifecycle, ConnectAfterDestroyBuildsEverythingAgain) {
    Probe p;
    ASSERT_EQ(p.connect(server.url().c_str(), NATSSvcParam()), STATUS_OK);
    p.destroy();
    EXPECT_EQ(p.connect(server.url().c_str(), NATSSvcParam()), STATUS_OK);
    EXPECT_NE(p.m_conn, nullptr);
    EXPECT_TRUE(natsConnection_IsClosed(p.m_conn) == false);
    EXPECT_TRUE(p.m_terminate) << "the terminate flag is never lowered";
}

TEST_F(Lifecycle, PendingLimitsNeedAllFiveSlots) {
    LogSandbox box;
    Probe p;
    EXPECT_EQ(p.init_subscription(NATSSvcParam()), STATUS_NO_SUBSCRIPTION);
    EXPECT_EQ(box.count("init_subscription("), 1u);
    EXPECT_TRUE(box.has("- error: empty subscription"));

    ASSERT_EQ(p.connect(server.url().c_str(), NATSSvcParam()), STATUS_OK);
    ASSERT_EQ(p.subscribe_sync("s0"), STATUS_OK);
    ASSERT_EQ(p.subscribe_sync("s1"), STATUS_OK);
    EXPECT_EQ(p.init_subscription(NATSSvcParam()), STATUS_NO_SUBSCRIPTION);
    int msgs = 0, bytes = 0;
    ASSERT_EQ(natsSubscription_GetPendingLimits(p.m_sub_list[1].subscription, &msgs, &bytes),
              NATS_OK);
    EXPECT_EQ(msgs, -1);
    EXPECT_EQ(bytes, -1);
    ASSERT_EQ(natsSubscription_GetPendingLimits(p.m_sub_list[2].subscription, &msgs, &bytes),
              NATS_INVALID_ARG)
        << "slot 2 holds nothing";

    for (int i = 2; i < 5; ++i) {
        ASSERT_EQ(p.subscribe_sync(("s" + std::to_string(i)).c_str()), STATUS_OK);
    }
    EXPECT_EQ(p.init_subscription(NATSSvcParam()), STATUS_OK);
    ASSERT_EQ(natsSubscription_GetPendingLimits(p.m_sub_list[4].subscription, &msgs, &bytes),
              NATS_OK);
    EXPECT_EQ(msgs, -1);
}


// The last object closes the client library; a new object must connect at once every time.
TEST_F(Lifecycle, ReconnectAfterLibraryCloseWorksEveryRound) {
    constexpr int ROUNDS = 200;
    int failures = 0;
    for (int round = 0; round < ROUNDS; ++round) {
        auto sub = std::make_unique<CNATSSubscriber>();
        auto pub = std::make_unique<CNATSPublisher>();
        if (sub->connect(server.url().c_str(), NATSSvcParam()) != STATUS_OK ||
            pub->connect(server.url().c_str(), NATSSvcParam()) != STATUS_OK ||
            sub->subscribe("round", nullptr, nullptr) != STATUS_OK || sub->flush(5000) != 0 ||
            pub->publish_string("round", "x") != STATUS_OK) {
            ++failures;
            continue;
        }
        if (!vek_test::wait_until([&] { return sub->queued() == 1; }, std::chrono::seconds(5))) {
            ++failures;
        }
        pub.reset();
        sub.reset();
        ASSERT_EQ(live_count(), 0);
    }
    EXPECT_EQ(failures, 0) << "of " << ROUNDS << " rounds";
}
