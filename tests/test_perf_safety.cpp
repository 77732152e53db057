// The write deadline as the library applies it: the connection's socket stays blocking for
// libnats' reads while its sends time out at the deadline, and a publisher of a server that
// stopped reading (SIGSTOP) still fails and lets destroy() return, whether the caller's thread
// or libnats' flusher (send_asap false) is the one that writes.
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

namespace {

struct socket_state {
    bool nonblocking;
    long send_timeout_ms;
};

// The sockets of this process connected to `port` (descriptors below 1024).
std::vector<socket_state> sockets_to(int port) {
    std::vector<socket_state> found;
    for (int fd = 0; fd < 1024; ++fd) {
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0 ||
            peer.sin_family != AF_INET || ntohs(peer.sin_port) != port)
            continue;
        timeval bound{};
        socklen_t bound_len = sizeof bound;
        getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, &bound_len);
        found.push_back({(fcntl(fd, F_GETFL) & O_NONBLOCK) != 0,
                         long(bound.tv_sec) * 1000 + long(bound.tv_usec) / 1000});
    }
    return found;
}

}  // namespace

TEST(WriteDeadline, TheConnectionSocketBlocksAndItsSendsTimeOutAtTheDeadline) {
    NatsServer server;
    ASSERT_TRUE(server.start());
    for (const long deadline : {0L, 250L, 1500L}) {
        SCOPED_TRACE("write_deadline " + std::to_string(deadline));
        CNATSPublisher pub;
        NATSSvcParam p;
        p.write_deadline = deadline;
        ASSERT_EQ(pub.connect(server.url().c_str(), p), STATUS_OK);
        const std::vector<socket_state> found = sockets_to(server.port());
        ASSERT_EQ(found.size(), 1u);
        EXPECT_FALSE(found[0].nonblocking);
        EXPECT_NEAR(found[0].send_timeout_ms, deadline, 10);  // the kernel keeps it in ticks
    }
}

TEST(WriteDeadline, AStoppedServerFailsBatchedAndImmediatePublishesAndDestroyReturns) {
    Watchdog dog(90s);
    for (const bool asap : {false, true}) {
        SCOPED_TRACE(asap ? "send_asap" : "batched");
        NatsServer server;
        ASSERT_TRUE(server.start());
        NATSSvcParam p = timeouts(30000);
        p.write_deadline = 500;
        p.send_asap = asap;
        CNATSPublisher pub;
        ASSERT_EQ(pub.connect(server.url().c_str(), p), STATUS_OK);
        const auto publishing = [&pub, kib = std::string(1024, 'w')] {
            svc_status r = STATUS_OK;
            for (int i = 0; i < 1000000 && r == STATUS_OK; ++i)
                r = pub.publish("ps.stopped", kib.data(), 1024);
            return r;
        };
        ASSERT_EQ(kill(server.pid(), SIGSTOP), 0);
        EXPECT_EQ(std::async(std::launch::async, publishing).get(), STATUS_PUBLISH);
        auto blocked = std::async(std::launch::async, publishing);
        std::this_thread::sleep_for(200ms);
        EXPECT_EQ(pub.destroy(), STATUS_OK);
        const svc_status last = blocked.get();
        EXPECT_TRUE(last == STATUS_PUBLISH || last == STATUS_NO_CONNECTION) << last;
        kill(server.pid(), SIGCONT);
    }
}
