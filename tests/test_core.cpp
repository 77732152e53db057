// The service core and the four roles: connection life, the five slots, the receive paths and
// the queue, requests and replies, queue groups, statistics, and the records operations write.
#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <type_traits>

#include "internal/subject.h"
#include "support/harness.h"

namespace core_test {
namespace {

using namespace std::chrono_literals;
using namespace vek_nats;
using vek_test::Peek;
using vek_test::wait_until;

// "(%u - %s)" of a NATS status, as error records show it: its text, or the one given.
std::string nats_part(natsStatus s, const char* text = nullptr) {
    return "(" + std::to_string(s) + " - " + (text ? text : natsStatus_GetText(s)) + ")";
}

class Core : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.start()); }
    void connect(std::initializer_list<CNATSSvc*> objs) {
        for (CNATSSvc* obj : objs) ASSERT_EQ(0u, obj->connect(server.url().c_str(), param));
    }
    void connect_all() { connect({&pub, &sub, &req, &rep}); }
    size_t count(const std::string& func, const std::string& rest) const {
        const std::vector<std::string> rests = log.lines(func);
        return std::count(rests.begin(), rests.end(), rest);
    }

    vek_test::LogSandbox log;  // first: outlives everything that may log
    vek_test::NatsServer server;
    NATSSvcParam param;
    Peek<CNATSPublisher> pub;
    Peek<CNATSSubscriber> sub;
    Peek<CNATSRequestor> req;
    Peek<CNATSReplier> rep;
};

// Of a call that may block, made on a thread of its own (std::async).
inline bool done(std::future<svc_status>& call, std::chrono::milliseconds within = 5s) {
    return call.wait_for(within) == std::future_status::ready;
}

// Every operation of every role without a connection, before connect and after destroy; those
// that need one write "- error: empty connection" under their own name.
TEST_F(Core, NoConnectionGivesEachOperationsStatus) {
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
        connect_all();
        pub.destroy(), sub.destroy(), req.destroy(), rep.destroy();
    }
    EXPECT_TRUE(log.lines("show_stats").empty());
    // Connect after destroy builds everything anew; a list may start with a comma, and a single
    // URL replaces an earlier list.
    EXPECT_EQ(STATUS_OK, sub.connect(("," + server.url()).c_str(), param));
    EXPECT_EQ(STATUS_CONNECT, pub.connect("nats://127.0.0.1:1, nats://127.0.0.1:2", param));
    EXPECT_EQ(STATUS_OK, pub.connect(server.url().c_str(), param));
    char** urls = nullptr;
    int n = 0;
    ASSERT_EQ(NATS_OK, natsConnection_GetServers(pub.conn(), &urls, &n));
    for (int i = 0; i < n; ++i) free(urls[i]);
    free(urls);
    EXPECT_EQ(1, n);
}

// Every subscribe operation of both receiving roles: a refusal takes no slot; five slots, then
// refusal; of a subject held twice the lower slot goes first; the lowest free slot is taken.
TEST_F(Core, FiveSlotsThenRefusalForEverySubscribeOperation) {
    const std::string too_long(detail::MAX_SUBJECT_BYTES + 1, 'a');
    const auto check = [&](auto& r, bool sync, bool queue) {
        const svc_status refused = sync ? STATUS_SUBSCRIBE_SYNC : STATUS_SUBSCRIBE;
        const auto join = [&](const char* subject, const char* group = "g") {
            if (queue)
                return sync ? r.subscribe_sync_queue(subject, group)
                            : r.subscribe_queue(subject, group);
            return sync ? r.subscribe_sync(subject) : r.subscribe(subject, nullptr, nullptr);
        };
        connect({&r});
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
            EXPECT_EQ("n m", r.slot(0) + " " + r.slot(1));
        }
    };
    for (int way = 0; way < 4; ++way) {
        SCOPED_TRACE(::testing::Message() << "sync " << (way & 1) << ", queue " << (way & 2));
        Peek<CNATSSubscriber> subscriber;
        check(subscriber, way & 1, way & 2);
        Peek<CNATSReplier> replier;
        check(replier, way & 1, way & 2);
    }
}

