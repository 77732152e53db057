// Three nats-server processes joined by routes on loopback. The node a publisher is connected
// to is killed; the client fails over to another node named in its URL list, and what it
// publishes afterwards reaches a subscriber connected to a node that stayed up.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/log_sandbox.h"
#include "support/nats_server.h"
#include "test_fault_support.h"
#include "vek_nats/vek_nats.h"

using namespace vek_nats;
using namespace std::chrono_literals;
using vek_fault::quick_param;
using vek_fault::Watchdog;
using vek_test::LogSandbox;
using vek_test::NatsServer;

namespace {

using Clock = std::chrono::steady_clock;
using Cluster = vek_test::NatsCluster;
constexpr int NODES = Cluster::NODES;

template <class Role>
class Open : public Role {
public:
    bool flush() { return natsConnection_FlushTimeout(this->m_conn, 5000) == NATS_OK; }
    natsConnStatus conn_status() const { return natsConnection_Status(this->m_conn); }
    // Port of the server the client is connected to; 0 while it is not.
    int connected_port() const {
        char url[256] = {};
        if (natsConnection_GetConnectedUrl(this->m_conn, url, sizeof(url)) != NATS_OK) return 0;
        const std::string s = url;
        const size_t colon = s.rfind(':');
        return colon == std::string::npos ? 0 : std::atoi(s.c_str() + colon + 1);
    }
};

}  // namespace

// The publisher connects with `urls(cluster)`, the subscriber to a node the publisher is not
// connected to; then the publisher's node is killed while it publishes every millisecond.
template <class Urls>
void failover(const char* what, Urls urls) {
    Watchdog dog("cluster failover", 120s);
    LogSandbox box;
    Cluster cluster;
    ASSERT_TRUE(cluster.start());

    const NATSSvcParam p = quick_param(60, 100);
    Open<CNATSPublisher> pub;
    const std::string pub_urls = urls(cluster);
    ASSERT_EQ(pub.connect(pub_urls.c_str(), p), STATUS_OK) << pub_urls << ": " << box.text();
    const int pub_node = cluster.index_of_port(pub.connected_port());
    ASSERT_GE(pub_node, 0);
    const int sub_node = (pub_node + 1) % NODES;

    Open<CNATSSubscriber> sub;
    ASSERT_EQ(sub.connect(cluster.node(sub_node).url().c_str(), p), STATUS_OK);
    ASSERT_EQ(sub.subscribe_sync("cl.data"), STATUS_OK);
    ASSERT_TRUE(sub.flush());

    // The routes form in the background: wait until a probe published on every node reaches
    // the subscriber, so its interest is known cluster-wide before the failure.
    for (int i = 0; i < NODES; ++i) {
        CNATSPublisher probe;
        ASSERT_EQ(probe.connect(cluster.node(i).url().c_str(), p), STATUS_OK);
        const std::string text = "probe-" + std::to_string(i);
        bool through = false;
        for (int attempt = 0; attempt < 20 && !through; ++attempt) {
            probe.publish_string("cl.data", text.c_str());
            NATSSvcMsg m;
            // Reads until the probe shows up or the subscriber's time-out says it will not.
            while (!through && sub.recv_sync("cl.data", m) != STATUS_NEXT_MSG) {
                through = m.data == text;
            }
        }
        ASSERT_TRUE(through) << "no route from node " << i << " to node " << sub_node;
    }

    std::mutex seen_mutex;
    std::set<int> seen;
    std::atomic<bool> reading{true};
    std::atomic<long> first_after_kill_ms{-1};
    std::atomic<int> first_published_after_kill{1 << 30};
    Clock::time_point killed;
    std::thread reader([&] {
        while (reading.load()) {
            NATSSvcMsg m;
            const svc_status r = sub.recv_sync("cl.data", m);
            if (r != 8u || m.data.rfind("probe", 0) == 0) continue;
            const int seq = std::stoi(m.data);
            if (seq >= first_published_after_kill.load() && first_after_kill_ms.load() < 0) {
                first_after_kill_ms = static_cast<long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - killed)
                        .count());
            }
            std::lock_guard<std::mutex> lock(seen_mutex);
            seen.insert(seq);
        }
    });
    const vek_fault::StopAndJoin stop_reader(reading, reader);

    vek_fault::NumberedPublisher numbered(pub, "cl.data");
    const auto arrived = [&](int seq) {
        std::lock_guard<std::mutex> lock(seen_mutex);
        return seen.count(seq) != 0;
    };
    ASSERT_TRUE(vek_test::wait_until([&] { return numbered.next() > 200 && arrived(200); }, 10s));

    killed = Clock::now();
    const int first_in_outage = numbered.next();
    first_published_after_kill = first_in_outage;
    cluster.node(pub_node).kill_hard();

    ASSERT_TRUE(vek_test::wait_until(
        [&] {
            return pub.conn_status() == NATS_CONN_STATUS_CONNECTED &&
                   cluster.index_of_port(pub.connected_port()) != pub_node;
        },
        30s))
        << "the publisher did not fail over";
    const long failover_ms = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - killed).count());
    const int first_after = numbered.next();
    const int new_node = cluster.index_of_port(pub.connected_port());
    EXPECT_NE(new_node, pub_node);

    const int last_wanted = first_after + 500;
    ASSERT_TRUE(vek_test::wait_until([&] { return numbered.next() > last_wanted; }, 20s));
    ASSERT_TRUE(vek_test::wait_until([&] { return arrived(last_wanted); }, 10s))
        << "messages published after failover do not reach node " << sub_node;
    numbered.stop();

    int across = 0;
    int after_missing = 0;
    {
        std::lock_guard<std::mutex> lock(seen_mutex);
        for (int i = first_in_outage; i < first_after; ++i) across += seen.count(i) ? 1 : 0;
        for (int i = first_after; i <= last_wanted; ++i) after_missing += seen.count(i) ? 0 : 1;
    }
    EXPECT_EQ(after_missing, 0) << "messages lost after the failover completed";
    // A publish may fail while the client finds its socket dead; after the failover none may.
    int failed_in_failover = 0;
    for (const int seq : numbered.failed_at()) {
        EXPECT_LT(seq, first_after) << "publishing failed after the failover";
        failed_in_failover += seq < first_after ? 1 : 0;
    }
    std::string failure_line;
    for (const std::string& m : box.messages()) {
        if (failure_line.empty() && m.find("publish_string(") == 0) failure_line = m;
    }
    std::printf(
        "cluster failover (%s): publisher moved from node %d to node %d in %ld ms; first "
        "message published after the kill reached node %d after %ld ms; %d of %d "
        "published during the failover arrived, %d publish calls failed during it%s%s; all %d "
        "published after it arrived\n",
        what, pub_node, new_node, failover_ms, sub_node, first_after_kill_ms.load(), across,
        first_after - first_in_outage, failed_in_failover, failure_line.empty() ? "" : ": ",
        failure_line.c_str(), last_wanted - first_after + 1);
}

TEST(ClusterFailover, PublisherWithAllThreeUrlsFailsOverToAnotherNode) {
    failover("URL list of all three nodes", [](Cluster& c) { return c.all_urls(); });
}

// One seed URL is enough: the servers tell the client of the other nodes of the cluster.
TEST(ClusterFailover, PublisherWithOneSeedUrlFailsOverToDiscoveredNodes) {
    failover("one seed URL", [](Cluster& c) { return c.node(0).url(); });
}
