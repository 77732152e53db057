#include <nats/nats.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "test_pubsub_support.h"

namespace pubsub_test {
namespace {

using vek_nats::connection_status;
using vek_nats::STATUS_SUBSCRIBE;
using vek_nats::STATUS_UNSUBSCRIBE;

using Subscriber = PubSubTest;

// Both ways of reading hand over the payload as text up to its first zero byte, with its full
// length; a record from the queue brings an empty inbox and reply_data, recv_sync keeps them.
TEST_F(Subscriber, RecvAndRecvSyncReturnPayloadTextAndFullLength) {
    Pub pub;
    connect(pub);
    log.set_trace(true);
    for (const bool sync : {false, true}) {
        SCOPED_TRACE(sync ? "recv_sync" : "recv");
        Sub sub;
        connect(sub);
        ASSERT_EQ(0u, sync ? sub.subscribe_sync("p") : sub.subscribe("p", nullptr, nullptr));
        settle(sub);
        const char five[] = {'a', 'b', '\0', 'c', 'd'};
        const int64_t before = nats_Now();
        ASSERT_EQ(0u, pub.publish("p", five, 5));
        ASSERT_EQ(0u, pub.publish("p", nullptr, 0));
        if (!sync) {
            ASSERT_TRUE(queued(sub, 2));
        }
        const auto read = [&](NATSSvcMsg& m) {
            return sync ? sub.recv_sync("p", m) : sub.recv("p", m);
        };

        NATSSvcMsg msg;
        msg.inbox = "old inbox";
        msg.reply_data = "old reply";
        EXPECT_EQ(5u, read(msg));
        EXPECT_EQ("p", msg.subject);
        EXPECT_EQ("ab", msg.data);
        EXPECT_EQ(5, msg.dataLen);
        EXPECT_GE(msg.recv_ts, before);
        EXPECT_LE(msg.recv_ts, nats_Now());
        EXPECT_EQ(sync ? "old inbox" : "", msg.inbox);
        EXPECT_EQ(sync ? "old reply" : "", msg.reply_data);
        const std::string trace =
            sync ? "- Received msg: p -> ab"
                 : format("- Received msg: p -> ab, recv_ts=%ld ms, queue sz=1", long(msg.recv_ts));
        EXPECT_EQ(1u, count(sync ? "recv_sync" : "recv", trace));

        msg.data = "previous";
        EXPECT_EQ(0u, read(msg));
        EXPECT_EQ("", msg.data);
        EXPECT_EQ(0, msg.dataLen);
        EXPECT_EQ(0u, sub.queued());  // synchronous messages never pass through the queue
    }
}

TEST_F(Subscriber, RecvTakesOldestRecordWhateverItsSubject) {
    Sub sub;
    Pub pub;
    connect(sub);
    connect(pub);
    ASSERT_EQ(0u, sub.subscribe("fifo.a", nullptr, nullptr));
    ASSERT_EQ(0u, sub.subscribe("fifo.b", nullptr, nullptr));
    settle(sub);
    // Different subscriptions deliver on different threads: wait for each before the next.
    for (const char* subject : {"fifo.a", "fifo.b", "fifo.a"}) {
        const size_t before = sub.queued();
        ASSERT_EQ(0u, pub.publish_string(subject, subject));
        ASSERT_TRUE(queued(sub, before + 1));
    }
    NATSSvcMsg msg;
    for (const char* expected : {"fifo.a", "fifo.b", "fifo.a"}) {
        EXPECT_EQ(6u, sub.recv("fifo.b", msg));
        EXPECT_EQ(expected, msg.subject);
        EXPECT_EQ(expected, msg.data);
    }
}

TEST_F(Subscriber, LowestFreeSlotIsReused) {
    Sub sub;
    connect(sub);
    for (const char* subject : {"s0", "s1", "s2", "s3", "s4"}) {
        EXPECT_EQ(0u, sub.subscribe(subject, nullptr, nullptr));
    }
    EXPECT_EQ(0u, sub.unsubscribe("s2"));
    EXPECT_EQ("", sub.slot(2));
    EXPECT_EQ(nullptr, sub.m_sub_list[2].subscription);
    EXPECT_EQ(0u, sub.subscribe("s5", nullptr, nullptr));
    EXPECT_EQ("s5", sub.slot(2));
    EXPECT_EQ(1u, count("subscribe", "- error: i= 2 subj-> s5"));
}

TEST_F(Subscriber, SameSubjectTwiceFillsTwoSlotsFreedLowestFirst) {
    Sub sub;
    connect(sub);
    ASSERT_EQ(0u, sub.subscribe("dup", nullptr, nullptr));
    ASSERT_EQ(0u, sub.subscribe("dup", nullptr, nullptr));
    EXPECT_EQ(0u, sub.unsubscribe("dup"));
    EXPECT_EQ("", sub.slot(0));
    EXPECT_EQ("dup", sub.slot(1));
    EXPECT_EQ(0u, sub.unsubscribe("dup"));
    EXPECT_EQ("", sub.slot(1));
    EXPECT_EQ(STATUS_UNSUBSCRIBE, sub.unsubscribe("dup"));
    EXPECT_EQ(1u, count("unsubscribe", "- error subj-> dup"));
}

TEST_F(Subscriber, BadSubjectsAreRefusedWithoutLosingQueuedRecords) {
    Sub sub;
    connect(sub);
    sub.deliver("kept", "x");
    const unsigned s = NATS_INVALID_SUBJECT;
    const char* text = natsStatus_GetText(NATS_INVALID_SUBJECT);
    for (const char* bad : {static_cast<const char*>(nullptr), "", "with blank", "a..b"}) {
        EXPECT_EQ(STATUS_SUBSCRIBE, sub.subscribe(bad, nullptr, nullptr));
        EXPECT_EQ(STATUS_UNSUBSCRIBE, sub.unsubscribe(bad));
    }
    EXPECT_EQ(1u, count("subscribe", format("- error: (%u - %s) subj-> a..b", s, text)));
    EXPECT_EQ(1u, count("unsubscribe", "- error subj-> (null)"));
    for (int i = 0; i < vek_nats::CNATSSvc::SLOT_COUNT; ++i) EXPECT_EQ("", sub.slot(i));
    EXPECT_EQ(1u, sub.queued());
    NATSSvcMsg msg;
    EXPECT_EQ(1u, sub.recv(nullptr, msg));  // null names no slot: takes the record
    EXPECT_EQ("kept", msg.subject);
    EXPECT_EQ(-1, sub.sub_index());
}

TEST_F(Subscriber, RecvOnUnknownSubjectWaitsForAnyRecord) {
    Sub sub;  // never connected: delivery is driven by hand
    NATSSvcMsg msg;
    auto got = recv_async(sub, "never", msg);
    EXPECT_FALSE(got->finishes(200ms));
    sub.deliver("other", "abc");
    ASSERT_TRUE(got->finishes());
    EXPECT_EQ(3u, got->get());
    EXPECT_EQ("other", msg.subject);
    EXPECT_EQ(-1, sub.sub_index());

    // A null closure is ignored; the message stays the caller's.
    natsMsg* stray = nullptr;
    ASSERT_EQ(NATS_OK, natsMsg_Create(&stray, "stray", nullptr, "x", 1));
    Sub::onMsg_callback_wrapper(nullptr, nullptr, stray, nullptr);
    EXPECT_EQ(0u, sub.queued());
    natsMsg_Destroy(stray);
}

TEST_F(Subscriber, RecvEndsWhenItsSubjectIsUnsubscribed) {
    Sub sub;
    connect(sub);
    ASSERT_EQ(0u, sub.subscribe("u.watched", nullptr, nullptr));
    ASSERT_EQ(0u, sub.subscribe("u.other", nullptr, nullptr));
    NATSSvcMsg msg;
    msg.data = "untouched";
    auto got = recv_async(sub, "u.watched", msg);
    ASSERT_TRUE(vek_test::wait_until([&] { return sub.sub_index() == 0; }, 5s));
    EXPECT_FALSE(got->finishes(100ms));
    ASSERT_EQ(0u, sub.unsubscribe("u.watched"));
    ASSERT_TRUE(got->finishes());
    EXPECT_EQ(0u, got->get());
    EXPECT_EQ("untouched", msg.data);
    EXPECT_EQ(1u, count("recv", "- subject_name unsubscribe subj-> u.watched"));

    // The freed slot stays remembered: queued records of other subjects are left alone.
    sub.deliver("u.other", "x");
    EXPECT_EQ(0u, sub.recv("u.watched", msg));
    EXPECT_EQ(1u, sub.queued());
    // Once another subject takes the slot, recv takes records again.
    ASSERT_EQ(0u, sub.subscribe("u.new", nullptr, nullptr));
    EXPECT_EQ("u.new", sub.slot(0));
    EXPECT_EQ(1u, sub.recv("u.watched", msg));
    EXPECT_EQ("u.other", msg.subject);
}

TEST_F(Subscriber, RecvWithEmptySubjectMatchesFreeSlot) {
    Sub sub;
    sub.deliver("q", "x");
    NATSSvcMsg msg;
    EXPECT_EQ(0u, sub.recv("", msg));
    EXPECT_EQ(0, sub.sub_index());
    EXPECT_EQ(1u, sub.queued());
    EXPECT_EQ(1u, count("recv", "- subject_name unsubscribe subj-> "));
}

// Each waiting recv watches the slot of its own subject, whatever later callers named.
TEST_F(Subscriber, EachWaitingRecvEndsOnTheUnsubscribeOfItsOwnSubject) {
    Sub sub;
    connect(sub);
    ASSERT_EQ(0u, sub.subscribe("w.a", nullptr, nullptr));
    ASSERT_EQ(0u, sub.subscribe("w.b", nullptr, nullptr));
    NATSSvcMsg ma, mb;
    auto a = recv_async(sub, "w.a", ma);
    ASSERT_TRUE(vek_test::wait_until([&] { return sub.sub_index() == 0; }, 5s));
    auto b = recv_async(sub, "w.b", mb);
    ASSERT_TRUE(vek_test::wait_until([&] { return sub.sub_index() == 1; }, 5s));
    ASSERT_EQ(0u, sub.unsubscribe("w.a"));
    ASSERT_TRUE(a->finishes());
    EXPECT_EQ(0u, a->get());
    EXPECT_FALSE(b->finishes(100ms));
    ASSERT_EQ(0u, sub.unsubscribe("w.b"));
    ASSERT_TRUE(b->finishes());
    EXPECT_EQ(0u, b->get());
    EXPECT_EQ(1u, count("recv", "- subject_name unsubscribe subj-> w.a"));
    EXPECT_EQ(1u, count("recv", "- subject_name unsubscribe subj-> w.b"));
}

// With the reader idle the queue stops at its bound, by count or by payload bytes; the rest
// waits in the client and arrives, in order, as recv makes room.
TEST_F(Subscriber, QueueStopsAtItsBoundAndLosesNothing) {
    constexpr int SENT = 200;
    const struct {
        std::int64_t msgs, bytes;
    } bounds[] = {{10, 0}, {0, 40}};  // four-byte payloads: ten records either way
    for (const auto& bound : bounds) {
        param.queue_max_msgs = bound.msgs;
        param.queue_max_bytes = bound.bytes;
        Sub sub;
        Pub pub;
        connect(sub);
        connect(pub);
        ASSERT_EQ(0u, sub.subscribe("bound", nullptr, nullptr));
        settle(sub);
        for (int i = 0; i < SENT; ++i)
            ASSERT_EQ(0u, pub.publish_string("bound", format("%04d", i).c_str()));
        ASSERT_EQ(0u, pub.flush(5000));
        ASSERT_TRUE(queued(sub, 10));
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(10u, sub.queued()) << bound.msgs << " messages, " << bound.bytes << " bytes";
        for (int i = 0; i < SENT; ++i) {
            NATSSvcMsg msg;
            ASSERT_EQ(4u, sub.recv("bound", msg));
            ASSERT_EQ(format("%04d", i), msg.data);
        }
    }
}

// An unsubscribed handle is released at once: cycles cost no memory and no thread.
TEST_F(Subscriber, SubscribeUnsubscribeCyclesReleaseTheirHandles) {
    const auto address_space_mib = [] {
        long pages = 0;
        std::FILE* f = std::fopen("/proc/self/statm", "r");
        if (f != nullptr && std::fscanf(f, "%ld", &pages) != 1) pages = 0;
        if (f != nullptr) std::fclose(f);
        return pages * sysconf(_SC_PAGESIZE) / (1 << 20);
    };
    Sub sub;
    connect(sub);
    const long before = address_space_mib();
    for (int i = 0; i < 300; ++i) {
        ASSERT_EQ(0u, sub.subscribe("cycle", nullptr, nullptr));
        ASSERT_EQ(0u, sub.subscribe_sync("cycle.sync"));
        ASSERT_EQ(0u, sub.unsubscribe("cycle"));
        ASSERT_EQ(0u, sub.unsubscribe("cycle.sync"));
    }
    // Each delivery thread kept with its handle would hold its stack (8 MiB).
    EXPECT_TRUE(vek_test::wait_until([&] { return address_space_mib() - before < 256; }, 5s))
        << address_space_mib() - before << " MiB more address space after 300 cycles";
}

TEST_F(Subscriber, ConnectionErrorEndsEveryRecvAndKeepsQueue) {
    Sub sub;
    NATSSvcMsg msg;
    auto waiting = recv_async(sub, "e", msg);
    EXPECT_FALSE(waiting->finishes(100ms));
    Sub::error_callback_wrapper(nullptr, nullptr, NATS_SLOW_CONSUMER, &sub);
    ASSERT_TRUE(waiting->finishes());
    EXPECT_EQ(connection_status(NATS_SLOW_CONSUMER), waiting->get());

    sub.deliver("e", "x");
    Sub::error_callback_wrapper(nullptr, nullptr, NATS_CONNECTION_CLOSED, &sub);
    msg.data = "untouched";
    EXPECT_EQ(0x910E0705u, sub.recv("e", msg));
    EXPECT_EQ("untouched", msg.data);
    EXPECT_EQ(1u, sub.queued());
    EXPECT_EQ(1u, count("recv", "- error: (5 - 0x910E0705) subj-> e"));
}

TEST_F(Subscriber, KilledServerWithoutReconnectEndsRecv) {
    param.max_reconnect = 0;
    Sub sub;
    connect(sub);
    ASSERT_EQ(0u, sub.subscribe("k", nullptr, nullptr));
    NATSSvcMsg msg;
    auto got = recv_async(sub, "k", msg);
    EXPECT_FALSE(got->finishes(100ms));
    const auto killed = std::chrono::steady_clock::now();
    server.kill_hard();
    ASSERT_TRUE(got->finishes());
    const auto waited = std::chrono::steady_clock::now() - killed;
    EXPECT_EQ(connection_status(NATS_NO_SERVER), got->get());
    EXPECT_LT(waited, 2s);
    ASSERT_EQ(1u, lines("disconnected_callback").size());
    EXPECT_EQ(0u, lines("disconnected_callback")[0].rfind("- error: (6 - ", 0));
    ASSERT_TRUE(vek_test::wait_until([&] { return lines("closed_callback").size() == 1; }, 5s));
    EXPECT_EQ(0u, lines("closed_callback")[0].rfind("- error: (6 - ", 0));
}

TEST_F(Subscriber, KilledServerWithReconnectKeepsRecvWorking) {
    param.max_reconnect = -1;
    param.reconnect_wait = 50;
    Sub sub;
    connect(sub);
    ASSERT_EQ(0u, sub.subscribe("r", nullptr, nullptr));
    server.kill_hard();
    ASSERT_TRUE(server.start());
    ASSERT_TRUE(vek_test::wait_until(
        [&] { return natsConnection_Status(sub.m_conn) == NATS_CONN_STATUS_CONNECTED; }, 10s));
    Pub pub;
    connect(pub);
    // The subscription is re-sent on reconnect, but may land a moment after the status flips.
    ASSERT_TRUE(vek_test::wait_until(
        [&] {
            pub.publish_string("r", "back");
            return sub.queued() > 0;
        },
        5s));
    NATSSvcMsg msg;
    EXPECT_EQ(4u, sub.recv("r", msg));
    EXPECT_EQ("back", msg.data);
    EXPECT_TRUE(lines("disconnected_callback").empty());
    EXPECT_TRUE(lines("error_callback").empty());
}

TEST_F(Subscriber, TracesConstructionAndDestructionOnlyWhileSwitched) {
    { Sub quiet; }
    log.set_trace(true);
    { Sub traced; }
    EXPECT_EQ((std::vector<std::string>{""}), lines("CNATSSubscriber"));
    EXPECT_EQ((std::vector<std::string>{""}), lines("~CNATSSubscriber"));
}

}  // namespace
}  // namespace pubsub_test
