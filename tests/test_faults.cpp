// The roles under faults: a server killed, restarted or stopped, a cluster node killed, a
// subscriber that does not keep up, a member of a queue group killed in its own process.
#include <gtest/gtest.h>

#include <future>
#include <map>
#include <set>
#include <thread>

#include "support/harness.h"

using namespace vek_nats;
using namespace vek_test;

namespace {

// Runs op on a thread of its own, with a record of its own.
template <class Op>
std::future<svc_status> async(Op op) {
    return std::async(std::launch::async, [op] {
        NATSSvcMsg m;
        return op(m);
    });
}

bool connected(natsConnection* nc) {
    return natsConnection_Status(nc) == NATS_CONN_STATUS_CONNECTED;
}

// Publishes the next numbers, one a millisecond, until `done` holds (20 s at most); true when
// every publish succeeded.
bool publish_until(CNATSPublisher& pub, const char* subject, int& next,
                   std::function<bool()> done) {
    bool ok = true;
    for (int i = 0; i < 20000 && !done(); ++i, std::this_thread::sleep_for(1ms))
        ok &= pub.publish_string(subject, std::to_string(next++).c_str()) == STATUS_OK;
    return ok;
}

}  // namespace

// A killed server, with reconnection or without: synchronous reads and requests end with
// their failure codes, queue readers of a connection given up with the status the callbacks
// recorded, all bounded. Once the server is back on its port, the reconnected objects publish
// and receive again, and nothing published after the resubscription is lost.
TEST(ServerFault, KilledServerEndsEveryWaitingReaderAndARestartedOneServesAgain) {
    Watchdog dog(90s);
    for (const int max_reconnect : {0, 600}) {
        SCOPED_TRACE("max_reconnect " + std::to_string(max_reconnect));
        LogSandbox box;  // the objects log into it
        NatsServer server;
        ASSERT_TRUE(server.start());
        Peek<CNATSSubscriber> sub;
        Peek<CNATSReplier> rep;
        CNATSRequestor req;
        Peek<CNATSPublisher> pub;
        for (CNATSSvc* o : std::vector<CNATSSvc*>{&sub, &rep, &req, &pub})
            ASSERT_EQ(o->connect(server.url().c_str(), timeouts(1500, max_reconnect)), STATUS_OK);
        ASSERT_EQ(sub.subscribe("sf.q", 0, 0) | rep.subscribe("sf.q", 0, 0) |
                      sub.subscribe_sync("sf.msg") | rep.subscribe_sync("q") | rep.flush(5000),
                  STATUS_OK);
        std::vector<std::pair<std::future<svc_status>, svc_status>> ends;  // 0: connection status
        const auto wait = [&ends](svc_status want, auto op) { ends.emplace_back(async(op), want); };
        wait(STATUS_REQUEST_STRING, [&](NATSSvcMsg& r) { return req.request_string("q", "", r); });
        NATSSvcMsg m;
        ASSERT_EQ(rep.recv_sync("q", m), 0u);  // the request came, it is never answered
        wait(STATUS_NEXT_MSG, [&](NATSSvcMsg& r) { return sub.recv_sync("sf.msg", r); });
        wait(STATUS_NEXT_MSG, [&](NATSSvcMsg& r) { return rep.recv_sync("q", r); });
        for (int i = 0; i < 2 * (max_reconnect == 0); ++i) {  // reconnecting, no status is recorded
            wait(0, [&](NATSSvcMsg& r) { return sub.recv("sf.q", r); });
            wait(0, [&](NATSSvcMsg& r) { return rep.recv("sf.q", r); });
        }
        std::this_thread::sleep_for(20ms);
        server.kill_hard();
        for (auto& [end, want] : ends) {
            ASSERT_EQ(end.wait_for(4s), std::future_status::ready) << "still waiting: " << want;
            const svc_status r = end.get();
            EXPECT_TRUE(want ? r == want
                             : r > STATUS_CONNECTION_BASE && r < STATUS_CONNECTION_BASE + 256)
                << std::hex << r << " for " << want;
        }
        EXPECT_EQ(sub.recv_sync("sf.msg", m), STATUS_NEXT_MSG);
        EXPECT_EQ(req.request("q", "x", 1, m), STATUS_REQUEST);
        if (max_reconnect == 0) {  // the state stays raised: reads fail with the last status
            ASSERT_TRUE(sub.recorded() != NATS_OK && rep.recorded() != NATS_OK);
            EXPECT_EQ(sub.recv("sf.q", m), connection_status(sub.recorded()));
            EXPECT_EQ(rep.recv("sf.q", m), connection_status(rep.recorded()));
            continue;
        }
        int next = 0;  // publishing goes on while the server is away
        publish_until(pub, "sf.msg", next, [&] { return next > 100; });
        ASSERT_TRUE(server.start());
        publish_until(pub, "sf.msg", next,
                      [&] { return connected(pub.conn()) && connected(sub.conn()); });
        ASSERT_EQ(sub.flush(5000), STATUS_OK);  // the subscription is back on the server
        const int first = next;
        EXPECT_TRUE(publish_until(pub, "sf.msg", next, [&] { return next > first + 200; }));
        std::set<int> seen;  // what arrives before recv_sync waits in vain
        for (; sub.recv_sync("sf.msg", m) < STATUS_NO_TOKEN;) seen.insert(std::stoi(m.data));
        EXPECT_EQ(std::distance(seen.lower_bound(first), seen.end()), next - first);
    }
}

