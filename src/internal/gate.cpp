#include "internal/gate.h"

#include <linux/membarrier.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>

namespace vek_nats::detail {

__thread gate_thread* g_gate_thread = nullptr;
bool g_gate_asymmetric = false;

namespace {

std::mutex g_threads_mutex;
gate_thread* g_threads = nullptr;  // every registered thread's record, under the mutex
pthread_key_t g_thread_end;

// The thread's record leaves the registry as the thread ends; it is inside no gate by then.
void unregister(void* record) {
    auto* own = static_cast<gate_thread*>(record);
    std::lock_guard<std::mutex> lock(g_threads_mutex);
    for (gate_thread** at = &g_threads; *at != nullptr; at = &(*at)->next) {
        if (*at != own) continue;
        *at = own->next;
        break;
    }
    delete own;
    g_gate_thread = nullptr;  // a later destructor that enters registers anew
}

// Once per process, before any thread's first entry and any close: whether closers can force
// a barrier on every thread. Registration is what lets the forcing call work.
bool setup() {
    if (pthread_key_create(&g_thread_end, unregister) != 0) std::abort();
    const long asymmetric =
        syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0);
    g_gate_asymmetric = asymmetric == 0;
    return true;
}

void setup_once() {
    static const bool done = setup();
    (void)done;
}

}  // namespace

gate_thread* gate_register_thread() {
    setup_once();
    auto* own = new gate_thread;
    {
        std::lock_guard<std::mutex> lock(g_threads_mutex);
        own->next = g_threads;
        g_threads = own;
    }
    pthread_setspecific(g_thread_end, own);
    g_gate_thread = own;
    return own;
}

bool gate_marked(const gate* g) {
    std::lock_guard<std::mutex> lock(g_threads_mutex);
    for (const gate_thread* t = g_threads; t != nullptr; t = t->next) {
        for (const std::atomic<const gate*>& entry : t->inside) {
            if (entry.load() == g) return true;
        }
    }
    return false;
}

void gate_forget(const gate* g) {
    std::lock_guard<std::mutex> lock(g_threads_mutex);
    for (gate_thread* t = g_threads; t != nullptr; t = t->next) {
        for (std::atomic<const gate*>& entry : t->inside) {
            const gate* expected = g;
            entry.compare_exchange_strong(expected, nullptr);
        }
    }
}

void gate_force_barriers() {
    setup_once();
    // Registered once, this fails only on a kernel that lost the command: then a caller could
    // enter unseen, and going on would be worse than stopping.
    if (g_gate_asymmetric && syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0) != 0)
        std::abort();
}

}  // namespace vek_nats::detail
