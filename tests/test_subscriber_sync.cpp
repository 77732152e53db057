#include "test_pubsub_support.h"

namespace pubsub_test {
namespace {

using vek_nats::STATUS_NEXT_MSG;
using vek_nats::STATUS_NO_SUBSCRIPTION;
using vek_nats::STATUS_SUBSCRIBE_SYNC;

using SubscriberSync = PubSubTest;

TEST_F(SubscriberSync, TimesOutLeavingRecordUntouched) {
    param.recv_timeout = 300;
    Sub sub;
    connect(sub);
    ASSERT_EQ(0u, sub.subscribe_sync("y.quiet"));
    NATSSvcMsg msg;
    msg.subject = "old";
    msg.dataLen = 42;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(STATUS_NEXT_MSG, sub.recv_sync("y.quiet", msg));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 250ms);
    EXPECT_LT(waited, 3s);
    EXPECT_EQ("old", msg.subject);
    EXPECT_EQ(42, msg.dataLen);
    EXPECT_EQ(1u,
              count("recv_sync", format("- error: (%u - %s) subj-> y.quiet", unsigned(NATS_TIMEOUT),
                                        natsStatus_GetText(NATS_TIMEOUT))));
}

TEST_F(SubscriberSync, SubjectsWithoutSubscriptionAreReported) {
    Sub sub;
    connect(sub);
    ASSERT_EQ(0u, sub.subscribe_sync("y.gone"));
    ASSERT_EQ(0u, sub.unsubscribe("y.gone"));
    NATSSvcMsg msg;
    for (const char* subject : {"y.gone", "y.never", "", static_cast<const char*>(nullptr)}) {
        EXPECT_EQ(STATUS_NO_SUBSCRIPTION, sub.recv_sync(subject, msg));
    }
    EXPECT_EQ(4u, count("recv_sync", "- error: empty subscription"));
}

TEST_F(SubscriberSync, SharesFiveSlotsWithQueuedSubscriptions) {
    Sub sub;
    Pub pub;
    connect(sub);
    connect(pub);
    ASSERT_EQ(0u, sub.subscribe("both", nullptr, nullptr));
    ASSERT_EQ(0u, sub.subscribe_sync("both"));
    ASSERT_EQ(0u, sub.subscribe_sync("z2"));
    ASSERT_EQ(0u, sub.subscribe("z3", nullptr, nullptr));
    ASSERT_EQ(0u, sub.subscribe_sync("z4"));
    settle(sub);
    EXPECT_EQ(STATUS_SUBSCRIBE_SYNC, sub.subscribe_sync("z5"));
    EXPECT_EQ(1u, count("subscribe_sync", "- error: full size subj-> z5"));
    EXPECT_EQ(1u, lines("subscribe_sync").size());  // successes write nothing

    // recv_sync uses the lower slot, here the queued one, which NextMsg refuses.
    NATSSvcMsg msg;
    EXPECT_EQ(STATUS_NEXT_MSG, sub.recv_sync("both", msg));
    ASSERT_EQ(0u, sub.unsubscribe("both"));
    ASSERT_EQ(0u, pub.publish_string("both", "sync"));
    EXPECT_EQ(4u, sub.recv_sync("both", msg));
    EXPECT_EQ("sync", msg.data);
}

TEST_F(SubscriberSync, WaitingReadEndsOnUnsubscribe) {
    Sub sub;
    connect(sub);
    ASSERT_EQ(0u, sub.subscribe_sync("y.wait"));
    NATSSvcMsg msg;
    auto got = recv_sync_async(sub, "y.wait", msg);
    EXPECT_FALSE(got->finishes(200ms));
    ASSERT_EQ(0u, sub.unsubscribe("y.wait"));
    ASSERT_TRUE(got->finishes(3s));
    EXPECT_EQ(STATUS_NEXT_MSG, got->get());
    EXPECT_EQ(STATUS_NO_SUBSCRIPTION, sub.recv_sync("y.wait", msg));
}

}  // namespace
}  // namespace pubsub_test