// ---- the records that operations write: each asserted here, once ----

TEST_F(Core, OperationsWriteTheirRecords) {
    param.max_reconnect = 0;
    param.recv_timeout = 50;
    param.request_timeout = 200;
    CNATSSubscriber ended;
    connect_all();
    NATSSvcMsg msg;
    const auto err = [](natsStatus s, const char* r) { return "- error: " + nats_part(s) + r; };
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
        {[&] { sub.subscribe_sync_queue("r.x", nullptr); }, "subscribe_sync_queue",
         err(NATS_INVALID_ARG, " subj-> r.x, group-> ")},
        {[&] { sub.subscribe_sync("r.sync"), sub.recv_sync("r.sync", msg); }, "recv_sync",
         err(NATS_TIMEOUT, " subj-> r.sync")},
        {[&] { sub.recv_sync("none", msg); }, "recv_sync", "- error: empty subscription"},
        {[&] { EXPECT_EQ(STATUS_NO_SUBSCRIPTION, sub.init_subscription(param)); },
         "init_subscription", "- error: empty subscription"},
        {[&] { sub.subscribe_sync("r.3"), sub.subscribe_sync("r.4"); }, "", ""},
        {[&] { EXPECT_EQ(STATUS_OK, sub.init_subscription(param)); }, "", ""},  // five slots
        {[&] { sub.subscribe_queue("r.6", "g"); }, "subscribe_queue",
         "- error: full size subj-> r.6, group-> g"},
        {[&] {
             natsSubscription_Unsubscribe(sub.sub(4));  // handle kept, now invalid
             EXPECT_EQ(STATUS_PENDING_LIMITS, sub.init_subscription(param));
         },
         "init_subscription",
         err(NATS_INVALID_SUBSCRIPTION, " natsSubscription_SetPendingLimits()")},
        {[&] { sub.unsubscribe("none"); }, "unsubscribe", "- error subj-> none"},
        {[&] { pub.publish("a\r\nPUB b 1", "x", 1); }, "publish",
         err(NATS_INVALID_SUBJECT, " subj-> a\\x0D\\x0APUB b 1, dataLen=1")},
        {[&] { pub.publish_string("a b", "t"); }, "publish_string",
         err(NATS_INVALID_SUBJECT, " subj-> a b, str-> t")},
        {[&] { EXPECT_EQ(STATUS_REQUEST_STRING, req.request_string("nobody", "t", msg)); },
         "request_string", err(NATS_NO_RESPONDERS, " subj-> nobody, str-> t")},
        {[&] { ended.recv("", msg); }, "recv", "- subject_name unsubscribe subj-> "},
        {[&] { ended.destroy(); }, "destroy", "- hello"},
        {[&] { rep.error_callback(nullptr, nullptr, NATS_SLOW_CONSUMER, nullptr); },
         "error_callback", err(NATS_SLOW_CONSUMER, "")},
        {[&] { rep.recv("e", msg); }, "recv", "- error: (20 - 0x910E0714) subj-> e"},
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
    EXPECT_EQ(0u, log.lines("get_last_error_stack").at(0).rfind("- \n", 0));

    // A server gone for good: both connection callbacks report the connection's last error.
    server.kill_hard();
    ASSERT_TRUE(wait_until([&] { return log.lines("closed_callback").size() == 4; }));
    const char* text = nullptr;
    const natsStatus lost = natsConnection_GetLastError(sub.conn(), &text);
    EXPECT_EQ(4u, count("closed_callback", "- error: " + nats_part(lost, text)));
    EXPECT_EQ(4u, count("disconnected_callback", "- error: " + nats_part(lost, text)));
}

