// The example programs, run as separate processes against a private server.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/log_sandbox.h"
#include "support/nats_server.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

// A child process whose standard output (and error, for the diagnostics) we read.
class Child {
public:
    explicit Child(std::vector<std::string> args) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        m_out = fds[0];
    }
    ~Child() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_out >= 0) ::close(m_out);
    }

    // Reads output until it contains `needle` or the time runs out.
    bool read_until(const std::string& needle, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (m_text.find(needle) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd p{m_out, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
            char buf[512];
            const ssize_t n = ::read(m_out, buf, sizeof(buf));
            if (n <= 0) return false;
            m_text.append(buf, static_cast<size_t>(n));
        }
        return true;
    }

    // Exit code, or -1 when the process did not end in time (it is killed then).
    int wait_exit(std::chrono::milliseconds timeout) {
        int status = 0;
        const bool ended = vek_test::wait_until(
            [&] { return waitpid(m_pid, &status, WNOHANG) == m_pid; }, timeout);
        if (!ended) return -1;
        m_pid = -1;
        drain();
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    const std::string& text() const { return m_text; }

private:
    // After exit: everything up to end of file.
    void drain() {
        char buf[512];
        pollfd p{m_out, POLLIN, 0};
        while (poll(&p, 1, 1000) > 0) {
            const ssize_t n = ::read(m_out, buf, sizeof(buf));
            if (n <= 0) return;
            m_text.append(buf, static_cast<size_t>(n));
        }
    }

    pid_t m_pid = -1;
    int m_out = -1;
    std::string m_text;
};

const std::string kReplier = std::string(EXAMPLE_DIR) + "/replier";
const std::string kRequestor = std::string(EXAMPLE_DIR) + "/requestor";

class Examples : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.start()); }
    vek_test::LogSandbox log;  // the children log into the same sandbox
    vek_test::NatsServer server;
};

TEST_F(Examples, RequestorGetsTheRepliersAnswerAcrossProcesses) {
    Child replier({kReplier, server.url(), "demo.echo", "2"});
    ASSERT_TRUE(replier.read_until("ready", 10s)) << replier.text();

    for (const std::string text : {"hello", "second one"}) {
        Child requestor({kRequestor, server.url(), "demo.echo", text, "5000"});
        EXPECT_EQ(0, requestor.wait_exit(10s)) << requestor.text();
        EXPECT_EQ("echo: " + text + "\n", requestor.text());
    }
    EXPECT_EQ(0, replier.wait_exit(5s)) << replier.text();
    EXPECT_NE(std::string::npos, replier.text().find("request: hello\nrequest: second one\n"))
        << replier.text();
}

}  // namespace
