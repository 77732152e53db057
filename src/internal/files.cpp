#include "internal/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vek_nats::detail {

int check_setting_file(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return errno;
    struct stat st {};
    int err = 0;
    if (fstat(fd, &st) != 0) {
        err = errno;
    } else if (S_ISDIR(st.st_mode)) {
        err = EISDIR;
    } else if (!S_ISREG(st.st_mode)) {
        err = EINVAL;
    } else if (st.st_size == 0) {
        err = ENODATA;
    }
    ::close(fd);
    return err;
}

const char* setting_file_problem(int err) {
    switch (err) {
        case EINVAL:
        case ENXIO:  // what opening a socket gives
            return "not a regular file";
        case ENODATA:
            return "empty";
        default:
            return std::strerror(err);
    }
}

}  // namespace vek_nats::detail
