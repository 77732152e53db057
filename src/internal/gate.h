#pragma once

// Callers that use a thing which another thread may take away: each enters before and leaves
// after, and the thread that takes it away closes the gate and waits until nobody is inside.
// Entering costs two atomic operations and no lock, which the hot paths (every publish, every
// delivered message) can afford.
#include <atomic>
#include <condition_variable>
#include <mutex>

namespace vek_nats::detail {

class gate {
public:
    gate() = default;
    gate(const gate&) = delete;
    gate& operator=(const gate&) = delete;

    // True when the caller is inside and must leave(); false when the gate is closed.
    bool enter() {
        // Counted before the test: wait() either sees this caller or it sees the gate closed.
        if ((m_count.fetch_add(1) & CLOSED) == 0) return true;
        leave();
        return false;
    }
    void leave() {
        if (m_count.fetch_sub(1) == CLOSED + 1) {
            // Under the mutex: a waiter between its test and its wait cannot miss this.
            std::lock_guard<std::mutex> lock(m_mutex);
            m_idle.notify_all();
        }
    }
    // Refuses newcomers at once; those inside stay until they leave.
    void close() { m_count.fetch_or(CLOSED); }
    // Waits until nobody is inside a closed gate.
    void wait() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_idle.wait(lock, [this] { return m_count.load() == CLOSED; });
    }
    void open() { m_count.fetch_and(~CLOSED); }

private:
    static constexpr int CLOSED = 1 << 30;
    std::atomic<int> m_count{0};  // callers inside, plus CLOSED
    std::mutex m_mutex;
    std::condition_variable m_idle;
};

}  // namespace vek_nats::detail
