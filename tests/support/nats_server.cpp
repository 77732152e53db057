#include "support/nats_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

namespace vek_test {
namespace {

bool port_accepts(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    close(fd);
    return ok;
}

// Reaps pid, waiting at most `timeout`; true when it has gone.
bool reap(pid_t pid, std::chrono::milliseconds timeout) {
    return wait_until(
        [pid] {
            int status = 0;
            const pid_t r = waitpid(pid, &status, WNOHANG);
            return r == pid || (r < 0 && errno == ECHILD);
        },
        timeout);
}

}  // namespace

int free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = 0;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    int port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        port = ntohs(addr.sin_port);
    }
    if (fd >= 0) close(fd);
    return port;
}

std::string nats_server_binary() {
    const char* env = std::getenv("NATS_SERVER_BIN");
    return env != nullptr && *env != '\0' ? env : "/usr/sbin/nats-server";
}

bool wait_until(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

NatsServer::NatsServer(int port, std::vector<std::string> extra_args)
    : m_port(port != 0 ? port : free_port()), m_extra(std::move(extra_args)) {}

NatsServer::~NatsServer() {
    stop();
}

std::string NatsServer::url() const {
    return "nats://127.0.0.1:" + std::to_string(m_port);
}

bool NatsServer::start() {
    if (m_pid > 0) return true;
    const std::string bin = nats_server_binary();
    const std::string port = std::to_string(m_port);
    std::vector<std::string> args{bin, "-a", "127.0.0.1", "-p", port};
    args.insert(args.end(), m_extra.begin(), m_extra.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    // fork+exec rather than posix_spawn: the server must not inherit the test's descriptors
    // (a lock held by the test runner would otherwise outlive it in a leftover server).
    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        const int devnull = open("/dev/null", O_WRONLY);
        if (devnull >= 0) {
            dup2(devnull, 1);
            dup2(devnull, 2);  // the server's own chatter would drown the test output
        }
        syscall(SYS_close_range, 3u, ~0u, 0u);
        execv(bin.c_str(), argv.data());
        _exit(127);
    }
    m_pid = pid;
    const bool up = wait_until([this] {
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {  // died at start (port taken?)
            m_pid = -1;
            return true;
        }
        return port_accepts(m_port);
    });
    if (!up || m_pid < 0) {
        stop();
        return false;
    }
    return true;
}

void NatsServer::stop() {
    if (m_pid <= 0) return;
    kill(m_pid, SIGTERM);
    if (!reap(m_pid, std::chrono::seconds(5))) {
        kill(m_pid, SIGKILL);
        reap(m_pid, std::chrono::seconds(5));
    }
    m_pid = -1;
}

void NatsServer::kill_hard() {
    if (m_pid <= 0) return;
    kill(m_pid, SIGKILL);
    reap(m_pid, std::chrono::seconds(5));
    m_pid = -1;
}

NatsCluster::NatsCluster() {
    configure();
}

void NatsCluster::configure() {
    std::array<int, NODES> route_ports{};
    for (int& p : route_ports) p = free_port();
    for (int i = 0; i < NODES; ++i) {
        std::string routes;
        for (int j = 0; j < NODES; ++j) {
            if (j == i) continue;
            if (!routes.empty()) routes += ",";
            routes += "nats://127.0.0.1:" + std::to_string(route_ports[j]);
        }
        m_nodes[i] = std::make_unique<NatsServer>(
            0, std::vector<std::string>{"--cluster_name", "vek", "--cluster",
                                        "nats://127.0.0.1:" + std::to_string(route_ports[i]),
                                        "--routes", routes});
    }
}

bool NatsCluster::start() {
    // The ports are chosen before the nodes bind them, and the first node's route dials take
    // ephemeral ports from the same range: a later node can find its port taken. Then the
    // whole cluster starts again on new ports.
    for (int attempt = 0; attempt < 3; ++attempt) {
        bool up = true;
        for (auto& n : m_nodes) up = up && n->start();
        if (up) return true;
        for (auto& n : m_nodes) n->stop();
        configure();
    }
    return false;
}

int NatsCluster::index_of_port(int port) const {
    for (int i = 0; i < NODES; ++i) {
        if (m_nodes[i]->port() == port) return i;
    }
    return -1;
}

std::string NatsCluster::all_urls() const {
    std::string urls;
    for (const auto& n : m_nodes) urls += (urls.empty() ? "" : ",") + n->url();
    return urls;
}

}  // namespace vek_test
