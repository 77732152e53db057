#include "harness.h"

#include <malloc.h>
#include <nats/nats.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>

extern char** environ;

namespace bench {
namespace {

// Waits for pid to end, at most timeout_ms; returns its wait status or -1.
int reap(pid_t pid, std::int64_t timeout_ms) {
    int status = -1;
    const bool gone = wait_for(
        [&] {
            const pid_t r = waitpid(pid, &status, WNOHANG);
            return r == pid || (r < 0 && errno == ECHILD);
        },
        timeout_ms);
    return gone ? status : -1;
}

pid_t spawn(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, args[0].c_str(), nullptr, nullptr, argv.data(), environ);
    return rc == 0 ? pid : -1;
}

std::string self_path() {
    char buf[4096] = {};
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

}  // namespace

std::int64_t wall_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::int64_t cpu_ns() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

Measure failed(std::string why) {
    Measure m;
    m.error = std::move(why);
    return m;
}

Measure Stopwatch::finish(std::int64_t count) const {
    return finish_span(count, m_wall, wall_ns());
}

Measure Stopwatch::finish_span(std::int64_t count, std::int64_t first, std::int64_t last) const {
    Measure m;
    const std::int64_t cpu = cpu_ns() - m_cpu;
    if (count <= 0 || last <= first) return failed("nothing measured");
    m.ok = true;
    m.value = static_cast<double>(count) * 1e9 / static_cast<double>(last - first);
    m.cpu_per_msg = static_cast<double>(cpu) / static_cast<double>(count);
    return m;
}

Spread spread_of(std::vector<double> values) {
    Spread s;
    if (values.empty()) return s;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    s.median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    s.min = values.front();
    s.max = values.back();
    return s;
}

double percentile(std::vector<double> samples, double q) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    const double rank = std::ceil(q * static_cast<double>(samples.size()));
    const size_t index = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
    return samples[std::min(index, samples.size() - 1)];
}

std::vector<Measure> measure_blocks(std::int64_t count, std::int64_t block,
                                    const std::vector<std::function<bool(std::int64_t)>>& work) {
    const size_t k = work.size();
    std::vector<std::int64_t> cpu(k, 0), busy(k, 0);
    std::int64_t done = 0;
    for (std::int64_t round = 0; done < count; ++round) {
        const std::int64_t n = std::min(block, count - done);
        for (size_t step = 0; step < k; ++step) {
            const size_t j = (step + static_cast<size_t>(round)) % k;
            const std::int64_t c0 = cpu_ns();
            const std::int64_t t0 = wall_ns();
            const bool ok = work[j](n);
            busy[j] += wall_ns() - t0;
            cpu[j] += cpu_ns() - c0;
            if (!ok) {
                std::vector<Measure> out(k);
                out[j] = failed("block " + std::to_string(round) + " failed");
                return out;
            }
        }
        done += n;
    }
    std::vector<Measure> out(k);
    for (size_t j = 0; j < k; ++j) {
        if (busy[j] <= 0) {
            out[j] = failed("nothing measured");
            continue;
        }
        out[j].ok = true;
        out[j].value = static_cast<double>(count) * 1e9 / static_cast<double>(busy[j]);
        out[j].cpu_per_msg = static_cast<double>(cpu[j]) / static_cast<double>(count);
    }
    return out;
}

std::vector<Measure> measure_interleaved(std::int64_t n,
                                         const std::vector<std::function<bool()>>& requests) {
    const size_t k = requests.size();
    // Warm-up: the first request of a connection sets up its reply subscription.
    for (int i = 0; i < 50; ++i) {
        for (size_t j = 0; j < k; ++j) {
            if (!requests[j]()) return std::vector<Measure>(k, failed("warm-up request failed"));
        }
    }
    std::vector<std::vector<double>> samples(k);
    std::vector<std::int64_t> cpu(k, 0), busy(k, 0);
    for (auto& v : samples) v.reserve(static_cast<size_t>(n));
    for (std::int64_t i = 0; i < n; ++i) {
        for (size_t step = 0; step < k; ++step) {
            const size_t j = (step + static_cast<size_t>(i)) % k;
            const std::int64_t c0 = cpu_ns();
            const std::int64_t t0 = wall_ns();
            const bool ok = requests[j]();
            const std::int64_t t1 = wall_ns();
            cpu[j] += cpu_ns() - c0;
            if (!ok) {
                std::vector<Measure> out(k);
                out[j] = failed("request " + std::to_string(i) + " failed");
                return out;
            }
            busy[j] += t1 - t0;
            samples[j].push_back(static_cast<double>(t1 - t0) / 1000.0);
        }
    }
    std::vector<Measure> out(k);
    for (size_t j = 0; j < k; ++j) {
        Measure& m = out[j];
        m.ok = n > 0;
        m.p50_us = percentile(samples[j], 0.50);
        m.p90_us = percentile(samples[j], 0.90);
        m.p99_us = percentile(samples[j], 0.99);
        m.value = m.p50_us;
        m.per_second =
            busy[j] > 0 ? static_cast<double>(n) * 1e9 / static_cast<double>(busy[j]) : 0;
        m.cpu_per_msg = static_cast<double>(cpu[j]) / static_cast<double>(n);
        m.samples_us = std::move(samples[j]);
    }
    return out;
}

