// The write deadline as the library applies it: the connection's socket stays blocking for
// libnats' reads while its sends time out at the deadline, and a publisher of a server that
// stopped reading (SIGSTOP) still fails and lets destroy() return, even where libnats' flusher
// (send_asap false) is the one that writes, holding the connection while it waits.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include <future>
#include <thread>

#include "support/harness.h"

using namespace vek_nats;
using namespace vek_test;

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

// A request that recv_sync takes while a drain waits for the subscription to empty is answered
// before the drain closes the connection. Its payload is large, so that copying it into the
// caller's record outlasts a drain that does not yet count it as taken.
TEST(DrainWindow, ARequestTakenByRecvSyncIsAnsweredBeforeTheDrainCloses) {
    NatsServer server;
    ASSERT_TRUE(server.start());
    CNATSRequestor req;
    ASSERT_EQ(req.connect(server.url().c_str(), timeouts(2000)), STATUS_OK);
    CNATSSubscriber watcher;  // sees each request when the server sends it on
    ASSERT_EQ(watcher.connect(server.url().c_str(), timeouts(5000)), STATUS_OK);
    ASSERT_EQ(watcher.subscribe_sync("dw"), STATUS_OK);
    ASSERT_EQ(watcher.flush(5000), STATUS_OK);
    const std::string big(900 * 1024, 'r');
    int lost = 0;
    for (int round = 0; round < 5; ++round) {
        CNATSReplier rep;
        ASSERT_EQ(rep.connect(server.url().c_str(), timeouts(5000)), STATUS_OK);
        ASSERT_EQ(rep.subscribe_sync("dw"), STATUS_OK);
        ASSERT_EQ(rep.flush(5000), STATUS_OK);
        auto asking = std::async(std::launch::async, [&] {
            NATSSvcMsg answer;
            return req.request("dw", big.data(), int(big.size()), answer);
        });
        NATSSvcMsg seen;
        ASSERT_EQ(watcher.recv_sync("dw", seen), int(big.size()));
        ASSERT_EQ(rep.flush(5000), STATUS_OK);  // the request waits in the subscription
        auto draining = std::async(std::launch::async, [&] { return rep.drain(5000); });
        std::this_thread::sleep_for(20ms);  // the drain waits for it to be taken
        NATSSvcMsg taken;
        ASSERT_EQ(rep.recv_sync("dw", taken), int(big.size()));
        taken.reply_data = "done";
        std::this_thread::sleep_for(20ms);  // a slow answer: still counted as taken
        rep.reply("dw", taken);
        EXPECT_EQ(draining.get(), STATUS_OK);
        if (asking.get() != STATUS_OK) ++lost;
    }
    EXPECT_EQ(lost, 0);
}
