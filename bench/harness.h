#pragma once

// Measuring tools shared by the raw libnats and the vek_nats sides of the benchmark: clocks,
// statistics, a private nats-server and a feeder process that publishes from outside.
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/harness.h"

namespace bench {

// Subjects are 19 characters long on purpose: past the small-string buffer of std::string,
// as real subjects of this system are.
inline constexpr const char* PUB_SUBJECT = "bench.pub.subject.1";
inline constexpr const char* QUEUE_SUBJECT = "bench.que.subject.1";
inline constexpr const char* SYNC_SUBJECT = "bench.syn.subject.1";
// One per request/reply pair that runs at the same time.
inline constexpr const char* REQ_SUBJECTS[] = {
    "bench.req.subject.1", "bench.req.subject.2", "bench.req.subject.3", "bench.req.subject.4",
    "bench.req.subject.5", "bench.req.subject.6", "bench.req.subject.7"};
inline constexpr const char* MEM_SUBJECT = "bench.mem.subject.1";
// 16 bytes without a zero byte, so the wrapper's text copy covers the whole payload.
inline constexpr const char* REQUEST_TEXT = "request-16-bytes";
inline constexpr const char* REPLY_TEXT = "reply";
// A request with this text ends a wrapper replier's loop; it is answered like any other.
inline constexpr const char* STOP_TEXT = "stop";
// The library tests it with access(2) at every gated record; gated raw readers do the same.
inline constexpr const char* SWITCH_FILE = "/tmp/vek_nats_debug";

std::int64_t wall_ns();
// User + system time of every thread of this process (libnats' own threads included).
std::int64_t cpu_ns();

// One measured run of one variant.
struct Measure {
    bool ok = false;
    std::string error;
    double value = 0;         // the figure compared (msg/s, latency in us, bytes per message)
    double cpu_per_msg = 0;   // ns of process CPU per message or request
    double heap_per_msg = 0;  // memory runs only: malloc's bytes in use per message
    // Latency runs only.
    double p50_us = 0, p90_us = 0, p99_us = 0, per_second = 0;
    std::vector<double> samples_us;  // every request's round trip, for pooled percentiles
};

Measure failed(std::string why);

// Wall and CPU time from construction to finish(), turned into a throughput Measure.
class Stopwatch {
public:
    Stopwatch() : m_wall(wall_ns()), m_cpu(cpu_ns()) {}
    Measure finish(std::int64_t count) const;
    // As finish, but the rate uses the span of `first`..`last` (wall ns), so that start-up
    // before the first message does not count; CPU still runs from construction.
    Measure finish_span(std::int64_t count, std::int64_t first, std::int64_t last) const;

private:
    std::int64_t m_wall, m_cpu;
};

struct Spread {
    double median = 0, min = 0, max = 0;
    // Half the range as a share of the median.
    double relative() const { return median != 0 ? (max - min) / 2 / median : 0; }
};
Spread spread_of(std::vector<double> values);
// Nearest-rank percentile (0 < q <= 1) of unsorted samples.
double percentile(std::vector<double> samples, double q);

// Gives every function `count` units of work in blocks of `block`, the functions taking turns
// block by block so that all of them see the same moments of the machine's load. Per
// function: units per second over its own blocks and process CPU per unit.
std::vector<Measure> measure_blocks(std::int64_t count, std::int64_t block,
                                    const std::vector<std::function<bool(std::int64_t)>>& work);

// Runs `n` rounds; each round times one request of every function, starting with a different
// one each round. Per function: p50/p90/p99 in us (value = p50), requests per second of
// sequential requests, and process CPU per request, taken around each request alone.
std::vector<Measure> measure_interleaved(std::int64_t n,
                                         const std::vector<std::function<bool()>>& requests);

// Resident set size of this process in bytes, from /proc/self/statm.
long rss_bytes();
// Returns freed heap pages to the system, so that RSS counts what is held.
void trim_heap();
// Trims until the heap stops changing: libnats releases a destroyed subscription's pending
// messages in the background, and they must not fall into the next measurement.
void settle_heap();
// Bytes that malloc has handed out and not got back, over all arenas.
long heap_in_use();

bool wait_for(const std::function<bool()>& pred, std::int64_t timeout_ms);

// The test suite's nats-server fixture, with limits that let a flood-then-drain run finish.
// The binary is $NATS_SERVER_BIN, else /usr/sbin/nats-server.
class Server {
public:
    Server();
    ~Server();
    bool start();
    void stop();
    std::string url() const;

private:
    std::unique_ptr<vek_test::NatsServer> m_server;
};

// This program run again in feeder mode: it publishes `count` payloads of `size` bytes on
// `subject` over a raw connection of its own and exits, so that the publishing costs no CPU
// of the measured process.
class Feeder {
public:
    Feeder() = default;
    ~Feeder() { wait(); }
    Feeder(const Feeder&) = delete;
    Feeder& operator=(const Feeder&) = delete;
    bool start(const std::string& url, const char* subject, std::int64_t count, int size);
    // Reaps the feeder; true when it published everything.
    bool wait();

private:
    pid_t m_pid = -1;
    bool m_ok = false;
};

// Entry of the feeder mode; returns the process exit code.
int run_feeder(const char* url, const char* subject, std::int64_t count, int size);

}  // namespace bench
