// Linked into every test program: before main, the program moves into a mount namespace of
// its own with empty file systems over the debug log's root and /tmp. Tests of the log can
// then run in parallel, and one that crashes leaves the machine's log as it was. Where
// namespaces are refused, the log sandbox falls back to moving the real paths aside.
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <filesystem>

#include "support/harness.h"

namespace {

bool enter_private_namespace() {
    namespace fs = std::filesystem;
    std::error_code ec;
    // A program or working directory under /tmp would vanish beneath the new /tmp.
    for (const fs::path& p : {fs::canonical("/proc/self/exe", ec), fs::current_path(ec) / ""}) {
        if (p.string().rfind("/tmp/", 0) == 0) return false;
    }
    // Nothing is mounted unless the namespace is private: nothing can reach the machine's.
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr)) {
        return false;
    }
    mkdir(vek_test::LOG_ROOT, 0755);  // the mount point: the machine keeps an empty directory
    return mount("vek-test", vek_test::LOG_ROOT, "tmpfs", 0, "mode=0755") == 0 &&
           mount("vek-test", "/tmp", "tmpfs", 0, "mode=1777") == 0;
}

[[maybe_unused]] const bool entered = (vek_test::isolated = enter_private_namespace());

}  // namespace
