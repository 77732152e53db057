// The roles under faults: a server killed and restarted, a subscriber that does not keep up, a
// server that stops reading.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include <future>
#include <set>
#include <thread>

#include "support/harness.h"

using namespace vek_nats;
using namespace vek_test;
using Call = std::function<svc_status(NATSSvcMsg&)>;

namespace {

// Runs the call on a thread of its own, with a record of its own.
std::future<svc_status> waiting(Call call) {
    return std::async(std::launch::async, [call] {
        NATSSvcMsg m;
        return call(m);
    });
}

// Publishes the next numbers, one a millisecond, until `done` holds (20 s at most); true when
// every publish succeeded.
bool publish_until(CNATSPublisher& pub, int& next, const std::function<bool()>& done) {
    bool ok = true;
    for (int i = 0; i < 20000 && !done(); ++i) {
        ok = pub.publish_string("sf.msg", std::to_string(next++).c_str()) == STATUS_OK && ok;
        std::this_thread::sleep_for(1ms);
    }
    return ok;
}

}  // namespace

// Calls that wait when the server is killed end with their failure codes when their own
// time-outs run out (1.5 s), and so do the same calls made while it is away; publishing goes on
// meanwhile. Once the server is back on its port, nothing published after the resubscription
// is lost. The caller is told disconnected, then reconnected; after destroy() returned, nothing
// more. (A queue reader that a closed connection wakes is test_core's Queue.)
TEST(ServerFault, KilledServerEndsEveryWaitingCallAndARestartedOneServesAgain) {
    Watchdog dog(90s);
    LogSandbox box;  // the objects log into it
    NatsServer server;
    ASSERT_TRUE(server.start());
    Peek<CNATSSubscriber> sub;
    CNATSReplier rep;
    CNATSRequestor req;
    Peek<CNATSPublisher> pub;
    std::mutex mutex;
    std::vector<conn_event> events;
    NATSSvcParam p = timeouts(1500, 600);
    for (CNATSSvc* o : std::vector<CNATSSvc*>{&rep, &req, &pub})
        ASSERT_EQ(o->connect(server.url().c_str(), p), STATUS_OK);
    p.on_event = [&](conn_event e, svc_status) {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(e);
    };
    const auto told = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return events;
    };
    ASSERT_EQ(sub.connect(server.url().c_str(), p), STATUS_OK);
    ASSERT_EQ(sub.subscribe_sync("sf.msg"), STATUS_OK);
    ASSERT_EQ(rep.subscribe_sync("sf.req"), STATUS_OK);  // takes the requests, answers none
    ASSERT_EQ(rep.flush(5000), STATUS_OK);
    const struct {
        const char* name;
        Call call;
        svc_status ends_with;
    } calls[] = {
        {"request_string", [&](NATSSvcMsg& m) { return req.request_string("sf.req", "", m); },
         STATUS_REQUEST_STRING},
        {"recv_sync", [&](NATSSvcMsg& m) { return sub.recv_sync("sf.msg", m); }, STATUS_NEXT_MSG},
    };
    std::vector<std::future<svc_status>> ends;
    for (const auto& c : calls) ends.push_back(waiting(c.call));
    std::this_thread::sleep_for(20ms);
    server.kill_hard();
    for (size_t i = 0; i < ends.size(); ++i) {
        ASSERT_EQ(ends[i].wait_for(4s), std::future_status::ready) << calls[i].name;
        EXPECT_EQ(ends[i].get(), calls[i].ends_with) << calls[i].name;
        EXPECT_EQ(waiting(calls[i].call).get(), calls[i].ends_with) << calls[i].name;
    }
    int next = 0;  // publishing goes on while the server is away
    EXPECT_TRUE(publish_until(pub, next, [&] { return next > 100; }));
    ASSERT_TRUE(server.start());
    const auto connected = [](natsConnection* nc) {
        return natsConnection_Status(nc) == NATS_CONN_STATUS_CONNECTED;
    };
    publish_until(pub, next, [&] { return connected(pub.conn()) && connected(sub.conn()); });
    ASSERT_EQ(sub.flush(5000), STATUS_OK);  // the subscription is back on the server
    const int first = next;
    EXPECT_TRUE(publish_until(pub, next, [&] { return next > first + 200; }));
    std::set<int> seen;  // what arrives before recv_sync waits in vain
    for (NATSSvcMsg m; sub.recv_sync("sf.msg", m) < STATUS_NO_TOKEN;) {
        seen.insert(std::stoi(m.data));
    }
    EXPECT_EQ(std::distance(seen.lower_bound(first), seen.end()), next - first);
    EXPECT_EQ(told(), (std::vector<conn_event>{conn_event::disconnected, conn_event::reconnected}));
    sub.destroy();
    const size_t after_destroy = told().size();
    server.stop();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(told().size(), after_destroy);
}

