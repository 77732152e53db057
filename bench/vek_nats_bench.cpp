// Side-by-side benchmark of vek_nats against raw libnats on one server, in one run: each
// case runs its raw and wrapper variants back to back, alternating which goes first, over
// several repetitions, and the table shows medians, their spread and CPU time per message.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "cases.h"
#include "harness.h"
#include "vek_nats/vek_nats.h"

namespace {

using bench::Measure;

struct Options {
    std::string server_url;  // empty: start a private nats-server
    int reps = 5;
    std::int64_t count = 1000000;       // queue and recv_sync messages
    std::int64_t pub_count = 2000000;   // publishes with send_asap=false
    std::int64_t asap_count = 100000;   // publishes with send_asap=true
    std::int64_t requests = 4000;       // timed requests per pair and run
    std::int64_t mem_count = 1000000;   // messages left unread
    std::int64_t trace_count = 200000;  // gated trace records
    bool reqrep_asap = vek_nats::NATSSvcParam{}.send_asap;
    std::string cases = "publish,queue,sync,reqrep,memory,trace";
    std::string side;             // runs only variants whose name starts with it (for profiling)
    std::int64_t lock_spin = -1;  // libnats' default
};

void usage(FILE* out) {
    fprintf(out,
            "usage: vek_nats_bench [options]\n"
            "  --server URL         use this NATS server instead of starting one (started:\n"
            "                       $NATS_SERVER_BIN, else /usr/sbin/nats-server)\n"
            "  --reps N             repetitions per case (default 5)\n"
            "  --count N            messages for queue recv and recv_sync (default 1000000)\n"
            "  --pub-count N        publishes with send_asap=false (default 2000000)\n"
            "  --asap-count N       publishes with send_asap=true (default 100000)\n"
            "  --requests N         timed requests per request/reply pair and run (default\n"
            "                       4000); the six pairs run at once, requests alternating\n"
            "  --mem-count N        messages queued unread for the memory case (default 1000000)\n"
            "  --trace-count N      gated trace records timed (default 200000)\n"
            "  --reqrep-asap 0|1    send_asap of both request/reply sides (default: the\n"
            "                       NATSSvcParam default)\n"
            "  --cases LIST         comma list of publish,queue,sync,reqrep,memory,trace; one\n"
            "                       publish case: publish-16, publish-16-asap, publish-1k,\n"
            "                       publish-1k-asap\n"
            "  --side NAME          run only the variant named NAME of each case, or where none\n"
            "                       is, those whose name starts with NAME (raw, vek, raw-deque,\n"
            "                       ...), for a profiler; prints no table\n"
            "  --lock-spin N        libnats' lock spin count (nats_Open); 0 for instruction\n"
            "                       counts that do not depend on the scheduling of threads\n");
}

bool parse_count(const char* text, std::int64_t min, std::int64_t* out) {
    char* end = nullptr;
    const long long v = strtoll(text, &end, 10);
    if (end == text || *end != '\0' || v < min) return false;
    *out = v;
    return true;
}

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            usage(stdout);
            exit(0);
        }
        if (i + 1 >= argc) return false;
        const char* v = argv[++i];
        std::int64_t n = 0;
        if (a == "--server") {
            o.server_url = v;
        } else if (a == "--cases") {
            o.cases = v;
        } else if (a == "--side") {
            o.side = v;
        } else if (a == "--reqrep-asap" && (strcmp(v, "0") == 0 || strcmp(v, "1") == 0)) {
            o.reqrep_asap = v[0] == '1';
        } else if (a == "--reps" && parse_count(v, 1, &n)) {
            o.reps = static_cast<int>(n);
        } else if (a == "--count" && parse_count(v, 2, &n)) {
            o.count = n;
        } else if (a == "--pub-count" && parse_count(v, 1, &n)) {
            o.pub_count = n;
        } else if (a == "--asap-count" && parse_count(v, 1, &n)) {
            o.asap_count = n;
        } else if (a == "--requests" && parse_count(v, 1, &n)) {
            o.requests = n;
        } else if (a == "--mem-count" && parse_count(v, 1, &n)) {
            o.mem_count = n;
        } else if (a == "--trace-count" && parse_count(v, 1, &n)) {
            o.trace_count = n;
        } else if (a == "--lock-spin" && parse_count(v, 0, &n)) {
            o.lock_spin = n;
        } else {
            return false;
        }
    }
    return true;
}

