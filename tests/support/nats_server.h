#pragma once

#include <sys/types.h>

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vek_test {

// A free TCP port on 127.0.0.1, chosen by the kernel.
int free_port();

// Path of the nats-server binary: $NATS_SERVER_BIN, else /usr/sbin/nats-server.
std::string nats_server_binary();

// A private nats-server on loopback, started and stopped by PID.
class NatsServer {
public:
    // port 0 picks a free port. extra_args are appended to the command line (cluster options).
    explicit NatsServer(int port = 0, std::vector<std::string> extra_args = {});
    ~NatsServer();
    NatsServer(const NatsServer&) = delete;
    NatsServer& operator=(const NatsServer&) = delete;

    // Starts the server and waits until it accepts connections (at most 10 s).
    bool start();
    // SIGTERM, then SIGKILL if it has not gone within 5 s; reaps the process.
    void stop();
    // SIGKILL and reap: the server dies without a goodbye.
    void kill_hard();
    bool running() const { return m_pid > 0; }

    int port() const { return m_port; }
    pid_t pid() const { return m_pid; }
    std::string url() const;

private:
    int m_port;
    std::vector<std::string> m_extra;
    pid_t m_pid = -1;
};

// Three nats-servers joined by routes on loopback, each taking clients on a port of its own.
// The routes form in the background after start().
class NatsCluster {
public:
    static constexpr int NODES = 3;
    NatsCluster();
    bool start();
    NatsServer& node(int i) { return *m_nodes[i]; }
    // Index of the node whose client port is `port`; -1 for none.
    int index_of_port(int port) const;
    // The client URLs of all nodes, comma-separated.
    std::string all_urls() const;

private:
    void configure();
    std::array<std::unique_ptr<NatsServer>, NODES> m_nodes;
};

// Polls pred every few milliseconds until it holds or the time-out passes.
bool wait_until(const std::function<bool()>& pred,
                std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace vek_test
