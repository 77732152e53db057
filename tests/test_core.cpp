// The service core: connection life, the five slots, events, statistics, the instance count and
// the records the operations write.
#include <type_traits>

#include "core_fixture.h"
#include "internal/subject.h"

namespace core_test {
namespace {

using Lifecycle = Core;

// Every operation of every role without a connection, before connect and after destroy; those
// that need one write "- error: empty connection" under their own name.
TEST_F(Lifecycle, NoConnectionGivesEachOperationsStatus) {
    CNATSPublisher pub;
    CNATSSubscriber sub;
    CNATSRequestor req;
    CNATSReplier rep;
    NATSSvcMsg msg;
    constexpr svc_status NC = STATUS_NO_CONNECTION;
    const struct {
        const char* func;
        svc_status expected;
        std::function<svc_status()> call;
    } ops[] = {
        {"publish", NC, [&] { return pub.publish("s", "x", 1); }},
        {"publish_string", NC, [&] { return pub.publish_string("s", "x"); }},
        {"request", NC, [&] { return req.request("s", "x", 1, msg); }},
        {"request_string", NC, [&] { return req.request_string("s", "x", msg); }},
        {"reply", NC, [&] { return rep.reply("s", msg); }},
        {"flush", NC, [&] { return sub.flush(100); }},
        {"subscribe", NC, [&] { return sub.subscribe("s", nullptr, nullptr); }},
        {"subscribe", NC, [&] { return rep.subscribe("s", nullptr, nullptr); }},
        {"subscribe_sync", NC, [&] { return sub.subscribe_sync("s"); }},
        {"subscribe_sync", NC, [&] { return rep.subscribe_sync("s"); }},
        {"subscribe_queue", NC, [&] { return sub.subscribe_queue("s", "g"); }},
        {"subscribe_queue", NC, [&] { return rep.subscribe_queue("s", "g"); }},
        {"subscribe_sync_queue", NC, [&] { return sub.subscribe_sync_queue("s", "g"); }},
        {"subscribe_sync_queue", NC, [&] { return rep.subscribe_sync_queue("s", "g"); }},
        {"unsubscribe", STATUS_UNSUBSCRIBE, [&] { return sub.unsubscribe("s"); }},
        {"recv_sync", STATUS_NO_SUBSCRIPTION, [&] { return sub.recv_sync("s", msg); }},
        {"recv_sync", STATUS_NO_SUBSCRIPTION, [&] { return rep.recv_sync("s", msg); }},
        {"init_subscription", STATUS_NO_SUBSCRIPTION, [&] { return sub.init_subscription(param); }},
        {"show_stats", STATUS_OK, [&] { return sub.show_stats(7); }},  // and writes nothing
        {"close", STATUS_OK, [&] { return pub.close(); }},
        {"destroy", STATUS_OK, [&] { return req.destroy(); }},
        {"recv", STATUS_OK, [&] { return sub.recv("s", msg); }},  // after destroy only: it waits
        {"recv", STATUS_OK, [&] { return rep.recv("s", msg); }},
    };
    for (const bool destroyed : {false, true}) {
        for (const auto& op : ops) {
            if (!destroyed && std::string(op.func) == "recv") continue;
            const size_t before = count(op.func, "- error: empty connection");
            EXPECT_EQ(op.expected, op.call()) << op.func << (destroyed ? " after destroy" : "");
            EXPECT_EQ(before + (op.expected == NC), count(op.func, "- error: empty connection"));
        }
        for (CNATSSvc* svc : std::initializer_list<CNATSSvc*>{&pub, &sub, &req, &rep}) {
            connect(*svc);
            EXPECT_EQ(STATUS_OK, svc->destroy());
        }
    }
    EXPECT_TRUE(log.lines("show_stats").empty());
    // Connect after destroy builds everything anew; a list may start with a comma.
    ASSERT_EQ(STATUS_OK, pub.connect(("," + server.url()).c_str(), param));
    EXPECT_EQ(STATUS_OK, pub.publish_string("s", "x"));
}

// Every subscribe operation of both receiving roles: a refusal takes no slot; five slots, then
// refusal; of a subject held twice the lower slot goes first; the lowest free slot is taken.
TEST_F(Lifecycle, FiveSlotsThenRefusalForEverySubscribeOperation) {
    const std::string too_long(detail::MAX_SUBJECT_BYTES + 1, 'a');
    const auto check = [&](auto& r, bool sync, bool queue) {
        const svc_status refused = sync ? STATUS_SUBSCRIBE_SYNC : STATUS_SUBSCRIBE;
        const auto join = [&](const char* subject, const char* group = "g") {
            if (queue)
                return sync ? r.subscribe_sync_queue(subject, group)
                            : r.subscribe_queue(subject, group);
            return sync ? r.subscribe_sync(subject) : r.subscribe(subject, nullptr, nullptr);
        };
        connect(r);
        EXPECT_EQ(refused, join(nullptr));
        EXPECT_EQ(refused, join(too_long.c_str()));
        const char* groups[] = {nullptr, "", "a b"};
        for (int g = 0; queue && g < 3; ++g) EXPECT_EQ(refused, join("s", groups[g])) << g;
        for (const char* s : {"d", "d", "s2", "s3", "s4"}) EXPECT_EQ(STATUS_OK, join(s)) << s;
        EXPECT_EQ(refused, join("s5"));
        EXPECT_EQ("d", r.slot(0));
        if constexpr (std::is_same_v<std::decay_t<decltype(r)>, Peek<CNATSSubscriber>>) {
            EXPECT_EQ(STATUS_UNSUBSCRIBE, r.unsubscribe(nullptr));
            EXPECT_EQ(STATUS_OK, r.unsubscribe("d"));
            EXPECT_EQ(nullptr, r.sub(0));
            EXPECT_EQ(STATUS_OK, join("n"));
            EXPECT_EQ(STATUS_OK, r.unsubscribe("d"));
            EXPECT_EQ(STATUS_UNSUBSCRIBE, r.unsubscribe("d"));
            EXPECT_EQ(STATUS_OK, join("m"));
            EXPECT_EQ("n", r.slot(0));
            EXPECT_EQ("m", r.slot(1));
        }
    };
    for (int way = 0; way < 4; ++way) {
        SCOPED_TRACE(::testing::Message() << "sync " << (way & 1) << ", queue " << (way & 2));
        Peek<CNATSSubscriber> sub;
        check(sub, way & 1, way & 2);
        Peek<CNATSReplier> rep;
        check(rep, way & 1, way & 2);
    }
}

// ---- events and statistics ----

TEST_F(Lifecycle, ShowStatsWritesTheMaskedFigures) {
    Peek<CNATSSubscriber> sub;
    CNATSPublisher pub;
    connect({&sub, &pub});
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
    vek_test::Watchdog dog(60s);
    param.max_reconnect = 0;
    Peek<CNATSSubscriber> sub;
    connect(sub);
    ASSERT_EQ(STATUS_OK, sub.subscribe("lost", nullptr, nullptr));
    NATSSvcMsg msg;
    auto got = start([&] { return sub.recv("lost", msg); });
    server.kill_hard();
    ASSERT_TRUE(done(got));
    const char* text = nullptr;
    const natsStatus s = natsConnection_GetLastError(sub.conn(), &text);
    ASSERT_NE(NATS_OK, s);
    EXPECT_EQ(connection_status(s), got.get());
    const std::string record = format("- error: (%u - %s)", unsigned(s), text);
    EXPECT_TRUE(vek_test::wait_until([&] { return !log.lines("closed_callback").empty(); }));
    EXPECT_EQ(std::vector<std::string>{record}, log.lines("closed_callback"));
    EXPECT_EQ(std::vector<std::string>{record}, log.lines("disconnected_callback"));
}

// The last live object closes the client library, once; objects made later connect at once.
TEST(InstanceCount, LastObjectClosesTheLibraryOnce) {
    vek_test::LogSandbox log;
    vek_test::NatsServer server;
    ASSERT_TRUE(server.start());
    for (size_t round = 1; round <= 2; ++round) {
        auto first = std::make_unique<CNATSSubscriber>();
        auto second = std::make_unique<CNATSPublisher>();
        EXPECT_EQ(2, vek_test::live_objects());
        ASSERT_EQ(STATUS_OK, first->connect(server.url().c_str(), NATSSvcParam()));
        ASSERT_EQ(STATUS_OK, second->connect(server.url().c_str(), NATSSvcParam()));
        second.reset();  // the destructor destroys
        EXPECT_EQ(round - 1, log.count("- nats_Close()"));
        first.reset();
        EXPECT_EQ(0, vek_test::live_objects());
        EXPECT_EQ(round, log.count("- nats_Close()"));
        EXPECT_EQ(2 * round, log.count("- bye"));
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
    connect({&sub, &rep, &pub, &req});
    NATSSvcMsg msg;
    const std::string inject = "a\r\nPUB b 1";
    const unsigned slow = NATS_SLOW_CONSUMER;
    const auto err = [](natsStatus s, const char* rest) {
        return "- error: " + nats_part(s) + rest;
    };
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
         err(NATS_INVALID_QUEUE_NAME, " subj-> r.x, group-> a b")},
        {[&] { sub.subscribe_sync_queue("r.x", nullptr); }, "subscribe_sync_queue",
         err(NATS_INVALID_ARG, " subj-> r.x, group-> ")},
        {[&] { sub.subscribe_sync(nullptr); }, "subscribe_sync",
         err(NATS_INVALID_SUBJECT, " subj-> (null)")},
        {[&] { sub.subscribe_sync("r.sync"); }, "", ""},
        {[&] { sub.recv_sync("r.sync", msg); }, "recv_sync", err(NATS_TIMEOUT, " subj-> r.sync")},
        {[&] { sub.recv_sync("none", msg); }, "recv_sync", "- error: empty subscription"},
        {[&] { EXPECT_EQ(STATUS_NO_SUBSCRIPTION, sub.init_subscription(param)); },
         "init_subscription", "- error: empty subscription"},
        {[&] { sub.subscribe_sync("r.3"), sub.subscribe_sync("r.4"); }, "", ""},
        {[&] {  // all five slots: their pending limits are lifted
             EXPECT_EQ(STATUS_OK, sub.init_subscription(param));
             int msgs = 0, bytes = 0;
             natsSubscription_GetPendingLimits(sub.sub(4), &msgs, &bytes);
             EXPECT_EQ(-2, msgs + bytes);
         },
         "", ""},
        {[&] { sub.subscribe("r.6", nullptr, nullptr); }, "subscribe",
         "- error: full size subj-> r.6"},
        {[&] { sub.subscribe_queue("r.6", "g"); }, "subscribe_queue",
         "- error: full size subj-> r.6, group-> g"},
        {[&] {
             natsSubscription_Unsubscribe(sub.sub(4));  // handle kept, now invalid
             EXPECT_EQ(STATUS_PENDING_LIMITS, sub.init_subscription(param));
         },
         "init_subscription",
         err(NATS_INVALID_SUBSCRIPTION, " natsSubscription_SetPendingLimits()")},
        {[&] { sub.unsubscribe("none"); }, "unsubscribe", "- error subj-> none"},
        {[&] { pub.publish(inject.c_str(), "x", 1); }, "publish",
         err(NATS_INVALID_SUBJECT, " subj-> a\\x0D\\x0APUB b 1, dataLen=1")},
        {[&] { pub.publish("ok", "x", -5); }, "publish",
         err(NATS_INVALID_ARG, " subj-> ok, dataLen=-5")},
        {[&] { pub.publish_string("a b", "t"); }, "publish_string",
         err(NATS_INVALID_SUBJECT, " subj-> a b, str-> t")},
        {[&] { req.request_string("nobody", "t", msg); }, "request_string",
         err(NATS_NO_RESPONDERS, " subj-> nobody, str-> t")},
        {[&] { ended.recv("", msg); }, "recv", "- subject_name unsubscribe subj-> "},
        {[&] { ended.destroy(); }, "destroy", "- hello"},
        {[&] { ended.recv("t", msg); }, "recv", "- oops: terminate, subj-> t"},
        {[&] { rep.error_callback(nullptr, nullptr, NATS_SLOW_CONSUMER, nullptr); },
         "error_callback", err(NATS_SLOW_CONSUMER, "")},
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
