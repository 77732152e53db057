// The service core and the four roles: the gate, connection life, the five slots, the receive
// paths and the queue, requests and replies, statistics, and the records operations write.
#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <thread>

#include "internal/gate.h"
#include "internal/subject.h"
#include "support/harness.h"

namespace {

using namespace std::chrono_literals;
using namespace vek_nats;

// A gate with callers inside, open or closed: whether a newcomer gets in; closed, a wait on
// another thread ends only once the last of them left. (Opening it again is what every connect
// after a destroy needs.)
TEST(Gate, LetsCallersInWhileOpenAndWaitsForThemOnceClosed) {
    const struct {
        int inside;
        bool closed;  // a newcomer gets in while it is not
    } rows[] = {{0, false}, {2, false}, {0, true}, {2, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::Message() << row.inside << " inside, closed " << row.closed);
        detail::gate g;
        for (int i = 0; i < row.inside; ++i) ASSERT_TRUE(g.enter());
        if (row.closed) g.close();
        const bool entered = g.enter();
        EXPECT_EQ(!row.closed, entered);
        g.close();
        auto waiting = std::async(std::launch::async, [&] { g.wait(); });
        for (int i = 0; i < row.inside + entered; ++i) {
            EXPECT_EQ(std::future_status::timeout, waiting.wait_for(20ms));
            g.leave();
        }
        EXPECT_EQ(std::future_status::ready, waiting.wait_for(5s));
    }
}

// Callers entering on threads that come and go while another thread shuts the gate over and
// over to change what it guards, letting a caller in between two changes: no caller inside
// ever sees the change half made, whether its entry is marked in its thread's record or, with
// the record full of other gates, counted.
TEST(Gate, NoCallerIsInsideWhileItIsShut) {
    const struct {
        const char* name;
        int fillers;  // other gates each caller is inside first
    } rows[] = {{"marked", 0}, {"counted", detail::gate_thread::ENTRIES}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        detail::gate g;
        detail::gate fillers[detail::gate_thread::ENTRIES];
        int guarded = 0;  // negative while a change is under way
        std::atomic<int> seen_changing{0};
        std::atomic<int> entered{0};   // a row whose callers never got in would prove nothing
        std::atomic<int> finished{0};  // callers that ended, their records gone while it changes
        const auto caller = [&] {
            // Until it was inside often enough; bounded should the gate never let it in.
            for (int i = 0, inside = 0; inside < 50 && i < 1000000; ++i) {
                for (int f = 0; f < row.fillers; ++f) fillers[f].enter();  // never closed
                if (g.enter()) {
                    ++inside;
                    ++entered;
                    const int before = guarded;
                    std::this_thread::yield();  // the change must wait for this caller
                    if (before < 0 || guarded != before) ++seen_changing;
                    g.leave();
                }
                for (int f = 0; f < row.fillers; ++f) fillers[f].leave();
            }
            ++finished;
        };
        constexpr int CALLERS = 20;
        std::vector<std::thread> callers;  // new ones register while the gate changes
        for (int change = 1; int(callers.size()) < CALLERS || finished < CALLERS; ++change) {
            for (int n = 0; change % 100 == 1 && n < 2; ++n) callers.emplace_back(caller);
            {
                detail::gate::shut s(g);
                guarded = -change;
                std::this_thread::yield();
                guarded = change;
            }
            // Open until a caller got in (or none runs): the next change meets it inside.
            for (const int seen = entered; entered == seen && finished < int(callers.size());)
                std::this_thread::yield();
        }
        for (std::thread& t : callers) t.join();
        EXPECT_EQ(0, seen_changing.load());
        EXPECT_GT(entered.load(), 0);
    }
}

// "- error: (%u - %s)" of a NATS status, as error records begin: its text, or the one given.
std::string nats_error(natsStatus s, const char* text = nullptr) {
    return "- error: (" + std::to_string(s) + " - " + (text ? text : natsStatus_GetText(s)) + ")";
}

// A call, the status it returns and, unless empty, the record it adds under the name `func`.
struct Outcome {
    const char* func;
    std::function<svc_status()> call;
    svc_status status;
    std::string record = "";
};

class Core : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.start()); }
    void connect(std::initializer_list<CNATSSvc*> objs) {
        for (CNATSSvc* obj : objs) ASSERT_EQ(STATUS_OK, obj->connect(server.url().c_str(), param));
        EXPECT_TRUE(log.lines("init_options").empty());  // no setting refused
    }
    size_t count(const std::string& func, const std::string& record) const {
        const vek_test::Strings records = log.lines(func);
        return std::count(records.begin(), records.end(), record);
    }
    // In order: a row may set up the next one.
    void check(const std::vector<Outcome>& rows) {
        for (const Outcome& row : rows) {
            const size_t before = count(row.func, row.record);
            EXPECT_EQ(row.status, row.call()) << row.func << " " << row.record;
            if (row.record.empty()) continue;
            EXPECT_EQ(before + 1, count(row.func, row.record)) << row.func << " " << row.record;
        }
    }

    vek_test::LogSandbox log;  // first: outlives everything that may log
    vek_test::NatsServer server;
    NATSSvcParam param;
    vek_test::Peek<CNATSPublisher> pub;
    vek_test::Peek<CNATSSubscriber> sub;
    vek_test::Peek<CNATSRequestor> req;
    vek_test::Peek<CNATSReplier> rep;
};