bool wanted(const Options& o, const char* name) {
    const std::string list = "," + o.cases + ",";
    return list.find("," + std::string(name) + ",") != std::string::npos;
}

struct Variant {
    Variant(std::string n, std::function<Measure()> r) : name(std::move(n)), run(std::move(r)) {}
    std::string name;
    std::function<Measure()> run;
    std::vector<Measure> results;
    std::string error;
};

// Variants of one case, run in turn within each repetition.
// Runs the named variants together, one result per name, in the order given.
using Interleaved = std::function<std::vector<Measure>(const std::vector<std::string>& names)>;

struct Group {
    Group(std::string n, std::vector<Variant> v, Interleaved together = nullptr)
        : name(std::move(n)), variants(std::move(v)), interleaved(std::move(together)) {}
    std::string name;
    std::vector<Variant> variants;
    Interleaved interleaved;  // set: the variants run at once instead of in turn
    bool ok() const {
        for (const Variant& v : variants) {
            if (!v.error.empty()) return false;
        }
        return true;
    }
};

void run_group(Group& g, int reps, const std::string& side) {
    if (!side.empty()) {
        bool exact = false;
        for (const Variant& v : g.variants) exact = exact || v.name == side;
        std::vector<Variant> kept;
        for (Variant& v : g.variants) {
            if (exact ? v.name == side : v.name.compare(0, side.size(), side) == 0)
                kept.push_back(std::move(v));
        }
        g.variants = std::move(kept);
    }
    const size_t n = g.variants.size();
    for (int rep = 0; rep < reps && g.ok(); ++rep) {
        fprintf(stderr, "%s, repetition %d/%d:", g.name.c_str(), rep + 1, reps);
        if (g.interleaved) {
            std::vector<std::string> names;
            for (const Variant& v : g.variants) names.push_back(v.name);
            std::vector<Measure> results = g.interleaved(names);
            for (size_t k = 0; k < n; ++k) {
                Variant& v = g.variants[k];
                if (!results[k].ok) {
                    v.error = results[k].error.empty() ? "failed" : results[k].error;
                    fprintf(stderr, " %s FAILED (%s)", v.name.c_str(), v.error.c_str());
                    continue;
                }
                fprintf(stderr, " %s %.4g", v.name.c_str(), results[k].value);
                v.results.push_back(std::move(results[k]));
            }
            fprintf(stderr, "\n");
            continue;
        }
        // Rotating the start makes every variant go first in turn.
        for (size_t k = 0; k < n; ++k) {
            Variant& v = g.variants[(k + static_cast<size_t>(rep)) % n];
            Measure m = v.run();
            if (!m.ok) {
                v.error = m.error.empty() ? "failed" : m.error;
                fprintf(stderr, " %s FAILED (%s)", v.name.c_str(), v.error.c_str());
                break;
            }
            fprintf(stderr, " %s %.4g", v.name.c_str(), m.value);
            v.results.push_back(m);
        }
        fprintf(stderr, "\n");
    }
}

enum class Metric { Rate, P50, P90, P99, PerSecond, Bytes, HeapBytes };

double pick(const Measure& m, Metric k) {
    switch (k) {
        case Metric::P50:
            return m.p50_us;
        case Metric::P90:
            return m.p90_us;
        case Metric::P99:
            return m.p99_us;
        case Metric::PerSecond:
            return m.per_second;
        case Metric::HeapBytes:
            return m.heap_per_msg;
        default:
            return m.value;
    }
}

enum class Goal { None, RatioAtLeast, RatioAtMost, VekAtMost };

