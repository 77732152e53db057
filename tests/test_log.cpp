// The debug log: record format, switch, rigged places, locking, rotation, writers of several
// processes at once; and tolk_exec, which moves the file aside.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iomanip>
#include <regex>
#include <sstream>
#include <thread>

#include "internal/tolk_exec.h"
#include "support/harness.h"

using namespace vek_test;
using vek_nats::log_dump;
using vek_nats::detail::tolk_exec;
namespace fs = std::filesystem;

namespace {

constexpr long THRESHOLD = 0x100000;

long size_of(const char* path) {  // -1 when missing
    std::error_code ec;
    return static_cast<long>(fs::file_size(path, ec));
}

void fill(const char* path, long bytes) {
    std::ofstream(path, std::ios::binary) << std::string(static_cast<size_t>(bytes), 'x');
}

// A record of `message` from the calling thread, in bytes.
long record_size(const std::string& message) {
    return static_cast<long>(vek_nats::log_hdr("", 0).size() - 4 + 1 + message.size() + 1);
}

constexpr int PROCS = 6, THREADS = 2, RECORDS = 400, SIZE = 3072;  // about 14 rotations

// Derived from the writer's identity: a record cut or mixed with another cannot read back.
std::string message(int writer, int seq) {
    std::string m = "LW " + std::to_string(writer) + " " + std::to_string(seq) + " ";
    m.resize(SIZE - 1, static_cast<char>('a' + (writer * 3 + seq) % 26));
    return m + "|";
}

enum Node { NONE, DIR, LINK, REG, FIFO, READ_FIFO };

// A log directory and file as another local user could have prepared them.
struct Rig {
    Node dir;
    mode_t mode;
    uid_t owner;
    Node file;
    const char* error;  // on standard error; null: the record is written
    uid_t euid = 0;
    int file_id = 0;
};

// Makes the rig's places, with `target` beside them; the step that failed, or "".
const char* plant(const Rig& r, const std::string& real, const std::string& target) {
    if (!fs::create_directory(real) || !std::ofstream(target)) return "target";
    if ((r.dir == LINK ? symlink(real.c_str(), LOG_DIR) : mkdir(LOG_DIR, 0700)) != 0) return "dir";
    if (r.file == REG && !std::ofstream(LOG_FILE)) return "file";
    if (r.file == LINK && symlink(target.c_str(), LOG_FILE) != 0) return "symlink";
    if (r.file >= FIFO && mkfifo(LOG_FILE, 0666) != 0) return "fifo";
    if (r.dir != LINK && chmod(LOG_DIR, r.mode) != 0) return "chmod";
    if (r.dir != LINK && chown(LOG_DIR, r.owner, 0) != 0) return "chown";
    return "";
}

}  // namespace

// Gated records follow the switch file at every call and touch nothing while it is absent;
// ungated ones are written either way. The first record creates what the log needs. A record
// is header, message and newline, cut at 4095 bytes.
TEST(LogRecords, SwitchFirstRecordAndFormat) {
    LogSandbox box;
    const mode_t saved = umask(0);
    long tid = 0;
    std::thread([&] {
        tid = syscall(SYS_gettid);
        EXPECT_EQ(log_dump(1, 0, "%s(%d)- first", "t", 1), 0);
        EXPECT_FALSE(fs::exists(LOG_DIR));  // nor moved into it
        box.set_trace(true);
        log_dump(1, 0, "%s(%d)- error: (%u - %s) subj-> %s", "pub", 37, 6u, "Refused", "a.b");
        box.set_trace(false);
        log_dump(1, 0, "%s(%d)- third", "t", 3);
        log_dump(0, 0, "%s(%d)-\nReceived msg  : %s", "recv", 9, "s");
        log_dump(0, 0, "%s", std::string(5000, 'm').c_str());
    }).join();
    umask(saved);
    std::ostringstream today;  // local time; a run across midnight fails once
    const time_t now = time(nullptr);
    today << std::put_time(localtime(&now), "%y/%m/%d");
    const std::string head = today.str() +
                             std::string(R"( \d\d:\d\d:\d\d:(?!000000)\d{6} \[pid-0*)") +
                             std::to_string(getpid()) + R"(\]\[tid-0*)" + std::to_string(tid) + "]";
    EXPECT_EQ(std::regex_replace(box.text(), std::regex(head), "H"),
              "H pub(37)- error: (6 - Refused) subj-> a.b\nH recv(9)-\nReceived msg  : s\nH " +
                  std::string(4095, 'm') + "\n");
    EXPECT_EQ(fs::status(LOG_DIR).permissions(), fs::perms(0750));
    EXPECT_EQ(fs::status(LOG_FILE).permissions(), fs::perms(0640));
    EXPECT_EQ(fs::status(std::string(LOG_FILE) + ".lock").permissions(), fs::perms(0600));
}