// A server that stops reading (SIGSTOP): a publish fails once the write deadline passes
// instead of blocking for good, and destroy() returns while other threads still publish or
// wait for a reply.
TEST(ServerFault, StoppedServerFailsPublishesAndLetsDestroyReturn) {
    Watchdog dog(90s);  // bounds the waits
    NatsServer server;
    ASSERT_TRUE(server.start());
    NATSSvcParam p = timeouts(30000);
    p.write_deadline = 500;
    CNATSPublisher pub;
    CNATSRequestor req;
    ASSERT_EQ(pub.connect(server.url().c_str(), p) | req.connect(server.url().c_str(), p), 0u);
    const auto publishing = [&pub, big = std::string(256 * 1024, 's')] {
        return async([&](NATSSvcMsg&) {
            svc_status r = STATUS_OK;
            for (int i = 0; i < 10000 && r == STATUS_OK; ++i)
                r = pub.publish("s", big.data(), 262144);
            return r;
        });
    };
    ASSERT_EQ(kill(server.pid(), SIGSTOP), 0);
    EXPECT_EQ(publishing().get(), STATUS_PUBLISH);
    auto blocked = publishing();
    auto asking = async([&req](NATSSvcMsg& m) { return req.request_string("s", "?", m); });
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(pub.destroy() | req.destroy(), STATUS_OK);
    const svc_status published = blocked.get();
    EXPECT_TRUE(published == STATUS_PUBLISH || published == STATUS_NO_CONNECTION) << published;
    EXPECT_EQ(asking.get(), STATUS_REQUEST_STRING);
    kill(server.pid(), SIGCONT);  // else stopping it waits for SIGKILL
}

// A subscriber whose queue delivery stalls (a bound of one message) while a flood waits in
// libnats, then goes on when connect lifts the bound. With the pending limits removed nothing
// is lost and all arrives in order through a small byte bound; with limits the overflow is
// dropped, counted (dropped + kept = sent) and raises the connection error.
TEST(SlowConsumer, PendingLimitsDecideWhatAStalledSubscriberKeeps) {
    Watchdog dog(120s);
    LogSandbox box;
    NatsServer server;
    ASSERT_TRUE(server.start());
    const long sent = 40000 / VEK_FAULT_SLOWDOWN, FIRST = 10000000;
    const auto figure = [&box](const std::string& label) {  // of the last show_stats
        long value = -1;
        for (const std::string& l : box.lines("show_stats"))
            if (l.rfind("- " + label, 0) == 0) value = std::stol(l.substr(15));
        return value;
    };
    for (const bool unlimited : {true, false}) {
        SCOPED_TRACE(unlimited ? "limits removed" : "limits kept");
        Peek<CNATSSubscriber> sub;
        CNATSPublisher pub;
        NATSSvcParam p;
        p.queue_max_msgs = 1;
        ASSERT_EQ(sub.connect(server.url().c_str(), p) | pub.connect(server.url().c_str(), p), 0u);
        for (int i = 0; i < CNATSSvc::SLOT_COUNT; ++i)  // show_stats reports the last slot
            ASSERT_EQ(sub.subscribe(i < 4 ? "sc.quiet" : "sc.flood", 0, 0), STATUS_OK);
        ASSERT_EQ(unlimited
                      ? sub.init_subscription(p)
                      : svc_status(natsSubscription_SetPendingLimits(sub.sub(4), 1000, 1 << 20)),
                  STATUS_OK);
        ASSERT_EQ(sub.flush(5000), STATUS_OK);
        for (long i = 0; i < sent; ++i)  // eight bytes each
            ASSERT_EQ(pub.publish_string("sc.flood", std::to_string(FIRST + i).c_str()), STATUS_OK);
        ASSERT_EQ(pub.flush(30000), STATUS_OK);
        p.queue_max_msgs = 0, p.queue_max_bytes = unlimited ? 1024 : 0;
        ASSERT_EQ(sub.connect(server.url().c_str(), p), STATUS_OK);  // lets the delivery go on
        NATSSvcMsg m;
        for (long i = 0; unlimited && i < sent; ++i) {
            ASSERT_EQ(sub.recv("sc.flood", m), 8u) << "message " << i;
            ASSERT_EQ(std::stol(m.data), FIRST + i);
        }
        int pending = -1;  // libnats accounts for every message, the queue holds what it delivered
        int64_t delivered = -1, dropped = -1;
        ASSERT_TRUE(wait_until([&] {
            natsSubscription_GetStats(sub.sub(4), &pending, 0, 0, 0, &delivered, &dropped);
            return pending == 0 && delivered + dropped == sent &&
                   delivered == long(sub.queued()) + (unlimited ? sent : 0);
        }));
        EXPECT_EQ(sub.recorded(), unlimited ? NATS_OK : NATS_SLOW_CONSUMER);
        const long kept = static_cast<long>(sub.queued());
        EXPECT_EQ(sub.show_stats(4), STATUS_OK);
        EXPECT_EQ(figure("Dropped") + kept, unlimited ? 0 : sent);
        EXPECT_EQ(figure("Delivered"), unlimited ? sent : kept);
        for (int i = 0; i < 2 && !unlimited; ++i)  // the raised state wins over the queue
            EXPECT_EQ(sub.recv("sc.flood", m), connection_status(NATS_SLOW_CONSUMER));
        EXPECT_EQ(static_cast<long>(sub.queued()), kept);
    }
}

