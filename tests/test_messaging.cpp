// Messages through the four roles: what each receive path hands out, the queue, requests and
// replies, queue groups and the caller's own handlers.
#include <algorithm>
#include <atomic>
#include <map>
#include <set>
#include <thread>

#include "core_fixture.h"
#include "internal/subject.h"

namespace core_test {
namespace {

using Messaging = Core;

const char kPayload[] = {'a', 'b', '\0', 'c', 'd'};

// A responder of plain libnats that answers every request with kPayload.
void answer(natsConnection* nc, natsSubscription*, natsMsg* msg, void*) {
    natsConnection_Publish(nc, natsMsg_GetReply(msg), kPayload, sizeof kPayload);
    natsMsg_Destroy(msg);
}

TEST_F(Messaging, EveryReceivePathGivesTextUpToTheZeroByteAndTheFullLength) {
    Peek<CNATSPublisher> pub;
    CNATSSubscriber sub;
    CNATSReplier rep;
    CNATSRequestor req;
    connect({&pub, &sub, &rep, &req});
    natsSubscription* echo = nullptr;
    ASSERT_EQ(NATS_OK, natsConnection_Subscribe(&echo, pub.conn(), "echo", answer, nullptr));
    ASSERT_EQ(STATUS_OK, sub.subscribe("p.sub", nullptr, nullptr) + sub.subscribe_sync("p.ssync") +
                             rep.subscribe("p.rep", nullptr, nullptr) +
                             rep.subscribe_sync("p.rsync"));
    for (CNATSSvc* svc : std::initializer_list<CNATSSvc*>{&pub, &sub, &rep}) svc->flush(5000);
    using Take = std::function<svc_status(NATSSvcMsg&)>;
    const struct {
        const char* subject;  // sent to, or (requests) the start of the reply's subject
        svc_status result;
        Take take;
        const char *inbox, *reply_data;
    } paths[] = {
        {"p.sub", 5, [&](NATSSvcMsg& m) { return sub.recv("p.sub", m); }, "", ""},
        {"p.ssync", 5, [&](NATSSvcMsg& m) { return sub.recv_sync("p.ssync", m); }, "keep", "keep"},
        {"p.rep", 5, [&](NATSSvcMsg& m) { return rep.recv("p.rep", m); }, "inbox.1", ""},
        {"p.rsync", 5, [&](NATSSvcMsg& m) { return rep.recv_sync("p.rsync", m); }, "inbox.1",
         "keep"},
        {"_INBOX.", 0, [&](NATSSvcMsg& m) { return req.request("echo", "q", 1, m); }, "keep",
         "keep"},
        {"_INBOX.", 0, [&](NATSSvcMsg& m) { return req.request_string("echo", "q", m); }, "keep",
         "keep"},
    };
    for (const auto& path : paths) {
        SCOPED_TRACE(path.subject);
        const int64_t before = nats_Now();
        if (path.result != 0) {
            ASSERT_EQ(NATS_OK, natsConnection_PublishRequest(pub.conn(), path.subject, "inbox.1",
                                                             kPayload, sizeof kPayload));
        }
        NATSSvcMsg msg;
        msg.subject = msg.data = "old";
        msg.inbox = msg.reply_data = "keep";
        EXPECT_EQ(path.result, path.take(msg));
        EXPECT_EQ("ab", msg.data);
        EXPECT_EQ(5, msg.dataLen);
        EXPECT_EQ(0u, msg.subject.rfind(path.subject, 0)) << msg.subject;
        EXPECT_GE(msg.recv_ts, before);
        EXPECT_LE(msg.recv_ts, nats_Now());
        EXPECT_EQ(path.inbox, msg.inbox);
        EXPECT_EQ(path.reply_data, msg.reply_data);
    }
    natsSubscription_Destroy(echo);
}

// Every subject that goes on the wire is checked first: a refused one gives the operation's
// code, is not remembered, and nothing reaches a subscriber of everything.
TEST_F(Messaging, HostileSubjectsAreRefusedAndNothingIsSent) {
    param.request_timeout = 300;
    CNATSSubscriber all;
    Peek<CNATSPublisher> pub;
    CNATSRequestor req;
    CNATSReplier rep;
    connect({&all, &pub, &req, &rep});
    ASSERT_EQ(STATUS_OK, all.subscribe(">", nullptr, nullptr));
    ASSERT_EQ(STATUS_OK, all.flush(5000));
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
    for (const auto& op : ops) {
        for (const char* s : hostile) EXPECT_EQ(op.code, op.call(s)) << (s ? s : "null");
    }
    // A payload that cannot be read is refused as well.
    EXPECT_EQ(STATUS_PUBLISH, pub.publish("ok", nullptr, 10));
    EXPECT_EQ(STATUS_PUBLISH, pub.publish("ok", "x", -5));
    EXPECT_EQ(STATUS_REQUEST, req.request("ok", nullptr, 5, reply));
    EXPECT_EQ(STATUS_REQUEST, req.request("ok", "x", -5, reply));
    EXPECT_EQ(std::vector<std::string>(5), pub.published());

    // One marker from each sender, after the refusals on the same connections.
    EXPECT_EQ(STATUS_OK, pub.publish_string("marker.pub", "m"));
    EXPECT_EQ(STATUS_REQUEST_STRING, req.request_string("marker.req", "m", reply));
    request.inbox = "marker.rep";
    EXPECT_EQ(STATUS_OK, rep.reply("svc", request));
    ASSERT_TRUE(queued(all, 3));
    std::set<std::string> arrived;
    for (NATSSvcMsg msg; all.queued() > 0; arrived.insert(msg.subject)) all.recv(">", msg);
    EXPECT_EQ((std::set<std::string>{"marker.pub", "marker.req", "marker.rep"}), arrived);
    EXPECT_EQ(0, reply.dataLen);  // no answer ever came

    // The subjects of the first five publishes are remembered.
    for (const char* s : {"a", "a", "b", "c", "d"}) EXPECT_EQ(STATUS_OK, pub.publish(s, "x", 1));
    EXPECT_EQ((std::vector<std::string>{"marker.pub", "a", "a", "b", "c"}), pub.published());
}

// With the reader idle the queue stops at its bound, by count or by payload bytes; the rest
// waits in the client and arrives, in order, as recv makes room.
TEST_F(Messaging, QueueStopsAtItsBoundAndLosesNothing) {
    for (const bool by_bytes : {false, true}) {  // one-byte payloads: ten records either way
        SCOPED_TRACE(by_bytes ? "bytes" : "messages");
        param.queue_max_msgs = by_bytes ? 0 : 10;
        param.queue_max_bytes = by_bytes ? 10 : 0;
        CNATSSubscriber sub;
        CNATSPublisher pub;
        connect({&sub, &pub});
        ASSERT_EQ(STATUS_OK, sub.subscribe("bound", nullptr, nullptr));
        ASSERT_EQ(STATUS_OK, sub.flush(5000));
        for (int i = 0; i < 100; ++i) pub.publish_string("bound", std::to_string(i % 10).c_str());
        ASSERT_EQ(STATUS_OK, pub.flush(5000));
        ASSERT_TRUE(queued(sub, 10));
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(10u, sub.queued());
        for (int i = 0; i < 100; ++i) {
            // recv has no time-out: it is called only once something waits.
            ASSERT_TRUE(vek_test::wait_until([&] { return sub.queued() > 0; }, 5s)) << i;
            NATSSvcMsg msg;
            ASSERT_EQ(1u, sub.recv("bound", msg));
            ASSERT_EQ(std::to_string(i % 10), msg.data);
        }
    }
}

// Delivered by hand, as libnats' delivery threads would: recv takes the oldest record whatever
// its subject; a status reported by a connection callback then wins over queued records and
// over termination, the latest report being the one returned.
TEST(Queue, OldestRecordFirstUntilAConnectionErrorIsReported) {
    const auto check = [](auto& r, const char* inbox) {
        for (const char* s : {"f.a", "f.b", "f.a", "kept"}) deliver(r, s, s, "r.1");
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
TEST_F(Messaging, RecvEndsOnTheUnsubscribeOfItsOwnSubject) {
    vek_test::Watchdog dog(60s);
    CNATSSubscriber sub;
    connect(sub);
    ASSERT_EQ(STATUS_OK,
              sub.subscribe("w.a", nullptr, nullptr) + sub.subscribe("w.b", nullptr, nullptr));
    NATSSvcMsg ma, mb;
    ma.data = "untouched";
    auto a = start([&] { return sub.recv("w.a", ma); });
    EXPECT_FALSE(done(a, 100ms));
    auto b = start([&] { return sub.recv("w.b", mb); });
    EXPECT_FALSE(done(b, 100ms));
    ASSERT_EQ(STATUS_OK, sub.unsubscribe("w.a"));
    ASSERT_TRUE(done(a));
    EXPECT_EQ(0u, a.get());
    EXPECT_EQ("untouched", ma.data);
    EXPECT_FALSE(done(b, 100ms));
    ASSERT_EQ(STATUS_OK, sub.unsubscribe("w.b"));
    ASSERT_TRUE(done(b));
    EXPECT_EQ(0u, b.get());
    // The freed slot stays watched, leaving queued records alone, until a subject takes it.
    deliver(sub, "other", "x");
    EXPECT_EQ(0u, sub.recv("w.a", ma));
    EXPECT_EQ(1u, sub.queued());
    ASSERT_EQ(STATUS_OK,
              sub.subscribe("w.c", nullptr, nullptr) + sub.subscribe("w.d", nullptr, nullptr));
    EXPECT_EQ(1u, sub.recv("w.a", ma));
    EXPECT_EQ("other", ma.subject);
}

TEST_F(Messaging, RequestAndReply) {
    param.request_timeout = 300;
    CNATSRequestor req;
    CNATSReplier rep;
    connect({&req, &rep});
    ASSERT_EQ(STATUS_OK, rep.subscribe("svc", nullptr, nullptr) + rep.subscribe_sync("svc.sync") +
                             rep.subscribe_sync("silent") + rep.flush(5000));
    NATSSvcMsg reply;
    reply.data = "keep";
    for (const char* subject : {"nobody", "silent"}) {  // no responders, then a time-out
        EXPECT_EQ(STATUS_REQUEST, req.request(subject, "x", 1, reply)) << subject;
        EXPECT_EQ(STATUS_REQUEST_STRING, req.request_string(subject, "x", reply)) << subject;
    }
    EXPECT_EQ("keep", reply.data);

    vek_test::Watchdog dog(60s);  // recv has no time-out
    NATSSvcMsg msg;
    const struct {
        const char* subject;
        std::function<svc_status()> take;
    } ways[] = {{"svc", [&] { return rep.recv("svc", msg); }},
                {"svc.sync", [&] { return rep.recv_sync("svc.sync", msg); }}};
    for (const auto& [subject, take] : ways) {
        auto asked = start([&] { return req.request_string(subject, "question", reply); });
        ASSERT_EQ(8u, take());
        msg.reply_data = std::string("re: ") + subject;
        EXPECT_EQ(STATUS_OK, rep.reply(subject, msg));
        ASSERT_TRUE(done(asked));
        EXPECT_EQ(STATUS_OK, asked.get());
        EXPECT_EQ(msg.reply_data, reply.data);
    }
    // Answering needs no slot of the subject; the empty subject names a free slot, which holds
    // no subscription.
    EXPECT_EQ(STATUS_OK, rep.reply("unheld", msg));
    EXPECT_EQ(STATUS_NO_SUBSCRIPTION, rep.reply("", msg));

    // destroy on another thread ends a request that waits for its answer.
    param.request_timeout = 60000;
    CNATSRequestor slow;
    connect(slow);
    auto asked = start([&] { return slow.request("silent", "x", 1, reply); });
    EXPECT_FALSE(done(asked, 200ms));
    EXPECT_EQ(STATUS_OK, slow.destroy());
    ASSERT_TRUE(done(asked));
    EXPECT_EQ(STATUS_REQUEST, asked.get());
}

// Queue-based and synchronous members: each group gets every message once, a plain member
// gets them all.
TEST_F(Messaging, QueueGroupsShareEachMessageOnce) {
    constexpr int N = 2000;
    param.recv_timeout = 100;
    const struct {
        bool sync;
        const char* group;
    } members[] = {{false, "g1"}, {false, "g1"}, {true, "g1"},
                   {true, "g2"},  {false, "g2"}, {false, ""}};
    std::vector<std::unique_ptr<CNATSSubscriber>> subs;
    std::map<std::string, std::vector<int>> hits;  // per group, per sequence number
    for (const auto& m : members) {
        subs.push_back(std::make_unique<CNATSSubscriber>());
        connect(*subs.back());
        const bool plain = *m.group == '\0';
        ASSERT_EQ(STATUS_OK, plain    ? subs.back()->subscribe("work", nullptr, nullptr)
                             : m.sync ? subs.back()->subscribe_sync_queue("work", m.group)
                                      : subs.back()->subscribe_queue("work", m.group));
        ASSERT_EQ(STATUS_OK, subs.back()->flush(5000));
        hits[m.group].assign(N, 0);
    }
    CNATSPublisher pub;
    connect(pub);
    for (int seq = 0; seq < N; ++seq) pub.publish_string("work", std::to_string(seq).c_str());
    ASSERT_EQ(STATUS_OK, pub.flush(5000));
    for (size_t i = 0; i < subs.size(); ++i) {
        CNATSSubscriber& sub = *subs[i];
        ASSERT_EQ(STATUS_OK, sub.flush(5000));  // everything sent to it has been read
        for (NATSSvcMsg msg;;) {
            if (!members[i].sync && !vek_test::wait_until([&] { return sub.queued() > 0; }, 200ms))
                break;
            const svc_status s =
                members[i].sync ? sub.recv_sync("work", msg) : sub.recv("work", msg);
            if (s == STATUS_NEXT_MSG) break;
            ASSERT_LT(s, 5u);
            ++hits[members[i].group].at(std::stoul(msg.data));
        }
    }
    for (const auto& [group, counts] : hits) {
        EXPECT_EQ(N, std::count(counts.begin(), counts.end(), 1)) << "group " << group;
    }
}

// A handler of the caller's takes its subscription's messages, which never reach the queue;
// without one the library queues them.
TEST_F(Messaging, CallerHandlerTakesMessagesTheQueueNeverSees) {
    CNATSPublisher pub;
    connect(pub);
    const natsMsgHandler count_and_free = [](natsConnection*, natsSubscription*, natsMsg* m,
                                             void* closure) {
        ++*static_cast<std::atomic<int>*>(closure);
        natsMsg_Destroy(m);
    };
    const auto check = [&](auto& r, bool group) {
        std::atomic<int> handled{0};
        const auto join = [&](const char* subject, natsMsgHandler cb) {
            return group ? r.subscribe_queue(subject, "g", cb, &handled)
                         : r.subscribe(subject, cb, &handled);
        };
        connect(r);
        ASSERT_EQ(STATUS_OK,
                  join("h.own", count_and_free) + join("h.lib", nullptr) + r.flush(5000));
        for (const char* subject : {"h.own", "h.own", "h.own", "h.lib"})
            pub.publish_string(subject, subject);
        EXPECT_TRUE(vek_test::wait_until([&] { return handled == 3 && r.queued() == 1; }, 5s));
        NATSSvcMsg msg;
        EXPECT_EQ(5u, r.recv("h.own", msg));
        EXPECT_EQ("h.lib", msg.subject);
        r.destroy();  // no delivery may reach `handled` after this scope
    };
    for (const bool group : {false, true}) {
        SCOPED_TRACE(group ? "subscribe_queue" : "subscribe");
        CNATSSubscriber sub;
        check(sub, group);
        CNATSReplier rep;
        check(rep, group);
    }
}

}  // namespace
}  // namespace core_test
