#include "test_reqrep_util.h"

namespace reqrep_test {
namespace {

using vek_nats::CNATSRequestor;

const Payload kNulInside{"ab\0cd", 5};

using Clock = std::chrono::steady_clock;

long elapsed_ms(Clock::time_point since) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

NATSSvcMsg marked_record() {
    NATSSvcMsg m;
    m.subject = "old-subject";
    m.data = "old-data";
    m.dataLen = 77;
    m.inbox = "my-inbox";
    m.reply_data = "my-answer";
    return m;
}

void expect_untouched(const NATSSvcMsg& m) {
    EXPECT_EQ("old-subject", m.subject);
    EXPECT_EQ("old-data", m.data);
    EXPECT_EQ(77, m.dataLen);
    EXPECT_EQ(0, m.recv_ts);
}

using Requestor = ReqRepTest;

TEST_F(Requestor, ReplyFillsPayloadFieldsAndKeepsCallersInboxAndAnswer) {
    Peer peer;
    connect(peer);
    peer.respond("math.nul", &kNulInside);
    CNATSRequestor req;
    connect(req);

    NATSSvcMsg reply = marked_record();
    const int64_t before = nats_Now();
    ASSERT_EQ(vek_nats::STATUS_OK, req.request("math.nul", "q", 1, reply));
    EXPECT_EQ("ab", reply.data);
    EXPECT_EQ(5, reply.dataLen);
    EXPECT_EQ(0u, reply.subject.rfind("_INBOX.", 0)) << reply.subject;
    EXPECT_GE(reply.recv_ts, before);
    EXPECT_LE(reply.recv_ts, nats_Now());
    EXPECT_EQ("my-inbox", reply.inbox);
    EXPECT_EQ("my-answer", reply.reply_data);
    EXPECT_FALSE(log.has("Received reply"));

    log.set_trace(true);
    ASSERT_EQ(vek_nats::STATUS_OK, req.request_string("math.nul", "q", reply));
    EXPECT_TRUE(log.has("request_string("));
    EXPECT_EQ(1u, log.count("- Received reply: " + reply.subject + " -> ab"));
}

TEST_F(Requestor, NoRespondersFailsAtOnceWithTheOperationsCode) {
    param.request_timeout = 5000;
    CNATSRequestor req;
    connect(req);
    NATSSvcMsg reply = marked_record();

    const auto start = Clock::now();
    EXPECT_EQ(vek_nats::STATUS_REQUEST_STRING, req.request_string("nobody", "ping", reply));
    EXPECT_EQ(vek_nats::STATUS_REQUEST, req.request("nobody", "ping", 4, reply));
    EXPECT_LT(elapsed_ms(start), 2000);
    expect_untouched(reply);
    EXPECT_EQ(2u, log.count("- error: (34 - "));
    EXPECT_TRUE(log.has("subj-> nobody, str-> ping"));
    EXPECT_TRUE(log.has("subj-> nobody, dataLen=4"));
}

TEST_F(Requestor, SilentListenerGivesTimeOutAfterRequestTimeout) {
    param.request_timeout = 300;
    Peer peer;
    connect(peer);
    peer.ignore("quiet");
    CNATSRequestor req;
    connect(req);
    NATSSvcMsg reply = marked_record();

    const auto start = Clock::now();
    EXPECT_EQ(vek_nats::STATUS_REQUEST, req.request("quiet", "abc", 3, reply));
    const long took = elapsed_ms(start);
    EXPECT_GE(took, 250);
    EXPECT_LT(took, 3000);
    expect_untouched(reply);
    EXPECT_TRUE(log.has("- error: (26 - "));
    EXPECT_TRUE(log.has("subj-> quiet, dataLen=3"));
}


}  // namespace
}  // namespace reqrep_test
