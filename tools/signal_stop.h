#pragma once

#include <signal.h>

#include <mutex>
#include <thread>

#include "vek_nats/svc.h"

namespace vek_cli {

// Ends a serving loop on SIGINT or SIGTERM. Construct it before any other thread exists: it
// blocks both signals, so every later thread (libnats's included) inherits the mask, and one
// thread of its own takes them with sigwait. destroy() is far from async-signal-safe, which
// rules out calling it from a handler.
class SignalStop {
public:
    SignalStop();
    ~SignalStop();
    SignalStop(const SignalStop&) = delete;
    SignalStop& operator=(const SignalStop&) = delete;

    // Bracket each blocking receive. A signal that arrives inside the bracket runs
    // svc.destroy(), which wakes the receive; outside it only marks the stop, because
    // destroy() must not overlap a reply or a subscribe. False when already stopped.
    bool enter_wait(vek_nats::CNATSSvc& svc);
    void leave_wait();
    bool stopped();

private:
    void run();

    sigset_t m_signals;
    std::mutex m_mutex;
    vek_nats::CNATSSvc* m_waiting = nullptr;
    bool m_stopped = false;
    bool m_done = false;
    std::thread m_thread;
};

}  // namespace vek_cli
