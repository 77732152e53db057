// Linked into every test program: before main, the program moves into a mount namespace of
// its own with empty file systems over the debug log's root and /tmp. Tests of the log can
// then run in parallel, and one that crashes leaves the machine's log as it was. Where
// namespaces are refused, the log sandbox falls back to moving the real paths aside.
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "support/harness.h"

namespace vek_test {
namespace {

bool under_tmp(const std::filesystem::path& p) {
    return p.string().rfind("/tmp/", 0) == 0;
}

bool enter_private_namespace() {
    std::error_code ec;
    // A program or working directory under /tmp would vanish beneath the new /tmp.
    if (under_tmp(std::filesystem::canonical("/proc/self/exe", ec)) ||
        under_tmp(std::filesystem::current_path(ec).string() + "/")) {
        return false;
    }
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return false;  // nothing mounted: nothing can reach the machine's namespace
    }
    mkdir(LOG_ROOT, 0755);  // the mount point: all the machine keeps is an empty directory
    return mount("vek-test", LOG_ROOT, "tmpfs", 0, "mode=0755") == 0 &&
           mount("vek-test", "/tmp", "tmpfs", 0, "mode=1777") == 0;
}

[[maybe_unused]] const bool entered = (isolated = enter_private_namespace());

}  // namespace
}  // namespace vek_test