const char kPayload[] = {'a', 'b', '\0', 'c', 'd'};

// A responder of plain libnats that answers every request with kPayload.
void answer(natsConnection* nc, natsSubscription*, natsMsg* msg, void*) {
    natsConnection_Publish(nc, natsMsg_GetReply(msg), kPayload, sizeof kPayload);
    natsMsg_Destroy(msg);
}

// Every receive path gives the text up to a zero byte and the full length; show_stats then
// counts what arrived.
TEST_F(Core, EveryReceivePathGivesTextUpToTheZeroByteAndTheFullLength) {
    connect_all();
    natsSubscription* echo = nullptr;
    ASSERT_EQ(NATS_OK, natsConnection_Subscribe(&echo, pub.conn(), "echo", answer, nullptr));
    // A synchronous subject in slot 0: the first slot is read like any other.
    ASSERT_EQ(STATUS_OK,
              std::max({sub.subscribe_sync("p.ssync"), sub.subscribe("p.sub", nullptr, nullptr),
                        rep.subscribe("p.rep", nullptr, nullptr), rep.subscribe_sync("p.rsync"),
                        sub.flush(5000), rep.flush(5000), pub.flush(5000)}));
    NATSSvcMsg msg;
    const char* K = "keep";  // fields a path leaves to the caller
    const struct {
        const char* subject;  // sent to, or (requests) the start of the reply's subject
        svc_status result;
        std::function<svc_status()> take;
        const char *inbox, *reply_data;
    } paths[] = {
        {"p.sub", 5, [&] { return sub.recv("p.sub", msg); }, "", ""},
        {"p.ssync", 5, [&] { return sub.recv_sync("p.ssync", msg); }, K, K},
        {"p.rep", 5, [&] { return rep.recv("p.rep", msg); }, "inbox.1", ""},
        {"p.rsync", 5, [&] { return rep.recv_sync("p.rsync", msg); }, "inbox.1", K},
        {"_INBOX.", 0, [&] { return req.request("echo", "q", 1, msg); }, K, K},
        {"_INBOX.", 0, [&] { return req.request_string("echo", "q", msg); }, K, K},
    };
    for (const auto& path : paths) {
        SCOPED_TRACE(path.subject);
        const int64_t before = nats_Now();
        if (path.result != 0) {
            ASSERT_EQ(NATS_OK, natsConnection_PublishRequest(pub.conn(), path.subject, "inbox.1",
                                                             kPayload, sizeof kPayload));
        }
        msg.subject = msg.data = "old";
        msg.inbox = msg.reply_data = K;
        EXPECT_EQ(path.result, path.take());
        EXPECT_EQ("ab", msg.data);
        EXPECT_EQ(5, msg.dataLen);
        EXPECT_EQ(0u, msg.subject.rfind(path.subject, 0)) << msg.subject;
        EXPECT_TRUE(msg.recv_ts >= before && msg.recv_ts <= nats_Now()) << msg.recv_ts;
        EXPECT_EQ(path.inbox, msg.inbox);
        EXPECT_EQ(path.reply_data, msg.reply_data);
    }
    natsSubscription_Destroy(echo);
    // The figures are those of the last subscription read; an invalid one counts none pending.
    ASSERT_EQ(NATS_OK, natsSubscription_Unsubscribe(sub.sub(1)));
    EXPECT_EQ(STATUS_OK, sub.show_stats(1 | 4 | 8));  // no Out figures; higher bits ignored
    EXPECT_EQ(
        log.lines("show_stats"),
        (std::vector<std::string>{"- In Msgs    : 2          - In Bytes : 10         - ",
                                  "- Delivered  : 1          - ", "- Pending    : 0          - ",
                                  "- Dropped    : 0          - ", "- Reconnected: 0         \n"}));
}

