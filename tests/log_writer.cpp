// One writer process of the log-contention test:
//   <proc> <threads> <records> <size> <start_ms> <period_us> <burst>
// Every thread writes <records> records of <size> message bytes through log_dump, in bursts of
// <burst> records written back to back. Burst k of every thread is due at <start_ms> +
// k * <period_us> on the wall clock: all writers of all processes contend inside a burst, and
// advance in step, so each of them still has records in the last generations.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "test_log_contention_record.h"
#include "vek_nats/log.h"

int main(int argc, char** argv) {
    if (argc != 8) {
        std::fprintf(stderr, "usage: %s proc threads records size start_ms period_us burst\n",
                     argv[0]);
        return 2;
    }
    const int proc = std::atoi(argv[1]);
    const int threads = std::atoi(argv[2]);
    const int records = std::atoi(argv[3]);
    const int size = std::atoi(argv[4]);
    const long long start_ms = std::atoll(argv[5]);
    const long period_us = std::atol(argv[6]);
    const int burst = std::max(1, std::atoi(argv[7]));

    const auto start = std::chrono::system_clock::time_point(std::chrono::milliseconds(start_ms));
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([=] {
            for (int n = 0; n < records; ++n) {
                std::this_thread::sleep_until(start +
                                              std::chrono::microseconds(n / burst * period_us));
                const std::string message = vek_log_record::make(proc, t, n, size);
                vek_nats::log_dump(0, 0, "%s", message.c_str());
            }
        });
    }
    for (std::thread& w : workers) w.join();
    return 0;
}
