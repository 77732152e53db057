// Burst probe: a synchronous subscription read with recv_sync while a burst larger than
// libnats' pending limits (65,536 messages / 64 MiB by default) arrives. With the default
// limits libnats drops what does not fit, and recv_sync reports the drops only as
// STATUS_NEXT_MSG, the code of a time-out; after init_subscription nothing is dropped.
// show_stats writes the client's count of dropped messages to the debug log; the probe
// prints that record.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "support/harness.h"
#include "vek_nats/vek_nats.h"

namespace {

using Clock = std::chrono::steady_clock;
using vek_nats::svc_status;

constexpr const char* SUBJECT = "probe.burst";
constexpr svc_status LOWEST_STATUS_CODE = 0x910E0000;
constexpr std::int64_t RECV_TIMEOUT_MS = 2000;

// The last "Dropped" record this process wrote to the debug log.
std::string last_dropped_record() {
    std::ifstream in(vek_test::LOG_FILE);
    char pid[32];
    snprintf(pid, sizeof(pid), "[pid-%05d]", static_cast<int>(getpid()));
    std::string line, found;
    while (std::getline(in, line)) {
        if (line.find(pid) != std::string::npos && line.find("Dropped") != std::string::npos)
            found = line;
    }
    const size_t at = found.find("Dropped");
    return at == std::string::npos ? "(no record)" : found.substr(at);
}

bool run_once(int run, int messages, bool unlimited) {
    vek_test::NatsServer server;
    if (!server.start()) {
        fprintf(stderr, "probe_burst: cannot start %s\n", vek_test::nats_server_binary().c_str());
        return false;
    }
    vek_nats::NATSSvcParam p;  // the defaults but for the time-out that ends the reading
    p.recv_timeout = RECV_TIMEOUT_MS;
    vek_nats::CNATSSubscriber sub;
    vek_nats::CNATSPublisher pub;
    svc_status s = sub.connect(server.url().c_str(), p);
    if (s == 0) s = sub.subscribe_sync(SUBJECT);
    // init_subscription lifts the limits of all five slots and refuses while one is free.
    for (int i = 1; unlimited && s == 0 && i < vek_nats::CNATSSvc::SLOT_COUNT; ++i) {
        s = sub.subscribe_sync(("probe.idle." + std::to_string(i)).c_str());
    }
    if (s == 0 && unlimited) s = sub.init_subscription(p);
    if (s == 0) s = sub.flush(5000);
    vek_nats::NATSSvcParam batched;  // a burst: publishes are written in large batches
    batched.send_asap = false;
    if (s == 0) s = pub.connect(server.url().c_str(), batched);
    if (s != 0) {
        fprintf(stderr, "probe_burst: set-up failed: 0x%08X\n", s);
        return false;
    }

    int failed_publishes = 0;
    std::thread publisher([&] {
        const std::string payload(16, 'x');
        for (int i = 0; i < messages; ++i) {
            failed_publishes += pub.publish(SUBJECT, payload.data(), 16) != 0;
        }
        pub.flush(10000);
    });
    int received = 0, early_next_msg = 0;
    vek_nats::NATSSvcMsg m;
    for (;;) {
        const auto start = Clock::now();
        const svc_status r = sub.recv_sync(SUBJECT, m);
        if (r > 0 && r < LOWEST_STATUS_CODE) {
            ++received;
            continue;
        }
        const auto waited =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        if (r == vek_nats::STATUS_NEXT_MSG && waited.count() < RECV_TIMEOUT_MS / 2) {
            ++early_next_msg;  // returned without waiting: libnats reported dropped messages
            continue;
        }
        break;  // a real time-out: the burst is over
    }
    publisher.join();
    sub.show_stats(4);
    const int sent = messages - failed_publishes;
    printf(
        "run %d, %s: %d sent, %d received, %d lost; recv_sync returned 0x%08X at once %d "
        "times; show_stats: %s\n",
        run, unlimited ? "after init_subscription" : "default limits", sent, received,
        sent - received, vek_nats::STATUS_NEXT_MSG, early_next_msg, last_dropped_record().c_str());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 2, messages = 200000;
    if (argc == 3) {
        runs = atoi(argv[1]);
        messages = atoi(argv[2]);
    }
    if ((argc != 1 && argc != 3) || runs < 1 || messages < 1) {
        fprintf(stderr, "usage: probe_burst [RUNS MESSAGES]   (default 2 200000)\n");
        return 2;
    }
    for (int run = 1; run <= runs; ++run) {
        for (const bool unlimited : {false, true}) {
            if (!run_once(run, messages, unlimited)) return 1;
        }
    }
    return 0;
}
