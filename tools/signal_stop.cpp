#include "signal_stop.h"

#include <pthread.h>

namespace vek_cli {

SignalStop::SignalStop() {
    sigemptyset(&m_signals);
    sigaddset(&m_signals, SIGINT);
    sigaddset(&m_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &m_signals, nullptr);
    m_thread = std::thread([this] { run(); });
}

SignalStop::~SignalStop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_done = true;
    }
    // The thread leaves only after it has seen m_done, so it is still there to take this.
    pthread_kill(m_thread.native_handle(), SIGTERM);
    m_thread.join();
    // The signals stay blocked: one that arrives from now on must not turn a clean end into
    // death by signal.
}

void SignalStop::run() {
    for (;;) {
        int signal_number = 0;
        if (sigwait(&m_signals, &signal_number) != 0) continue;
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_done) return;
        m_stopped = true;
        if (m_waiting != nullptr) {
            m_waiting->destroy();
            m_waiting = nullptr;
        }
    }
}

bool SignalStop::enter_wait(vek_nats::CNATSSvc& svc) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stopped) return false;
    m_waiting = &svc;
    return true;
}

void SignalStop::leave_wait() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_waiting = nullptr;
}

bool SignalStop::stopped() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stopped;
}

}  // namespace vek_cli
