// The debug log: record format, switch gating, truncation, rotation, failures, concurrency.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <future>
#include <regex>
#include <thread>

#include "internal/tolk_exec.h"
#include "support/log_sandbox.h"
#include "vek_nats/log.h"

using vek_nats::log_dump;
using vek_nats::log_hdr;
using vek_test::LOG_DIR;
using vek_test::LOG_FILE;
using vek_test::LOG_OLD;
using vek_test::LOG_ROOT;
using vek_test::LogSandbox;
using vek_test::read_file;

namespace {

constexpr long THRESHOLD = 0x100000;

std::string cwd() {
    char buf[4096] = {};
    return getcwd(buf, sizeof(buf)) != nullptr ? buf : "";
}

long file_size(const char* path) {
    struct stat st {};
    return stat(path, &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

size_t open_fds() {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                             std::filesystem::directory_iterator()));
}

// Length of the record header of the calling thread: log_hdr adds " (0)" for an empty name.
size_t header_length() { return log_hdr("", 0).size() - 4; }

void fill_file(const char* path, long bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << std::string(static_cast<size_t>(bytes), 'x');
}

std::string expected_header_regex(long tid) {
    const time_t now = time(nullptr);
    struct tm lt {};
    localtime_r(&now, &lt);
    char year[16];
    snprintf(year, sizeof(year), "%02d", lt.tm_year % 100);
    char ids[64];
    snprintf(ids, sizeof(ids), R"(\[pid-%05d\]\[tid-%05ld\])", static_cast<int>(getpid()), tid);
    return std::string("^") + year + R"(/\d{2}/\d{2} \d{2}:\d{2}:\d{2}:\d{6} )" + ids;
}

}  // namespace

TEST(LogFormat, RecordIsHeaderBlankMessageNewline) {
    LogSandbox box;
    long tid = 0;
    std::thread t([&] {
        tid = syscall(SYS_gettid);
        log_dump(0, 0, "%s(%d)- error: (%u - %s) subj-> %s", "publish", 37, 6u, "Connection Refused",
                 "a.b");
    });
    t.join();
    // log_hdr gives the same header, then the function and line; the date is year/month/day.
    const time_t now = time(nullptr);
    struct tm lt {};
    localtime_r(&now, &lt);
    char date[48];
    snprintf(date, sizeof(date), "%02d/%02d/%02d", lt.tm_year % 100, lt.tm_mon + 1, lt.tm_mday);
    const std::string hdr = log_hdr("connect", 291);
    EXPECT_EQ(hdr.substr(0, 8), date);
    EXPECT_TRUE(std::regex_search(
        hdr, std::regex(expected_header_regex(syscall(SYS_gettid)) + R"( connect\(291\)$)")))
        << hdr;
    const std::string text = box.text();
    EXPECT_TRUE(std::regex_match(
        text, std::regex(expected_header_regex(tid) +
                         R"( publish\(37\)- error: \(6 - Connection Refused\) subj-> a\.b\n)")))
        << text;
}

TEST(LogFormat, MultiLineMessageHasHeaderOnlyOnFirstLine) {
    LogSandbox box;
    log_dump(0, 0, "%s(%d)-\nReceived msg  : %s\nReceived inbox: %s", "recv", 9, "s", "_INBOX.1");
    const std::string text = box.text();
    const size_t first_nl = text.find('\n');
    ASSERT_NE(first_nl, std::string::npos);
    EXPECT_EQ(text.substr(header_length(), first_nl - header_length()), " recv(9)-");
    EXPECT_EQ(text.substr(first_nl + 1), "Received msg  : s\nReceived inbox: _INBOX.1\n");
}

TEST(LogFormat, LongMessageIsCutTo4095Characters) {
    LogSandbox box;
    const std::string big(5000, 'm');
    log_dump(0, 0, "%s", big.c_str());
    const std::string text = box.text();
    ASSERT_GT(text.size(), header_length() + 2);
    const std::string message = text.substr(header_length() + 1, text.size() - header_length() - 2);
    EXPECT_EQ(message, std::string(4095, 'm'));
    EXPECT_EQ(text.back(), '\n');
}

// Gated records follow the switch file at every call and touch nothing while it is absent;
// ungated ones are written either way, and a written record leaves the process in the log
// directory.
TEST(LogSwitch, GatesTracesAtEveryRecordAndNothingElse) {
    LogSandbox box;
    const std::string before = cwd();
    EXPECT_EQ(log_dump(1, 0, "%s(%d)- first", "t", 1), 0);
    EXPECT_EQ(cwd(), before);
    EXPECT_NE(access(LOG_DIR, F_OK), 0) << "the log directory must not be created";
    box.set_trace(true);
    log_dump(1, 0, "%s(%d)- second", "t", 2);
    box.set_trace(false);
    log_dump(1, 0, "%s(%d)- third", "t", 3);
    log_dump(0, 0, "%s(%d)- always", "t", 4);
    EXPECT_EQ(box.messages(), (std::vector<std::string>{"t(2)- second", "t(4)- always"}));
    EXPECT_EQ(cwd(), LOG_DIR);
}

