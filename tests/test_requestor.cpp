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

// Nobody listening fails at once; a listener that never answers, after the request time-out.
TEST_F(Requestor, UnansweredRequestsFailWithTheOperationsCode) {
    param.request_timeout = 300;
    Peer peer;
    connect(peer);
    peer.ignore("quiet");
    CNATSRequestor req;
    connect(req);
    NATSSvcMsg reply = marked_record();

    auto start = Clock::now();
    EXPECT_EQ(vek_nats::STATUS_REQUEST_STRING, req.request_string("nobody", "ping", reply));
    EXPECT_LT(elapsed_ms(start), 250);
    start = Clock::now();
    EXPECT_EQ(vek_nats::STATUS_REQUEST, req.request("quiet", "abc", 3, reply));
    EXPECT_GE(elapsed_ms(start), 250);
    expect_untouched(reply);
    const auto record = [](natsStatus s, const std::string& rest) {
        return "- error: (" + std::to_string(s) + " - " + natsStatus_GetText(s) + ") subj-> " +
               rest;
    };
    EXPECT_EQ(1u, log.count(record(NATS_NO_RESPONDERS, "nobody, str-> ping")));
    EXPECT_EQ(1u, log.count(record(NATS_TIMEOUT, "quiet, dataLen=3")));
}


}  // namespace
}  // namespace reqrep_test