// Each operation without a connection, before connect and again after destroy; then, connected
// anew, the records of the others and of the connection callbacks, each asserted here once. A
// destroyed object's queue readers return at once for good; a closed connection stays made.
TEST_F(Core, EveryOperationGivesItsStatusAndRecord) {
    param = vek_test::timeouts(200);  // no reconnection
    NATSSvcMsg msg;
    constexpr svc_status NC = STATUS_NO_CONNECTION;
    const std::string none = "- error: empty connection";
    const std::string empty = "- error: empty subscription";
    const NATSSvcHeaders header = {{"H", "1"}};
    const std::vector<Outcome> unconnected = {
        {"publish", [&] { return pub.publish("s", "x", 1); }, NC, none},
        {"publish_string", [&] { return pub.publish_string("s", "x"); }, NC, none},
        {"publish", [&] { return pub.publish("s", "x", 1, header); }, NC, none},
        {"request", [&] { return req.request("s", "x", 1, msg); }, NC, none},
        {"request_string", [&] { return req.request_string("s", "x", msg); }, NC, none},
        {"reply", [&] { return rep.reply("s", msg); }, NC, none},
        {"flush", [&] { return sub.flush(100); }, NC, none},
        {"drain", [&] { return rep.drain(100); }, NC, none},
        {"subscribe_queue", [&] { return rep.subscribe_queue("s", "g"); }, NC, none},
        {"unsubscribe", [&] { return sub.unsubscribe("s"); }, STATUS_UNSUBSCRIBE,
         "- error subj-> s"},
        {"recv_sync", [&] { return rep.recv_sync("s", msg); }, STATUS_NO_SUBSCRIPTION, empty},
        {"init_subscription", [&] { return sub.init_subscription(param); }, STATUS_NO_SUBSCRIPTION,
         empty},
        {"show_stats", [&] { return sub.show_stats(7); }, STATUS_OK},  // writes nothing
        {"destroy", [&] { return req.destroy(); }, STATUS_OK, "- hello"},
    };
    check(unconnected);
    connect({&pub, &sub, &req, &rep});
    for (CNATSSvc* obj : std::initializer_list<CNATSSvc*>{&pub, &sub, &req, &rep}) obj->destroy();
    check(unconnected);
    EXPECT_TRUE(log.lines("show_stats").empty());
    connect({&pub, &sub, &req, &rep});
    NATSSvcMsg request;
    request.inbox = "inbox";
    check({
        {"recv", [&] { return sub.recv("s", msg); }, STATUS_OK, "- oops: terminate, subj-> s"},
        {"recv", [&] { return rep.recv("s", msg); }, STATUS_OK, "- oops: terminate, subj-> s"},
        {"flush", [&] { return sub.flush(0); }, STATUS_FLUSH,
         nats_error(NATS_INVALID_TIMEOUT) + " timeout=0 ms"},
        {"subscribe_sync", [&] { return sub.subscribe_sync("r.sync"); }, STATUS_OK},
        {"recv_sync", [&] { return sub.recv_sync("r.sync", msg); }, STATUS_NEXT_MSG,
         nats_error(NATS_TIMEOUT) + " subj-> r.sync"},
        {"subscribe_sync", [&] { return sub.subscribe_sync("r\r\n.x"); }, STATUS_SUBSCRIBE_SYNC,
         nats_error(NATS_INVALID_SUBJECT) + " subj-> r\\x0D\\x0A.x"},
        {"subscribe_sync_queue", [&] { return sub.subscribe_sync_queue("r.x", nullptr); },
         STATUS_SUBSCRIBE_SYNC, nats_error(NATS_INVALID_ARG) + " subj-> r.x, group-> "},
    });
    for (const char* s : {"r.2", "r.3", "r.4", "r.5"}) ASSERT_EQ(STATUS_OK, sub.subscribe_sync(s));
    ASSERT_EQ(NATS_OK, natsSubscription_Unsubscribe(sub.sub(4)));  // handle kept, now invalid
    check({
        {"init_subscription", [&] { return sub.init_subscription(param); }, STATUS_PENDING_LIMITS,
         nats_error(NATS_INVALID_SUBSCRIPTION) + " natsSubscription_SetPendingLimits()"},
        // Refused subjects are shown escaped; a refused inbox is reported alike.
        {"publish", [&] { return pub.publish("a\r\nPUB b 1", "x", 1); }, STATUS_PUBLISH,
         nats_error(NATS_INVALID_SUBJECT) + " subj-> a\\x0D\\x0APUB b 1, dataLen=1"},
        {"publish_string", [&] { return pub.publish_string("a b", "t"); }, STATUS_PUBLISH_STRING,
         nats_error(NATS_INVALID_SUBJECT) + " subj-> a b, str-> t"},
        {"request_string", [&] { return req.request_string("nobody", "t", msg); },
         STATUS_REQUEST_STRING, nats_error(NATS_NO_RESPONDERS) + " subj-> nobody, str-> t"},
        {"reply", [&] { return rep.reply("unheld", msg); }, STATUS_PUBLISH_STRING},  // no inbox
        // Answering needs no slot of the subject; the empty subject names a free slot, also
        // after an answer on a held one.
        {"reply", [&] { return rep.reply("unheld", request); }, STATUS_OK},
        {"subscribe_sync", [&] { return rep.subscribe_sync("held"); }, STATUS_OK},
        {"reply", [&] { return rep.reply("held", request); }, STATUS_OK},
        {"reply", [&] { return rep.reply("", request); }, STATUS_NO_SUBSCRIPTION, empty},
        {"get_last_error_stack", [&] { return sub.get_last_error_stack(); }, STATUS_OK},
    });
    // The client's error stack of this thread, behind a line break.
    EXPECT_EQ(0u, log.lines("get_last_error_stack").at(0).rfind("- \n", 0));

    // A server gone for good: both connection callbacks report the connection's last error.
    server.kill_hard();
    ASSERT_TRUE(vek_test::wait_until([&] { return log.lines("closed_callback").size() == 4; }));
    CNATSSvc::disconnected_callback_wrapper(sub.conn(), &sub);  // as libnats would call it
    const char* text = nullptr;
    const natsStatus lost = natsConnection_GetLastError(sub.conn(), &text);
    EXPECT_EQ(4u, count("closed_callback", nats_error(lost, text)));
    EXPECT_EQ(5u, count("disconnected_callback", nats_error(lost, text)));

    // Closed, the connection stays: publishing reports libnats' refusal, connect finds it made.
    ASSERT_TRUE(server.start());
    CNATSPublisher closed;
    ASSERT_EQ(STATUS_OK, closed.connect(server.url().c_str(), param));
    check({
        {"close", [&] { return closed.close(); }, STATUS_OK},
        {"publish", [&] { return closed.publish("s", "x", 1); }, STATUS_PUBLISH,
         nats_error(NATS_CONNECTION_CLOSED) + " subj-> s, dataLen=1"},
        {"connect", [&] { return closed.connect(server.url().c_str(), param); }, STATUS_OK},
    });
}

