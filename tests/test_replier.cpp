#include <atomic>
#include <thread>

#include "test_reqrep_util.h"

namespace reqrep_test {
namespace {

using vek_nats::CNATSRequestor;
using ReplierQueue = ReqRepTest;

// Serves one request from the queue with "pong:" + its text; returns recv's result.
vek_nats::svc_status serve_one(Replier& rep, const char* subject, NATSSvcMsg& msg) {
    const vek_nats::svc_status got = rep.recv(subject, msg);
    if (got >= vek_nats::STATUS_CONNECTION_BASE || msg.inbox.empty()) return got;
    msg.reply_data = "pong:" + msg.data;
    EXPECT_EQ(vek_nats::STATUS_OK, rep.reply(subject, msg));
    return got;
}

// A request read from the queue or synchronously is answered through reply; a record from the
// queue brings an empty reply_data, recv_sync keeps the caller's.
TEST_F(ReplierQueue, RecvOrRecvSyncThenReplyAnswersTheRequestor) {
    CNATSRequestor req;
    connect(req);
    log.set_trace(true);
    for (const bool sync : {false, true}) {
        SCOPED_TRACE(sync ? "recv_sync" : "recv");
        Replier rep;
        connect(rep);
        ASSERT_EQ(vek_nats::STATUS_OK,
                  sync ? rep.subscribe_sync("svc") : rep.subscribe("svc", nullptr, nullptr));
        rep.flush();
        auto asked = std::async(std::launch::async, [&] {
            NATSSvcMsg answer;
            const vek_nats::svc_status s = req.request_string("svc", "ping", answer);
            return s == vek_nats::STATUS_OK ? answer.data : "failed";
        });
        NATSSvcMsg msg;
        msg.reply_data = "kept";
        const int64_t before = nats_Now();
        EXPECT_EQ(4u, sync ? rep.recv_sync("svc", msg) : rep.recv("svc", msg));
        EXPECT_EQ("svc", msg.subject);
        EXPECT_EQ("ping", msg.data);
        EXPECT_GE(msg.recv_ts, before);
        EXPECT_EQ(sync ? "kept" : "", msg.reply_data);
        EXPECT_EQ(0u, msg.inbox.rfind("_INBOX.", 0)) << msg.inbox;
        msg.reply_data = "pong";
        EXPECT_EQ(vek_nats::STATUS_OK, rep.reply("svc", msg));
        EXPECT_EQ("pong", asked.get());

        EXPECT_TRUE(log.has(sync ? "recv_sync(" : "recv("));
        EXPECT_TRUE(log.has("Received msg  : svc -> ping, recv_ts="));
        EXPECT_TRUE(log.has("Received inbox: " + msg.inbox));
        EXPECT_TRUE(log.has("Sending  inbox: " + msg.inbox + " -> pong"));
    }
}

TEST_F(ReplierQueue, QueueHandsOutOldestFirstWithPayloadBytesAndInbox) {
    Replier rep;
    connect(rep);
    ASSERT_EQ(vek_nats::STATUS_OK, rep.subscribe("svc", nullptr, nullptr));
    rep.flush();
    Peer peer;
    connect(peer);
    log.set_trace(true);
    peer.send("svc", std::string("ab\0cd", 5));
    peer.send("svc", "", "reply.here");
    ASSERT_TRUE(vek_test::wait_until([&] { return rep.queued() == 2; }));

    NATSSvcMsg first;
    EXPECT_EQ(5u, rep.recv("other", first));
    EXPECT_EQ("ab", first.data);
    EXPECT_EQ(5, first.dataLen);
    EXPECT_EQ("", first.inbox);
    NATSSvcMsg second;
    second.data = "before";
    EXPECT_EQ(0u, rep.recv("svc", second));
    EXPECT_EQ("svc", second.subject);
    EXPECT_EQ("", second.data);
    EXPECT_EQ("reply.here", second.inbox);
    EXPECT_TRUE(log.has("queue sz=1"));
    EXPECT_TRUE(log.has("queue sz=0"));
}

TEST_F(ReplierQueue, SubjectSubscribedTwiceQueuesOneRequestTwice) {
    Replier rep;
    connect(rep);
    ASSERT_EQ(vek_nats::STATUS_OK, rep.subscribe("dup", nullptr, nullptr));
    ASSERT_EQ(vek_nats::STATUS_OK, rep.subscribe("dup", nullptr, nullptr));
    rep.flush();
    EXPECT_TRUE(rep.holds_slot(0, "dup") && rep.holds_slot(1, "dup"));
    Peer peer;
    connect(peer);
    peer.send("dup", "once", "r");
    ASSERT_TRUE(vek_test::wait_until([&] { return rep.queued() == 2; }));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(2u, rep.queued());
}

TEST_F(ReplierQueue, ConnectionErrorWinsOverQueuedRequestsAndTermination) {
    Replier rep;
    connect(rep);
    ASSERT_EQ(vek_nats::STATUS_OK, rep.subscribe("svc", nullptr, nullptr));
    rep.flush();
    Peer peer;
    connect(peer);
    peer.send("svc", "1", "r");
    peer.send("svc", "2", "r");
    ASSERT_TRUE(vek_test::wait_until([&] { return rep.queued() == 2; }));

    vek_nats::CNATSSvc::error_callback_wrapper(nullptr, nullptr, NATS_IO_ERROR, &rep);
    NATSSvcMsg msg;
    msg.data = "mine";
    EXPECT_EQ(0x910E0703u, rep.recv("svc", msg));
    rep.destroy();
    EXPECT_EQ(0x910E0703u, rep.recv("svc", msg));
    EXPECT_EQ("mine", msg.data);
    EXPECT_EQ(2u, rep.queued());
    EXPECT_EQ(2u, log.count("- error: (3 - 0x910E0703) subj-> svc"));
}

TEST_F(ReplierQueue, ServingThreadsShareOneQueueAndEachRequestIsAnsweredOnce) {
    Replier rep;
    connect(rep);
    ASSERT_EQ(vek_nats::STATUS_OK, rep.subscribe("svc", nullptr, nullptr));
    rep.flush();
    std::atomic<int> served{0};
    auto serve = [&] {
        for (;;) {
            NATSSvcMsg msg;
            if (serve_one(rep, "svc", msg) == 0) return;  // terminated
            ++served;
        }
    };
    std::thread a(serve), b(serve);

    CNATSRequestor req;
    connect(req);
    std::atomic<int> matched{0};
    auto ask = [&](int t) {
        for (int k = 0; k < 25; ++k) {
            const std::string text = std::to_string(t) + ":" + std::to_string(k);
            NATSSvcMsg answer;
            if (req.request_string("svc", text.c_str(), answer) == 0 &&
                answer.data == "pong:" + text)
                ++matched;
        }
    };
    std::thread c(ask, 1), d(ask, 2);
    c.join();
    d.join();
    EXPECT_EQ(50, matched.load());
    // Every reply has returned before destroy takes the connection away.
    EXPECT_TRUE(vek_test::wait_until([&] { return served.load() == 50; }));
    rep.destroy();
    a.join();
    b.join();
    EXPECT_EQ(50, served.load());
}

}  // namespace
}  // namespace reqrep_test