// Places another local user could have prepared: the record is dropped with one line on
// standard error, nothing reaches what was planted, and no call hangs or moves the
// process into a directory that failed the test. The user's own one is trusted.
TEST(LogSafety, RiggedPlacesAreRefused) {
    const Rig rigs[] = {{DIR, 0750, 0, NONE, "No such file or directory", 0, 7},
                        {DIR, 0750, 0, LINK, "Too many levels of symbolic links"},
                        {DIR, 0750, 0, FIFO, "No such device or address"},
                        {DIR, 0750, 0, READ_FIFO, "Invalid argument"},
                        {DIR, 0750, 65534, REG, "Operation not permitted"},
                        {DIR, 0770, 0, REG, "Operation not permitted"},
                        {DIR, 01777, 0, REG, "Operation not permitted"},
                        {LINK, 0750, 0, NONE, "Not a directory"},
                        {DIR, 0750, 65534, NONE, nullptr, 65534}};  // the effective user's own
    Watchdog guard(std::chrono::seconds(20));  // a planted FIFO must not block a record
    const std::string real = std::string(LOG_ROOT) + "/real", target = real + "/target";
    for (const Rig& r : rigs) {
        SCOPED_TRACE(testing::Message() << "rig " << &r - rigs);
        LogSandbox box;
        ASSERT_STREQ(plant(r, real, target), "");
        const int reader = r.file == READ_FIFO ? open(LOG_FILE, O_RDONLY | O_NONBLOCK) : -1;
        testing::internal::CaptureStderr();
        ASSERT_EQ(seteuid(r.euid), 0);
        EXPECT_EQ(log_dump(0, r.file_id, "rec"), 0);
        ASSERT_EQ(seteuid(0), 0);
        const std::string shown = r.file_id == 0 ? LOG_FILE : std::string(LOG_DIR) + "/";
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  r.error ? "Can NOT open [] " + shown + " error: " + r.error + "\n" : "");
        EXPECT_EQ(fs::current_path() == LOG_DIR,
                  r.dir == DIR && r.mode == 0750 && r.owner == r.euid);
        EXPECT_EQ(read_file(target) + read_file(real + "/vek_nats_common_log"), "");
        EXPECT_EQ(r.file < FIFO && box.has("rec"), r.error == nullptr);
        close(reader);
    }
}

// The move happens at one byte over the threshold; a blocked one empties the file, is reported
// once and is retried.
TEST(LogRotation, MovesAsideAtOneByteOverTheThresholdAndRetriesABlockedMove) {
    LogSandbox box;
    log_dump(0, 0, "seed");
    for (long extra : {0L, 1L}) {
        fill(LOG_FILE, THRESHOLD - record_size("crossing") + extra);
        log_dump(0, 0, "crossing");
        EXPECT_EQ(size_of(LOG_FILE), extra ? -1 : THRESHOLD);
        EXPECT_EQ(size_of(LOG_OLD), extra ? THRESHOLD + 1 : -1);
    }
    EXPECT_EQ(box.old_text().substr(THRESHOLD - 9), " crossing\n") << "the crossing record ends it";
    log_dump(0, 0, "fresh");
    EXPECT_EQ(size_of(LOG_FILE), record_size("fresh"));
    // A blocked move keeps the file bounded, is reported once and is retried.
    ASSERT_TRUE(fs::remove(LOG_OLD) && fs::create_directories(std::string(LOG_OLD) + "/x"));
    fill(LOG_FILE, THRESHOLD);
    testing::internal::CaptureStderr();
    for (int i = 0; i < 100; ++i) log_dump(0, 0, "%s(%d)- past", "t", i);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(std::regex_match(err, std::regex("ret: -\\d+\t error: [^\n]+\n"))) << err;
    ASSERT_TRUE(fs::remove_all(LOG_OLD));
    EXPECT_EQ(box.messages().front(), "t(0)- past") << "the crossing record starts the file";
    EXPECT_EQ(box.count("- past"), 100u);
    fill(LOG_FILE, THRESHOLD);
    log_dump(0, 0, "retried");
    EXPECT_NE(box.old_text().find(" retried\n"), std::string::npos);
    fill(LOG_FILE, THRESHOLD + 1);  // left so by a writer that could not move it
    log_dump(0, 0, "after");
    EXPECT_EQ(size_of(LOG_OLD), THRESHOLD + 1) << "moved before the record";
    // While another writer holds the writers' lock alone, nobody moves the file; then one does.
    ASSERT_TRUE(fs::remove(LOG_OLD));
    fill(LOG_FILE, THRESHOLD + 1);
    const int writers = open((std::string(LOG_FILE) + ".lock").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(writers, LOCK_EX), 0);
    std::thread kept_out([] { log_dump(0, 0, "kept out"); });
    EXPECT_FALSE(wait_until([] { return size_of(LOG_OLD) >= 0; }, 2500ms));
    close(writers);
    kept_out.join();
    EXPECT_EQ(size_of(LOG_OLD), THRESHOLD + 1);
    // tolk_exec's own failure and the program's reach the caller as -1 and errno.
    const struct {
        const char* program;
        int error;
    } runs[] = {{"/bin/mv", ENOENT},
                {"/nonexistent/program", ENOENT},
                {"/bin/false", ECHILD},
                {nullptr, EINVAL}};
    for (const auto& run : runs) {
        errno = 0;
        EXPECT_EQ(tolk_exec(0, 0, 0, run.program, "/no/a", "/no/b", nullptr), -1) << run.program;
        EXPECT_EQ(errno, run.error) << run.program;
    }
}