// Handed over as libnats' delivery threads would: recv takes the oldest record whatever its
// subject. A full queue, by count or by payload bytes, holds the delivery until recv has freed
// half of it. A status reported by a connection callback wakes a recv that waits and wins over
// queued records and over termination, the latest report being the one returned.
TEST(Queue, OldestFirstWithinItsBoundUntilAConnectionErrorIsReported) {
    ASSERT_EQ(NATS_OK, nats_Open(-1));
    const auto deliver = [](CNATSSubscriber& sub, const char* subject) {
        natsMsg* m = nullptr;
        ASSERT_EQ(NATS_OK, natsMsg_Create(&m, subject, "r.1", "ab\0cd", 5));
        CNATSSubscriber::onMsg_callback_wrapper(nullptr, nullptr, m, &sub);
    };
    NATSSvcMsg msg;
    CNATSReplier rep;
    // A replier's recv watches no slot: without slots it waits, until a connection callback
    // reports (a closed connection, say).
    auto idle = std::async(std::launch::async, [&] { return rep.recv("f.a", msg); });
    EXPECT_EQ(std::future_status::timeout, idle.wait_for(50ms));
    CNATSSvc::error_callback_wrapper(nullptr, nullptr, NATS_CONNECTION_CLOSED, &rep);
    EXPECT_EQ(std::future_status::ready, idle.wait_for(5s));
    rep.destroy();  // ends it all the same, had the report not
    EXPECT_EQ(connection_status(NATS_CONNECTION_CLOSED), idle.get());
    const struct {
        const char* name;
        int max_msgs, max_bytes;
        int held;  // deliveries taken before the next one waits
    } bounds[] = {{"2 messages", 2, 0, 2}, {"10 bytes", 0, 10, 2}, {"1 byte", 0, 1, 1}};
    const char* const subjects[] = {"f.a", "f.b", "f.c"};
    for (const auto& bound : bounds) {
        SCOPED_TRACE(bound.name);
        NATSSvcParam p;
        p.queue_max_msgs = bound.max_msgs;
        p.queue_max_bytes = bound.max_bytes;
        CNATSSubscriber sub;
        EXPECT_EQ(STATUS_OPTIONS_URL, sub.connect("", p));  // sets the bound all the same
        const int64_t before = nats_Now();
        for (int i = 0; i < bound.held; ++i) deliver(sub, subjects[i]);
        auto next = std::async(std::launch::async, [&] { deliver(sub, subjects[bound.held]); });
        EXPECT_EQ(std::future_status::timeout, next.wait_for(50ms));  // full
        EXPECT_EQ(5u, sub.recv("f.c", msg));
        EXPECT_EQ("f.a", msg.subject);
        EXPECT_LE(before, msg.recv_ts);
        EXPECT_EQ(std::future_status::ready, next.wait_for(5s));
        EXPECT_EQ(5u, sub.recv("f.c", msg));
        EXPECT_EQ("f.b", msg.subject);
        CNATSSvc::error_callback_wrapper(nullptr, nullptr, NATS_SLOW_CONSUMER, &sub);
        EXPECT_EQ(connection_status(NATS_SLOW_CONSUMER), sub.recv("f.c", msg));
        sub.error_callback(nullptr, nullptr, NATS_CONNECTION_CLOSED, nullptr);
        sub.destroy();
        EXPECT_EQ(connection_status(NATS_CONNECTION_CLOSED), sub.recv("f.c", msg));
        EXPECT_EQ(size_t(bound.held - 1), sub.queued());
    }
}