TEST(LogFiles, MissingLogDirectoryIsCreatedByFirstRecordForOwnerAndGroupOnly) {
    LogSandbox box;  // "/Zdbglog" exists, empty
    ASSERT_NE(access(LOG_DIR, F_OK), 0);
    const mode_t saved = umask(0);
    log_dump(0, 0, "%s(%d)- created", "t", 1);
    umask(saved);
    struct stat dir {};
    struct stat file {};
    ASSERT_EQ(stat(LOG_DIR, &dir), 0);
    EXPECT_TRUE(S_ISDIR(dir.st_mode));
    EXPECT_EQ(dir.st_mode & 07777, 0750u);
    ASSERT_EQ(stat(LOG_FILE, &file), 0);
    EXPECT_EQ(file.st_mode & 07777, 0640u);
    EXPECT_TRUE(box.has("- created"));
}

// Places that another local user could have prepared: the record is dropped with one line on
// standard error, nothing reaches what was planted, and no call hangs or moves the process
// into a directory that failed the test.
TEST(LogSafety, RiggedPlacesAreRefused) {
    enum Node { NONE, DIR, REG, LINK, FIFO, READ_FIFO };
    struct Rig {
        Node dir;  // NONE: "/Zdbglog" missing too
        mode_t mode;
        uid_t owner;
        Node file;
        int file_id;
        const char* error;
    };
    const char* const NOENT = "No such file or directory";
    const char* const LOOP = "Too many levels of symbolic links";
    const char* const PERM = "Operation not permitted";
    const std::vector<Rig> rigs{
        {NONE, 0, 0, NONE, 0, NOENT},
        {DIR, 0750, 0, NONE, 7, NOENT},
        {DIR, 0750, 0, LINK, 0, LOOP},
        {DIR, 0750, 0, FIFO, 0, "No such device or address"},
        {DIR, 0750, 0, READ_FIFO, 0, "Invalid argument"},
        {DIR, 0750, 65534, REG, 0, PERM},
        {DIR, 0770, 0, REG, 0, PERM},
        {DIR, 01777, 0, REG, 0, PERM},
        {LINK, 0750, 0, NONE, 0, "Not a directory"},
    };
    const std::string real = std::string(LOG_ROOT) + "/real", target = real + "/target";
    for (const Rig& rig : rigs) {
        SCOPED_TRACE(testing::Message() << "rig " << &rig - rigs.data());
        LogSandbox box;
        ASSERT_EQ(mkdir(real.c_str(), 0750), 0);
        std::ofstream(target).flush();
        if (rig.dir == NONE) box.remove_root();
        bool planted = rig.dir != LINK || symlink(real.c_str(), LOG_DIR) == 0;
        planted = planted && (rig.dir != DIR || mkdir(LOG_DIR, 0750) == 0);
        if (rig.file == REG) std::ofstream(LOG_FILE).flush();
        planted = planted && (rig.file != LINK || symlink(target.c_str(), LOG_FILE) == 0);
        planted = planted && (rig.file < FIFO || mkfifo(LOG_FILE, 0666) == 0);
        const int reader = rig.file == READ_FIFO ? open(LOG_FILE, O_RDONLY | O_NONBLOCK) : -1;
        planted = planted && (rig.dir != DIR || (chmod(LOG_DIR, rig.mode) == 0 &&
                                                 chown(LOG_DIR, rig.owner, rig.owner) == 0));
        ASSERT_TRUE(planted);
        const std::string before = cwd();
        const size_t fds = open_fds();
        testing::internal::CaptureStderr();
        auto call = std::async(std::launch::async, [&] { return log_dump(0, rig.file_id, "rec"); });
        const bool returned = call.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
        if (!returned) close(open(LOG_FILE, O_RDONLY | O_NONBLOCK));  // lets a blocked open go
        EXPECT_EQ(call.get(), 0);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_TRUE(returned);
        EXPECT_EQ(open_fds(), fds) << "a descriptor was left open";
        const std::string shown = rig.file_id == 0 ? LOG_FILE : std::string(LOG_DIR) + "/";
        EXPECT_EQ(err, "Can NOT open [] " + shown + " error: " + rig.error + "\n");
        const bool trusted = rig.dir == DIR && rig.mode == 0750 && rig.owner == 0;
        EXPECT_EQ(cwd(), trusted ? std::string(LOG_DIR) : before);
        EXPECT_EQ(read_file(target) + read_file(real + "/vek_nats_common_log"), "");
        if (rig.file == REG) {
            EXPECT_EQ(read_file(LOG_FILE), "");
        }
        if (reader >= 0) close(reader);
    }
}

