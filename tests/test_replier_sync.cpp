#include "test_reqrep_util.h"

namespace reqrep_test {
namespace {

using ReplierSync = ReqRepTest;

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
