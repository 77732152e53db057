// vek_nats against raw libnats, case by case, in one run on one private server. Every case has
// two twins (sides.h) doing the same work; Google Benchmark runs rounds in which each twin
// takes one turn, the first of the two alternating, so that both see the same moments of the
// machine's load. Repetitions and their statistics are Google Benchmark's; the table at the
// end shows each case's ratio vek_nats / raw with its spread and the CPU time per unit.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <thread>

#include "sides.h"
#include "support/harness.h"

namespace {

using namespace bench;
using namespace std::chrono_literals;

std::string g_url;
double g_scale = 1;
std::unique_ptr<vek_test::Process> g_feeder;

std::int64_t wall_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// User + system time of every thread of this process (libnats' own threads included).
std::int64_t cpu_ns() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return std::int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

long rss_bytes() {
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages >> pages;
    return pages * sysconf(_SC_PAGESIZE);
}

long heap_in_use() {
    const struct mallinfo2 mi = mallinfo2();
    return long(mi.uordblks + mi.hblkhd);
}

// libnats releases a destroyed subscription's pending messages in the background: trims until
// the heap stops changing, so that they do not fall into the next measurement.
void settle_heap() {
    long last = -1;
    for (int i = 0; i < 100; ++i) {  // 5 s at most
        std::this_thread::sleep_for(50ms);
        malloc_trim(0);
        const long now = heap_in_use();
        if (std::labs(now - last) < 64 * 1024) return;
        last = now;
    }
}

double percentile(std::vector<double> samples, double q) {
    if (samples.empty()) return 0;
    const size_t rank = size_t(std::ceil(q * double(samples.size())));
    std::nth_element(samples.begin(), samples.begin() + std::max<size_t>(rank, 1) - 1,
                     samples.end());
    return samples[std::max<size_t>(rank, 1) - 1];
}

// A requestor and the replier it asks on a subject of their own: a unit is one round trip.
class Exchange : public Side {
public:
    Exchange(SidePtr replier, SidePtr requestor)
        : m_replier(std::move(replier)), m_requestor(std::move(requestor)) {
        error = m_replier->error.empty() ? m_requestor->error : m_replier->error;
    }
    bool run(std::int64_t n) override { return m_requestor->run(n); }

private:
    SidePtr m_replier, m_requestor;  // the requestor goes first
};

Maker exchange(std::function<SidePtr(const std::string&)> replier,
               std::function<SidePtr(const std::string&)> requestor) {
    return [=] {
        const std::string subject = new_subject("req");
        return std::make_unique<Exchange>(replier(subject), requestor(subject));
    };
}
auto raw_rep(Replier how) {
    return [how](const std::string& subject) { return raw_replier(subject, how); };
}
auto vek_rep(bool sync) {
    return [sync](const std::string& subject) { return vek_replier(subject, sync); };
}

// rate: units per second; latency: one round trip per turn, p50 and p99 of the turns;
// memory: bytes per message held unread, by malloc's count of bytes in use (steady) and by
// resident memory (which moves with what earlier cases left free in the heap).
enum class Kind { rate, latency, memory };

struct Case {
    const char* name;
    Kind kind;
    std::int64_t block;  // units per turn (memory: messages held)
    Maker raw, vek;
    // The performance issue's target, 0 for none: a rate's ratio at least, a latency's ratio at
    // most, vek_nats' bytes per message held at most.
    double target = 0;
};

// The raw receive twins that make one access(2) per message, as the library must for its
// trace record, are the comparators of the targets; the plain ones show what the test costs.
// The control cases run raw against raw: their distance from 1.00 is the noise of the run.
const std::vector<Case> CASES = {
    {"publish/16B/batched", Kind::rate, 20000, raw_publisher(16, false), vek_publisher(16, false),
     0.95},
    {"publish/16B/asap", Kind::rate, 1000, raw_publisher(16, true), vek_publisher(16, true), 0.97},
    // The raw twin with the wrapper's default write deadline: what libnats' deadline costs.
    {"publish/16B/batched/deadline", Kind::rate, 20000, raw_publisher(16, false, false, true),
     vek_publisher(16, false)},
    {"publish/1KiB/batched", Kind::rate, 20000, raw_publisher(1024, false),
     vek_publisher(1024, false)},
    {"publish/1KiB/asap", Kind::rate, 1000, raw_publisher(1024, true), vek_publisher(1024, true),
     0.97},
    {"control/publish/16B/asap", Kind::rate, 1000, raw_publisher(16, true),
     raw_publisher(16, true)},
    {"queue/gated-deque", Kind::rate, 20000, raw_reader(Reader::deque_gated, 16),
     vek_reader(Recv::queue, 16), 1.00},
    {"queue/deque", Kind::rate, 20000, raw_reader(Reader::deque, 16), vek_reader(Recv::queue, 16)},
    {"queue/count", Kind::rate, 20000, raw_reader(Reader::count, 16), vek_reader(Recv::queue, 16)},
    {"sync/gated-next", Kind::rate, 20000, raw_reader(Reader::next_msg_gated, 16),
     vek_reader(Recv::sync, 16), 0.95},
    {"sync/next", Kind::rate, 20000, raw_reader(Reader::next_msg, 16), vek_reader(Recv::sync, 16)},
    {"queue/gated-deque/64KiB", Kind::rate, 2000, raw_reader(Reader::deque_gated, 65536),
     vek_reader(Recv::queue, 65536), 0.90},
    {"sync/gated-next/64KiB", Kind::rate, 2000, raw_reader(Reader::next_msg_gated, 65536),
     vek_reader(Recv::sync, 65536), 0.90},
    {"reqrep/recv", Kind::latency, 1, exchange(raw_rep(Replier::handoff), raw_requestor),
     exchange(vek_rep(false), vek_requestor), 1.05},
    {"reqrep/recv_sync", Kind::latency, 1, exchange(raw_rep(Replier::next_msg), raw_requestor),
     exchange(vek_rep(true), vek_requestor)},
    {"reqrep/recv_sync/gated", Kind::latency, 1,
     exchange(raw_rep(Replier::next_msg_gated), raw_gated_requestor),
     exchange(vek_rep(true), vek_requestor), 1.03},
    {"requestor", Kind::latency, 1, exchange(raw_rep(Replier::callback), raw_requestor),
     exchange(raw_rep(Replier::callback), vek_requestor), 1.03},
    {"reqrep/recv-vs-callback", Kind::latency, 1,
     exchange(raw_rep(Replier::callback), raw_requestor), exchange(vek_rep(false), vek_requestor)},
    {"control/reqrep", Kind::latency, 1, exchange(raw_rep(Replier::callback), raw_requestor),
     exchange(raw_rep(Replier::callback), raw_requestor)},
    // Every byte and headers: the raw twins copy the same bytes and build the same natsMsg.
    {"publish/16B/headers", Kind::rate, 20000, raw_publisher(16, false, true),
     vek_publisher(16, false, true), 0.95},
    {"queue/binary", Kind::rate, 20000, raw_reader(Reader::deque_gated, 16),
     vek_reader(Recv::queue, 16, true), 0.95},
    {"sync/binary", Kind::rate, 20000, raw_reader(Reader::next_msg_gated, 16),
     vek_reader(Recv::sync, 16, true), 0.95},
    {"stream/publish", Kind::latency, 1, raw_stream(Js::publish), vek_stream(Js::publish), 1.05},
    {"stream/publish_async", Kind::rate, 5000, raw_stream(Js::publish_async),
     vek_stream(Js::publish_async), 0.95},
    {"stream/fetch_ack", Kind::rate, 5000, raw_stream(Js::fetch_ack), vek_stream(Js::fetch_ack),
     0.95},
    {"memory/16B", Kind::memory, 1000000, raw_reader(Reader::held, 16), vek_reader(Recv::held, 16),
     120},
};

struct Tally {
    std::int64_t wall = 0, cpu = 0, units = 0;
    double heap = 0, rss = 0;  // memory: bytes per message held, malloc's count and resident
    std::vector<double> us;    // latency: one sample per turn
};

bool turn(Side& side, const Case& c, std::int64_t n, Tally& t) {
    const bool memory = c.kind == Kind::memory;
    if (memory) settle_heap();
    const long rss = memory ? rss_bytes() : 0;
    const long heap = memory ? heap_in_use() : 0;
    const std::int64_t cpu = cpu_ns(), start = wall_ns();
    const bool ok = side.run(n);
    const std::int64_t wall = wall_ns() - start;
    t.cpu += cpu_ns() - cpu;
    t.wall += wall;
    t.units += n;
    if (c.kind == Kind::latency) t.us.push_back(double(wall) / 1e3);
    if (memory) {
        malloc_trim(0);  // freed pages go back, so that RSS counts what is held
        t.heap = double(heap_in_use() - heap) / double(n);
        t.rss = double(rss_bytes() - rss) / double(n);
    }
    return ok;
}

void run_case(benchmark::State& state, const Case& c) {
    static std::int64_t calls = 0;  // memory runs one round: the repetitions alternate instead
    const std::int64_t block = std::max<std::int64_t>(1, std::llround(double(c.block) * g_scale));
    vek_test::Watchdog dog(600s);
    const SidePtr sides[2] = {c.raw(), c.vek()};
    Tally t[2];
    for (const SidePtr& s : sides) {
        if (!s->error.empty()) return state.SkipWithError(s->error.c_str());
        // The first request of a connection sets up its reply subscription.
        if (c.kind != Kind::memory && !s->run(c.kind == Kind::latency ? 50 : block))
            return state.SkipWithError("the warm-up failed");
    }
    std::int64_t round = calls++;
    for (auto _ : state) {
        const int first = int(round++ % 2);
        if (!turn(*sides[first], c, block, t[first]) ||
            !turn(*sides[1 - first], c, block, t[1 - first])) {
            state.SkipWithError("a turn failed");
            break;
        }
    }
    // Per side, the figure judged and, for latency and memory, a second one (p99, RSS).
    double figures[2][2] = {};
    for (int i = 0; i < 2; ++i) {
        const bool latency = c.kind == Kind::latency;
        const double units = double(std::max<std::int64_t>(t[i].units, 1));
        figures[0][i] = c.kind == Kind::rate
                            ? units * 1e9 / double(std::max<std::int64_t>(t[i].wall, 1))
                        : latency ? percentile(t[i].us, 0.50)
                                  : t[i].heap;
        figures[1][i] = latency ? percentile(t[i].us, 0.99) : t[i].rss;
        state.counters[i == 0 ? "raw_cpu" : "vek_cpu"] = double(t[i].cpu) / units;
    }
    for (int k = 0; k < (c.kind == Kind::rate ? 1 : 2); ++k) {
        const std::string second = k == 0 ? "" : "2";
        state.counters["raw" + second] = figures[k][0];
        state.counters["vek" + second] = figures[k][1];
        state.counters["ratio" + second] = figures[k][0] != 0 ? figures[k][1] / figures[k][0] : 0;
    }
}

// The shape of the queue recv's trace record, with its arguments.
#define TRACE_RECORD "%s(%d)- Received msg: %s -> %.*s, recv_ts=%ld ms, queue sz=%zu"
#define TRACE_ARGS "recv", 123, "bench.que.subject.1", 16, "xxxxxxxxxxxxxxxx", 0L, size_t(7)

// A trace record costs its gate while the switch file is absent; beside it, the gate's
// access(2) alone and the formatting the gate saves.
void trace_record(benchmark::State& state) {
    for (auto _ : state) vek_nats::log_dump(1, 0, TRACE_RECORD, TRACE_ARGS);
}
void trace_access(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(access(bench::SWITCH_FILE, F_OK));
}
void trace_format(benchmark::State& state) {
    char record[256];
    for (auto _ : state)
        benchmark::DoNotOptimize(snprintf(record, sizeof(record), TRACE_RECORD, TRACE_ARGS));
}

std::string figure(double v, Kind kind) {
    char text[32];
    if (kind == Kind::rate) {
        snprintf(text, sizeof(text), v >= 1e6 ? "%.3f M/s" : "%.1f k/s",
                 v / (v >= 1e6 ? 1e6 : 1e3));
    } else {
        snprintf(text, sizeof(text), kind == Kind::latency ? "%.1f us" : "%.0f B", v);
    }
    return text;
}

std::string nanoseconds(double ns) {
    char text[32];
    snprintf(text, sizeof(text), ns >= 1e4 ? "%.1f us" : "%.0f ns", ns >= 1e4 ? ns / 1e3 : ns);
    return text;
}

std::string verdict(const Case& c, double judged) {
    if (c.target <= 0) return "";
    const bool met = c.kind == Kind::rate ? judged >= c.target : judged <= c.target;
    char bound[16];
    snprintf(bound, sizeof(bound), c.kind == Kind::memory ? "%.0f B" : "%.2f", c.target);
    return (c.kind == Kind::rate ? ">= " : "<= ") + std::string(bound) + (met ? " met" : " MISSED");
}

// Google Benchmark's own lines go to standard error as the run goes; the table of the cases
// goes to standard output at the end, from the medians and coefficients of variation of the
// repetitions (from the one run when there is one repetition).
class Table : public benchmark::ConsoleReporter {
public:
    Table() : ConsoleReporter(OO_None) {
        SetOutputStream(&std::cerr);
        SetErrorStream(&std::cerr);
    }
    bool failed() const { return !m_errors.empty(); }

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            if (r.error_occurred) m_errors.push_back(r.benchmark_name() + ": " + r.error_message);
            const std::string key = r.run_type == Run::RT_Aggregate ? r.aggregate_name : "";
            m_runs[r.run_name.function_name].emplace(key, r);
            m_repetitions = std::max(m_repetitions, r.repetitions);
        }
    }

    void Finalize() override {
        double load = -1;
        getloadavg(&load, 1);
        printf("vek_nats_bench: server %s, libnats %s, %ld CPUs, load average %.2f at the end\n",
               g_url.c_str(), nats_GetVersion(), sysconf(_SC_NPROCESSORS_ONLN), load);
        printf("NATSSvcParam default send_asap=%s (request/reply runs with it); %lld repetitions\n",
               vek_nats::NATSSvcParam{}.send_asap ? "true" : "false",
               static_cast<long long>(m_repetitions));
        printf(
            "rounds: each twin one turn, the first alternating; ratio = vek_nats / raw, median "
            "± coefficient of variation of the repetitions; CPU: of the whole process per "
            "unit\n\n");
        printf("%-28s %-13s %-13s %-12s %-22s %s\n", "case", "raw", "vek_nats", "ratio",
               "CPU raw / vek", "target");
        const auto at = [](const Run* run, const std::string& counter) {
            return run == nullptr ? -1 : run->counters.at(counter).value;
        };
        const char* const labels[][2] = {{"", nullptr}, {" p50", " p99"}, {" heap", " RSS"}};
        for (const Case& c : CASES) {
            const Run* r = find(c.name, "median");
            const Run* cv = find(c.name, "cv");  // none with one repetition
            for (int k = 0; r != nullptr && k < 2 && labels[int(c.kind)][k] != nullptr; ++k) {
                const std::string n = k == 0 ? "" : "2";
                char spread[16] = "";
                if (cv != nullptr)
                    snprintf(spread, sizeof(spread), "±%.0f%%", at(cv, "ratio" + n) * 100);
                const std::string cpu =
                    k == 0 ? nanoseconds(at(r, "raw_cpu")) + " / " + nanoseconds(at(r, "vek_cpu"))
                           : "";
                const std::string target =
                    k == 0 ? verdict(c, at(r, c.kind == Kind::memory ? "vek" : "ratio")) : "";
                printf("%-28s %-13s %-13s %6.3f %-5s %-22s %s\n",
                       (c.name + std::string(labels[int(c.kind)][k])).c_str(),
                       figure(at(r, "raw" + n), c.kind).c_str(),
                       figure(at(r, "vek" + n), c.kind).c_str(), at(r, "ratio" + n), spread,
                       cpu.c_str(), target.c_str());
            }
        }
        for (const char* name : {"trace/record", "trace/access", "trace/format"}) {
            if (const Run* r = find(name, "median"))
                printf("%-28s %s per call\n", name, nanoseconds(r->GetAdjustedRealTime()).c_str());
        }
        for (const std::string& e : m_errors) printf("FAILED: %s\n", e.c_str());
    }

