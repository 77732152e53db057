// The debug log: record format, switch gating, truncation, rotation, failures, concurrency.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <fstream>
#include <regex>
#include <set>
#include <thread>

#include "internal/tolk_exec.h"
#include "support/log_sandbox.h"
#include "vek_nats/log.h"

using vek_nats::log_dump;
using vek_nats::log_hdr;
using vek_test::LOG_DIR;
using vek_test::LOG_FILE;
using vek_test::LOG_OLD;
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

TEST(LogFormat, HeaderCarriesDateTimeMicrosecondsPidAndTid) {
    const std::string hdr = log_hdr("connect", 291);
    const long tid = syscall(SYS_gettid);
    EXPECT_TRUE(std::regex_search(hdr, std::regex(expected_header_regex(tid) + R"( connect\(291\)$)")))
        << hdr;
    // Month and day in range, year/month/day order.
    const time_t now = time(nullptr);
    struct tm lt {};
    localtime_r(&now, &lt);
    char date[48];
    snprintf(date, sizeof(date), "%02d/%02d/%02d", lt.tm_year % 100, lt.tm_mon + 1, lt.tm_mday);
    EXPECT_EQ(hdr.substr(0, 8), date);
}

TEST(LogFormat, RecordIsHeaderBlankMessageNewline) {
    LogSandbox box;
    long tid = 0;
    std::thread t([&] {
        tid = syscall(SYS_gettid);
        log_dump(0, 0, "%s(%d)- error: (%u - %s) subj-> %s", "publish", 37, 6u, "Connection Refused",
                 "a.b");
    });
    t.join();
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

TEST(LogSwitch, GatedRecordWithoutSwitchTouchesNothing) {
    LogSandbox box;
    const std::string before = cwd();
    EXPECT_EQ(log_dump(1, 0, "%s(%d)- trace", "x", 1), 0);
    EXPECT_EQ(cwd(), before);
    EXPECT_NE(access(LOG_DIR, F_OK), 0) << "the log directory must not be created";
}

TEST(LogSwitch, SwitchFileTurnsTracingOnAndOffAtOnce) {
    LogSandbox box;
    box.set_trace(true);
    log_dump(1, 0, "%s(%d)- first", "t", 1);
    box.set_trace(false);
    log_dump(1, 0, "%s(%d)- second", "t", 2);
    box.set_trace(true);
    log_dump(1, 0, "%s(%d)- third", "t", 3);
    EXPECT_EQ(box.count("- first"), 1u);
    EXPECT_EQ(box.count("- second"), 0u);
    EXPECT_EQ(box.count("- third"), 1u);
}

TEST(LogSwitch, UngatedRecordIsWrittenWithoutSwitch) {
    LogSandbox box;
    log_dump(0, 0, "%s(%d)- always", "t", 1);
    EXPECT_TRUE(box.has("t(1)- always"));
    // Once the directory exists, a written record leaves the process in it.
    log_dump(0, 0, "%s(%d)- always", "t", 2);
    EXPECT_EQ(cwd(), LOG_DIR);
}

TEST(LogFiles, MissingLogDirectoryIsCreatedByFirstRecord) {
    LogSandbox box;  // "/Zdbglog" exists, empty
    ASSERT_NE(access(LOG_DIR, F_OK), 0);
    log_dump(0, 0, "%s(%d)- created", "t", 1);
    struct stat st {};
    ASSERT_EQ(stat(LOG_DIR, &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_TRUE(box.has("- created"));
}

TEST(LogFiles, MissingRootReportsOnStandardErrorEveryTime) {
    LogSandbox box;
    box.remove_root();
    testing::internal::CaptureStderr();
    EXPECT_EQ(log_dump(0, 0, "%s(%d)- lost", "t", 1), 0);
    EXPECT_EQ(log_dump(0, 0, "%s(%d)- lost", "t", 2), 0);
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string one = std::string("Can NOT open [] ") + LOG_FILE +
                            " error: No such file or directory";
    EXPECT_EQ(err, one + one);
}

TEST(LogFiles, UnknownFileIdNamesNoFile) {
    LogSandbox box;
    testing::internal::CaptureStderr();
    log_dump(0, 7, "%s(%d)- nowhere", "t", 1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, std::string("Can NOT open [] ") + LOG_DIR + "/ error: Is a directory");
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

TEST(LogRotation, SecondRotationReplacesTheOldGeneration) {
    LogSandbox box;
    log_dump(0, 0, "%s(%d)- seed", "t", 1);
    fill_file(LOG_FILE, THRESHOLD);
    log_dump(0, 0, "%s(%d)- gen1", "t", 1);
    fill_file(LOG_FILE, THRESHOLD);
    log_dump(0, 0, "%s(%d)- gen2", "t", 2);
    const std::string old = box.old_text();
    EXPECT_EQ(old.find("gen1"), std::string::npos);
    EXPECT_NE(old.find("gen2"), std::string::npos);
}

TEST(LogRotation, FailedMoveIsReportedAndRetriedByTheNextRecord) {
    LogSandbox box;
    log_dump(0, 0, "%s(%d)- seed", "t", 1);
    // A non-empty directory in the way makes the move fail.
    ASSERT_EQ(mkdir(LOG_OLD, 0777), 0);
    { std::ofstream(std::string(LOG_OLD) + "/keep") << "x"; }
    fill_file(LOG_FILE, THRESHOLD);
    testing::internal::CaptureStderr();
    log_dump(0, 0, "%s(%d)- past", "t", 1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(std::regex_match(err, std::regex(R"(ret: -\d+\t error: .+)"))) << err;
    EXPECT_GT(file_size(LOG_FILE), THRESHOLD) << "the record stays in the live file";

    ASSERT_EQ(system((std::string("rm -rf ") + LOG_OLD).c_str()), 0);
    log_dump(0, 0, "%s(%d)- retried", "t", 2);
    EXPECT_NE(access(LOG_FILE, F_OK), 0);
    EXPECT_NE(box.old_text().find("retried"), std::string::npos);
}

TEST(LogConcurrency, FourThreadsWriteEveryRecordOnceAndIntact) {
    LogSandbox box;
    constexpr int THREADS = 4;
    constexpr int RECORDS = 2000;
    // ~200-byte records: 8000 of them cross the threshold once, so rotation runs under load.
    const std::string pad(150, 'p');
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([t, &pad] {
            for (int i = 0; i < RECORDS; ++i) log_dump(0, 0, "%s(%d)- %s", "w", t * 100000 + i, pad.c_str());
        });
    }
    for (std::thread& th : threads) th.join();

    std::set<int> seen;
    size_t duplicates = 0;
    const std::regex shape(R"(^w\((\d+)\)- p{150}$)");
    for (const std::string& m : box.messages()) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(m, match, shape)) << "damaged record: " << m.substr(0, 80);
        if (!seen.insert(std::stoi(match[1].str())).second) ++duplicates;
    }
    EXPECT_EQ(duplicates, 0u);
    EXPECT_EQ(seen.size(), static_cast<size_t>(THREADS * RECORDS));
    EXPECT_EQ(access(LOG_OLD, F_OK), 0) << "the run must have rotated once";
}

TEST(TolkExec, MovesAFileLikeMv) {
    LogSandbox box;  // a scratch directory under /Zdbglog that is cleaned up afterwards
    const std::string from = "/Zdbglog/from", to = "/Zdbglog/to";
    { std::ofstream(from) << "payload"; }
    EXPECT_EQ(vek_nats::detail::tolk_exec(0, 0, 0, "/bin/mv", from.c_str(), to.c_str(), nullptr), 0);
    EXPECT_NE(access(from.c_str(), F_OK), 0);
    EXPECT_EQ(read_file(to), "payload");
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
