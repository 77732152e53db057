// The installed package: consumers built with find_package(vek_nats CONFIG) and with pkg-config
// load the library by its SONAME and connect.
#include <gtest/gtest.h>

#include <cstdlib>

#include "support/harness.h"

TEST(InstalledPackage, ConsumersOfCMakeAndPkgConfigBuildAndConnect) {
    const std::string root = ::testing::TempDir() + "vek_nats_pkg", prefix = root + "/prefix";
    const std::string pc = "PKG_CONFIG_PATH=" + prefix + "/lib/pkgconfig ";
    auto run = [](std::string c) { return std::system(("(" + c + ")>/dev/null 2>&1").c_str()); };
    run("rm -rf " + root);
    ASSERT_EQ(run("cmake --install '" VEK_BINARY_DIR "' --prefix " + prefix), 0);
    ASSERT_EQ(run("cmake -S '" VEK_PACKAGE_SOURCE "' -B " + root +
                  "/cmake -DCMAKE_PREFIX_PATH=" + prefix + " && cmake --build " + root + "/cmake"),
              0);
    ASSERT_EQ(run(pc + "g++ -std=c++17 '" VEK_PACKAGE_SOURCE "/main.cpp' -o " + root + "/pc $(" +
                  pc + "pkg-config --cflags --libs vek_nats)"),
              0);
    EXPECT_EQ(run("readelf -d " + root + "/pc | grep -q 'NEEDED.*libvek_nats.so.0]'"), 0);
    vek_test::NatsServer server;
    ASSERT_TRUE(server.start());
    for (const std::string consumer : {"/cmake/consumer", "/pc"}) {
        const std::string cmd = "LD_LIBRARY_PATH=" + prefix + "/lib " + root + consumer + " ";
        EXPECT_EQ(run(cmd + server.url()), 0) << consumer;
        EXPECT_NE(run(cmd + "nats://127.0.0.1:" + std::to_string(vek_test::free_port())), 0);
    }
}