// A subscriber whose queue delivery stalls (a bound of one message) while a flood waits in
// libnats: with low pending limits the overflow is dropped and counted, and libnats' report of
// it reaches the object (that the recorded state wins over queued messages is test_core's
// Queue; that init_subscription lifts the limits, its FiveSlots).
TEST(SlowConsumer, AStalledSubscriberHearsOfWhatLibnatsDropped) {
    Watchdog dog(120s);
    NatsServer server;
    ASSERT_TRUE(server.start());
    Peek<CNATSSubscriber> sub;
    CNATSPublisher pub;
    NATSSvcParam p;
    p.queue_max_msgs = 1;
    ASSERT_EQ(sub.connect(server.url().c_str(), p), STATUS_OK);
    ASSERT_EQ(pub.connect(server.url().c_str(), p), STATUS_OK);
    ASSERT_EQ(sub.subscribe("sc.flood", nullptr, nullptr), STATUS_OK);
    ASSERT_EQ(natsSubscription_SetPendingLimits(sub.sub(0), 100, 1 << 20), NATS_OK);
    ASSERT_EQ(sub.flush(5000), STATUS_OK);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(pub.publish_string("sc.flood", "flood"), STATUS_OK);
    ASSERT_EQ(pub.flush(30000), STATUS_OK);
    int64_t dropped = 0;
    EXPECT_TRUE(wait_until([&] {
        natsSubscription_GetStats(sub.sub(0), nullptr, nullptr, nullptr, nullptr, nullptr,
                                  &dropped);
        return dropped > 0;
    }));
    // libnats reports the drops on a thread of its own, maybe after its counts show them.
    EXPECT_TRUE(wait_until([&] { return sub.recorded() == NATS_SLOW_CONSUMER; })) << sub.recorded();
}

// The write deadline as the library applies it: the connection's socket stays blocking for
// libnats' reads while its sends time out at the deadline, and a publisher of a server that
// stopped reading (SIGSTOP) still fails and lets destroy() return, even where libnats' flusher
// (send_asap false) is the one that writes, holding the connection while it waits.
TEST(WriteDeadline, TheSocketBlocksAndAStoppedServerFailsBatchedPublishesAndDestroyReturns) {
    NatsServer server;
    ASSERT_TRUE(server.start());
    NATSSvcParam p = timeouts(30000);
    p.write_deadline = 1500;  // seconds and milliseconds both
    p.send_asap = false;
    CNATSPublisher pub;
    ASSERT_EQ(pub.connect(server.url().c_str(), p), STATUS_OK);
    int fd = 0;  // the socket of this process connected to the server
    for (sockaddr_in peer{}; fd < 1024; ++fd) {
        socklen_t len = sizeof peer;
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0 &&
            peer.sin_family == AF_INET && ntohs(peer.sin_port) == server.port())
            break;
    }
    ASSERT_LT(fd, 1024);
    timeval bound{};
    socklen_t bound_len = sizeof bound;
    ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, &bound_len), 0);
    EXPECT_EQ(long(bound.tv_sec) * 1000 + long(bound.tv_usec) / 1000, 1500);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    const auto publishing = [&pub, kib = std::string(1024, 'w')] {
        svc_status r = STATUS_OK;
        for (int i = 0; i < 1000000 && r == STATUS_OK; ++i) r = pub.publish("s", kib.data(), 1024);
        return r;
    };
    ASSERT_EQ(kill(server.pid(), SIGSTOP), 0);
    EXPECT_EQ(publishing(), STATUS_PUBLISH);
    auto blocked = std::async(std::launch::async, publishing);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(pub.destroy(), STATUS_OK);
    EXPECT_NE(blocked.get(), STATUS_OK);  // failed at the deadline, or found the object gone
    server.kill_hard();                   // stopped, it would take SIGTERM only when continued
}