long rss_bytes() {
    FILE* f = fopen("/proc/self/statm", "r");
    if (f == nullptr) return -1;
    long size = 0, resident = 0;
    const int n = fscanf(f, "%ld %ld", &size, &resident);
    fclose(f);
    return n == 2 ? resident * sysconf(_SC_PAGESIZE) : -1;
}

void trim_heap() {
    malloc_trim(0);
}

void settle_heap() {
    long last = -1;
    for (int i = 0; i < 100; ++i) {  // at most about 5 s
        trim_heap();
        const long now = heap_in_use();
        if (last >= 0 && std::labs(now - last) < 64 * 1024) return;
        last = now;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

long heap_in_use() {
    const struct mallinfo2 mi = mallinfo2();
    return static_cast<long>(mi.uordblks + mi.hblkhd);
}

bool wait_for(const std::function<bool()>& pred, std::int64_t timeout_ms) {
    return vek_test::wait_until(pred, std::chrono::milliseconds(timeout_ms));
}

Server::Server() = default;
Server::~Server() = default;

bool Server::start() {
    // A floods-then-drains benchmark must not be cut off as a slow consumer: the server may
    // hold far more for a subscriber than its defaults allow.
    char conf[] = "/tmp/vek_nats_bench_XXXXXX";
    const int fd = mkstemp(conf);
    if (fd < 0) return false;
    const char text[] = "max_pending: 1073741824\nwrite_deadline: \"60s\"\n";
    const bool written =
        write(fd, text, sizeof(text) - 1) == static_cast<ssize_t>(sizeof(text) - 1);
    close(fd);
    bool up = false;
    for (int attempt = 0; written && attempt < 3 && !up; ++attempt) {  // the port may be taken
        m_server = std::make_unique<vek_test::NatsServer>(0, std::vector<std::string>{"-c", conf});
        up = m_server->start();
    }
    unlink(conf);
    if (!up) m_server.reset();
    return up;
}

void Server::stop() {
    m_server.reset();
}

std::string Server::url() const {
    return m_server ? m_server->url() : std::string();
}

bool Feeder::start(const std::string& url, const char* subject, std::int64_t count, int size) {
    wait();
    m_ok = false;
    m_pid =
        spawn({self_path(), "--feed", url, subject, std::to_string(count), std::to_string(size)});
    return m_pid > 0;
}

bool Feeder::wait() {
    if (m_pid <= 0) return m_ok;
    const int status = reap(m_pid, 600000);
    if (status == -1) {
        kill(m_pid, SIGKILL);
        reap(m_pid, 5000);
    }
    m_ok = status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    m_pid = -1;
    return m_ok;
}

int run_feeder(const char* url, const char* subject, std::int64_t count, int size) {
    natsOptions* opts = nullptr;
    natsConnection* nc = nullptr;
    natsStatus s = natsOptions_Create(&opts);
    if (s == NATS_OK) s = natsOptions_SetURL(opts, url);
    // Batched writes: the feeder must outrun every reader it feeds.
    if (s == NATS_OK) s = natsOptions_SetSendAsap(opts, false);
    if (s == NATS_OK) s = natsConnection_Connect(&nc, opts);
    const std::string payload(static_cast<size_t>(size), 'x');
    for (std::int64_t i = 0; s == NATS_OK && i < count; ++i) {
        s = natsConnection_Publish(nc, subject, payload.data(), size);
    }
    if (s == NATS_OK) s = natsConnection_FlushTimeout(nc, 120000);
    if (s != NATS_OK) fprintf(stderr, "feeder: %u - %s\n", s, natsStatus_GetText(s));
    natsConnection_Destroy(nc);
    natsOptions_Destroy(opts);
    nats_Close();
    return s == NATS_OK ? 0 : 1;
}

}  // namespace bench
