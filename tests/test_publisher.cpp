#include <atomic>
#include <map>
#include <set>
#include <thread>

#include "internal/subject.h"
#include "test_pubsub_support.h"

namespace pubsub_test {
namespace {

using vek_nats::STATUS_NO_CONNECTION;
using vek_nats::STATUS_PUBLISH;
using vek_nats::STATUS_PUBLISH_STRING;

using Publisher = PubSubTest;

TEST_F(Publisher, DeliversBytesAndTextSilently) {
    Sub sub;
    Pub pub;
    connect(sub);
    connect(pub);
    ASSERT_EQ(0u, sub.subscribe("p.bytes", nullptr, nullptr));
    ASSERT_EQ(0u, sub.subscribe("p.text", nullptr, nullptr));
    settle(sub);
    log.set_trace(true);
    const char bytes[] = {'a', 'b', '\0', 'c', 'd'};
    EXPECT_EQ(0u, pub.publish("p.bytes", bytes, 5));
    ASSERT_TRUE(queued(sub, 1));
    EXPECT_EQ(0u, pub.publish_string("p.text", "hello"));
    ASSERT_TRUE(queued(sub, 2));
    EXPECT_EQ(0u, pub.publish_string("p.text", nullptr));  // the client sends no payload
    ASSERT_TRUE(queued(sub, 3));

    NATSSvcMsg msg;
    EXPECT_EQ(5u, sub.recv("p.bytes", msg));
    EXPECT_EQ("p.bytes", msg.subject);
    EXPECT_EQ("ab", msg.data);
    EXPECT_EQ(5u, sub.recv("p.text", msg));
    EXPECT_EQ("hello", msg.data);
    EXPECT_EQ(0u, sub.recv("p.text", msg));
    EXPECT_EQ("", msg.data);
    EXPECT_TRUE(lines("publish").empty());
    EXPECT_TRUE(lines("publish_string").empty());
}

TEST_F(Publisher, RemembersSubjectsOfFirstFiveSuccesses) {
    Pub pub;
    connect(pub);
    for (const char* subject : {"a", "a", "b", "c", "d", "e"}) {
        EXPECT_EQ(0u, pub.publish(subject, "x", 1)) << subject;
    }
    EXPECT_EQ((std::vector<std::string>{"a", "a", "b", "c", "d"}), pub.published());
}

// Every subject that goes on the wire is checked first: a refused one gives the operation's
// code and one error record that forges no other, is not remembered, and nothing reaches a
// subscriber of everything, whose connection and the senders' stay usable.
TEST_F(Publisher, HostileSubjectsAreRefusedByEveryOperationAndNothingIsSent) {
    param.request_timeout = 300;
    Sub all;
    Pub pub;
    vek_nats::CNATSRequestor req;
    vek_nats::CNATSReplier rep;
    const std::string inject = "user.chat 0\r\n\r\nPUB admin.commands 11\r\nshutdown -h\r\nPUB a";
    const std::string forge = format("a\n26/12/04 17:46:05:004711 [pid-%05d][tid-00001] forged",
                                     static_cast<int>(getpid()));
    const std::string too_long(vek_nats::detail::MAX_SUBJECT_BYTES + 1, 'a');
    const std::vector<const char*> hostile{
        "",     " ",   "foo bar", "a..b", ".a",  "a.",           "a\tb",        "a\x7f",
        "a.*",  "a.>", "*",       "a>b",  "a*b", inject.c_str(), forge.c_str(), too_long.c_str(),
        nullptr};
    NATSSvcMsg reply, request;
    request.reply_data = "x";
    struct Op {
        const char* func;
        svc_status code;
        std::function<svc_status(const char*)> call;
    };
    const std::vector<Op> ops{
        {"publish", STATUS_PUBLISH, [&](const char* s) { return pub.publish(s, "x", 1); }},
        {"publish_string", STATUS_PUBLISH_STRING,
         [&](const char* s) { return pub.publish_string(s, "x"); }},
        {"request", vek_nats::STATUS_REQUEST,
         [&](const char* s) { return req.request(s, "x", 1, reply); }},
        {"request_string", vek_nats::STATUS_REQUEST_STRING,
         [&](const char* s) { return req.request_string(s, "x", reply); }},
        {"reply", STATUS_PUBLISH_STRING, [&](const char* s) {
             request.inbox = s != nullptr ? s : "";
             return rep.reply("svc", request);
         }}};
    for (const Op& op : ops) EXPECT_EQ(STATUS_NO_CONNECTION, op.call("ok")) << op.func;
    connect(all);
    connect(pub);
    connect(req);
    connect(rep);
    ASSERT_EQ(0u, all.subscribe(">", nullptr, nullptr));
    settle(all);
    for (const Op& op : ops) {
        for (size_t i = 0; i < hostile.size(); ++i) {
            EXPECT_EQ(op.code, op.call(hostile[i])) << op.func << " of subject " << i;
        }
    }
    // A payload that cannot be read is refused as well.
    EXPECT_EQ(STATUS_PUBLISH, pub.publish("ok", nullptr, 10));
    EXPECT_EQ(STATUS_PUBLISH, pub.publish("ok", "x", -5));
    EXPECT_EQ(vek_nats::STATUS_REQUEST, req.request("ok", nullptr, 5, reply));
    EXPECT_EQ(vek_nats::STATUS_REQUEST, req.request("ok", "x", -5, reply));
    // Subscribers may use wildcards; only the length is checked before libnats sees them.
    const std::string huge(1 << 20, 'a');
    EXPECT_EQ(vek_nats::STATUS_SUBSCRIBE, all.subscribe(huge.c_str(), nullptr, nullptr));
    EXPECT_EQ(vek_nats::STATUS_SUBSCRIBE_SYNC, all.subscribe_sync(huge.c_str()));
    EXPECT_EQ(std::vector<std::string>(5), pub.published());

    // One marker from each sender, sent after the refusals on the same connection.
    EXPECT_EQ(0u, pub.publish_string("marker.pub", "m"));
    EXPECT_EQ(vek_nats::STATUS_REQUEST_STRING, req.request_string("marker.req", "m", reply));
    request.inbox = "marker.rep";
    EXPECT_EQ(0u, rep.reply("svc", request));
    ASSERT_TRUE(queued(all, 3));
    std::set<std::string> arrived;
    for (int i = 0; i < 3; ++i) {
        NATSSvcMsg msg;
        all.recv(">", msg);
        arrived.insert(msg.subject);
    }
    EXPECT_EQ((std::set<std::string>{"marker.pub", "marker.req", "marker.rep"}), arrived);
    EXPECT_EQ(0, reply.dataLen);  // no answer ever came

    // After destroy, as before connect; the record is written whether or not tracing.
    log.set_trace(true);
    for (vek_nats::CNATSSvc* svc : std::initializer_list<vek_nats::CNATSSvc*>{&pub, &req, &rep}) {
        svc->destroy();
    }
    for (const Op& op : ops) {
        EXPECT_EQ(STATUS_NO_CONNECTION, op.call("ok")) << op.func;
        EXPECT_EQ(2u, count(op.func, "- error: empty connection")) << op.func;
    }

    // One record per refusal (and one for the unanswered marker request), none forged.
    const std::map<std::string, size_t> expected{{"publish", hostile.size() + 4},
                                                 {"publish_string", hostile.size() + 2},
                                                 {"request", hostile.size() + 4},
                                                 {"request_string", hostile.size() + 3},
                                                 {"reply", hostile.size() + 2}};
    for (const auto& [func, n] : expected) EXPECT_EQ(n, lines(func).size()) << func;
    for (const std::string& m : log.messages()) EXPECT_NE(0u, m.rfind("forged", 0)) << m;
    const unsigned bad = NATS_INVALID_SUBJECT;
    const char* text = natsStatus_GetText(NATS_INVALID_SUBJECT);
    const std::string shown =
        "user.chat 0\\x0D\\x0A\\x0D\\x0APUB admin.commands 11\\x0D\\x0A"
        "shutdown -h\\x0D\\x0APUB a";
    EXPECT_EQ(format("- error: (%u - %s) subj-> %s, dataLen=1", bad, text, shown.c_str()),
              lines("publish").at(14));
    EXPECT_EQ(format("- error: (%u - %s) subj-> ok, dataLen=-5", unsigned{NATS_INVALID_ARG},
                     natsStatus_GetText(NATS_INVALID_ARG)),
              lines("publish").at(hostile.size() + 2));
}

TEST_F(Publisher, SharedBetweenThreadsRemembersFiveSubjects) {
    Pub pub;
    connect(pub);
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    const std::vector<std::string> subjects{"t0", "t1", "t2", "t3"};
    for (const std::string& subject : subjects) {
        threads.emplace_back([&pub, &failures, subject] {
            for (int i = 0; i < 200; ++i) {
                if (pub.publish_string(subject.c_str(), "x") != 0) ++failures;
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(0, failures.load());
    const std::vector<std::string> recorded = pub.published();
    for (const std::string& entry : recorded) {
        EXPECT_NE(subjects.end(), std::find(subjects.begin(), subjects.end(), entry)) << entry;
    }
}

TEST_F(Publisher, TracesConstructionAndDestructionOnlyWhileSwitched) {
    { Pub quiet; }
    log.set_trace(true);
    { Pub traced; }
    EXPECT_EQ((std::vector<std::string>{""}), lines("CNATSPublisher"));
    EXPECT_EQ((std::vector<std::string>{""}), lines("~CNATSPublisher"));
}

}  // namespace
}  // namespace pubsub_test
