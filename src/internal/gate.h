#pragma once

// Callers that use a thing which another thread may take away: each enters before and leaves
// after, and the thread that takes it away closes the gate and waits until nobody is inside.
// The hot paths (every publish, every delivered message) enter and leave without a locked
// instruction: a caller marks the gate in an entry of its own thread's record and then reads
// whether the gate is closed, while the closer sets the flag, makes every thread of the
// process pass a full barrier (membarrier(2), MEMBARRIER_CMD_PRIVATE_EXPEDITED) and then
// looks for marks. Either the closer sees the mark and waits for it, or the caller sees the
// flag and backs out: with the barrier forced on the caller's CPU between its two steps, or
// before both, neither can miss the other. Where membarrier is missing, and under
// ThreadSanitizer (which does not know it), the mark is a sequentially consistent exchange.
// A caller leaves on the thread that entered.
#include <atomic>
#include <condition_variable>
#include <mutex>

namespace vek_nats::detail {

class gate;

// The gates one thread is inside; registered with every gate's wait() until the thread ends.
struct gate_thread {
    static constexpr int ENTRIES = 4;  // nested entries; deeper ones count in the gate
    std::atomic<const gate*> inside[ENTRIES] = {};
    gate_thread* next = nullptr;
};

// This thread's record, registered on its first entry (null before).
extern __thread gate_thread* g_gate_thread __attribute__((tls_model("initial-exec")));
// True once membarrier is registered for the process; set before any thread's first entry.
extern bool g_gate_asymmetric;
gate_thread* gate_register_thread();
bool gate_marked(const gate* g);  // some thread's record holds g
void gate_forget(const gate* g);  // no thread's record holds g any longer
void gate_force_barriers();       // on every thread of the process (membarrier), or nothing

class gate {
public:
    gate() = default;
    // Marks left by callers that never left would make a later gate at this address wait
    // for them.
    ~gate() { gate_forget(this); }
    gate(const gate&) = delete;
    gate& operator=(const gate&) = delete;

    // True when the caller is inside and must leave(); false when the gate is closed.
    bool enter() {
        gate_thread* t = g_gate_thread;
        if (__builtin_expect(t == nullptr, 0)) t = gate_register_thread();
        for (std::atomic<const gate*>& entry : t->inside) {
            if (entry.load(std::memory_order_relaxed) != nullptr) continue;
            mark(entry, this);
            if (__builtin_expect(!m_closed.load(std::memory_order_seq_cst), 1)) return true;
            mark(entry, nullptr);
            wake();  // a closer may have seen the mark
            return false;
        }
        return enter_counted();
    }
    void leave() {
        gate_thread* t = g_gate_thread;
        // Any entry of this gate will do: each stands for one caller inside.
        for (int i = 0; t != nullptr && i < gate_thread::ENTRIES; ++i) {
            if (t->inside[i].load(std::memory_order_relaxed) != this) continue;
            mark(t->inside[i], nullptr);
            if (__builtin_expect(m_closed.load(std::memory_order_seq_cst), 0)) wake();
            return;
        }
        if (m_count.fetch_sub(1) == 1 && m_closed.load()) wake();
    }
    // Refuses newcomers at once; those inside stay until they leave.
    void close() {
        m_closed.store(true);
        gate_force_barriers();
    }
    // Waits until nobody is inside a closed gate.
    void wait() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_idle.wait(lock, [this] { return m_count.load() == 0 && !gate_marked(this); });
    }
    void open() { m_closed.store(false); }

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
    static void mark(std::atomic<const gate*>& entry, const gate* value) {
#ifndef __SANITIZE_THREAD__
        if (__builtin_expect(g_gate_asymmetric, 1)) {
            entry.store(value, std::memory_order_release);
            // Kept before the flag is read; the CPU's order comes from the closer's barrier.
            std::atomic_signal_fence(std::memory_order_seq_cst);
            return;
        }
#endif
        entry.exchange(value, std::memory_order_seq_cst);
    }
    // With every entry of the thread taken: the count, as sequentially consistent as the flag.
    [[gnu::noinline]] bool enter_counted() {
        m_count.fetch_add(1);
        if (!m_closed.load()) return true;
        leave();
        return false;
    }
    // Out of line: the fast paths stay a few instructions long.
    [[gnu::noinline, gnu::cold]] void wake() {
        // Under the mutex: a waiter between its test and its wait cannot miss this.
        std::lock_guard<std::mutex> lock(m_mutex);
        m_idle.notify_all();
    }

    std::atomic<bool> m_closed{false};
    std::atomic<int> m_count{0};  // callers inside that found no free entry of their thread
    std::mutex m_mutex;
    std::condition_variable m_idle;
};

}  // namespace vek_nats::detail
