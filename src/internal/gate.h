#pragma once

// Callers that use a thing which another thread may take away: each enters before and leaves
// after, and the thread that takes it away closes the gate and waits until nobody is inside.
// Entering and leaving cost one uncontended atomic each and no lock, which the hot paths
// (every publish, every delivered message) can afford; only the last to leave a closed gate
// takes the slow path.
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
        if (__builtin_expect((m_count.fetch_add(1, std::memory_order_acquire) & CLOSED) == 0, 1))
            return true;
        leave();
        return false;
    }
    void leave() {
        if (__builtin_expect(m_count.fetch_sub(1, std::memory_order_release) == CLOSED + 1, 0))
            wake();
    }
    // Refuses newcomers at once; those inside stay until they leave.
    void close() { m_count.fetch_or(CLOSED); }
    // Waits until nobody is inside a closed gate.
    void wait() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_idle.wait(lock, [this] { return m_count.load() == CLOSED; });
    }
    void open() { m_count.fetch_and(~CLOSED); }

    // Keeps the gate closed, with nobody inside, for its lifetime. Those who change what the
    // gate guards hold one; they must not run two at once on one gate.
    class shut {
    public:
        explicit shut(gate& g) : m_gate(g) {
            g.close();
            g.wait();
        }
        ~shut() { m_gate.open(); }
        shut(const shut&) = delete;
        shut& operator=(const shut&) = delete;

    private:
        gate& m_gate;
    };

private:
    // Out of line: the fast paths stay a few instructions long.
    [[gnu::noinline, gnu::cold]] void wake() {
        // Under the mutex: a waiter between its test and its wait cannot miss this.
        std::lock_guard<std::mutex> lock(m_mutex);
        m_idle.notify_all();
    }

    static constexpr int CLOSED = 1 << 30;
    std::atomic<int> m_count{0};  // callers inside, plus CLOSED
    std::mutex m_mutex;
    std::condition_variable m_idle;
};

}  // namespace vek_nats::detail
