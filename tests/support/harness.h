#pragma once

// What every test needs: private nats-servers, child processes that die with the test, a
// private debug log, bounded waits. No test framework here: the bench builds it too.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "vek_nats/vek_nats.h"

namespace vek_test {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

// Polls pred every few milliseconds until it holds or the time-out passes.
bool wait_until(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 10s);
int free_port();  // a free TCP port on 127.0.0.1, kept from other programs while this one runs
std::string nats_server_binary();                // $NATS_SERVER_BIN, else /usr/sbin/nats-server
std::string read_file(const std::string& path);  // empty when it cannot be read

// Parameters with both time-outs (request, recv_sync) at `ms`: failures show quickly.
inline vek_nats::NATSSvcParam timeouts(long ms, int max_reconnect = 0, long reconnect_wait = 100) {
    vek_nats::NATSSvcParam p;
    p.request_timeout = ms;
    p.recv_timeout = ms;
    p.max_reconnect = max_reconnect;
    p.reconnect_wait = reconnect_wait;
    return p;
}

// A child program, started without a shell, with the test's environment minus NATS_* plus
// `env`. It gets SIGKILL when the thread that started it ends (PR_SET_PDEATHSIG), so a test
// that dies leaves nothing behind: start children from the test's own thread. Output is read
// whenever it is asked for; the pipes hold 1 MiB meanwhile.
class Process {
public:
    enum Streams { PIPES, NO_STDIN, NO_STDOUT, QUIET };  // QUIET: output to /dev/null
    explicit Process(const Strings& argv, const Strings& env = {}, Streams streams = PIPES);
    ~Process();  // SIGKILL and reap
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return m_pid; }
    void input(const std::string& text);
    // The reader of standard output goes away, as `| head -1` does.
    void close_output();
    void signal(int sig) const;
    // Closes standard input and waits for the exit: its code, or -1 when the process was
    // ended by a signal or had to be killed after `timeout`.
    int finish(std::chrono::milliseconds timeout = 10s);
    bool exited() { return reap(WNOHANG); }
    // What the child wrote to standard output and standard error so far.
    std::string out() const { return pumped(m_out_text); }
    std::string err() const { return pumped(m_err_text); }

private:
    bool reap(int options);  // true once the child is gone
    bool pump() const;       // reads what is there; true once both streams reached their end
    std::string pumped(const std::string& text) const;
    pid_t m_pid = -1;
    int m_status = -1;
    int m_in = -1, m_out = -1, m_err = -1;
    mutable std::string m_out_text, m_err_text;
};

// A private nats-server on loopback, started and stopped by PID.
class NatsServer {
public:
    // port 0 picks a free port; extra_args are appended to the command line.
    explicit NatsServer(int port = 0, Strings extra_args = {})
        : m_port(port != 0 ? port : free_port()), m_extra(std::move(extra_args)) {}
    ~NatsServer() { stop(); }
    // Starts the server (again, on the same port) and waits until it takes connections.
    bool start();
    void stop();                          // SIGTERM, SIGKILL after 5 s
    void kill_hard() { m_proc.reset(); }  // SIGKILL: the server dies without a goodbye
    int port() const { return m_port; }
    pid_t pid() const { return m_proc != nullptr ? m_proc->pid() : -1; }
    std::string url() const { return "nats://127.0.0.1:" + std::to_string(m_port); }

private:
    int m_port;
    Strings m_extra;
    std::unique_ptr<Process> m_proc;
};

// nats-server arguments for JetStream storing under `dir`.
inline Strings jetstream_args(const std::string& dir) {
    return {"-js", "-sd", dir};
}

inline constexpr const char* LOG_ROOT = "/Zdbglog";
inline constexpr const char* LOG_DIR = "/Zdbglog/.vek_nats_log";
inline constexpr const char* LOG_FILE = "/Zdbglog/.vek_nats_log/vek_nats_common_log";
inline constexpr const char* LOG_OLD = "/Zdbglog/.vek_nats_log/vek_nats_common_log.old";
inline constexpr const char* SWITCH_FILE = "/tmp/vek_nats_debug";

// True when the program runs in a mount namespace of its own with empty file systems over
// "/Zdbglog" and "/tmp" (isolate.cpp, linked into every test program). Without one, no test
// runs: each would write to the machine's debug log.
extern bool isolated;

// An empty "/Zdbglog" with tracing off for the life of the object; the working directory
// (the log changes it) is restored afterwards.
class LogSandbox {
public:
    LogSandbox();
    ~LogSandbox();
    void set_trace(bool on) const;
    std::string text() const { return read_file(LOG_FILE); }
    std::string old_text() const { return read_file(LOG_OLD); }
    // This process's records (others may log too), header cut off: what the library passed
    // as message. A continuation line belongs to the record before it.
    Strings messages() const;
    size_t count(const std::string& needle) const;  // messages containing needle
    bool has(const std::string& needle) const { return count(needle) > 0; }
    Strings lines(const std::string& func) const;  // rests of the records "<func>(<line>)<rest>"

private:
    std::string m_cwd;
};

// Ends the process (SIGALRM) when a scenario outlives its bound: a hang fails at once instead
// of running into CTest's time-out. One at a time.
struct Watchdog {
    explicit Watchdog(std::chrono::seconds limit) { alarm(unsigned(limit.count())); }
    ~Watchdog() { alarm(0); }
};

// The protected state a few tests must see, in one place.
template <class Role>
class Peek : public Role {
public:
    natsConnection* conn() const { return this->m_conn; }
    natsSubscription* sub(int slot) const { return this->m_sub_list[slot].subscription; }
    std::vector<std::string> published() const { return this->m_pub_subjects; }
    // The status a connection callback recorded; NATS_OK while none did.
    natsStatus recorded() {
        std::lock_guard<std::mutex> lock(this->m_state_mutex);
        return this->m_conn_error ? this->m_last_status : NATS_OK;
    }
};

}  // namespace vek_test
