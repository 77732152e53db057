// The installed package: find_package(vek_nats CONFIG) and pkg-config give a working library.
#include <gtest/gtest.h>
#include <unistd.h>

#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "support/nats_server.h"

namespace {

int run(const std::string& cmd) {
    const int rc = std::system((cmd + " > /dev/null 2>&1").c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

class InstalledPackage : public testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/vek_nats_pkg.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
        prefix = root + "/prefix";
        ASSERT_EQ(run("cmake --install '" VEK_BINARY_DIR "' --prefix '" + prefix + "'"), 0);
    }
    void TearDown() override { run("rm -rf '" + root + "'"); }
    std::string root, prefix;
};

}  // namespace

TEST_F(InstalledPackage, CMakeConsumerBuildsAndConnects) {
    const std::string build = root + "/consumer";
    ASSERT_EQ(run("cmake -S '" VEK_PACKAGE_SOURCE "' -B '" + build + "' -DCMAKE_PREFIX_PATH='" +
                  prefix + "'"),
              0);
    ASSERT_EQ(run("cmake --build '" + build + "'"), 0);
    vek_test::NatsServer server;
    ASSERT_TRUE(server.start());
    EXPECT_EQ(run("LD_LIBRARY_PATH='" + prefix + "/lib' '" + build + "/consumer' " + server.url()),
              0);
    // Without a server the same program reports the failure.
    server.stop();
    EXPECT_EQ(run("LD_LIBRARY_PATH='" + prefix + "/lib' '" + build + "/consumer' " + server.url()),
              1);
}

TEST_F(InstalledPackage, PkgConfigDescribesTheLibrary) {
    const std::string env = "PKG_CONFIG_PATH='" + prefix + "/lib/pkgconfig' ";
    EXPECT_EQ(run(env + "pkg-config --exists vek_nats"), 0);
    const std::string out = root + "/consumer_pc";
    EXPECT_EQ(run(env + "g++ -std=c++17 '" VEK_PACKAGE_SOURCE "/main.cpp' -o '" + out +
                  "' $(" + env + "pkg-config --cflags --libs vek_nats)"),
              0);
    EXPECT_EQ(access(out.c_str(), X_OK), 0);
    EXPECT_EQ(access((prefix + "/lib/libvek_nats.so.0").c_str(), F_OK), 0) << "SONAME link";
}
