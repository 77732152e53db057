#include "test_reqrep_util.h"

namespace reqrep_test {
namespace {

using vek_nats::CNATSRequestor;
using ReplierSync = ReqRepTest;

TEST_F(ReplierSync, RecvSyncThenReplyAnswersAndKeepsCallersReplyData) {
    Replier rep;
    connect(rep);
    ASSERT_EQ(vek_nats::STATUS_OK, rep.subscribe_sync("svc"));
    rep.flush();
    CNATSRequestor req;
    connect(req);
    log.set_trace(true);

    auto asked = std::async(std::launch::async, [&] {
        NATSSvcMsg answer;
        const vek_nats::svc_status s = req.request_string("svc", "ping", answer);
        return s == vek_nats::STATUS_OK ? answer.data : "failed";
    });
    NATSSvcMsg msg;
    msg.reply_data = "kept";
    const int64_t before = nats_Now();
    EXPECT_EQ(4u, rep.recv_sync("svc", msg));
    EXPECT_EQ("svc", msg.subject);
    EXPECT_EQ("ping", msg.data);
    EXPECT_EQ("kept", msg.reply_data);
    EXPECT_GE(msg.recv_ts, before);
    EXPECT_EQ(0u, msg.inbox.rfind("_INBOX.", 0)) << msg.inbox;
    EXPECT_EQ(vek_nats::STATUS_OK, rep.reply("svc", msg));
    EXPECT_EQ("kept", asked.get());
    EXPECT_TRUE(log.has("recv_sync("));
    EXPECT_TRUE(log.has("Received msg  : svc -> ping, recv_ts="));
    EXPECT_TRUE(log.has("Sending  inbox: " + msg.inbox + " -> kept"));
}

TEST_F(ReplierSync, ReplyPublishesOnInboxWhateverTheSlots) {
    Replier rep;
    NATSSvcMsg msg;
    msg.inbox = "answers";
    msg.reply_data = std::string("he\0llo", 6);
    EXPECT_EQ(vek_nats::STATUS_NO_CONNECTION, rep.reply("svc", msg));
    connect(rep);
    Replier observer;
    connect(observer);
    ASSERT_EQ(vek_nats::STATUS_OK, observer.subscribe_sync("answers"));
    observer.flush();

    // No slot holds "svc": publishing needs none. The text ends at the zero byte.
    ASSERT_EQ(vek_nats::STATUS_OK, rep.reply("svc", msg));
    NATSSvcMsg seen;
    EXPECT_EQ(2u, observer.recv_sync("answers", seen));
    EXPECT_EQ("he", seen.data);

    // The empty subject names a free slot without subscription: nothing is sent.
    EXPECT_EQ(vek_nats::STATUS_NO_SUBSCRIPTION, rep.reply("", msg));
    param.recv_timeout = 200;
    connect(observer);
    EXPECT_EQ(vek_nats::STATUS_NEXT_MSG, observer.recv_sync("answers", seen));
}

}  // namespace
}  // namespace reqrep_test
