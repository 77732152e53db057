#pragma once

// Helpers shared by the fault, teardown, soak and log-contention tests.

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include "vek_nats/publisher.h"
#include "vek_nats/svc.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#include <sanitizer/common_interface_defs.h>
#define VEK_FAULT_SANITIZED 1
#endif

namespace vek_fault {

// Sanitizer builds run the same scenarios with smaller counts (TSan is many times slower).
#ifndef VEK_FAULT_SLOWDOWN
#define VEK_FAULT_SLOWDOWN 1
#endif
inline constexpr int SLOWDOWN = VEK_FAULT_SLOWDOWN;
#ifdef VEK_FAULT_SANITIZED
inline constexpr bool SANITIZED = true;
#else
inline constexpr bool SANITIZED = false;
#endif

// A count taken from the environment (so a long run can be made by hand), else `fallback`
// divided by the build's slowdown, never below `floor`.
inline long count_from_env(const char* name, long fallback, long floor = 1) {
    const char* env = std::getenv(name);
    if (env != nullptr && *env != '\0') return std::strtol(env, nullptr, 10);
    const long scaled = fallback / SLOWDOWN;
    return scaled < floor ? floor : scaled;
}

// "VmRSS" or "VmHWM" of this process in KiB; -1 when unreadable.
inline long proc_status_kib(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string key;
    while (in >> key) {
        if (key == std::string(field) + ":") {
            long kib = -1;
            in >> kib;
            return kib;
        }
        std::getline(in, key);
    }
    return -1;
}

// SIGKILLs every child of this process (the nats-servers a test started). Uses only
// async-signal-safe calls, so a crash handler can run it: a test that dies must not leave its
// servers behind, holding the shared test lock that they inherited.
inline void kill_children() noexcept {
    const pid_t self = getpid();
    const int dir = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return;
    char buf[8192];
    for (;;) {
        const long n = syscall(SYS_getdents64, dir, buf, sizeof(buf));
        if (n <= 0) break;
        for (long off = 0; off < n;) {
            const char* rec = buf + off;
            const unsigned short reclen = *reinterpret_cast<const unsigned short*>(rec + 16);
            const char* name = rec + 19;
            off += reclen;
            long pid = 0;
            for (const char* c = name; *c != '\0'; ++c) {
                pid = *c >= '0' && *c <= '9' ? pid * 10 + (*c - '0') : -1;
                if (pid < 0) break;
            }
            if (pid <= 0) continue;
            char path[64] = "/proc/";
            int len = 6;
            char digits[24];
            int d = 0;
            for (long v = pid; v > 0; v /= 10) digits[d++] = static_cast<char>('0' + v % 10);
            while (d > 0) path[len++] = digits[--d];
            for (const char* c = "/stat"; *c != '\0'; ++c) path[len++] = *c;
            path[len] = '\0';
            const int fd = open(path, O_RDONLY | O_CLOEXEC);
            if (fd < 0) continue;
            char stat[512];
            const ssize_t got = read(fd, stat, sizeof(stat) - 1);
            close(fd);
            if (got <= 0) continue;
            stat[got] = '\0';
            // "pid (comm) state ppid ...": comm may hold blanks, so parse after the last ')'.
            const char* p = nullptr;
            for (const char* c = stat; *c != '\0'; ++c) {
                if (*c == ')') p = c;
            }
            if (p == nullptr || p[1] != ' ' || p[2] == '\0' || p[3] != ' ') continue;
            long ppid = 0;
            for (p += 4; *p >= '0' && *p <= '9'; ++p) ppid = ppid * 10 + (*p - '0');
            if (ppid == self) kill(static_cast<pid_t>(pid), SIGKILL);
        }
    }
    close(dir);
}

// Writes every thread's stack to standard error with gdb, when it is installed: what a
// hung scenario waits on is the first thing to know about it.
inline void dump_stacks() {
    const std::string cmd = "gdb -batch -nx -p " + std::to_string(getpid()) +
                            " -ex 'thread apply all bt' 1>&2 2>/dev/null";
    if (access("/usr/bin/gdb", X_OK) == 0 && std::system(cmd.c_str()) != 0) {
        std::fprintf(stderr, "watchdog: gdb could not show the stacks\n");
    }
}

namespace detail {

inline struct sigaction saved_actions[NSIG];

inline void on_fatal_signal(int sig) {
    kill_children();
    // Hand the signal on to whoever handled it before (a sanitizer's report, or the default).
    sigaction(sig, &saved_actions[sig], nullptr);
    if (sig == SIGABRT || sig == SIGTERM || sig == SIGINT) raise(sig);
}

inline bool install_fatal_handlers() {
#ifdef VEK_FAULT_SANITIZED
    // A sanitizer that halts on a report exits without a signal.
    __sanitizer_set_death_callback(kill_children);
#endif
    for (const int sig : {SIGSEGV, SIGBUS, SIGABRT, SIGFPE, SIGILL, SIGTERM, SIGINT}) {
        struct sigaction sa {};
        sa.sa_handler = on_fatal_signal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_NODEFER;
        sigaction(sig, &sa, &saved_actions[sig]);
    }
    return true;
}

inline const bool fatal_handlers_installed = install_fatal_handlers();

}  // namespace detail

// Aborts the process when a scenario outlives its bound: a hang then fails the test with a
// message instead of running into CTest's time-out.
class Watchdog {
public:
    Watchdog(const char* what, std::chrono::seconds limit)
        : m_thread([this, what, limit] {
              std::unique_lock<std::mutex> lock(m_mutex);
              if (!m_cv.wait_for(lock, limit, [this] { return m_done; })) {
                  std::fprintf(stderr, "watchdog: %s still running after %lld s\n", what,
                               static_cast<long long>(limit.count()));
                  std::fflush(stderr);
                  dump_stacks();
                  kill_children();
                  std::abort();
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done = true;
        }
        m_cv.notify_all();
        m_thread.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_done = false;
    std::thread m_thread;
};

// Stops a worker thread when the scenario ends, also when a failed assertion ends it early.
class StopAndJoin {
public:
    StopAndJoin(std::atomic<bool>& running, std::thread& thread)
        : m_running(running), m_thread(thread) {}
    ~StopAndJoin() {
        m_running = false;
        if (m_thread.joinable()) m_thread.join();
    }
    StopAndJoin(const StopAndJoin&) = delete;
    StopAndJoin& operator=(const StopAndJoin&) = delete;

private:
    std::atomic<bool>& m_running;
    std::thread& m_thread;
};

// Publishes the numbers 00000000, 00000001, ... on a subject, one a millisecond, on a thread of
// its own, and notes at which number each failed publish happened.
class NumberedPublisher {
public:
    NumberedPublisher(vek_nats::CNATSPublisher& pub, std::string subject)
        : m_pub(pub), m_subject(std::move(subject)), m_thread([this] { run(); }) {}
    ~NumberedPublisher() { stop(); }
    NumberedPublisher(const NumberedPublisher&) = delete;
    NumberedPublisher& operator=(const NumberedPublisher&) = delete;

    int next() const { return m_next.load(); }
    void stop() {
        m_running = false;
        if (m_thread.joinable()) m_thread.join();
    }
    // Read after stop().
    const std::vector<int>& failed_at() const { return m_failed_at; }

private:
    void run() {
        char payload[16];
        while (m_running.load()) {
            std::snprintf(payload, sizeof(payload), "%08d", m_next.load());
            if (m_pub.publish_string(m_subject.c_str(), payload) == vek_nats::STATUS_OK) {
                ++m_next;
            } else {
                m_failed_at.push_back(m_next.load());
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    vek_nats::CNATSPublisher& m_pub;
    const std::string m_subject;
    std::atomic<int> m_next{0};
    std::atomic<bool> m_running{true};
    std::vector<int> m_failed_at;  // written by the thread only until stop()
    std::thread m_thread;
};

inline int live_objects() {
    std::lock_guard<std::mutex> lock(vek_nats::CNATSSvc::m_nats_Init_mutex);
    return vek_nats::CNATSSvc::m_nats_Init_count;
}

// Parameters for tests that must notice a dead server quickly.
inline vek_nats::NATSSvcParam quick_param(int max_reconnect = 0, long reconnect_wait_ms = 100) {
    vek_nats::NATSSvcParam p;
    p.max_reconnect = max_reconnect;
    p.reconnect_wait = reconnect_wait_ms;
    p.request_timeout = 1000;
    p.recv_timeout = 1000;
    return p;
}

}  // namespace vek_fault
