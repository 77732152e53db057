#include "internal/tolk_exec.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

extern char** environ;

namespace vek_nats::detail {

int tolk_exec(int, int, int, const char* program, ...) {
    if (program == nullptr) {
        errno = EINVAL;
        return -1;
    }
    std::vector<const char*> argv{program};
    va_list ap;
    va_start(ap, program);
    for (const char* arg = va_arg(ap, const char*); arg != nullptr; arg = va_arg(ap, const char*)) {
        argv.push_back(arg);
    }
    va_end(ap);

    // Moving a file within one directory is what the log asks of "/bin/mv"; rename(2) does it
    // atomically without forking a multi-threaded process.
    if (std::strcmp(program, "/bin/mv") == 0 && argv.size() == 3) {
        return std::rename(argv[1], argv[2]) == 0 ? 0 : -1;
    }

    argv.push_back(nullptr);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, program, nullptr, nullptr,
                               const_cast<char* const*>(argv.data()), environ);
    if (rc != 0) {
        errno = rc;
        return -1;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return 0;
    errno = ECHILD;  // the program ran but failed; no finer errno exists for that
    return -1;
}

}  // namespace vek_nats::detail