private:
    // An aggregate of the repetitions; the median is the one run when there is one repetition.
    const Run* find(const std::string& name, const std::string& aggregate) const {
        const auto runs = m_runs.find(name);
        if (runs == m_runs.end()) return nullptr;
        auto r = runs->second.find(aggregate);
        if (r == runs->second.end() && aggregate == "median") r = runs->second.find("");
        return r == runs->second.end() || r->second.error_occurred ? nullptr : &r->second;
    }
    std::map<std::string, std::multimap<std::string, Run>> m_runs;
    std::int64_t m_repetitions = 1;
    std::vector<std::string> m_errors;
};

// The feeder: this program again, publishing what feed() asks for over a raw connection of its
// own, so that the publishing costs the measured process no CPU.
int run_feeder(const char* url) {
    natsOptions* opts = nullptr;
    natsConnection* nc = nullptr;
    natsStatus s = natsOptions_Create(&opts);
    if (s == NATS_OK) s = natsOptions_SetURL(opts, url);
    // Batched writes: the feeder must outrun every reader it feeds.
    if (s == NATS_OK) s = natsOptions_SetSendAsap(opts, false);
    if (s == NATS_OK) s = natsConnection_Connect(&nc, opts);
    std::string subject;
    std::int64_t count = 0;
    for (int size = 0; s == NATS_OK && std::cin >> subject >> count >> size;) {
        const std::string payload(size_t(size), 'x');
        for (std::int64_t i = 0; s == NATS_OK && i < count; ++i)
            s = natsConnection_Publish(nc, subject.c_str(), payload.data(), size);
        if (s == NATS_OK) s = natsConnection_FlushTimeout(nc, 60000);
    }
    if (s != NATS_OK) fprintf(stderr, "feeder: %s\n", natsStatus_GetText(s));
    natsConnection_Destroy(nc);
    natsOptions_Destroy(opts);
    return s == NATS_OK ? 0 : 1;
}