// The subscribe operations of both receiving roles, with their codes and records: five slots,
// then refusal. An unsubscribe frees the lower of two slots of one subject, which the next
// subscribe takes, and ends the recv waiting on that subject, not one waiting on another.
TEST_F(Core, FiveSlotsThenRefusalForEverySubscribeOperation) {
    connect({&sub, &rep});
    const std::string too_long(detail::MAX_SUBJECT_BYTES + 1, 'a');
    const char* tl = too_long.c_str();
    EXPECT_EQ(too_long.substr(1), detail::shown_subject(tl));  // records show at most the limit
    constexpr svc_status REFUSED = STATUS_SUBSCRIBE;
    constexpr svc_status REFUSED_SYNC = STATUS_SUBSCRIBE_SYNC;
    check({
        {"subscribe", [&] { return sub.subscribe("d", nullptr, nullptr); }, STATUS_OK,
         "- error: i= 0 subj-> d"},
        {"subscribe_queue", [&] { return sub.subscribe_queue("d", "g"); }, STATUS_OK,
         "- error: i= 1 subj-> d, group-> g"},
        {"subscribe_sync", [&] { return sub.subscribe_sync("s2"); }, STATUS_OK},
        {"subscribe_sync_queue", [&] { return sub.subscribe_sync_queue("s3", "g"); }, STATUS_OK},
        {"subscribe", [&] { return sub.subscribe("s4", nullptr, nullptr); }, STATUS_OK},
        {"subscribe_queue", [&] { return sub.subscribe_queue("s5", "g"); }, REFUSED,
         "- error: full size subj-> s5, group-> g"},
        {"subscribe_sync", [&] { return sub.subscribe_sync("s5"); }, REFUSED_SYNC,
         "- error: full size subj-> s5"},
        {"subscribe", [&] { return rep.subscribe("d", nullptr, nullptr); }, STATUS_OK,
         "subject_name = d"},
        {"subscribe_queue", [&] { return rep.subscribe_queue("d", "g"); }, STATUS_OK,
         "subject_name = d, group = g"},
        {"subscribe", [&] { return rep.subscribe(nullptr, nullptr, nullptr); }, REFUSED,
         nats_error(NATS_INVALID_SUBJECT) + " subj-> (null)"},
        {"subscribe_queue", [&] { return rep.subscribe_queue(tl, "g"); }, REFUSED},
        {"subscribe_sync", [&] { return rep.subscribe_sync(tl); }, REFUSED_SYNC},
        {"subscribe_sync_queue", [&] { return rep.subscribe_sync_queue(tl, "g"); }, REFUSED_SYNC},
    });
    // With all five slots taken, init_subscription lifts libnats' pending limits of each.
    ASSERT_EQ(STATUS_OK, sub.init_subscription(param));
    int max_msgs = 0;
    int max_bytes = 0;
    ASSERT_EQ(NATS_OK, natsSubscription_GetPendingLimits(sub.sub(4), &max_msgs, &max_bytes));
    EXPECT_EQ(-1, max_msgs);
    EXPECT_EQ(-1, max_bytes);
    NATSSvcMsg m;
    auto on_d = std::async(std::launch::async, [&] { return sub.recv("d", m); });
    auto on_s2 = std::async(std::launch::async, [&] { return sub.recv("s2", m); });
    std::this_thread::sleep_for(200ms);  // both wait by now, under a sanitizer too
    EXPECT_EQ(STATUS_UNSUBSCRIBE, sub.unsubscribe(nullptr));
    EXPECT_EQ(STATUS_OK, sub.unsubscribe("d"));
    EXPECT_EQ(std::future_status::ready, on_d.wait_for(5s));
    EXPECT_EQ(1u, count("recv", "- subject_name unsubscribe subj-> d"));
    EXPECT_EQ(std::future_status::timeout, on_s2.wait_for(50ms));  // it watches its own slot
    EXPECT_EQ(STATUS_OK, sub.unsubscribe("d"));                    // the second slot of "d"
    EXPECT_EQ(STATUS_UNSUBSCRIBE, sub.unsubscribe("d"));
    check({{"subscribe", [&] { return sub.subscribe("n", nullptr, nullptr); }, STATUS_OK,
            "- error: i= 0 subj-> n"}});  // the slot freed first
    // A drain reports the first subscription that libnats refuses to drain (one unsubscribed
    // behind the library's back), and ends the recv on "s2".
    ASSERT_EQ(NATS_OK, natsSubscription_Unsubscribe(sub.sub(4)));
    check({{"drain", [&] { return sub.drain(1000); }, STATUS_DRAIN,
            nats_error(NATS_INVALID_SUBSCRIPTION) + " timeout=1000 ms"}});
    EXPECT_EQ(std::future_status::ready, on_s2.wait_for(5s));
}

