// Four processes with two threads each write to the one debug log until it has rotated
// several times; the files left must hold only whole records, in writer order, with nothing
// missing but the generations that rotation discards.

#include <dirent.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/log_sandbox.h"
#include "test_log_contention_record.h"

extern char** environ;

namespace {

constexpr int PROCESSES = 4;
constexpr int THREADS = 2;
constexpr int RECORDS = 300;        // per thread
constexpr int MESSAGE_SIZE = 3000;  // 2400 records of ~3 KiB: about seven rotations
constexpr long PERIOD_US = 20000;   // writers advance in step, one burst per period,
constexpr int BURST = 10;           // and all of them write each burst at once
constexpr long ROTATE_ABOVE = 0x100000;

long file_size(const char* path) {
    struct stat st {};
    return stat(path, &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

std::vector<std::string> log_dir_entries() {
    std::vector<std::string> names;
    DIR* dir = opendir(vek_test::LOG_DIR);
    if (dir == nullptr) return names;
    while (dirent* e = readdir(dir)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    return names;
}

pid_t spawn_writer(int proc, long long start_ms) {
    std::vector<std::string> args{LOG_WRITER,
                                  std::to_string(proc),
                                  std::to_string(THREADS),
                                  std::to_string(RECORDS),
                                  std::to_string(MESSAGE_SIZE),
                                  std::to_string(start_ms),
                                  std::to_string(PERIOD_US),
                                  std::to_string(BURST)};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, LOG_WRITER, nullptr, nullptr, argv.data(), environ) != 0) return -1;
    return pid;
}

struct Line {
    pid_t pid;
    long tid;
    vek_log_record::Parsed rec;
};

// Splits a log file into records; a line that is not one whole record fails the test.
std::vector<Line> parse_file(const std::string& text, const char* which) {
    static const std::regex header(
        R"(^\d{2}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}:\d{6} \[pid-(\d{5,})\]\[tid-(\d{5,})\] (.*)$)");
    std::vector<Line> lines;
    if (!text.empty()) {
        EXPECT_EQ(text.back(), '\n') << which << " ends inside a record";
    }
    std::istringstream in(text);
    std::string raw;
    int number = 0;
    while (std::getline(in, raw)) {
        ++number;
        std::smatch m;
        vek_log_record::Parsed rec;
        if (!std::regex_match(raw, m, header) ||
            !vek_log_record::parse(m[3].str(), MESSAGE_SIZE, rec)) {
            ADD_FAILURE() << which << " line " << number
                          << " is not one whole record: " << raw.substr(0, 120) << "... ("
                          << raw.size() << " bytes)";
            continue;
        }
        lines.push_back({static_cast<pid_t>(std::stol(m[1].str())), std::stol(m[2].str()), rec});
    }
    return lines;
}

}  // namespace

TEST(LogContention, ConcurrentWritersKeepRecordsWholeAcrossRotations) {
    vek_test::LogSandbox sandbox;

    // Watches the directory while the writers run: the live file must stay below the
    // threshold plus one record, and no second old generation may ever appear.
    std::atomic<bool> writing{true};
    long max_live = 0;
    std::set<std::string> seen_names;
    std::thread monitor([&] {
        while (writing.load()) {
            max_live = std::max(max_live, file_size(vek_test::LOG_FILE));
            for (const std::string& n : log_dir_entries()) seen_names.insert(n);
            std::this_thread::yield();
        }
    });

    const long long start_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count() +
                               300;
    std::map<int, pid_t> pid_of;
    for (int p = 0; p < PROCESSES; ++p) {
        pid_of[p] = spawn_writer(p, start_ms);
        ASSERT_GT(pid_of[p], 0) << "cannot start " << LOG_WRITER;
    }
    for (const auto& [proc, pid] : pid_of) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "writer " << proc;
    }
    writing = false;
    monitor.join();

    const std::string old_text = sandbox.old_text();
    const std::string live_text = sandbox.text();
    const long record_bytes = static_cast<long>(old_text.find('\n')) + 1;
    ASSERT_GT(record_bytes, MESSAGE_SIZE);

    // Sizes: the old generation ends with the record that crossed the threshold.
    EXPECT_GT(static_cast<long>(old_text.size()), ROTATE_ABOVE);
    EXPECT_LE(static_cast<long>(old_text.size()), ROTATE_ABOVE + record_bytes);
    EXPECT_LE(static_cast<long>(live_text.size()), ROTATE_ABOVE);
    EXPECT_LE(max_live, ROTATE_ABOVE + record_bytes);
    const std::set<std::string> expected_names{"vek_nats_common_log", "vek_nats_common_log.old"};
    for (const std::string& n : seen_names) {
        EXPECT_TRUE(expected_names.count(n) != 0) << "unexpected file in the log directory: " << n;
    }

    std::vector<Line> lines = parse_file(old_text, "old file");
    const std::vector<Line> live = parse_file(live_text, "live file");
    lines.insert(lines.end(), live.begin(), live.end());

    // Per writer thread, the records kept must be one unbroken run that ends with its last
    // record: only whole earlier generations may be missing.
    std::map<std::pair<int, int>, std::vector<int>> seqs;
    std::map<std::pair<int, int>, std::set<long>> tids;
    for (const Line& l : lines) {
        ASSERT_TRUE(pid_of.count(l.rec.proc) != 0) << "record of unknown writer " << l.rec.proc;
        EXPECT_EQ(l.pid, pid_of[l.rec.proc]) << "record carries another process's pid";
        seqs[{l.rec.proc, l.rec.thread}].push_back(l.rec.seq);
        tids[{l.rec.proc, l.rec.thread}].insert(l.tid);
    }
    EXPECT_EQ(seqs.size(), static_cast<size_t>(PROCESSES * THREADS));
    for (const auto& [writer, s] : seqs) {
        EXPECT_EQ(tids[writer].size(), 1u);
        ASSERT_FALSE(s.empty());
        EXPECT_EQ(s.back(), RECORDS - 1) << "writer " << writer.first << "/" << writer.second;
        for (size_t i = 1; i < s.size(); ++i) {
            ASSERT_EQ(s[i], s[i - 1] + 1) << "writer " << writer.first << "/" << writer.second
                                          << " lost or reordered a record after " << s[i - 1];
        }
    }

    const long total = static_cast<long>(PROCESSES) * THREADS * RECORDS;
    const long written_bytes = total * record_bytes;
    std::printf(
        "log contention: %ld records (%ld KiB) written, %zu kept, about %ld rotations, "
        "largest live file seen %ld bytes\n",
        total, written_bytes / 1024, lines.size(), written_bytes / ROTATE_ABOVE, max_live);
    // Several rotations happened, so the kept records are only the last two generations.
    EXPECT_GE(written_bytes / ROTATE_ABOVE, 5);
    EXPECT_LT(static_cast<long>(lines.size()), total);
}