// The test suite's server fixture, allowed to hold far more for a flooded subscriber than its
// defaults: a reader that falls behind must not be cut off as a slow consumer.
std::unique_ptr<vek_test::NatsServer> start_server() {
    const std::string conf = "/tmp/vek_nats_bench." + std::to_string(getpid()) + ".conf";
    // JetStream for the stream cases, which store in memory; the directory is never written.
    std::ofstream(conf) << "max_pending: 1073741824\nwrite_deadline: \"60s\"\n"
                        << "jetstream { store_dir: \"/tmp/vek_nats_bench.js\" }\n";
    std::unique_ptr<vek_test::NatsServer> server;
    for (int attempt = 0; attempt < 3 && server == nullptr; ++attempt) {  // the port may be taken
        server = std::make_unique<vek_test::NatsServer>(0, vek_test::Strings{"-c", conf});
        if (!server->start()) server.reset();
    }
    std::filesystem::remove(conf);
    return server;
}

const char* const USAGE =
    "usage: vek_nats_bench [--server URL] [--scale F] [--lock-spin N] [benchmark flags]\n"
    "       vek_nats_bench --side raw|vek --case NAME --units N [--server URL] [--lock-spin N]\n"
    "  --server URL    use this NATS server instead of starting one ($NATS_SERVER_BIN, else\n"
    "                  /usr/sbin/nats-server)\n"
    "  --scale F       multiplies the units of every turn and the messages held (default 1)\n"
    "  --lock-spin N   libnats' lock spin count (nats_Open); 0 for instruction counts that do\n"
    "                  not depend on the scheduling of threads\n"
    "  --side, --case, --units: runs one side of one case for N units, once, for a profiler\n"
    "  Google Benchmark's flags (--benchmark_filter=REGEX, --benchmark_repetitions=N (default 3),\n"
    "  --benchmark_min_time=S (default 1), --benchmark_out=FILE, ...) choose and repeat cases\n";

}  // namespace