// Three example repliers, one per cluster node, share the requests of a queue group; one is
// killed while requests are in flight: only what was on its way to it is lost, and the others
// answer all that is sent once the nodes dropped it. Then the node of the requestor dies: it
// fails over to another node of its URL list, and the members left answer.
TEST(QueueGroupProcesses, RepliersOnThreeNodesOutliveAKilledMember) {
    Watchdog dog(180s);
    LogSandbox box;  // the children log into it too
    NatsCluster cluster;
    ASSERT_TRUE(cluster.start());
    std::vector<std::unique_ptr<Process>> members;
    std::map<std::string, int> by_tail;  // the member an answer names at its end
    for (int i = 0; i < 3; ++i) {
        members.push_back(std::make_unique<Process>(
            Strings{EXAMPLE_DIR "/replier", cluster.node(i).url(), "qg", "0", "group"}));
        ASSERT_TRUE(members[i]->wait_output("ready", 20s)) << members[i]->err();
        by_tail[" (replier " + std::to_string(members[i]->pid()) + ")"] = i;
    }
    Peek<CNATSRequestor> req;
    ASSERT_EQ(req.connect(cluster.all_urls().c_str(), timeouts(3000, 60)), STATUS_OK);
    const auto ask = [&](const std::string& text) {  // who answered: 3 a wrong answer, 4 none
        NATSSvcMsg a;
        if (req.request_string("qg", text.c_str(), a) != STATUS_OK) return 4;
        const std::string head = "echo: " + text;
        const auto it = by_tail.find(a.data.substr(std::min(head.size(), a.data.size())));
        return a.data.rfind(head, 0) == 0 && it != by_tail.end() ? it->second : 3;
    };
    std::set<int> heard{4};  // routes and interest spread in the background: ask until all answer
    for (int k = 0; k < 500 && heard.size() < 4; ++k) heard.insert(ask("warm"));
    ASSERT_EQ(heard, (std::set<int>{0, 1, 2, 4}));
    const int room = std::max(1200, 6000 / VEK_FAULT_SLOWDOWN);
    std::vector<int> by(room, 4);  // the member that answered; 3 a wrong answer, 4 none
    std::atomic<int> next{0}, limit{room};
    std::vector<std::thread> threads;  // four threads share the connection
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int seq = next++; seq < limit; seq = next++) by[seq] = ask(std::to_string(seq));
        });
    }
    const bool midway = wait_until([&] { return next >= room / 6; }, 60s);
    members[2]->signal(SIGKILL);
    std::this_thread::sleep_for(250ms);  // the nodes drop it once they see its connection close
    const int after_drop = next;
    limit = std::min(room, after_drop + room / 6);
    for (std::thread& t : threads) t.join();
    ASSERT_TRUE(midway);
    int lost = 0;
    for (int seq = 0; seq < limit; ++seq) {
        lost += by[seq] == 4;
        EXPECT_TRUE(by[seq] < 2 || (by[seq] != 3 && seq < after_drop)) << seq << ": " << by[seq];
    }
    EXPECT_LE(lost, 4);  // one request in flight per thread at most
    EXPECT_GT(limit - after_drop, 0);
    char url[256] = {};
    natsConnection_GetConnectedUrl(req.conn(), url, sizeof(url));
    int was = 0;
    while (was < NatsCluster::NODES && cluster.node(was).url() != url) ++was;
    ASSERT_LT(was, NatsCluster::NODES) << url;
    cluster.node(was).kill_hard();
    int who = 4;
    ASSERT_TRUE(wait_until([&] { return (who = ask("again")) != 4; }, 60s));
    EXPECT_LT(who, 2);
}
