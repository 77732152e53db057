#include "test_pubsub_support.h"

namespace pubsub_test {
namespace {

using vek_nats::CNATSSvc;
using vek_nats::connection_status;

using Events = PubSubTest;

// The six lines of show_stats(7), in order, for the given figures.
std::vector<std::string> stats_lines(unsigned long in_msgs, unsigned long in_bytes,
                                     unsigned long out_msgs, unsigned long out_bytes,
                                     long delivered, int pending, long dropped) {
    return {format("- In Msgs    : %-10lu - In Bytes : %-10lu - ", in_msgs, in_bytes),
            format("- Out Msgs   : %-10lu - Out Bytes: %-10lu - ", out_msgs, out_bytes),
            format("- Delivered  : %-10ld - ", delivered),
            format("- Pending    : %-10d - ", pending),
            format("- Dropped    : %-10ld - ", dropped),
            format("- Reconnected: %-10lu\n", 0ul)};
}

TEST_F(Events, ForwardersIgnoreNullClosure) {
    Sub sub;
    CNATSSvc::error_callback_wrapper(nullptr, nullptr, NATS_ERR, nullptr);
    CNATSSvc::closed_callback_wrapper(nullptr, nullptr);
    CNATSSvc::disconnected_callback_wrapper(nullptr, nullptr);
    EXPECT_TRUE(log.messages().empty());
    sub.deliver("still", "ok");
    NATSSvcMsg msg;
    EXPECT_EQ(2u, sub.recv("still", msg));
}

TEST_F(Events, ErrorReportRaisesConnectionErrorLastStatusWins) {
    Sub sub;
    CNATSSvc::error_callback_wrapper(nullptr, nullptr, NATS_SLOW_CONSUMER, &sub);
    EXPECT_EQ(1u, count("error_callback", format("- error: (%u - %s)", unsigned(NATS_SLOW_CONSUMER),
                                                 natsStatus_GetText(NATS_SLOW_CONSUMER))));
    NATSSvcMsg msg;
    EXPECT_EQ(connection_status(NATS_SLOW_CONSUMER), sub.recv("e", msg));
    sub.error_callback(nullptr, nullptr, NATS_CONNECTION_CLOSED, nullptr);
    EXPECT_EQ(0x910E0705u, sub.recv("e", msg));
}

TEST_F(Events, ReportsWithoutLastErrorChangeNothing) {
    Sub sub;
    connect(sub);
    CNATSSvc::disconnected_callback_wrapper(sub.m_conn, &sub);
    CNATSSvc::closed_callback_wrapper(sub.m_conn, &sub);
    EXPECT_TRUE(lines("disconnected_callback").empty());
    EXPECT_TRUE(lines("closed_callback").empty());
    sub.deliver("fine", "ok");
    NATSSvcMsg msg;
    EXPECT_EQ(2u, sub.recv("fine", msg));
}

TEST_F(Events, ClosedReportCarriesConnectionLastError) {
    param.max_reconnect = 0;
    Sub sub;
    connect(sub);
    server.kill_hard();
    ASSERT_TRUE(vek_test::wait_until([&] { return !lines("closed_callback").empty(); }, 5s));
    const char* text = nullptr;
    const natsStatus s = natsConnection_GetLastError(sub.m_conn, &text);
    ASSERT_NE(NATS_OK, s);
    const std::string expected = format("- error: (%u - %s)", unsigned(s), text);
    EXPECT_EQ(std::vector<std::string>{expected}, lines("closed_callback"));
    EXPECT_EQ(std::vector<std::string>{expected}, lines("disconnected_callback"));
    NATSSvcMsg msg;
    EXPECT_EQ(connection_status(s), sub.recv("x", msg));
}

// Whether asynchronous errors reach the service follows the record init_options is given.
TEST_F(Events, NoErrorHandlerKeepsAsynchronousErrorsAway) {
    for (const bool none : {false, true}) {
        param.no_error_handler = none;
        param.queue_max_msgs = 1;  // the delivery thread stalls, the client's pending list fills
        const size_t reported = lines("error_callback").size();
        Sub sub;
        Pub pub;
        ASSERT_EQ(0u, sub.init_options(param));  // before connect stores its copy
        connect(sub);
        connect(pub);
        ASSERT_EQ(0u, sub.subscribe("sc", nullptr, nullptr));
        ASSERT_EQ(NATS_OK,
                  natsSubscription_SetPendingLimits(sub.m_sub_list[0].subscription, 1, 1024));
        settle(sub);
        for (int i = 0; i < 20; ++i) ASSERT_EQ(0u, pub.publish_string("sc", "x"));
        ASSERT_EQ(0u, pub.flush(5000));
        EXPECT_EQ(!none, vek_test::wait_until(
                             [&] { return lines("error_callback").size() > reported; }, 1s))
            << "no_error_handler " << none;
        sub.destroy();
    }
}

TEST_F(Events, ShowStatsMaskSelectsLines) {
    Sub sub;
    Pub pub;
    connect(sub);
    connect(pub);
    ASSERT_EQ(0u, sub.subscribe("stats", nullptr, nullptr));
    settle(sub);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(0u, pub.publish_string("stats", "abcd"));
    ASSERT_TRUE(queued(sub, 3));

    EXPECT_EQ(0u, sub.show_stats(0));
    EXPECT_EQ(std::vector<std::string>{format("- Reconnected: %-10lu\n", 0ul)},
              lines("show_stats"));
    EXPECT_EQ(0u, sub.show_stats(7 | 8));  // higher bits are ignored
    const std::vector<std::string> all = lines("show_stats");
    ASSERT_EQ(7u, all.size());
    EXPECT_EQ(stats_lines(3, 12, 0, 0, 3, 0, 0),
              std::vector<std::string>(all.begin() + 1, all.end()));

    EXPECT_EQ(0u, pub.show_stats(2));
    const std::vector<std::string> pub_lines = lines("show_stats");
    ASSERT_EQ(9u, pub_lines.size());
    EXPECT_EQ(format("- Out Msgs   : %-10lu - Out Bytes: %-10lu - ", 3ul, 12ul), pub_lines[7]);
}

TEST_F(Events, ShowStatsTakesFiguresOfLastSubscriptionAndSkipsInvalidOnes) {
    Sub sub;
    Pub pub;
    connect(sub);
    connect(pub);
    ASSERT_EQ(0u, sub.subscribe_sync("pending"));
    ASSERT_EQ(0u, sub.subscribe_sync("closed"));
    settle(sub);
    ASSERT_EQ(0u, pub.publish_string("pending", "a"));
    ASSERT_EQ(0u, pub.publish_string("pending", "b"));
    ASSERT_TRUE(vek_test::wait_until(
        [&] {
            int n = 0;
            natsSubscription_GetStats(sub.m_sub_list[0].subscription, &n, nullptr, nullptr, nullptr,
                                      nullptr, nullptr);
            return n == 2;
        },
        5s));
    ASSERT_EQ(0u, sub.unsubscribe("closed"));
    sub.show_stats(4);
    EXPECT_EQ(1u, count("show_stats", format("- Pending    : %-10d - ", 2)));

    // A subscription the client calls invalid (unsubscribed, handle kept) counts as 0 pending.
    ASSERT_EQ(0u, sub.subscribe_sync("closed"));
    ASSERT_EQ(NATS_OK, natsSubscription_Unsubscribe(sub.m_sub_list[1].subscription));
    sub.show_stats(4);
    EXPECT_EQ(1u, count("show_stats", format("- Pending    : %-10d - ", 0)));
    EXPECT_EQ(2u, count("show_stats", format("- Reconnected: %-10lu\n", 0ul)));
}

TEST_F(Events, ShowStatsWithoutConnectionWritesNothing) {
    Sub sub;
    EXPECT_EQ(0u, sub.show_stats(7));
    connect(sub);
    sub.destroy();
    EXPECT_EQ(0u, sub.show_stats(7));
    EXPECT_TRUE(lines("show_stats").empty());
}

TEST_F(Events, ErrorStackOfCallingThreadIsLogged) {
    Sub sub;
    connect(sub);
    ASSERT_NE(0u, sub.subscribe("a b", nullptr, nullptr));  // libnats refuses the subject
    EXPECT_EQ(0u, sub.get_last_error_stack());
    const std::vector<std::string> stack = lines("get_last_error_stack");
    ASSERT_EQ(1u, stack.size());
    EXPECT_EQ(0u, stack[0].rfind("- \n", 0)) << stack[0];
    EXPECT_NE(std::string::npos, stack[0].find("natsConnection_Subscribe")) << stack[0];
}

}  // namespace
}  // namespace pubsub_test
