// Soak: a publisher sends numbered messages through a nats-server to a subscriber whose queue a
// reader thread drains. Nothing may be lost, duplicated or reordered, and memory must stay
// level once the pipeline runs. The count is VEK_SOAK_MESSAGES (default 500,000; 5,000,000
// for the figures in RELIABILITY.md).

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "support/log_sandbox.h"
#include "support/nats_server.h"
#include "test_fault_support.h"
#include "vek_nats/vek_nats.h"

using namespace vek_nats;
using namespace std::chrono_literals;
using vek_fault::proc_status_kib;
using vek_fault::Watchdog;
using vek_test::LogSandbox;
using vek_test::NatsServer;

namespace {

constexpr long WINDOW = 100000;  // how far the publisher may run ahead of the reader
constexpr int PAYLOAD = 32;

class SoakSubscriber : public CNATSSubscriber {
public:
    bool flush() { return natsConnection_FlushTimeout(m_conn, 10000) == NATS_OK; }
    int64_t dropped() {
        int64_t n = -1;
        natsSubscription_GetStats(m_sub_list[0].subscription, nullptr, nullptr, nullptr, nullptr,
                                  nullptr, &n);
        return n;
    }
    size_t queued() {
        std::lock_guard<std::mutex> lock(m_msg_mutex);
        return m_msg_queue.size();
    }
};

}  // namespace

TEST(Soak, PublisherToSubscriberQueueLosesNothingAndHoldsMemoryLevel) {
    const long messages = vek_fault::count_from_env("VEK_SOAK_MESSAGES", 500000, 50000);
    Watchdog dog("soak", std::chrono::seconds(120 + messages / 5000));
    LogSandbox box;
    NatsServer server;
    ASSERT_TRUE(server.start());

    SoakSubscriber sub;
    CNATSPublisher pub;
    ASSERT_EQ(sub.connect(server.url().c_str(), NATSSvcParam()), STATUS_OK);
    ASSERT_EQ(pub.connect(server.url().c_str(), NATSSvcParam()), STATUS_OK);
    ASSERT_EQ(sub.subscribe("soak.data", nullptr, nullptr), STATUS_OK);
    for (int i = 1; i < CNATSSvc::SLOT_COUNT; ++i) {
        const std::string quiet = "soak.quiet." + std::to_string(i);
        ASSERT_EQ(sub.subscribe(quiet.c_str(), nullptr, nullptr), STATUS_OK);
    }
    // Bursts may outrun the delivery thread for a moment; nothing may be dropped for that.
    ASSERT_EQ(sub.init_subscription(NATSSvcParam()), STATUS_OK);
    ASSERT_TRUE(sub.flush());

    std::atomic<long> received{0};
    std::atomic<long> disorder{0};
    std::atomic<long> bad_length{0};
    std::thread reader([&] {
        for (long expected = 0; expected < messages; ++expected) {
            NATSSvcMsg m;
            const svc_status r = sub.recv("soak.data", m);
            if (r != static_cast<svc_status>(PAYLOAD)) {
                ++bad_length;
                if (r >= STATUS_NO_TOKEN || r == 0) break;  // an error or teardown: stop
            }
            if (std::strtol(m.data.c_str(), nullptr, 10) != expected) ++disorder;
            received.store(expected + 1, std::memory_order_release);
        }
    });

    // RSS samples at every tenth of the run.
    std::vector<long> rss_kib;
    const auto start = std::chrono::steady_clock::now();
    char payload[PAYLOAD + 1];
    long publish_failures = 0;
    for (long i = 0; i < messages; ++i) {
        while (i - received.load(std::memory_order_acquire) > WINDOW) {
            std::this_thread::sleep_for(100us);
        }
        std::snprintf(payload, sizeof(payload), "%0*ld", PAYLOAD, i);
        if (pub.publish("soak.data", payload, PAYLOAD) != STATUS_OK) {
            ++publish_failures;
        }
        if (i % (messages / 10) == 0) rss_kib.push_back(proc_status_kib("VmRSS"));
    }
    reader.join();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const long drained_kib = proc_status_kib("VmRSS");
    const long peak_kib = proc_status_kib("VmHWM");

    EXPECT_EQ(publish_failures, 0);
    EXPECT_EQ(received.load(), messages);
    EXPECT_EQ(disorder.load(), 0) << "messages lost, duplicated or out of order";
    EXPECT_EQ(bad_length.load(), 0);
    EXPECT_EQ(sub.queued(), 0u);
    EXPECT_EQ(sub.dropped(), 0);

    // Level memory: from the second tenth on the pipeline is full, so later growth would be a
    // leak per message (even 16 bytes a message would show as tens of MiB here).
    // Sanitizer runtimes hold freed memory back (ASan's quarantine) and grow shadow memory of
    // their own, so RSS climbs there whatever the library does.
    ASSERT_GE(rss_kib.size(), 3u);
    const long settled_kib = rss_kib[2];
    if (!vek_fault::SANITIZED) {
        EXPECT_LT(drained_kib - settled_kib, 32 * 1024)
            << "RSS grew from " << settled_kib << " KiB to " << drained_kib << " KiB";
    }

    std::string samples;
    for (long k : rss_kib) samples += std::to_string(k / 1024) + " ";
    std::printf(
        "soak: %ld messages of %d bytes in %.1f s (%.0f msg/s), none lost; peak RSS %ld "
        "MiB, RSS after draining %ld MiB; RSS per tenth (MiB): %s\n",
        messages, PAYLOAD, seconds, messages / seconds, peak_kib / 1024, drained_kib / 1024,
        samples.c_str());
}
