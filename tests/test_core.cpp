// The service core: connection life, the five slots, events, statistics, the instance count and
// the records the operations write.
#include <type_traits>

#include "core_fixture.h"
#include "internal/subject.h"

namespace core_test {
namespace {

using Lifecycle = Core;

// Every operation of every role without a connection: before connect, then after destroy.
TEST_F(Lifecycle, NoConnectionGivesEachOperationsStatus) {
    CNATSPublisher pub;
    CNATSSubscriber sub;
    CNATSRequestor req;
    CNATSReplier rep;
    NATSSvcMsg msg;
    struct Op {
        const char* func;
        svc_status expected;
        bool empty_connection_record;  // "- error: empty connection" under func
        bool after_destroy_only;       // waits for a record while still usable
        std::function<svc_status()> call;
    };
    const std::vector<Op> ops{
        {"publish", STATUS_NO_CONNECTION, true, false, [&] { return pub.publish("s", "x", 1); }},
        {"publish_string", STATUS_NO_CONNECTION, true, false,
         [&] { return pub.publish_string("s", "x"); }},
        {"request", STATUS_NO_CONNECTION, true, false,
         [&] { return req.request("s", "x", 1, msg); }},
        {"request_string", STATUS_NO_CONNECTION, true, false,
         [&] { return req.request_string("s", "x", msg); }},
        {"reply", STATUS_NO_CONNECTION, true, false, [&] { return rep.reply("s", msg); }},
        {"flush", STATUS_NO_CONNECTION, true, false, [&] { return sub.flush(100); }},
        {"subscribe", STATUS_NO_CONNECTION, true, false,
         [&] { return sub.subscribe("s", nullptr, nullptr); }},
        {"subscribe", STATUS_NO_CONNECTION, true, false,
         [&] { return rep.subscribe("s", nullptr, nullptr); }},
        {"subscribe_sync", STATUS_NO_CONNECTION, true, false,
         [&] { return sub.subscribe_sync("s"); }},
        {"subscribe_sync", STATUS_NO_CONNECTION, true, false,
         [&] { return rep.subscribe_sync("s"); }},
        {"subscribe_queue", STATUS_NO_CONNECTION, true, false,
         [&] { return sub.subscribe_queue("s", "g"); }},
        {"subscribe_queue", STATUS_NO_CONNECTION, true, false,
         [&] { return rep.subscribe_queue("s", "g"); }},
        {"subscribe_sync_queue", STATUS_NO_CONNECTION, true, false,
         [&] { return sub.subscribe_sync_queue("s", "g"); }},
        {"subscribe_sync_queue", STATUS_NO_CONNECTION, true, false,
         [&] { return rep.subscribe_sync_queue("s", "g"); }},
        {"unsubscribe", STATUS_UNSUBSCRIBE, false, false, [&] { return sub.unsubscribe("s"); }},
        {"recv_sync", STATUS_NO_SUBSCRIPTION, false, false,
         [&] { return sub.recv_sync("s", msg); }},
        {"recv_sync", STATUS_NO_SUBSCRIPTION, false, false,
         [&] { return rep.recv_sync("s", msg); }},
        {"init_subscription", STATUS_NO_SUBSCRIPTION, false, false,
         [&] { return sub.init_subscription(NATSSvcParam()); }},
        {"show_stats", STATUS_OK, false, false, [&] { return sub.show_stats(7); }},
        {"close", STATUS_OK, false, false, [&] { return pub.close(); }},
        {"destroy", STATUS_OK, false, false, [&] { return req.destroy(); }},
        {"recv", STATUS_OK, false, true, [&] { return sub.recv("s", msg); }},
        {"recv", STATUS_OK, false, true, [&] { return rep.recv("s", msg); }},
    };
    for (const bool destroyed : {false, true}) {
        if (destroyed) {
            for (CNATSSvc* svc : std::initializer_list<CNATSSvc*>{&pub, &sub, &req, &rep}) {
                connect(*svc);
                EXPECT_EQ(STATUS_OK, svc->destroy());
            }
        }
        for (const Op& op : ops) {
            if (op.after_destroy_only && !destroyed) continue;
            const size_t before = count(op.func, "- error: empty connection");
            EXPECT_EQ(op.expected, op.call()) << op.func << (destroyed ? " after destroy" : "");
            EXPECT_EQ(before + (op.empty_connection_record ? 1 : 0),
                      count(op.func, "- error: empty connection"))
                << op.func;
        }
    }
    EXPECT_TRUE(log.lines("show_stats").empty());
}

TEST_F(Lifecycle, ConnectTakesUsableUrlListsOnly) {
    const std::string url = server.url();
    const struct {
        const char* urls;
        svc_status expected;
    } rows[] = {{nullptr, STATUS_OPTIONS_URL},
                {"", STATUS_OPTIONS_URL},
                {" \t", STATUS_OPTIONS_URL},
                {" , ,", STATUS_OPTIONS_URL},
                {"nats://127.0.0.1:1", STATUS_CONNECT},
                {url.c_str(), STATUS_OK}};
    for (const auto& row : rows) {
        CNATSPublisher pub;
        EXPECT_EQ(row.expected, pub.connect(row.urls, param)) << (row.urls ? row.urls : "null");
    }
    const std::string lists[] = {"," + url, " " + url + " ,nats://127.0.0.1:1", url + ",\t"};
    for (const std::string& list : lists) {
        CNATSPublisher pub;
        EXPECT_EQ(STATUS_OK, pub.connect(list.c_str(), param)) << list;
        EXPECT_EQ(STATUS_OK, pub.publish_string("list", "x")) << list;
    }
}

// A second connect keeps the connection; after destroy a connect builds everything anew.
TEST_F(Lifecycle, ConnectAgainKeepsOrRebuildsTheConnection) {
    Peek<CNATSSubscriber> sub;
    CNATSPublisher pub;
    connect(sub);
    connect(pub);
    natsConnection* first = sub.conn();
    connect(sub);
    EXPECT_EQ(first, sub.conn());
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(STATUS_OK, sub.subscribe("again", nullptr, nullptr));
        ASSERT_EQ(STATUS_OK, sub.flush(5000));
        ASSERT_EQ(STATUS_OK, pub.publish_string("again", "x"));
        EXPECT_TRUE(queued(sub, 1)) << "round " << round;
        EXPECT_EQ(STATUS_OK, sub.destroy());
        EXPECT_EQ(nullptr, sub.conn());
        connect(sub);
    }
}

// ---- the five slots, for every subscribe operation of both receiving roles ----

struct Way {
    bool replier, sync, queue;
    svc_status refused;
};
const Way kWays[] = {
    {false, false, false, STATUS_SUBSCRIBE},     {false, false, true, STATUS_SUBSCRIBE},
    {false, true, false, STATUS_SUBSCRIBE_SYNC}, {false, true, true, STATUS_SUBSCRIBE_SYNC},
    {true, false, false, STATUS_SUBSCRIBE},      {true, false, true, STATUS_SUBSCRIBE},
    {true, true, false, STATUS_SUBSCRIBE_SYNC},  {true, true, true, STATUS_SUBSCRIBE_SYNC},
};

template <class R>
svc_status join(R& r, const Way& w, const char* subject, const char* group = "g") {
    if (w.queue)
        return w.sync ? r.subscribe_sync_queue(subject, group) : r.subscribe_queue(subject, group);
    return w.sync ? r.subscribe_sync(subject) : r.subscribe(subject, nullptr, nullptr);
}

template <class R>
void check_slots(R& r, const Way& w) {
    const std::string too_long(detail::MAX_SUBJECT_BYTES + 1, 'a');
    EXPECT_EQ(w.refused, join(r, w, nullptr));
    EXPECT_EQ(w.refused, join(r, w, too_long.c_str()));
    if (w.queue) {
        for (const char* group : {static_cast<const char*>(nullptr), "", "a b"}) {
            EXPECT_EQ(w.refused, join(r, w, "s", group)) << (group ? group : "null");
        }
    }
    for (int i = 0; i < CNATSSvc::SLOT_COUNT; ++i) EXPECT_EQ("", r.slot(i));
    const char* subjects[] = {"d", "d", "s2", "s3", "s4"};
    for (const char* s : subjects) EXPECT_EQ(STATUS_OK, join(r, w, s)) << s;
    EXPECT_EQ(w.refused, join(r, w, "s5"));
    if constexpr (std::is_same_v<R, Peek<CNATSSubscriber>>) {
        // Same subject twice: the lower slot goes first; a freed slot is the next one taken.
        EXPECT_EQ(STATUS_UNSUBSCRIBE, r.unsubscribe(nullptr));
        EXPECT_EQ(STATUS_OK, r.unsubscribe("d"));
        EXPECT_EQ("", r.slot(0));
        EXPECT_EQ(nullptr, r.sub(0));
        EXPECT_EQ("d", r.slot(1));
        EXPECT_EQ(STATUS_OK, join(r, w, "n"));
        EXPECT_EQ("n", r.slot(0));
        EXPECT_EQ(STATUS_OK, r.unsubscribe("d"));
        EXPECT_EQ(STATUS_UNSUBSCRIBE, r.unsubscribe("d"));
        EXPECT_EQ(STATUS_OK, join(r, w, "m"));
        EXPECT_EQ("m", r.slot(1));
    }
}

TEST_F(Lifecycle, FiveSlotsThenRefusalForEverySubscribeOperation) {
    for (const Way& w : kWays) {
        SCOPED_TRACE(::testing::Message()
                     << "replier " << w.replier << " sync " << w.sync << " queue " << w.queue);
        if (w.replier) {
            Peek<CNATSReplier> r;
            connect(r);
            check_slots(r, w);
        } else {
            Peek<CNATSSubscriber> r;
            connect(r);
            check_slots(r, w);
        }
    }
}

TEST_F(Lifecycle, InitSubscriptionLiftsPendingLimitsOfFiveSlots) {
    Peek<CNATSSubscriber> sub;
    connect(sub);
    int msgs = 0, bytes = 0;
    ASSERT_EQ(STATUS_OK, sub.subscribe_sync("s0"));
    ASSERT_EQ(STATUS_OK, sub.subscribe("s1", nullptr, nullptr));
    EXPECT_EQ(STATUS_NO_SUBSCRIPTION, sub.init_subscription(param));
    ASSERT_EQ(NATS_OK, natsSubscription_GetPendingLimits(sub.sub(1), &msgs, &bytes));
    EXPECT_EQ(-1, msgs);
    EXPECT_EQ(-1, bytes);
    for (const char* s : {"s2", "s3", "s4"}) ASSERT_EQ(STATUS_OK, sub.subscribe_sync(s));
    EXPECT_EQ(STATUS_OK, sub.init_subscription(param));
    ASSERT_EQ(NATS_OK, natsSubscription_GetPendingLimits(sub.sub(4), &msgs, &bytes));
    EXPECT_EQ(-1, msgs);
    EXPECT_EQ(-1, bytes);
    ASSERT_EQ(NATS_OK, natsSubscription_Unsubscribe(sub.sub(4)));  // handle kept, now invalid
    EXPECT_EQ(STATUS_PENDING_LIMITS, sub.init_subscription(param));
}

// ---- events and statistics ----

TEST_F(Lifecycle, ShowStatsWritesTheMaskedFigures) {
    Peek<CNATSSubscriber> sub;
    CNATSPublisher pub;
    connect(sub);
    connect(pub);
    ASSERT_EQ(STATUS_OK, sub.subscribe("stats", nullptr, nullptr));
    // The figures are those of the last subscription read; an invalid one counts none pending.
    ASSERT_EQ(STATUS_OK, sub.subscribe_sync("gone"));
    ASSERT_EQ(NATS_OK, natsSubscription_Unsubscribe(sub.sub(1)));
    ASSERT_EQ(STATUS_OK, sub.flush(5000));
    for (int i = 0; i < 3; ++i) ASSERT_EQ(STATUS_OK, pub.publish_string("stats", "abcd"));
    ASSERT_TRUE(queued(sub, 3));
    const std::string reconnected = format("- Reconnected: %-10lu\n", 0ul);
    EXPECT_EQ(STATUS_OK, sub.show_stats(0));
    EXPECT_EQ(std::vector<std::string>{reconnected}, log.lines("show_stats"));
    EXPECT_EQ(STATUS_OK, sub.show_stats(7 | 8));  // higher bits are ignored
    const std::vector<std::string> all{
        reconnected,
        format("- In Msgs    : %-10lu - In Bytes : %-10lu - ", 3ul, 12ul),
        format("- Out Msgs   : %-10lu - Out Bytes: %-10lu - ", 0ul, 0ul),
        format("- Delivered  : %-10ld - ", 3l),
        format("- Pending    : %-10d - ", 0),
        format("- Dropped    : %-10ld - ", 0l),
        reconnected};
    EXPECT_EQ(all, log.lines("show_stats"));
    EXPECT_EQ(STATUS_OK, pub.show_stats(2));
    EXPECT_EQ(format("- Out Msgs   : %-10lu - Out Bytes: %-10lu - ", 3ul, 12ul),
              log.lines("show_stats").at(all.size()));
}

// A server gone for good: both connection callbacks report the connection's own last error,
// and a waiting recv ends with it.
TEST_F(Lifecycle, LostServerIsReportedAndEndsRecv) {
    param.max_reconnect = 0;
    Peek<CNATSSubscriber> sub;
    connect(sub);
    ASSERT_EQ(STATUS_OK, sub.subscribe("lost", nullptr, nullptr));
    NATSSvcMsg msg;
    Pending got([&] { return sub.recv("lost", msg); }, [&] { sub.destroy(); });
    server.kill_hard();
    ASSERT_TRUE(got.done());
    const char* text = nullptr;
    const natsStatus s = natsConnection_GetLastError(sub.conn(), &text);
    ASSERT_NE(NATS_OK, s);
    EXPECT_EQ(connection_status(s), got.get());
    const std::string record = format("- error: (%u - %s)", unsigned(s), text);
    EXPECT_TRUE(vek_test::wait_until([&] { return !log.lines("closed_callback").empty(); }));
    EXPECT_EQ(std::vector<std::string>{record}, log.lines("closed_callback"));
    EXPECT_EQ(std::vector<std::string>{record}, log.lines("disconnected_callback"));
}

// The last live object closes the client library, once; a new object connects at once.
TEST(InstanceCount, LastObjectClosesTheLibraryOnce) {
    vek_test::LogSandbox log;
    vek_test::NatsServer server;
    ASSERT_TRUE(server.start());
    for (int round = 0; round < 2; ++round) {
        auto first = std::make_unique<CNATSSubscriber>();
        auto second = std::make_unique<CNATSPublisher>();
        EXPECT_EQ(2, vek_test::live_objects());
        ASSERT_EQ(STATUS_OK, first->connect(server.url().c_str(), NATSSvcParam()));
        ASSERT_EQ(STATUS_OK, second->connect(server.url().c_str(), NATSSvcParam()));
        ASSERT_EQ(STATUS_OK, first->subscribe("count", nullptr, nullptr));
        ASSERT_EQ(STATUS_OK, first->flush(5000));
        ASSERT_EQ(STATUS_OK, second->publish_string("count", "x"));
        EXPECT_TRUE(vek_test::wait_until([&] { return first->queued() == 1; }));
        second.reset();  // its destructor destroys it
        EXPECT_EQ(1, vek_test::live_objects());
        EXPECT_EQ(size_t(round), log.count("- nats_Close()"));
        first.reset();
        EXPECT_EQ(0, vek_test::live_objects());
        EXPECT_EQ(size_t(round + 1), log.count("- nats_Close()"));
        EXPECT_EQ(size_t(2 * round + 2), log.count("- bye"));
    }
    auto obj = std::make_unique<CNATSSvc>();
    {
        std::lock_guard<std::mutex> lock(CNATSSvc::m_nats_Init_mutex);
        CNATSSvc::m_nats_Init_count = -3;
    }
    obj.reset();
    EXPECT_EQ(0, vek_test::live_objects());
    EXPECT_TRUE(log.has("- error: reset nats_Init_count=-3"));
    EXPECT_EQ(2u, log.count("- nats_Close()"));
}

// ---- the records that operations write: each asserted here, once ----

TEST_F(Lifecycle, OperationsWriteTheirRecords) {
    param.recv_timeout = 50;
    param.request_timeout = 200;
    Peek<CNATSSubscriber> sub;
    CNATSSubscriber ended;
    CNATSReplier rep;
    CNATSPublisher pub;
    CNATSRequestor req;
    for (CNATSSvc* svc : std::initializer_list<CNATSSvc*>{&sub, &rep, &pub, &req}) connect(*svc);
    NATSSvcMsg msg;
    const std::string inject = "a\r\nPUB b 1";
    const unsigned slow = NATS_SLOW_CONSUMER;
    const struct {
        std::function<void()> action;
        const char* func;
        std::string record;
    } rows[] = {
        {[&] { sub.subscribe("r.q", nullptr, nullptr); }, "subscribe", "- error: i= 0 subj-> r.q"},
        {[&] { sub.subscribe_queue("r.g", "g"); }, "subscribe_queue",
         "- error: i= 1 subj-> r.g, group-> g"},
        {[&] { rep.subscribe("r.s", nullptr, nullptr); }, "subscribe", "subject_name = r.s"},
        {[&] { rep.subscribe_queue("r.s", "g"); }, "subscribe_queue",
         "subject_name = r.s, group = g"},
        {[&] { sub.subscribe_queue("r.x", "a b"); }, "subscribe_queue",
         "- error: " + nats_part(NATS_INVALID_QUEUE_NAME) + " subj-> r.x, group-> a b"},
        {[&] { sub.subscribe_sync_queue("r.x", nullptr); }, "subscribe_sync_queue",
         "- error: " + nats_part(NATS_INVALID_ARG) + " subj-> r.x, group-> "},
        {[&] { sub.subscribe_sync(nullptr); }, "subscribe_sync",
         "- error: " + nats_part(NATS_INVALID_SUBJECT) + " subj-> (null)"},
        {[&] { sub.subscribe_sync("r.sync"); }, "", ""},
        {[&] { sub.recv_sync("r.sync", msg); }, "recv_sync",
         "- error: " + nats_part(NATS_TIMEOUT) + " subj-> r.sync"},
        {[&] { sub.recv_sync("none", msg); }, "recv_sync", "- error: empty subscription"},
        {[&] { sub.init_subscription(param); }, "init_subscription", "- error: empty subscription"},
        {[&] { sub.subscribe_sync("r.3"), sub.subscribe_sync("r.4"); }, "", ""},
        {[&] { sub.subscribe("r.6", nullptr, nullptr); }, "subscribe",
         "- error: full size subj-> r.6"},
        {[&] { sub.subscribe_queue("r.6", "g"); }, "subscribe_queue",
         "- error: full size subj-> r.6, group-> g"},
        {[&] { natsSubscription_Unsubscribe(sub.sub(4)), sub.init_subscription(param); },
         "init_subscription",
         "- error: " + nats_part(NATS_INVALID_SUBSCRIPTION) +
             " natsSubscription_SetPendingLimits()"},
        {[&] { sub.unsubscribe("none"); }, "unsubscribe", "- error subj-> none"},
        {[&] { pub.publish(inject.c_str(), "x", 1); }, "publish",
         "- error: " + nats_part(NATS_INVALID_SUBJECT) + " subj-> a\\x0D\\x0APUB b 1, dataLen=1"},
        {[&] { pub.publish("ok", "x", -5); }, "publish",
         "- error: " + nats_part(NATS_INVALID_ARG) + " subj-> ok, dataLen=-5"},
        {[&] { pub.publish_string("a b", "t"); }, "publish_string",
         "- error: " + nats_part(NATS_INVALID_SUBJECT) + " subj-> a b, str-> t"},
        {[&] { req.request_string("nobody", "t", msg); }, "request_string",
         "- error: " + nats_part(NATS_NO_RESPONDERS) + " subj-> nobody, str-> t"},
        {[&] { ended.recv("", msg); }, "recv", "- subject_name unsubscribe subj-> "},
        {[&] { ended.destroy(); }, "destroy", "- hello"},
        {[&] { ended.recv("t", msg); }, "recv", "- oops: terminate, subj-> t"},
        {[&] { rep.error_callback(nullptr, nullptr, NATS_SLOW_CONSUMER, nullptr); },
         "error_callback", "- error: " + nats_part(NATS_SLOW_CONSUMER)},
        {[&] { rep.recv("e", msg); }, "recv",
         format("- error: (%u - 0x%08X) subj-> e", slow, connection_status(slow))},
        {[&] { sub.get_last_error_stack(); }, "get_last_error_stack", ""},
    };
    for (const auto& row : rows) {
        const size_t before = count(row.func, row.record);
        row.action();
        if (row.record.empty()) continue;  // a step that sets the next row up
        EXPECT_EQ(before + 1, count(row.func, row.record)) << row.func << row.record;
    }
    EXPECT_EQ(1u, count("destroy", "- bye"));
    // The client's error stack of this thread, behind a line break.
    ASSERT_EQ(1u, log.lines("get_last_error_stack").size());
    EXPECT_EQ(0u, log.lines("get_last_error_stack")[0].rfind("- \n", 0));
    EXPECT_NE(std::string::npos, log.lines("get_last_error_stack")[0].find("nats"));
}

}  // namespace
}  // namespace core_test