// Every subject that goes on the wire is checked first: a refused one gives the operation's
// code, is not remembered, and nothing reaches a subscriber of everything.
TEST_F(Core, HostileSubjectsAreRefusedAndNothingIsSent) {
    param.request_timeout = 300;
    connect_all();
    ASSERT_EQ(STATUS_OK, std::max({sub.subscribe(">", nullptr, nullptr), sub.flush(5000)}));
    const std::string too_long(detail::MAX_SUBJECT_BYTES + 1, 'a');
    const char* hostile[] = {
        "",  " ",   "foo bar",      "a..b",           ".a",   "a.", "a\tb", "a\x7f", "a.*", "a.>",
        "*", "a>b", "a\r\nPUB b 1", too_long.c_str(), nullptr};
    NATSSvcMsg reply, request;
    const struct {
        svc_status code;
        std::function<svc_status(const char*)> call;
    } ops[] = {
        {STATUS_PUBLISH, [&](const char* s) { return pub.publish(s, "x", 1); }},
        {STATUS_PUBLISH_STRING, [&](const char* s) { return pub.publish_string(s, "x"); }},
        {STATUS_REQUEST, [&](const char* s) { return req.request(s, "x", 1, reply); }},
        {STATUS_REQUEST_STRING, [&](const char* s) { return req.request_string(s, "x", reply); }},
        {STATUS_PUBLISH_STRING, [&](const char* s) {
             request.inbox = s != nullptr ? s : "";
             return rep.reply("svc", request);
         }}};
    for (const auto& op : ops)
        for (const char* s : hostile) EXPECT_EQ(op.code, op.call(s)) << (s ? s : "null");
    // A payload that cannot be read is refused as well.
    EXPECT_EQ(STATUS_PUBLISH, pub.publish("ok", nullptr, 10));
    EXPECT_EQ(STATUS_REQUEST, req.request("ok", "x", -5, reply));
    EXPECT_EQ(std::vector<std::string>(5), pub.published());

    // Nothing was sent: a marker that the server takes after all the refusals arrives alone.
    ASSERT_EQ(STATUS_OK,
              std::max({req.flush(5000), rep.flush(5000), pub.publish_string("marker", "m")}));
    EXPECT_TRUE(wait_until([&] { return sub.queued() == 1; }));
    // Answering needs no slot of the subject; the empty subject names a free slot, which holds
    // no subscription.
    request.inbox = "inbox";
    EXPECT_EQ(STATUS_OK, rep.reply("unheld", request));
    EXPECT_EQ(STATUS_NO_SUBSCRIPTION, rep.reply("", request));

    // The subjects of the first five publishes are remembered.
    for (const char* s : {"a", "a", "b", "c", "d"}) EXPECT_EQ(STATUS_OK, pub.publish(s, "x", 1));
    EXPECT_EQ((std::vector<std::string>{"marker", "a", "a", "b", "c"}), pub.published());
}

// With the reader idle the queue stops at its bound, by count or by payload bytes; the rest
// waits in the client and arrives, in order, as recv makes room.
TEST_F(Core, QueueStopsAtItsBoundAndLosesNothing) {
    for (const bool by_bytes : {false, true}) {  // one-byte payloads: ten records either way
        SCOPED_TRACE(by_bytes ? "bytes" : "messages");
        param.queue_max_msgs = by_bytes ? 0 : 10;
        param.queue_max_bytes = by_bytes ? 10 : 0;
        CNATSSubscriber in;  // new objects: a destroyed one's recv returns at once
        CNATSPublisher out;
        connect({&in, &out});
        ASSERT_EQ(STATUS_OK, in.subscribe("bound", nullptr, nullptr) | in.flush(5000));
        for (int i = 0; i < 100; ++i) out.publish_string("bound", std::to_string(i % 10).c_str());
        ASSERT_EQ(STATUS_OK, out.flush(5000));
        ASSERT_TRUE(wait_until([&] { return in.queued() == 10; }));
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(10u, in.queued());
        for (int i = 0; i < 100; ++i) {
            // recv has no time-out: it is called only once something waits.
            ASSERT_TRUE(wait_until([&] { return in.queued() > 0; }, 5s)) << i;
            NATSSvcMsg msg;
            ASSERT_EQ(1u, in.recv("bound", msg));
            ASSERT_EQ(std::to_string(i % 10), msg.data);
        }
    }
}

