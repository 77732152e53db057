#include "signal_stop.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace vek_cli {

SignalStop::SignalStop() {
    sigemptyset(&m_signals);
    sigaddset(&m_signals, SIGINT);
    sigaddset(&m_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &m_signals, nullptr);
    if (pipe2(m_stop_pipe, O_CLOEXEC) != 0) m_stop_pipe[0] = m_stop_pipe[1] = -1;
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
    {
        std::lock_guard<std::mutex> lock(m_end_mutex);
        m_finished = true;
    }
    m_ended.notify_all();
    if (m_grace.joinable()) m_grace.join();
    for (const int fd : m_stop_pipe) {
        if (fd >= 0) ::close(fd);
    }
    // The signals stay blocked: one that arrives from now on must not turn a clean end into
    // death by signal.
}

void SignalStop::run() {
    for (;;) {
        int signal_number = 0;
        if (sigwait(&m_signals, &signal_number) != 0) continue;
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_done) return;
        if (m_stopped) continue;
        m_stopped = true;
        if (m_stop_pipe[1] >= 0) {
            const char byte = 0;
            (void)!write(m_stop_pipe[1], &byte, 1);
        }
        // Started before the wake: a wake that blocks is bounded too.
        m_grace = std::thread([this, signal_number] { end_in_grace(signal_number); });
        if (m_waiting != nullptr && m_wake == Wake::drain) {
            // Outside the lock: the serving thread goes on taking and answering meanwhile.
            vek_nats::CNATSSvc* svc = m_waiting;
            m_waiting = nullptr;
            m_draining = true;
            m_drain_started = true;
            lock.unlock();
            svc->drain(DRAIN_MS);
            lock.lock();
            m_draining = false;
            m_drain_done.notify_all();
        } else if (m_waiting != nullptr) {
            if (m_wake == Wake::destroy) {
                m_waiting->destroy();
            } else {
                m_waiting->close();
            }
            m_waiting = nullptr;
        }
    }
}

void SignalStop::settle() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_drain_done.wait(lock, [this] { return !m_draining; });
}

void SignalStop::end_in_grace(int signal_number) {
    std::unique_lock<std::mutex> lock(m_end_mutex);
    // Not _exit: a sanitizer's hook on it may linger (ThreadSanitizer sleeps a second while
    // other threads run), and the program is to end now.
    if (!m_ended.wait_for(lock, GRACE, [this] { return m_finished; })) {
        syscall(SYS_exit_group, 128 + signal_number);
    }
}

bool SignalStop::enter_wait(vek_nats::CNATSSvc& svc, Wake wake) {
    std::lock_guard<std::mutex> lock(m_mutex);
    // Draining, the waits go on until nothing delivered is left.
    if (m_stopped) return m_drain_started && wake == Wake::drain;
    m_waiting = &svc;
    m_wake = wake;
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

bool SignalStop::wait_readable(int fd) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {m_stop_pipe[0], POLLIN, 0}};
    for (;;) {
        if (stopped()) return false;
        const int ready = poll(fds, 2, -1);
        if (ready < 0 && errno != EINTR) return true;  // the read that follows reports it
        if (ready > 0 && fds[1].revents == 0) return true;
    }
}

}  // namespace vek_cli
