// The service core's life: defaults, the process-wide count, connect/close/destroy, options,
// pending limits, and the forwarders' guard against objects that are gone.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <regex>
#include <thread>

#include "support/log_sandbox.h"
#include "support/nats_server.h"
#include "vek_nats/svc.h"

using namespace vek_nats;
using vek_test::LogSandbox;
using vek_test::NatsServer;

namespace {

// Opens the protected state to the tests and subscribes slots with plain libnats calls.
class Probe : public CNATSSvc {
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

    natsStatus subscribe_sync_slot(int index, const char* subject) {
        const natsStatus s =
            natsConnection_SubscribeSync(&m_sub_list[index].subscription, m_conn, subject);
        if (s == NATS_OK) m_sub_list[index].subject_name = subject;
        return s;
    }

    natsStatus subscribe_async_slot(int index, const char* subject) {
        const natsStatus s = natsConnection_Subscribe(&m_sub_list[index].subscription, m_conn,
                                                      subject, deliver, this);
        if (s == NATS_OK) m_sub_list[index].subject_name = subject;
        return s;
    }

    size_t queued() {
        std::lock_guard<std::mutex> lock(m_msg_mutex);
        return m_msg_queue.size();
    }

private:
    static void deliver(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) {
        auto* self = static_cast<Probe*>(closure);
        live_guard alive(self);
        if (!alive) {
            natsMsg_Destroy(msg);
            return;
        }
        self->queue_message(msg, false);
    }
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

TEST_F(Lifecycle, ConnectTimesTheConnectionUnderTheSwitch) {
    LogSandbox box;
    box.set_trace(true);
    Probe p;
    EXPECT_EQ(p.connect(server.url().c_str(), NATSSvcParam()), STATUS_OK);
    EXPECT_NE(p.m_conn, nullptr);
    EXPECT_NE(p.m_opts, nullptr);
    EXPECT_NE(p.m_stats, nullptr);
    EXPECT_EQ(p.m_urls, server.url());
    bool found = false;
    for (const std::string& m : box.messages()) {
        found = found || std::regex_match(m, std::regex("connect\\(\\d+\\)- urls=" + server.url() +
                                                        ", elapsed=\\d+ ms"));
    }
    EXPECT_TRUE(found);
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
    EXPECT_EQ(box.count(", elapsed=0 ms"), 1u);  // the second one, at least
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
    ASSERT_EQ(p.subscribe_sync_slot(0, "a"), NATS_OK);
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
    ASSERT_EQ(p.subscribe_sync_slot(0, "s0"), NATS_OK);
    ASSERT_EQ(p.subscribe_sync_slot(1, "s1"), NATS_OK);
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
        ASSERT_EQ(p.subscribe_sync_slot(i, ("s" + std::to_string(i)).c_str()), NATS_OK);
    }
    EXPECT_EQ(p.init_subscription(NATSSvcParam()), STATUS_OK);
    ASSERT_EQ(natsSubscription_GetPendingLimits(p.m_sub_list[4].subscription, &msgs, &bytes),
              NATS_OK);
    EXPECT_EQ(msgs, -1);
}

TEST(ConnectFailures, EmptyOrBlankUrlListNeverReachesTheClient) {
    LogSandbox box;
    for (const char* urls : {static_cast<const char*>(nullptr), "", " ", " , "}) {
        Probe p;
        EXPECT_EQ(p.connect(urls, NATSSvcParam()), STATUS_OPTIONS_URL) << (urls ? urls : "null");
        EXPECT_EQ(p.m_stats, nullptr);
        EXPECT_EQ(p.m_conn, nullptr);
    }
    EXPECT_EQ(box.count("init_options() ret"), 4u);
    EXPECT_EQ(box.count("- error: (16 - Invalid Argument) natsOptions_SetURL()"), 4u);
    EXPECT_EQ(box.count("- error: init_options() ret=0x910E0302, urls="), 4u);
    EXPECT_TRUE(box.has("urls=(null)"));
}

TEST(ConnectFailures, RefusedUrlsFailAtConnectQuickly) {
    LogSandbox box;
    const std::string no_server = "nats://127.0.0.1:" + std::to_string(vek_test::free_port());
    for (const std::string& urls : {std::string("host:port:bad"), no_server}) {
        Probe p;
        const int64_t start = nats_Now();
        EXPECT_EQ(p.connect(urls.c_str(), NATSSvcParam()), STATUS_CONNECT) << urls;
        EXPECT_LT(nats_Now() - start, 5000);
        EXPECT_EQ(p.m_conn, nullptr);
        EXPECT_NE(p.m_stats, nullptr) << "statistics are made before connecting";
        EXPECT_TRUE(box.has(" natsConnection_ConnectTo() urls=" + urls));
    }
    EXPECT_TRUE(box.has("- error: (6 - No server available for connection) natsConnection_ConnectTo()"));
}

TEST(Forwarders, IgnoreNullAndDeadClosures) {
    LogSandbox box;
    CNATSSvc::error_callback_wrapper(nullptr, nullptr, NATS_ERR, nullptr);
    auto gone = std::make_unique<Probe>();
    // Kept as a number: the address of an object that no longer exists, never dereferenced here.
    volatile std::uintptr_t address = reinterpret_cast<std::uintptr_t>(gone.get());
    gone.reset();
    void* const dangling = reinterpret_cast<void*>(address);
    CNATSSvc::error_callback_wrapper(nullptr, nullptr, NATS_ERR, dangling);
    CNATSSvc::closed_callback_wrapper(nullptr, dangling);
    CNATSSvc::disconnected_callback_wrapper(nullptr, dangling);
    EXPECT_EQ(box.count("error_callback("), 0u);
}

TEST(Forwarders, ErrorReportRaisesTheConnectionErrorState) {
    LogSandbox box;
    Probe p;
    CNATSSvc::error_callback_wrapper(nullptr, nullptr, NATS_SLOW_CONSUMER, &p);
    EXPECT_TRUE(p.m_conn_error);
    EXPECT_EQ(p.m_last_status, NATS_SLOW_CONSUMER);
    EXPECT_TRUE(box.has(std::string("error_callback(")) &&
                box.has("- error: (" + std::to_string(NATS_SLOW_CONSUMER) + " - " +
                        natsStatus_GetText(NATS_SLOW_CONSUMER) + ")"));
}

// The last object closes the client library; a new object must connect at once every time.
TEST_F(Lifecycle, ReconnectAfterLibraryCloseWorksEveryRound) {
    constexpr int ROUNDS = 200;
    int failures = 0;
    for (int round = 0; round < ROUNDS; ++round) {
        auto p = std::make_unique<Probe>();
        if (p->connect(server.url().c_str(), NATSSvcParam()) != STATUS_OK ||
            p->subscribe_async_slot(0, "round") != NATS_OK ||
            natsConnection_PublishString(p->m_conn, "round", "x") != NATS_OK) {
            ++failures;
            continue;
        }
        if (!vek_test::wait_until([&] { return p->queued() == 1; }, std::chrono::seconds(5))) {
            ++failures;
        }
        p.reset();
        ASSERT_EQ(live_count(), 0);
    }
    EXPECT_EQ(failures, 0) << "of " << ROUNDS << " rounds";
}

TEST_F(Lifecycle, UrlListReachesALiveServerBehindADeadOne) {
    const std::string dead = "nats://127.0.0.1:" + std::to_string(vek_test::free_port());
    Probe p;
    NATSSvcParam param;
    param.max_reconnect = 0;
    EXPECT_EQ(p.connect((dead + " , " + server.url()).c_str(), param), STATUS_OK);
    char url[256] = {};
    ASSERT_EQ(natsConnection_GetConnectedUrl(p.m_conn, url, sizeof(url)), NATS_OK);
    EXPECT_EQ(std::string(url), server.url());
    // Torn down and connected again with the dead server alone, it fails.
    p.destroy();
    EXPECT_EQ(p.connect(dead.c_str(), param), STATUS_CONNECT);
}
