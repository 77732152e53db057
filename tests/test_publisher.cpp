#include <atomic>
#include <thread>

#include "test_pubsub_support.h"

namespace pubsub_test {
namespace {

using vek_nats::STATUS_NO_CONNECTION;
using vek_nats::STATUS_PUBLISH;
using vek_nats::STATUS_PUBLISH_STRING;

using Publisher = PubSubTest;

TEST_F(Publisher, RefusesWithoutConnectionWhetherOrNotTracing) {
    for (bool trace : {false, true}) {
        log.set_trace(trace);
        Pub pub;
        EXPECT_EQ(STATUS_NO_CONNECTION, pub.publish("a", "x", 1));
        EXPECT_EQ(STATUS_NO_CONNECTION, pub.publish_string("a", "x"));
        connect(pub);
        pub.destroy();
        EXPECT_EQ(STATUS_NO_CONNECTION, pub.publish("a", "x", 1));
        EXPECT_EQ(STATUS_NO_CONNECTION, pub.publish_string("a", "x"));
    }
    EXPECT_EQ(4u, count("publish", "- error: empty connection"));
    EXPECT_EQ(4u, count("publish_string", "- error: empty connection"));
}

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

TEST_F(Publisher, RefusedSubjectsAreLoggedAndNotRemembered) {
    Pub pub;
    connect(pub);
    ASSERT_EQ(0u, pub.publish_string("ok", "x"));
    // libnats checks only for a missing subject when publishing; tokens are the server's.
    for (const char* subject : {static_cast<const char*>(nullptr), ""}) {
        EXPECT_EQ(STATUS_PUBLISH, pub.publish(subject, "xyz", 3));
        EXPECT_EQ(STATUS_PUBLISH_STRING, pub.publish_string(subject, "xyz"));
    }
    EXPECT_EQ((std::vector<std::string>{"ok", "", "", "", ""}), pub.published());

    const unsigned s = NATS_INVALID_SUBJECT;
    const char* text = natsStatus_GetText(NATS_INVALID_SUBJECT);
    EXPECT_EQ(
        (std::vector<std::string>{format("- error: (%u - %s) subj-> (null), dataLen=3", s, text),
                                  format("- error: (%u - %s) subj-> , dataLen=3", s, text)}),
        lines("publish"));
    EXPECT_EQ(
        (std::vector<std::string>{format("- error: (%u - %s) subj-> (null), str-> xyz", s, text),
                                  format("- error: (%u - %s) subj-> , str-> xyz", s, text)}),
        lines("publish_string"));
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
