#include "vek_nats/log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>

#include "internal/tolk_exec.h"

namespace vek_nats {
namespace {

constexpr const char* SWITCH_FILE = "/tmp/vek_nats_debug";
constexpr const char* LOG_DIR = "/Zdbglog/.vek_nats_log";
constexpr const char* COMMON_LOG = "vek_nats_common_log";
constexpr long ROTATE_ABOVE = 0x100000;
constexpr int OPEN_ATTEMPTS = 8;
// The log holds records that only its owner's group may read.
constexpr mode_t DIR_MODE = 0750;
constexpr mode_t FILE_MODE = 0640;
constexpr auto LOCK_WAIT = std::chrono::milliseconds(5);

// "YY/MM/DD hh:mm:ss:uuuuuu [pid-PPPPP][tid-TTTTT]" of the current local time.
int format_header(char* buf, size_t size) {
    const time_t now = time(nullptr);
    struct timeval tv {};
    gettimeofday(&tv, nullptr);
    struct tm lt {};
    localtime_r(&now, &lt);
    return snprintf(buf, size, "%02d/%02d/%02d %02d:%02d:%02d:%06d [pid-%05d][tid-%05ld]",
                    lt.tm_year % 100, lt.tm_mon + 1, lt.tm_mday, lt.tm_hour, lt.tm_min, lt.tm_sec,
                    static_cast<int>(tv.tv_usec), static_cast<int>(getpid()),
                    static_cast<long>(syscall(SYS_gettid)));
}

// Opens the log directory, creating it when missing, and accepts it only when nobody but
// this user or root can change what is in it: others could plant a symlink or a FIFO as the
// log file, or read the records. -1 with errno otherwise.
int open_log_dir() {
    constexpr int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int dir = open(LOG_DIR, flags);
    if (dir < 0 && errno == ENOENT) {
        mkdir(LOG_DIR, DIR_MODE);  // may lose a race with another creator: the test below decides
        dir = open(LOG_DIR, flags);
    }
    if (dir < 0) return -1;
    struct stat st {};
    if (fstat(dir, &st) != 0 || (st.st_uid != geteuid() && st.st_uid != 0) ||
        (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        ::close(dir);
        errno = EPERM;
        return -1;
    }
    return dir;
}

// A regular file only: O_NONBLOCK keeps a planted FIFO from blocking the open, O_NOFOLLOW
// refuses a planted symlink.
int open_file(int dir, const char* name) {
    const int fd = openat(
        dir, name, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, FILE_MODE);
    if (fd < 0) return -1;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

bool names_file(int dir, const char* name, int fd) {
    struct stat by_fd {
    }, by_name{};
    return fstat(fd, &by_fd) == 0 && fstatat(dir, name, &by_name, AT_SYMLINK_NOFOLLOW) == 0 &&
           by_fd.st_ino == by_name.st_ino && by_fd.st_dev == by_name.st_dev;
}

// Anyone who can open the file can flock it: wait for the lock only briefly.
bool lock_briefly(int fd) {
    const auto deadline = std::chrono::steady_clock::now() + LOCK_WAIT;
    auto pause = std::chrono::microseconds(20);
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) return false;  // unlockable file system
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(1000));
    }
    return true;
}

// Opens the live log file, locked when the lock comes in time. Other writers may have moved
// the file aside between our open and our lock; then the descriptor names the ".old"
// generation and we open again.
int open_live(int dir, const char* name, bool* locked) {
    for (int attempt = 0; attempt < OPEN_ATTEMPTS; ++attempt) {
        const int fd = open_file(dir, name);
        if (fd < 0) return -1;
        *locked = lock_briefly(fd);
        if (!*locked || names_file(dir, name, fd)) return fd;
        ::close(fd);
    }
    *locked = false;
    return open_file(dir, name);
}

bool write_all(int fd, const char* data, int len) {
    int written = 0;
    while (written < len) {
        const ssize_t n = write(fd, data + written, static_cast<size_t>(len - written));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        written += static_cast<int>(n);
    }
    return true;
}

}  // namespace

int log_dump(int debug_only, int file_id, const char* format, ...) {
    // Gated records are dropped before any formatting: traces sit on hot paths.
    if (debug_only != 0 && access(SWITCH_FILE, F_OK) != 0) return 0;

    char message[4096] = {};
    va_list ap;
    va_start(ap, format);
    vsnprintf(message, sizeof(message), format, ap);
    va_end(ap);

    char file_name[256] = {};
    if (file_id == 0) snprintf(file_name, sizeof(file_name), "%s", COMMON_LOG);

    char path[512] = {};
    snprintf(path, sizeof(path), "%s/%s", LOG_DIR, file_name);

    const int dir = open_log_dir();
    bool locked = false;
    // The working directory only ever goes into a directory that passed the test.
    const int fd = dir < 0 || fchdir(dir) != 0 ? -1 : open_live(dir, file_name, &locked);
    if (fd < 0) {
        fprintf(stderr, "Can NOT open [] %s error: %s\n", path, strerror(errno));
        if (dir >= 0) ::close(dir);
        return 0;
    }

    char header[128] = {};
    format_header(header, sizeof(header));
    // One write per record: concurrent appenders never interleave inside a record.
    char record[sizeof(header) + sizeof(message) + 2];
    int len = snprintf(record, sizeof(record), "%s %s\n", header, message);
    if (len > static_cast<int>(sizeof(record)) - 1) len = static_cast<int>(sizeof(record)) - 1;
    write_all(fd, record, len);

    // Locked writers hold the lock from open to here, so the size seen is the file's own and
    // exactly the record that crossed the threshold ends the ".old" generation. A writer
    // without the lock rotates only the file it wrote to, so the limit holds even while
    // someone else keeps the lock.
    const off_t size = lseek(fd, 0, SEEK_CUR);
    if (size > ROTATE_ABOVE && (locked || names_file(dir, file_name, fd))) {
        char old_path[256] = {};
        snprintf(old_path, sizeof(old_path), "%.250s.old", path);
        const int ret = detail::tolk_exec(0, 0, 0, "/bin/mv", path, old_path, nullptr);
        if (ret < 0) {
            const int err = errno;
            // The move is blocked (say, by a directory of the ".old" name): the generation is
            // given up so that the file stays bounded, and the crossing record starts the
            // next one. The file restarts small, so the failure is reported once per
            // generation, not once per record.
            if (ftruncate(fd, 0) == 0) write_all(fd, record, len);
            fprintf(stderr, "ret: %d\t error: %s\n", ret, strerror(err));
        }
    }
    ::close(fd);  // releases the lock
    ::close(dir);
    return 0;
}

std::string log_hdr(const char* func, int line) {
    char header[128] = {};
    format_header(header, sizeof(header));
    char result[256] = {};
    snprintf(result, sizeof(result), "%s %s(%d)", header, func != nullptr ? func : "(null)", line);
    return result;
}

}  // namespace vek_nats
