#pragma once

// Helpers shared by the fault, teardown, soak and log-contention tests.

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include "vek_nats/svc.h"

namespace vek_fault {

// Sanitizer builds run the same scenarios with smaller counts (TSan is many times slower).
#ifndef VEK_FAULT_SLOWDOWN
#define VEK_FAULT_SLOWDOWN 1
#endif
inline constexpr int SLOWDOWN = VEK_FAULT_SLOWDOWN;

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
