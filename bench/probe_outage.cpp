// Kill-and-restart probe: of the publishes that returned 0 around a server outage, how many
// reached a subscriber. Core NATS delivers at most once; this measures how much "at most" is.
// A publisher sends numbered messages at a steady pace to a synchronous subscriber on another
// connection; the server is killed (SIGKILL) and started again on the same port; both clients
// reconnect. Each publish is classed by when it was made: before the kill, while the server
// was down, or after the restart.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/harness.h"
#include "vek_nats/vek_nats.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using vek_nats::svc_status;

constexpr const char* SUBJECT = "probe.outage";
constexpr svc_status LOWEST_STATUS_CODE = 0x910E0000;

struct Options {
    int runs = 2;
    int messages = 3000;
    int kill_at = 1000;
    int down_ms = 1000;
    int interval_us = 1000;
};

enum Phase { BEFORE, DOWN, AFTER, PHASES };
const char* const PHASE_NAMES[PHASES] = {"before the kill", "while the server was down",
                                         "after the restart"};

struct Sent {
    svc_status status = 1;  // not sent yet
    Phase phase = BEFORE;
    Clock::time_point at;
};

double ms_between(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

bool run_once(const Options& o, int run) {
    vek_test::NatsServer server;
    if (!server.start()) {
        fprintf(stderr, "probe_outage: cannot start %s\n", vek_test::nats_server_binary().c_str());
        return false;
    }
    vek_nats::NATSSvcParam p;
    p.max_reconnect = 600;  // about 30 s of attempts
    p.reconnect_wait = 50;
    p.recv_timeout = 200;
    vek_nats::CNATSSubscriber sub;
    vek_nats::CNATSPublisher pub;
    svc_status s = sub.connect(server.url().c_str(), p);
    if (s == 0) s = sub.subscribe_sync(SUBJECT);
    if (s == 0) s = sub.flush(5000);
    if (s == 0) s = pub.connect(server.url().c_str(), p);
    if (s != 0) {
        fprintf(stderr, "probe_outage: set-up failed: 0x%08X\n", s);
        return false;
    }

    std::vector<int> arrived(static_cast<size_t>(o.messages), 0);
    std::atomic<Clock::time_point::rep> last_arrival{Clock::now().time_since_epoch().count()};
    std::atomic<bool> reading{true};
    std::thread reader([&] {
        vek_nats::NATSSvcMsg m;
        while (reading) {
            const svc_status r = sub.recv_sync(SUBJECT, m);
            if (r == 0 || r >= LOWEST_STATUS_CODE) continue;  // time-out or reconnecting
            const int seq = atoi(m.data.c_str());
            if (seq >= 0 && seq < o.messages) ++arrived[static_cast<size_t>(seq)];
            last_arrival = Clock::now().time_since_epoch().count();
        }
    });

    std::atomic<int> published{0};
    std::atomic<int> phase{BEFORE};
    Clock::time_point killed, restarted;
    bool restart_ok = false;
    std::thread operator_thread([&] {
        while (published.load() < o.kill_at) std::this_thread::sleep_for(1ms);
        server.kill_hard();
        killed = Clock::now();
        phase = DOWN;
        std::this_thread::sleep_for(std::chrono::milliseconds(o.down_ms));
        restart_ok = server.start();
        restarted = Clock::now();
        phase = AFTER;
    });

    std::vector<Sent> sent(static_cast<size_t>(o.messages));
    const auto interval = std::chrono::microseconds(o.interval_us);
    auto next = Clock::now();
    for (int i = 0; i < o.messages; ++i) {
        Sent& e = sent[static_cast<size_t>(i)];
        e.phase = static_cast<Phase>(phase.load());
        e.at = Clock::now();
        e.status = pub.publish_string(SUBJECT, std::to_string(i).c_str());
        published = i + 1;
        next += interval;
        std::this_thread::sleep_until(next);
    }
    operator_thread.join();
    pub.flush(5000);
    // Done when nothing has arrived for two seconds (at most 20 s).
    const auto deadline = Clock::now() + 20s;
    while (Clock::now() < deadline &&
           Clock::now().time_since_epoch().count() - last_arrival.load() <
               std::chrono::duration_cast<Clock::duration>(2s).count()) {
        std::this_thread::sleep_for(50ms);
    }
    reading = false;
    reader.join();
    if (!restart_ok) {
        fprintf(stderr, "probe_outage: the server did not restart on port %d\n", server.port());
        return false;
    }

    int ok[PHASES] = {}, lost[PHASES] = {}, failed[PHASES] = {};
    int duplicates = 0;
    double first_lost_ms[PHASES], last_lost_ms[PHASES];
    for (int k = 0; k < PHASES; ++k) first_lost_ms[k] = last_lost_ms[k] = 0;
    for (int i = 0; i < o.messages; ++i) {
        const Sent& e = sent[static_cast<size_t>(i)];
        const int n = arrived[static_cast<size_t>(i)];
        duplicates += n > 1 ? n - 1 : 0;
        if (e.status != 0) {
            ++failed[e.phase];
            continue;
        }
        ++ok[e.phase];
        if (n > 0) continue;
        // Lost: its time from the kill (before, down) or from the restart (after).
        const double t = ms_between(e.phase == AFTER ? restarted : killed, e.at);
        if (lost[e.phase]++ == 0) first_lost_ms[e.phase] = t;
        last_lost_ms[e.phase] = t;
    }
    int all_ok = 0, all_lost = 0;
    printf("run %d: %d messages, one every %d us; killed after %d, down %.0f ms\n", run, o.messages,
           o.interval_us, o.kill_at, ms_between(killed, restarted));
    for (int k = 0; k < PHASES; ++k) {
        all_ok += ok[k];
        all_lost += lost[k];
        printf("  %-26s returned 0: %5d  arrived: %5d  lost: %5d", PHASE_NAMES[k], ok[k],
               ok[k] - lost[k], lost[k]);
        if (lost[k] > 0) {
            printf("  (published %.1f .. %.1f ms %s)", first_lost_ms[k], last_lost_ms[k],
                   k == AFTER ? "after the restart" : "from the kill");
        }
        if (failed[k] > 0) printf("  publish failed: %d", failed[k]);
        printf("\n");
    }
    printf("  total: %d of %d publishes that returned 0 arrived, %d lost, %d duplicates\n",
           all_ok - all_lost, all_ok, all_lost, duplicates);
    return true;
}

bool parse_int(const char* text, int min, int* out) {
    char* end = nullptr;
    const long v = strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < min || v > 100000000) return false;
    *out = static_cast<int>(v);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : "";
        const bool ok = (a == "--runs" && parse_int(v, 1, &o.runs)) ||
                        (a == "--messages" && parse_int(v, 2, &o.messages)) ||
                        (a == "--kill-at" && parse_int(v, 1, &o.kill_at)) ||
                        (a == "--down-ms" && parse_int(v, 0, &o.down_ms)) ||
                        (a == "--interval-us" && parse_int(v, 0, &o.interval_us));
        if (!ok || o.kill_at >= o.messages) {
            fprintf(stderr,
                    "usage: probe_outage [--runs N] [--messages N] [--kill-at N] [--down-ms N] "
                    "[--interval-us N]\n");
            return 2;
        }
        ++i;
    }
    for (int run = 1; run <= o.runs; ++run) {
        if (!run_once(o, run)) return 1;
    }
    return 0;
}
