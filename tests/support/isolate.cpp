// Linked into every test program: before main, the program moves into a mount namespace of
// its own with empty file systems over the debug log's root and /tmp. Tests of the log can
// then run in parallel, and one that crashes leaves the machine's log as it was. Where
// namespaces are refused (a user without root), every test fails unrun with that reason: each
// of them would write to the machine's debug log.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/harness.h"

namespace {

bool enter_private_namespace() {
    namespace fs = std::filesystem;
    // Nothing is mounted unless the namespace is private: nothing can reach the machine's.
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr)) {
        return false;
    }
    // A build or working directory under /tmp stays reachable: its top directory is bound back.
    std::error_code ec;
    std::vector<std::string> tops;
    for (const fs::path& p : {fs::canonical("/proc/self/exe", ec), fs::current_path(ec)}) {
        if (p.string().rfind("/tmp/", 0) == 0) tops.push_back(std::next(p.begin(), 2)->string());
    }
    const int old_tmp = open("/tmp", O_PATH | O_DIRECTORY | O_CLOEXEC);
    mkdir(vek_test::LOG_ROOT, 0755);  // the mount point: the machine keeps an empty directory
    bool ok = mount("vek-test", vek_test::LOG_ROOT, "tmpfs", 0, "mode=0755") == 0 &&
              mount("vek-test", "/tmp", "tmpfs", 0, "mode=1777") == 0;
    for (const std::string& top : tops) {
        const std::string from = "/proc/self/fd/" + std::to_string(old_tmp) + "/" + top;
        mkdir(("/tmp/" + top).c_str(), 0700);
        ok = ok && mount(from.c_str(), ("/tmp/" + top).c_str(), nullptr, MS_BIND, nullptr) == 0;
    }
    close(old_tmp);
    return ok;
}

[[maybe_unused]] const bool entered = (vek_test::isolated = enter_private_namespace());

struct NeedsNamespace : ::testing::Environment {
    void SetUp() override {
        if (!vek_test::isolated) FAIL() << "no private mount namespace (the tests need root)";
    }
};
[[maybe_unused]] const auto* const needs = ::testing::AddGlobalTestEnvironment(new NeedsNamespace);

}  // namespace