const char kPayload[] = {'a', 'b', '\0', 'c', 'd'};

// A handler of the caller's, given to subscribe, that answers every request with kPayload.
void answer(natsConnection* nc, natsSubscription*, natsMsg* msg, void*) {
    natsConnection_Publish(nc, natsMsg_GetReply(msg), kPayload, sizeof kPayload);
    natsMsg_Destroy(msg);
}

// Publish subjects are checked first: a refused one gives the operation's code, is not
// remembered, and nothing reaches a subscriber of everything. Each receive path gives the text
// up to a zero byte and the full length, and leaves to the caller what it does not fill. With
// tracing on, each role's constructor and destructor leave their record. show_stats then
// counts what arrived.
TEST_F(Core, HostileSubjectsAreRefusedAndEveryReceivePathDelivers) {
    connect({&pub, &sub, &req, &rep});
    ASSERT_EQ(STATUS_OK, rep.subscribe("echo", answer, nullptr));  // the caller's handler
    ASSERT_EQ(STATUS_OK, sub.subscribe_sync("p.ssync"));           // slot 0 is read like any other
    ASSERT_EQ(STATUS_OK, sub.subscribe(">", nullptr, nullptr));
    ASSERT_EQ(STATUS_OK, rep.subscribe("p.rep", nullptr, nullptr));
    ASSERT_EQ(STATUS_OK, rep.subscribe_sync("p.rsync"));
    ASSERT_EQ(STATUS_OK, sub.flush(5000));
    ASSERT_EQ(STATUS_OK, rep.flush(5000));
    NATSSvcMsg msg;
    const std::string too_long(detail::MAX_SUBJECT_BYTES + 1, 'a');
    // The long ones hold their fault where only the first, a middle or the last block of the
    // check's 16 bytes at a time sees it.
    for (const char* s :
         {"", " ", "foo bar", "a..b", ".a", "a.", "a\tb", "a\x7f", "a.*", "a.>", "*", "a>b",
          "a\r\nPUB b 1", "\tsubject.of.20.bytes",
          "twenty.four.bytes.before..the.second.dot.and.more.tokens",
          "only.the.last.block.sees.this.empty..token", too_long.c_str(), (const char*)nullptr})
        EXPECT_EQ(STATUS_PUBLISH, pub.publish(s, "x", 1)) << (s ? s : "null");
    EXPECT_EQ(STATUS_PUBLISH, pub.publish("ok", nullptr, 10));  // a payload that cannot be read
    EXPECT_EQ(STATUS_REQUEST, req.request("ok", "x", -5, msg));
    ASSERT_EQ(STATUS_OK, req.flush(5000));  // had anything been sent, ">" would queue it first

    const char* K = "keep";  // fields a path leaves to the caller
    const struct {
        const char* subject;  // sent to, or (requests) the start of the reply's subject
        std::function<svc_status()> take;
        const char* inbox;
        const char* reply_data;
    } paths[] = {
        {"p.sub", [&] { return sub.recv("p.sub", msg); }, "", ""},
        {"p.ssync", [&] { return sub.recv_sync("p.ssync", msg); }, K, K},
        {"p.rep", [&] { return rep.recv("p.rep", msg); }, "inbox.1", ""},
        {"p.rsync", [&] { return rep.recv_sync("p.rsync", msg); }, "inbox.1", K},
        {"_INBOX.", [&] { return req.request("echo", "q", 1, msg); }, K, K},
        {"_INBOX.", [&] { return req.request_string("echo", "q", msg); }, K, K},
    };
    log.set_trace(true);  // the replier's recv_sync traces what it took
    for (const auto& path : paths) {
        SCOPED_TRACE(path.subject);
        const bool request = path.subject[0] == '_';
        const int64_t before = nats_Now();
        if (!request) {
            ASSERT_EQ(NATS_OK, natsConnection_PublishRequest(pub.conn(), path.subject, "inbox.1",
                                                             kPayload, sizeof kPayload));
        }
        msg = NATSSvcMsg();  // what the path before filled must not pass for this one's
        msg.inbox = K;
        msg.reply_data = K;
        EXPECT_EQ(request ? 0u : 5u, path.take());
        EXPECT_EQ("ab", msg.data);
        EXPECT_EQ(5, msg.dataLen);
        EXPECT_LE(before, msg.recv_ts);
        EXPECT_EQ(0u, msg.subject.rfind(path.subject, 0)) << msg.subject;
        EXPECT_EQ(path.inbox, msg.inbox);
        EXPECT_EQ(path.reply_data, msg.reply_data);
    }
    {
        const CNATSPublisher p;
        const CNATSSubscriber s;
        const CNATSRequestor q;
        const CNATSReplier r;
        const CNATSStreamPublisher sp;
        const CNATSStreamConsumer sc;
    }
    for (const std::string role : {"CNATSPublisher", "CNATSSubscriber", "CNATSRequestor",
                                   "CNATSReplier", "CNATSStreamPublisher", "CNATSStreamConsumer"}) {
        EXPECT_EQ(log.lines(role), vek_test::Strings{""}) << role;
        EXPECT_EQ(log.lines("~" + role), vek_test::Strings{""}) << role;
    }
    log.set_trace(false);
    EXPECT_EQ(1u, log.count("Received msg  : p.rsync -> ab, recv_ts="));
    ASSERT_EQ(NATS_OK, natsSubscription_Unsubscribe(sub.sub(1)));  // none pending then
    ASSERT_EQ(STATUS_OK, sub.flush(5000));                         // all that ">" took has arrived
    EXPECT_EQ(STATUS_OK, sub.show_stats(1 | 4 | 8));  // no Out figures; higher bits ignored
    EXPECT_EQ(STATUS_OK, sub.show_stats(2));          // the Out figures alone
    EXPECT_EQ(log.lines("show_stats"),
              (vek_test::Strings{"- In Msgs    : 9          - In Bytes : 37         - ",
                                 "- Delivered  : 1          - ", "- Pending    : 0          - ",
                                 "- Dropped    : 0          - ", "- Reconnected: 0         \n",
                                 "- Out Msgs   : 0          - Out Bytes: 0          - ",
                                 "- Reconnected: 0         \n"}));
    // The subjects of the first five publishes (of no payload at all), with headers or without,
    // are remembered; a subject not among them is checked still.
    for (const char* s : {"a", "a", "b", "c", "d", "e"})
        EXPECT_EQ(STATUS_OK, *s == 'b' ? pub.publish(s, nullptr, 0, {{"H", "1"}})
                                       : pub.publish(s, nullptr, 0));
    EXPECT_EQ((vek_test::Strings{"a", "a", "b", "c", "d"}), pub.published());
    EXPECT_EQ(STATUS_PUBLISH, pub.publish("a b", "x", 1));
}

}  // namespace
