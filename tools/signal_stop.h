#pragma once

#include <signal.h>

#include <mutex>
#include <thread>

#include "vek_nats/svc.h"

namespace vek_cli {

// Ends a serving loop, a publishing run or a request on SIGINT or SIGTERM. Construct it before
// any other thread exists: it blocks both signals, so every later thread (libnats's included)
// inherits the mask, and one thread of its own takes them with sigwait. destroy() is far from
// async-signal-safe, which rules out calling it from a handler.
class SignalStop {
public:
    // What a signal does to the object inside the bracket. destroy() wakes a receive but must
    // not overlap a call that uses the connection handle; close() is safe under a request.
    enum class Wake { destroy, close };

    SignalStop();
    ~SignalStop();
    SignalStop(const SignalStop&) = delete;
    SignalStop& operator=(const SignalStop&) = delete;

    // Bracket each blocking call. A signal that arrives inside the bracket wakes it as `wake`
    // says; outside it only marks the stop, because destroy() must not overlap a reply or a
    // subscribe. False when already stopped.
    bool enter_wait(vek_nats::CNATSSvc& svc, Wake wake = Wake::destroy);
    void leave_wait();
    bool stopped();

    // Waits until `fd` has something to read (or its end); false once stopped.
    bool wait_readable(int fd);

private:
    void run();

    sigset_t m_signals;
    std::mutex m_mutex;
    vek_nats::CNATSSvc* m_waiting = nullptr;
    Wake m_wake = Wake::destroy;
    bool m_stopped = false;
    bool m_done = false;
    int m_stop_pipe[2] = {-1, -1};  // readable once stopped
    std::thread m_thread;
};

}  // namespace vek_cli