struct Row {
    Row(std::string l, const Group* g, size_t r, size_t v, Metric m, Goal go = Goal::None,
        double b = 0, bool cpu = true)
        : label(std::move(l)),
          group(g),
          raw(r),
          vek(v),
          metric(m),
          goal(go),
          bound(b),
          show_cpu(cpu) {}
    std::string label;
    const Group* group;
    size_t raw, vek;  // variant indexes
    Metric metric;
    Goal goal;
    double bound;
    bool show_cpu;
};

double quantile_of(Metric k) {
    switch (k) {
        case Metric::P50:
            return 0.50;
        case Metric::P90:
            return 0.90;
        case Metric::P99:
            return 0.99;
        default:
            return 0;
    }
}

// Percentile over the round trips of all runs: steadier than a median of per-run values.
double pooled(const std::vector<Measure>& runs, double q) {
    std::vector<double> all;
    for (const Measure& m : runs) all.insert(all.end(), m.samples_us.begin(), m.samples_us.end());
    return bench::percentile(std::move(all), q);
}

std::string format_value(double v, Metric k) {
    char buf[64];
    switch (k) {
        case Metric::Rate:
        case Metric::PerSecond:
            if (v >= 1e6) {
                snprintf(buf, sizeof(buf), "%.3f M/s", v / 1e6);
            } else {
                snprintf(buf, sizeof(buf), "%.1f k/s", v / 1e3);
            }
            break;
        case Metric::Bytes:
        case Metric::HeapBytes:
            snprintf(buf, sizeof(buf), "%.0f B", v);
            break;
        default:
            snprintf(buf, sizeof(buf), "%.1f us", v);
            break;
    }
    return buf;
}

std::string cell(const bench::Spread& s, Metric k) {
    char buf[96];
    snprintf(buf, sizeof(buf), "%s ±%.0f%%", format_value(s.median, k).c_str(), s.relative() * 100);
    return buf;
}

std::string cpu_cell(const std::vector<Measure>& runs) {
    std::vector<double> cpu;
    for (const Measure& m : runs) cpu.push_back(m.cpu_per_msg / 1000.0);
    const bench::Spread s = bench::spread_of(cpu);
    char buf[64];
    snprintf(buf, sizeof(buf), "%.3f us ±%.0f%%", s.median, s.relative() * 100);
    return buf;
}

void print_row(const Row& r) {
    const Variant& raw = r.group->variants[r.raw];
    const Variant& vek = r.group->variants[r.vek];
    if (!r.group->ok()) {
        const std::string why =
            !raw.error.empty() ? raw.name + ": " + raw.error : vek.name + ": " + vek.error;
        printf("%-40s FAILED  %s\n", r.label.c_str(), why.c_str());
        return;
    }
    std::vector<double> a, b;
    for (const Measure& m : raw.results) a.push_back(pick(m, r.metric));
    for (const Measure& m : vek.results) b.push_back(pick(m, r.metric));
    bench::Spread sa = bench::spread_of(a), sb = bench::spread_of(b);
    if (const double q = quantile_of(r.metric); q > 0) {
        sa.median = pooled(raw.results, q);
        sb.median = pooled(vek.results, q);
    }
    const double ratio = sa.median != 0 ? sb.median / sa.median : 0;
    char target[48] = "";
    switch (r.goal) {
        case Goal::RatioAtLeast:
            snprintf(target, sizeof(target), ">= %.2f %s", r.bound,
                     ratio >= r.bound ? "met" : "MISSED");
            break;
        case Goal::RatioAtMost:
            snprintf(target, sizeof(target), "<= %.2f %s", r.bound,
                     ratio <= r.bound ? "met" : "MISSED");
            break;
        case Goal::VekAtMost:
            snprintf(target, sizeof(target), "<= %.0f B %s", r.bound,
                     sb.median <= r.bound ? "met" : "MISSED");
            break;
        case Goal::None:
            break;
    }
    printf("%-40s %-18s %-18s %6.3f  %-16s %-16s %s\n", r.label.c_str(), cell(sa, r.metric).c_str(),
           cell(sb, r.metric).c_str(), ratio, r.show_cpu ? cpu_cell(raw.results).c_str() : "",
           r.show_cpu ? cpu_cell(vek.results).c_str() : "", target);
}

