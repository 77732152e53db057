#include "vek_nats/log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "internal/tolk_exec.h"

namespace vek_nats {
namespace {

constexpr const char* SWITCH_FILE = "/tmp/vek_nats_debug";
constexpr const char* LOG_DIR = "/Zdbglog/.vek_nats_log";
constexpr const char* COMMON_LOG = "vek_nats_common_log";
constexpr long ROTATE_ABOVE = 0x100000;
constexpr int OPEN_ATTEMPTS = 8;

// "YY/MM/DD hh:mm:ss:uuuuuu [pid-PPPPP][tid-TTTTT]" of the current local time.
int format_header(char* buf, size_t size) {
    const time_t now = time(nullptr);
    struct timeval tv {};
    gettimeofday(&tv, nullptr);
    struct tm lt {};
    localtime_r(&now, &lt);
    return snprintf(buf, size, "%02d/%02d/%02d %02d:%02d:%02d:%06d [pid-%05d][tid-%05ld]",
                    lt.tm_year % 100, lt.tm_mon + 1, lt.tm_mday, lt.tm_hour, lt.tm_min,
                    lt.tm_sec, static_cast<int>(tv.tv_usec), static_cast<int>(getpid()),
                    static_cast<long>(syscall(SYS_gettid)));
}

// Opens the live log file and locks it. Other writers may have moved the file aside between
// our open and our lock; then the descriptor names the ".old" generation and we open again.
int open_locked(const char* path) {
    for (int attempt = 0; attempt < OPEN_ATTEMPTS; ++attempt) {
        const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0) return -1;
        if (flock(fd, LOCK_EX) != 0) return fd;  // unlockable file system: write unserialised
        struct stat by_fd {}, by_path {};
        if (fstat(fd, &by_fd) == 0 && stat(path, &by_path) == 0 && by_fd.st_ino == by_path.st_ino &&
            by_fd.st_dev == by_path.st_dev) {
            return fd;
        }
        ::close(fd);
    }
    return open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
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

    if (chdir(LOG_DIR) != 0) mkdir(LOG_DIR, 0777);

    char path[512] = {};
    snprintf(path, sizeof(path), "%s/%s", LOG_DIR, file_name);

    const int fd = open_locked(path);
    if (fd < 0) {
        fprintf(stderr, "Can NOT open [] %s error: %s", path, strerror(errno));
        return 0;
    }

    char header[128] = {};
    format_header(header, sizeof(header));
    // One write per record: concurrent appenders never interleave inside a record.
    char record[sizeof(header) + sizeof(message) + 2];
    int len = snprintf(record, sizeof(record), "%s %s\n", header, message);
    if (len > static_cast<int>(sizeof(record)) - 1) len = static_cast<int>(sizeof(record)) - 1;
    ssize_t written = 0;
    while (written < len) {
        const ssize_t n = write(fd, record + written, static_cast<size_t>(len - written));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        written += n;
    }

    // Writers hold the file lock from open to here, so the size seen is the file's own and
    // exactly the record that crossed the threshold ends the ".old" generation.
    const off_t size = lseek(fd, 0, SEEK_CUR);
    if (size > ROTATE_ABOVE) {
        char old_path[256] = {};
        snprintf(old_path, sizeof(old_path), "%.250s.old", path);
        const int ret = detail::tolk_exec(0, 0, 0, "/bin/mv", path, old_path, nullptr);
        if (ret < 0) fprintf(stderr, "ret: %d\t error: %s", ret, strerror(errno));
    }
    ::close(fd);  // releases the lock
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
