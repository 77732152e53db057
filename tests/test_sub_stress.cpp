#include <atomic>
#include <memory>
#include <random>
#include <thread>

#include "test_pubsub_support.h"

namespace pubsub_test {
namespace {

using vek_nats::STATUS_NEXT_MSG;
using vek_nats::STATUS_NO_SUBSCRIPTION;

using SubscriberStress = PubSubTest;

constexpr int ROUNDS = 20;

// Publishes to both subjects in small batches until stopped; paced so that no subscription
// becomes a slow consumer, which would end the readers for another reason.
class Burst {
public:
    Burst(Pub& pub, std::vector<std::string> subjects)
        : m_thread([this, &pub, subjects] {
              while (!m_stop) {
                  for (int i = 0; i < 50; ++i) {
                      for (const std::string& s : subjects) pub.publish_string(s.c_str(), "x");
                  }
                  std::this_thread::sleep_for(1ms);
              }
          }) {}
    ~Burst() {
        m_stop = true;
        m_thread.join();
    }

private:
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

TEST_F(SubscriberStress, DestroyWhileReadersWaitDuringBurst) {
    param.recv_timeout = 5000;
    Pub pub;
    connect(pub);
    Burst burst(pub, {"st.async", "st.sync"});
    std::mt19937 rng(12345);
    for (int round = 0; round < ROUNDS; ++round) {
        SCOPED_TRACE(round);
        auto sub = std::make_unique<Sub>();
        connect(*sub);
        ASSERT_EQ(0u, sub->subscribe("st.async", nullptr, nullptr));
        ASSERT_EQ(0u, sub->subscribe_sync("st.sync"));
        settle(*sub);
        // Each reader counts what it read and returns the result that ended it.
        std::atomic<int> queued_n{0}, sync_n{0};
        auto reader = [](std::atomic<int>& n, auto read) {
            return std::async(std::launch::async, [&n, read] {
                for (;;) {
                    NATSSvcMsg msg;
                    const svc_status r = read(msg);
                    if (r != 1) return r;
                    ++n;
                }
            });
        };
        Sub* s = sub.get();
        auto queued = reader(queued_n, [s](NATSSvcMsg& m) { return s->recv("st.async", m); });
        auto sync = reader(sync_n, [s](NATSSvcMsg& m) { return s->recv_sync("st.sync", m); });
        const bool both_reading =
            vek_test::wait_until([&] { return queued_n > 0 && sync_n > 0; }, 5s);
        std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 20));
        sub->destroy();
        // Both must end; a hang here is the failure this test looks for.
        const svc_status queued_end = queued.get();
        const svc_status sync_end = sync.get();
        EXPECT_TRUE(both_reading);
        EXPECT_EQ(0u, queued_end);
        EXPECT_TRUE(sync_end == STATUS_NEXT_MSG || sync_end == STATUS_NO_SUBSCRIPTION) << sync_end;
        sub.reset();
    }
}

TEST_F(SubscriberStress, ObjectGoesAwayWhileMessagesArrive) {
    Pub pub;
    connect(pub);
    Burst burst(pub, {"gone.a", "gone.b"});
    for (int round = 0; round < ROUNDS; ++round) {
        SCOPED_TRACE(round);
        auto sub = std::make_unique<Sub>();
        connect(*sub);
        ASSERT_EQ(0u, sub->subscribe("gone.a", nullptr, nullptr));
        ASSERT_EQ(0u, sub->subscribe("gone.b", nullptr, nullptr));
        settle(*sub);
        ASSERT_TRUE(vek_test::wait_until([&] { return sub->queued() > 0; }, 5s));
        sub.reset();
    }
}

}  // namespace
}  // namespace pubsub_test