double load_average() {
    double one = -1;
    return getloadavg(&one, 1) == 1 ? one : -1;
}

int run_bench(const Options& o) {
    // Before any other libnats call, which would open the library with the default.
    if (o.lock_spin >= 0 && nats_Open(o.lock_spin) != NATS_OK) {
        fprintf(stderr, "nats_Open(%lld) failed\n", static_cast<long long>(o.lock_spin));
        return 1;
    }
    // Keeps the wrapper's process-wide count above zero while raw connections exist: the
    // last wrapper object to go closes the NATS client library for the whole process.
    vek_nats::CNATSPublisher anchor;

    bench::Server server;
    std::string url = o.server_url;
    if (url.empty()) {
        if (!server.start()) {
            fprintf(stderr, "cannot start %s\n", vek_test::nats_server_binary().c_str());
            return 1;
        }
        url = server.url();
    }

    std::vector<Group> groups;
    std::vector<Row> rows;
    // Groups never move once rows point at them.
    groups.reserve(16);
    auto add = [&groups](Group g) -> const Group* {
        groups.push_back(std::move(g));
        return &groups.back();
    };

    for (const int size : {16, 1024}) {
        for (const bool asap : {false, true}) {
            const std::string one =
                std::string("publish-") + (size == 16 ? "16" : "1k") + (asap ? "-asap" : "");
            if (wanted(o, "publish") || wanted(o, one.c_str())) {
                const std::int64_t n = asap ? o.asap_count : o.pub_count;
                char label[64];
                snprintf(label, sizeof(label), "publish %s, send_asap=%s",
                         size == 16 ? "16 B" : "1 KiB", asap ? "true" : "false");
                // Both publishers live at once and take turns block by block; a block lasts
                // a few milliseconds.
                const std::int64_t block = asap ? 1000 : 20000;
                const auto together = [=](const std::vector<std::string>& names) {
                    std::vector<std::unique_ptr<bench::Sender>> senders;
                    for (const std::string& v : names) {
                        senders.push_back(v == "vek" ? bench::vek_sender(url, size, asap)
                                                     : bench::raw_sender(url, size, asap));
                        if (!senders.back()->error().empty()) {
                            return std::vector<Measure>(names.size(),
                                                        bench::failed(senders.back()->error()));
                        }
                    }
                    std::vector<std::function<bool(std::int64_t)>> work;
                    for (const auto& p : senders) {
                        work.push_back([sp = p.get()](std::int64_t k) { return sp->send(k); });
                    }
                    std::vector<Measure> out = bench::measure_blocks(n, block, work);
                    for (size_t i = 0; i < senders.size(); ++i) {
                        if (out[i].ok && !senders[i]->flush())
                            out[i] = bench::failed("flush failed");
                    }
                    return out;
                };
                // A second raw publisher shows how far two identical sides drift apart here.
                const bool control = size == 16 && asap;
                std::vector<Variant> variants{{"raw", nullptr}, {"vek", nullptr}};
                if (control) variants.emplace_back("raw-control", nullptr);
                const Group* g = add({label, std::move(variants), together});
                rows.emplace_back(Row{label, g, 0, 1, Metric::Rate, Goal::RatioAtLeast, 0.97});
                if (control) {
                    rows.emplace_back(Row{"  control: raw against raw", g, 0, 2, Metric::Rate});
                }
            }
        }
    }
    // The gated raw readers test the switch file once per message, as the wrapper must: the
    // targets are set against them, the plain ones show what the test costs.
    if (wanted(o, "queue")) {
        const std::int64_t n = o.count;
        const Group* g =
            add({"queue recv, 16 B",
                 {{"raw-deque-gated", [=] { return bench::raw_queue_deque(url, n, true); }},
                  {"raw-deque", [=] { return bench::raw_queue_deque(url, n, false); }},
                  {"raw-count", [=] { return bench::raw_queue_count(url, n); }},
                  {"vek", [=] { return bench::vek_queue_recv(url, n); }}}});
        rows.emplace_back(Row{"queue recv vs gated callback to deque", g, 0, 3, Metric::Rate,
                              Goal::RatioAtLeast, 1.00});
        rows.emplace_back(Row{"queue recv vs callback to deque", g, 1, 3, Metric::Rate});
        rows.emplace_back(Row{"queue recv vs counting callback", g, 2, 3, Metric::Rate});
    }
    if (wanted(o, "sync")) {
        const std::int64_t n = o.count;
        const Group* g = add({"recv_sync, 16 B",
                              {{"raw-gated", [=] { return bench::raw_next_msg(url, n, true); }},
                               {"raw", [=] { return bench::raw_next_msg(url, n, false); }},
                               {"vek", [=] { return bench::vek_recv_sync(url, n); }}}});
        rows.emplace_back(
            Row{"recv_sync vs gated NextMsg", g, 0, 2, Metric::Rate, Goal::RatioAtLeast, 0.95});
        rows.emplace_back(Row{"recv_sync vs NextMsg", g, 1, 2, Metric::Rate});
    }
    if (wanted(o, "reqrep")) {
        const std::int64_t n = o.requests;
        const bool asap = o.reqrep_asap;
        // Latency drifts with the machine's load, so all pairs run at once and their requests
        // alternate one by one. The second raw callback pair shows the drift that is left.
        const auto together = [=](const std::vector<std::string>& names) {
            std::vector<std::unique_ptr<bench::Exchange>> pairs;
            for (size_t i = 0; i < names.size(); ++i) {
                const char* subject = bench::REQ_SUBJECTS[i];
                const std::string& v = names[i];
                using bench::RawReplier;
                if (v == "vek-queue" || v == "vek-sync") {
                    pairs.push_back(bench::vek_exchange(url, asap, subject, v == "vek-sync"));
                } else if (v == "vek-req") {
                    pairs.push_back(bench::vek_requestor_exchange(url, asap, subject));
                } else {
                    const RawReplier kind = v.rfind("raw-cb", 0) == 0 ? RawReplier::callback
                                            : v == "raw-handoff"      ? RawReplier::handoff
                                                                      : RawReplier::next_msg;
                    pairs.push_back(bench::raw_exchange(url, asap, subject, kind));
                }
                if (!pairs.back()->error().empty()) {
                    return std::vector<Measure>(names.size(), bench::failed(pairs.back()->error()));
                }
            }
            std::vector<std::function<bool()>> requests;
            for (const auto& p : pairs) requests.push_back([e = p.get()] { return e->request(); });
            return bench::measure_interleaved(n, requests);
        };
        const Group* g = add({"request/reply, interleaved",
                              {{"raw-cb", nullptr},
                               {"raw-handoff", nullptr},
                               {"raw-next", nullptr},
                               {"vek-queue", nullptr},
                               {"vek-sync", nullptr},
                               {"vek-req", nullptr},
                               {"raw-cb-control", nullptr}},
                              together});
        // Each wrapper pair against the raw pair that does the same work: the queue's replier
        // hands every request to a serving thread, so does raw-handoff; vek-req is a
        // CNATSRequestor against raw-cb's replier.
        for (const auto& [raw, vek, name, bound] :
             {std::tuple{size_t{1}, size_t{3}, "req/rep recv+reply", 1.05},
              std::tuple{size_t{2}, size_t{4}, "req/rep recv_sync+reply", 1.03},
              std::tuple{size_t{0}, size_t{5}, "requestor", 1.03}}) {
            const std::string base = name;
            rows.emplace_back(
                Row{base + " p50", g, raw, vek, Metric::P50, Goal::RatioAtMost, bound});
            rows.emplace_back(Row{base + " p90", g, raw, vek, Metric::P90, Goal::None, 0, false});
            rows.emplace_back(Row{base + " p99", g, raw, vek, Metric::P99, Goal::None, 0, false});
            rows.emplace_back(
                Row{base + " requests/s", g, raw, vek, Metric::PerSecond, Goal::None, 0, false});
        }
        rows.emplace_back(Row{"req/rep recv+reply p50 vs raw callback", g, 0, 3, Metric::P50});
        rows.emplace_back(Row{"  control: raw against raw, p50", g, 0, 6, Metric::P50});
    }
    if (wanted(o, "memory")) {
        const std::int64_t n = o.mem_count;
        const Group* g = add({"memory, 16 B queued unread",
                              {{"raw", [=] { return bench::raw_memory(url, n); }},
                               {"vek", [=] { return bench::vek_memory(url, n); }}}});
        rows.emplace_back(
            Row{"bytes per queued 16 B message", g, 0, 1, Metric::Bytes, Goal::VekAtMost, 200});
        rows.emplace_back(
            Row{"  of which heap in use", g, 0, 1, Metric::HeapBytes, Goal::None, 0, false});
    }

    for (Group& g : groups) run_group(g, o.reps, o.side);
    if (!o.side.empty()) {
        bool ok = true;
        for (const Group& g : groups) ok = ok && g.ok();
        return ok ? 0 : 1;
    }

    bench::TraceGate gate;
    if (wanted(o, "trace")) gate = bench::measure_trace_gate(o.trace_count);
    server.stop();

    printf("vek_nats benchmark: server %s%s, libnats %s, %ld CPUs\n", url.c_str(),
           o.server_url.empty() ? " (started for this run)" : "", nats_GetVersion(),
           sysconf(_SC_NPROCESSORS_ONLN));
    printf("%d repetitions per case, raw and vek_nats alternating; medians, ±: half the range\n",
           o.reps);
    printf(
        "wall-clock figures swing with the load of the machine (load average %.2f at the end); "
        "bench/profile counts instructions and system calls, which do not\n",
        load_average());
    printf(
        "counts: publish %lld (send_asap=true: %lld), queue/recv_sync %lld, requests %lld, "
        "memory %lld\n",
        static_cast<long long>(o.pub_count), static_cast<long long>(o.asap_count),
        static_cast<long long>(o.count), static_cast<long long>(o.requests),
        static_cast<long long>(o.mem_count));
    printf(
        "NATSSvcParam default send_asap=%s; request/reply runs with send_asap=%s on both sides\n",
        vek_nats::NATSSvcParam{}.send_asap ? "true" : "false", o.reqrep_asap ? "true" : "false");
    printf(
        "ratio = vek_nats / raw; CPU = user+sys of the whole measuring process per message "
        "(per request for req/rep)\n");
    printf(
        "publish: both publishers at once, taking turns in blocks of 20000 (send_asap=true: 1000)\n"
        "req/rep: seven requestor/replier pairs at once, requests alternating one by one; "
        "percentiles pool every run\n");
    printf(
        "memory: RSS growth after malloc_trim (heap in use: malloc's own count); raw = messages "
        "pending in a sync subscription\n\n");
    printf("%-40s %-18s %-18s %6s  %-16s %-16s %s\n", "case", "raw", "vek_nats", "ratio",
           "CPU/msg raw", "CPU/msg vek", "target");
    for (const Row& r : rows) print_row(r);

    bool ok = true;
    for (const Group& g : groups) ok = ok && g.ok();
    if (wanted(o, "trace")) {
        if (gate.ok) {
            printf(
                "\ntrace record with the switch file absent: %.0f ns per record (access(2) on the "
                "switch file alone: %.0f ns; formatting the record, skipped: %.0f ns)\n",
                gate.gated_ns, gate.access_ns, gate.format_ns);
        } else {
            printf("\ntrace record gate: not measured (%s)\n", gate.error.c_str());
        }
    }
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 6 && strcmp(argv[1], "--feed") == 0) {
        std::int64_t count = 0, size = 0;
        if (!parse_count(argv[4], 1, &count) || !parse_count(argv[5], 0, &size)) return 2;
        return bench::run_feeder(argv[2], argv[3], count, static_cast<int>(size));
    }
    Options o;
    if (!parse(argc, argv, o)) {
        usage(stderr);
        return 2;
    }
    return run_bench(o);
}