const std::string& bench::server_url() {
    return g_url;
}

std::string bench::new_subject(const char* kind) {
    static std::atomic<int> made{0};
    return std::string("bench.") + kind + ".subject." + std::to_string(++made);
}

void bench::feed(const std::string& subject, std::int64_t n, int size) {
    g_feeder->input(subject + " " + std::to_string(n) + " " + std::to_string(size) + "\n");
}

bool bench::arrives(std::int64_t n, const std::function<bool()>& pred) {
    return vek_test::wait_until(pred, std::chrono::milliseconds(30000 + n / 20));
}

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "--feed") == 0) return run_feeder(argv[2]);
    std::vector<char*> args{argv[0], const_cast<char*>("--benchmark_repetitions=3"),
                            const_cast<char*>("--benchmark_min_time=1")};
    args.insert(args.end(), argv + 1, argv + argc);
    int count = int(args.size());
    benchmark::Initialize(&count, args.data());
    std::map<std::string, std::string> flag{{"--server", ""},      {"--scale", "1"},
                                            {"--lock-spin", "-1"}, {"--side", ""},
                                            {"--case", ""},        {"--units", "0"}};
    for (int i = 1; i < count; i += 2) {
        const auto f = flag.find(args[i]);
        if (f == flag.end() || i + 1 == count) {
            fputs(USAGE, stderr);
            return 2;
        }
        f->second = args[i + 1];
    }
    g_url = flag["--server"];
    g_scale = atof(flag["--scale"].c_str());
    const std::string side = flag["--side"];
    const long long lock_spin = atoll(flag["--lock-spin"].c_str()),
                    units = atoll(flag["--units"].c_str());
    // Before any other libnats call, which would open the library with the default.
    if (lock_spin >= 0 && nats_Open(lock_spin) != NATS_OK) return 1;
    if (access(bench::SWITCH_FILE, F_OK) == 0) {
        fprintf(stderr, "%s exists: tracing is on, the gated cases cannot run\n",
                bench::SWITCH_FILE);
        return 1;
    }
    // Keeps the wrapper's process-wide count above zero while raw connections exist: the last
    // wrapper object to go closes the NATS client library for the whole process.
    vek_nats::CNATSPublisher anchor;
    std::unique_ptr<vek_test::NatsServer> server;
    if (g_url.empty()) {
        if ((server = start_server()) == nullptr) {
            fprintf(stderr, "cannot start %s\n", vek_test::nats_server_binary().c_str());
            return 1;
        }
        g_url = server->url();
    }
    g_feeder = std::make_unique<vek_test::Process>(
        vek_test::Strings{std::filesystem::read_symlink("/proc/self/exe"), "--feed", g_url});

    if (!side.empty()) {  // one side alone, for bench/profile
        const auto c = std::find_if(CASES.begin(), CASES.end(),
                                    [&](const Case& k) { return k.name == flag["--case"]; });
        if (c == CASES.end() || units <= 0 || (side != "raw" && side != "vek")) {
            fputs(USAGE, stderr);
            return 2;
        }
        const SidePtr s = side == "raw" ? c->raw() : c->vek();
        // Context switches of every thread of this process during the run (bench/profile).
        rusage before{}, after{};
        getrusage(RUSAGE_SELF, &before);
        const bool ok = s->error.empty() && s->run(units);
        getrusage(RUSAGE_SELF, &after);
        if (!ok) fprintf(stderr, "%s %s failed: %s\n", c->name, side.c_str(), s->error.c_str());
        fprintf(stderr, "context switches: %ld voluntary, %ld involuntary\n",
                after.ru_nvcsw - before.ru_nvcsw, after.ru_nivcsw - before.ru_nivcsw);
        return ok ? 0 : 1;
    }
    for (const Case& c : CASES) {
        auto* b = benchmark::RegisterBenchmark(c.name, run_case, c);
        if (c.kind == Kind::memory) b->Iterations(1);  // both twins hold their messages at once
    }
    benchmark::RegisterBenchmark("trace/record", trace_record);
    benchmark::RegisterBenchmark("trace/access", trace_access);
    benchmark::RegisterBenchmark("trace/format", trace_format);
    Table table;
    benchmark::RunSpecifiedBenchmarks(&table);
    benchmark::Shutdown();
    return table.failed() ? 1 : 0;
}