// The files left hold only whole records, in writer order, with nothing missing but the
// generations that rotation discards (a writer that finished early may have none left, but
// none lost its last); the live file never holds more than one record past the threshold, and
// no writer reports a failure, since nothing fails.
TEST(LogContention, WritersOfSeveralProcessesKeepRecordsWholeAcrossRotations) {
    LogSandbox box;
    testing::internal::CaptureStderr();  // the writers' standard error too
    const auto start = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    std::vector<pid_t> pids(PROCS);
    for (int p = 0; p < PROCS; ++p) {
        if ((pids[p] = fork()) != 0) continue;
        // All writers start at once and write as fast as they can: some of them are always
        // kept from the file lock longer than it is waited for.
        const auto write = [start](int w) {
            std::this_thread::sleep_until(start);
            for (int n = 0; n < RECORDS; ++n) log_dump(0, 0, "%s", message(w, n).c_str());
        };
        std::thread other(write, p * THREADS + 1);
        write(p * THREADS);
        other.join();
        _exit(0);
    }
    Watchdog guard(std::chrono::seconds(60));
    long max_live = 0;  // the live file stays below the threshold plus one record
    std::vector<int> exits;
    while (exits.size() < PROCS) {
        max_live = std::max(max_live, size_of(LOG_FILE));
        int status = 0;
        if (waitpid(-1, &status, WNOHANG) > 0) exits.push_back(status);
    }
    EXPECT_EQ(exits, std::vector<int>(PROCS, 0));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    // The ".old" generation ends with the record that crossed the threshold.
    const std::string old_text = box.old_text(), live_text = box.text();
    const long old_size = static_cast<long>(old_text.size()), record = old_text.find('\n') + 1;
    EXPECT_GT(old_size, THRESHOLD);
    EXPECT_LE(old_size, THRESHOLD + record);
    EXPECT_LE(max_live, THRESHOLD + record);
    const std::regex head(R"(\S+ \S+ \[pid-(\d+)\]\[tid-\d+\] LW (\d+) (\d+) )");
    std::vector<int> next(PROCS * THREADS, -1);  // per writer, the record that must come next
    std::istringstream in(old_text + live_text);
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        ASSERT_TRUE(std::regex_search(line, m, head, std::regex_constants::match_continuous))
            << line.substr(0, 100);
        const int w = std::stoi(m[2]), n = std::stoi(m[3]);
        ASSERT_EQ(line.substr(m.position(2) - 3), message(w, n)) << "cut or mixed";
        EXPECT_EQ(std::stoi(m[1]), pids.at(w / THREADS));
        ASSERT_TRUE(next[w] < 0 || n == next[w]) << "writer " << w << " lost or reordered " << n;
        next[w] = n + 1;
    }
    for (int w = 0; w < PROCS * THREADS; ++w) {
        EXPECT_TRUE(next[w] < 0 || next[w] == RECORDS) << "writer " << w << " lost its last record";
    }
}
