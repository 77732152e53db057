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

#include "internal/logging.h"
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
constexpr mode_t LOCK_FILE_MODE = 0600;
constexpr auto LOCK_WAIT = std::chrono::milliseconds(5);
constexpr auto WRITERS_WAIT = std::chrono::seconds(1);

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

// Waits for a flock of `fd` (LOCK_EX or LOCK_SH) at most `limit`.
bool lock_within(int fd, int how, std::chrono::microseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    auto pause = std::chrono::microseconds(20);
    while (flock(fd, how | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) return false;  // unlockable file system
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(1000));
    }
    return true;
}

off_t size_of(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 ? st.st_size : 0;
}

// The writers' lock, beside the log file: a file only the log owner's writers (and root) can
// open, so that nobody else can hold it. -1 when it cannot be had.
int open_writers_lock(int dir, const char* name) {
    char lock_name[256 + 8] = {};
    snprintf(lock_name, sizeof(lock_name), "%s.lock", name);
    const int fd = openat(dir, lock_name, O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                          LOCK_FILE_MODE);
    struct stat st {};
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        ::close(fd);
        return -1;
    }
    return fd;
}

enum class rotation { moved, emptied };

// Moves the live file aside; the caller is serialised, so the name still leads to `fd` and
// nobody else moves it or writes to it meanwhile. A blocked move (say, by a directory of the
// ".old" name) empties the file instead, which only a serialised writer may do: the generation
// is given up so that the file stays bounded, and the failure is reported once per
// generation, not once per record.
rotation rotate(const char* path, int fd) {
    char old_path[256] = {};
    snprintf(old_path, sizeof(old_path), "%.250s.old", path);
    const int ret = detail::tolk_exec(0, 0, 0, "/bin/mv", path, old_path, nullptr);
    if (ret == 0) return rotation::moved;
    const int err = errno;
    const bool emptied = ftruncate(fd, 0) == 0;
    fprintf(stderr, "ret: %d\t error: %s\n", ret, strerror(err));
    return emptied ? rotation::emptied : rotation::moved;
}

// Opens the live log file; `*serialised` tells whether no other writer appends to it or moves
// it until `*writers` and the file are closed. Writers serialise on the file's own lock, but
// anyone who can read the log can take that one, so it is waited for only briefly. Its holder
// also shares the writers' lock, which a writer that waited the file lock out takes alone:
// waiting for that one is waiting for a record to be written, so it is waited for longer.
// Other writers may have moved the file aside between our open and our lock; then the
// descriptor names the ".old" generation and we open again. A file found past the threshold
// (its crossing writer could not move it) is moved first, so that no record lands beyond the
// crossing one.
int open_live(int dir, const char* name, const char* path, int* writers, bool* serialised) {
    for (int attempt = 0; attempt < OPEN_ATTEMPTS; ++attempt) {
        const int fd = open_file(dir, name);
        if (fd < 0) return -1;
        const bool locked = lock_within(fd, LOCK_EX, LOCK_WAIT);
        if (*writers < 0) *writers = open_writers_lock(dir, name);
        *serialised =
            *writers < 0 ? locked : lock_within(*writers, locked ? LOCK_SH : LOCK_EX, WRITERS_WAIT);
        if (names_file(dir, name, fd) && (size_of(fd) <= ROTATE_ABOVE ||
                                          (*serialised && rotate(path, fd) == rotation::emptied))) {
            return fd;
        }
        if (*writers >= 0) flock(*writers, LOCK_UN);
        ::close(fd);
    }
    *serialised = false;
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

bool detail::tracing() {
    return access(SWITCH_FILE, F_OK) == 0;
}

int log_dump(int debug_only, int file_id, const char* format, ...) {
    // Gated records are dropped before any formatting: traces sit on hot paths.
    if (debug_only != 0 && !detail::tracing()) return 0;

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
    int writers = -1;
    bool serialised = false;
    // The working directory only ever goes into a directory that passed the test.
    const int fd =
        dir < 0 || fchdir(dir) != 0 ? -1 : open_live(dir, file_name, path, &writers, &serialised);
    if (fd < 0) {
        fprintf(stderr, "Can NOT open [] %s error: %s\n", path, strerror(errno));
        if (writers >= 0) ::close(writers);
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

    // A serialised writer's size is the file's own, so exactly the record that crossed the
    // threshold ends the ".old" generation, and the live file never holds more than one record
    // past it. When the move was blocked, the crossing record starts the next generation.
    const off_t size = lseek(fd, 0, SEEK_CUR);
    if (size > ROTATE_ABOVE && serialised && rotate(path, fd) == rotation::emptied) {
        write_all(fd, record, len);
    }
    // The writers' lock goes first: whoever gets the file lock next finds it free.
    if (writers >= 0) ::close(writers);
    ::close(fd);
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