// Delivered by hand, as libnats' delivery threads would: recv takes the oldest record whatever
// its subject; a status reported by a connection callback then wins over queued records and
// over termination, the latest report being the one returned.
TEST(Queue, OldestRecordFirstUntilAConnectionErrorIsReported) {
    const auto check = [](auto& r, const char* inbox) {
        ASSERT_EQ(NATS_OK, nats_Open(-1));
        for (const char* s : {"f.a", "f.b", "f.a", "kept"}) {  // as libnats' threads would
            natsMsg* m = nullptr;
            ASSERT_EQ(NATS_OK, natsMsg_Create(&m, s, "r.1", s, static_cast<int>(strlen(s))));
            std::decay_t<decltype(r)>::onMsg_callback_wrapper(nullptr, nullptr, m, &r);
        }
        NATSSvcMsg msg;
        for (const char* s : {"f.a", "f.b", "f.a"}) {
            EXPECT_EQ(3u, r.recv("f.b", msg));
            EXPECT_EQ(std::string(s) + s, msg.subject + msg.data);
            EXPECT_EQ(inbox, msg.inbox);
        }
        CNATSSvc::error_callback_wrapper(nullptr, nullptr, NATS_SLOW_CONSUMER, &r);
        EXPECT_EQ(connection_status(NATS_SLOW_CONSUMER), r.recv("kept", msg));
        r.error_callback(nullptr, nullptr, NATS_CONNECTION_CLOSED, nullptr);
        r.destroy();
        EXPECT_EQ(0x910E0705u, r.recv("kept", msg));
        EXPECT_EQ(1u, r.queued());
    };
    CNATSSubscriber sub;
    check(sub, "");
    CNATSReplier rep;
    check(rep, "r.1");
}

// Each waiting recv watches the slot of its own subject, whatever later callers named.
TEST_F(Core, RecvEndsOnTheUnsubscribeOfItsOwnSubject) {
    connect({&sub});
    ASSERT_EQ(STATUS_OK, sub.subscribe("w.a", 0, 0) | sub.subscribe("w.b", 0, 0));
    NATSSvcMsg ma, mb;
    ma.data = "untouched";
    auto a = std::async(std::launch::async, [&] { return sub.recv("w.a", ma); });
    EXPECT_FALSE(done(a, 100ms));
    auto b = std::async(std::launch::async, [&] { return sub.recv("w.b", mb); });
    const std::shared_ptr<void> end(nullptr, [&](void*) { sub.destroy(); });  // before a, b
    EXPECT_FALSE(done(b, 100ms));
    ASSERT_EQ(STATUS_OK, sub.unsubscribe("w.a"));
    ASSERT_TRUE(done(a));
    EXPECT_EQ(0u, a.get());
    EXPECT_EQ("untouched", ma.data);
    EXPECT_FALSE(done(b, 100ms));
}

// What init_options and init_statistic made is released by destroy, connected or not: objects
// that come and go leave the heap as it was.
TEST(Heap, DestroyReleasesOptionsAndStatistics) {
    CNATSSvc anchor;  // keeps the client library open between the objects
    const auto growth = [] {
        const long before = long(mallinfo2().uordblks);
        for (int i = 0; i < 2000; ++i) {
            CNATSSvc svc;
            EXPECT_EQ(svc.init_options({}) | svc.init_statistic({}), STATUS_OK);
        }
        return long(mallinfo2().uordblks) - before;
    };
    growth();  // the first round may fill caches
    EXPECT_LT(growth(), 32768);
}

}  // namespace
}  // namespace core_test
