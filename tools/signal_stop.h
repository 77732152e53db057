#pragma once

#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "vek_nats/svc.h"

namespace vek_cli {

// Ends a serving loop, a publishing run or a request on SIGINT or SIGTERM. Construct it before
// any other thread exists: it blocks both signals, so every later thread (libnats's included)
// inherits the mask, and one thread of its own takes them with sigwait. destroy() is far from
// async-signal-safe, which rules out calling it from a handler.
//
// A stop wakes the bracketed wait, if any, and the run then ends cleanly. When it has not ended
// GRACE after the signal (blocked in a connect, a flush, a full pipe: places no bracket reaches),
// the program ends at once with status 128 + the signal's number, as a shell reports a program
// killed by it.
class SignalStop {
public:
    static constexpr std::chrono::milliseconds GRACE{500};

    // What a signal does to the object inside the bracket. destroy() wakes a receive but must
    // not overlap a call that uses the connection handle; close() is safe under a request.
    // drain() lets the bracketed receive go on until what was delivered is taken (and
    // answered); then it returns with no message.
    enum class Wake { destroy, close, drain };
    // How long a drain may take: well within GRACE.
    static constexpr std::int64_t DRAIN_MS = 300;

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
    // Waits for a drain that a signal started; call it before the drained object goes.
    void settle();
    // Settles when it goes: declare it after the object that a drain may use.
    struct Settled {
        SignalStop& stop;
        ~Settled() { stop.settle(); }
    };

    // Waits until `fd` has something to read (or its end); false once stopped.
    bool wait_readable(int fd);

private:
    void run();
    void end_in_grace(int signal_number);

    sigset_t m_signals;
    std::mutex m_mutex;  // the bracket, and the wake inside it
    vek_nats::CNATSSvc* m_waiting = nullptr;
    Wake m_wake = Wake::destroy;
    bool m_stopped = false;
    bool m_done = false;
    bool m_drain_started = false;  // the stop came inside a Wake::drain bracket
    bool m_draining = false;
    std::condition_variable m_drain_done;
    int m_stop_pipe[2] = {-1, -1};  // readable once stopped
    std::thread m_thread;

    // Not m_mutex: a wake that blocks must not hold the time limit up.
    std::mutex m_end_mutex;
    std::condition_variable m_ended;
    bool m_finished = false;
    std::thread m_grace;
};

}  // namespace vek_cli