TEST(LogSafety, DirectoryOfTheEffectiveUserIsTrusted) {
    LogSandbox box;
    ASSERT_EQ(mkdir(LOG_DIR, 0750), 0);
    ASSERT_EQ(chown(LOG_DIR, 65534, 65534), 0);
    ASSERT_EQ(seteuid(65534), 0);
    log_dump(0, 0, "%s(%d)- as nobody", "t", 1);
    ASSERT_EQ(seteuid(0), 0);
    EXPECT_TRUE(box.has("- as nobody"));
}

TEST(LogSafety, LockHeldByAnotherDelaysRecordsOnlyBriefly) {
    LogSandbox box;
    log_dump(0, 0, "%s(%d)- seed", "t", 1);
    int holder = open(LOG_FILE, O_RDONLY);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    auto calls = std::async(std::launch::async, [] {
        for (int i = 0; i < 20; ++i) log_dump(0, 0, "%s(%d)- while held", "t", i);
    });
    // 20 records within seconds, not only once the holder lets go.
    const bool returned = calls.wait_for(std::chrono::seconds(3)) == std::future_status::ready;
    close(holder);
    calls.wait();
    EXPECT_TRUE(returned);
    EXPECT_EQ(box.count("- while held"), 20u);
}

TEST(LogRotation, FileOfExactlyThresholdStaysAndOneByteMoreRotates) {
    LogSandbox box;
    log_dump(0, 0, "%s(%d)- seed", "t", 1);  // creates the directory
    const std::string message = "t(2)- crossing";
    const long record = static_cast<long>(header_length() + 1 + message.size() + 1);

    fill_file(LOG_FILE, THRESHOLD - record);
    log_dump(0, 0, "%s(%d)- crossing", "t", 2);
    EXPECT_EQ(file_size(LOG_FILE), THRESHOLD);
    EXPECT_NE(access(LOG_OLD, F_OK), 0) << "exactly 1 MiB must not rotate";

    fill_file(LOG_FILE, THRESHOLD - record + 1);
    log_dump(0, 0, "%s(%d)- crossing", "t", 2);
    EXPECT_NE(access(LOG_FILE, F_OK), 0) << "the live file must have moved";
    const std::string old = box.old_text();
    EXPECT_EQ(static_cast<long>(old.size()), THRESHOLD + 1);
    EXPECT_EQ(old.substr(old.size() - message.size() - 1), message + "\n")
        << "the crossing record ends the old generation";

    log_dump(0, 0, "%s(%d)- fresh", "t", 3);
    const std::string live = box.text();
    EXPECT_EQ(live.size(), header_length() + 1 + std::string("t(3)- fresh").size() + 1);
}

TEST(LogRotation, BlockedMoveKeepsTheFileBoundedReportsOnceAndIsRetried) {
    LogSandbox box;
    log_dump(0, 0, "%s(%d)- seed", "t", 1);
    // A non-empty directory in the way makes the move fail.
    ASSERT_EQ(mkdir(LOG_OLD, 0750), 0);
    { std::ofstream(std::string(LOG_OLD) + "/keep") << "x"; }
    fill_file(LOG_FILE, THRESHOLD);
    testing::internal::CaptureStderr();
    for (int i = 0; i < 100; ++i) log_dump(0, 0, "%s(%d)- past", "t", i);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(std::regex_match(err, std::regex("ret: -\\d+\t error: [^\n]+\n"))) << err;
    EXPECT_LT(file_size(LOG_FILE), THRESHOLD);
    EXPECT_EQ(box.messages().front(), "t(0)- past") << "the crossing record starts the file";
    EXPECT_EQ(box.count("- past"), 100u);

    ASSERT_EQ(system((std::string("rm -rf ") + LOG_OLD).c_str()), 0);
    fill_file(LOG_FILE, THRESHOLD);
    log_dump(0, 0, "%s(%d)- retried", "t", 2);
    EXPECT_NE(access(LOG_FILE, F_OK), 0);
    EXPECT_NE(box.old_text().find("retried"), std::string::npos);
}

TEST(TolkExec, FailureIsNegativeWithErrno) {
    errno = 0;
    EXPECT_LT(vek_nats::detail::tolk_exec(0, 0, 0, "/bin/mv", "/nonexistent/a", "/nonexistent/b",
                                          nullptr),
              0);
    EXPECT_EQ(errno, ENOENT);
    errno = 0;
    EXPECT_LT(vek_nats::detail::tolk_exec(0, 0, 0, "/nonexistent/program", nullptr), 0);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_LT(vek_nats::detail::tolk_exec(0, 0, 0, "/bin/false", nullptr), 0);
    EXPECT_EQ(vek_nats::detail::tolk_exec(0, 0, 0, "/bin/true", nullptr), 0);
}
