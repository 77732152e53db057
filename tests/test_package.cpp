// The installed package: consumers built with find_package(vek_nats CONFIG) and with pkg-config
// load the library by its SONAME and connect.
#include <gtest/gtest.h>

#include <cstdlib>

#include "support/harness.h"

TEST(InstalledPackage, ConsumersOfCMakeAndPkgConfigBuildAndConnect) {
    const std::string root = ::testing::TempDir() + "vek_nats_pkg", prefix = root + "/prefix";
    const std::string pc = "PKG_CONFIG_PATH=" + prefix + "/lib/pkgconfig ";
    auto run = [](std::string c) { return !std::system(("(" + c + ")>/dev/null 2>&1").c_str()); };
    ASSERT_TRUE(run("rm -rf " + root + " && cmake --install '" VEK_BINARY_DIR "' --prefix " +
                    prefix + " && cmake -S '" VEK_PACKAGE_SOURCE "' -B " + root +
                    "/cmake -DCMAKE_PREFIX_PATH=" + prefix + " && cmake --build " + root +
                    "/cmake && " + pc + "g++ -std=c++17 '" VEK_PACKAGE_SOURCE "/main.cpp' -o " +
                    root + "/pc $(" + pc + "pkg-config --cflags --libs vek_nats) && readelf -d " +
                    root + "/pc | grep -q 'NEEDED.*libvek_nats.so.0]'"));
    vek_test::NatsServer server;
    ASSERT_TRUE(server.start());
    for (const std::string consumer : {"/cmake/consumer", "/pc"}) {
        const std::string cmd = "LD_LIBRARY_PATH=" + prefix + "/lib " + root + consumer + " ";
        EXPECT_TRUE(run(cmd + server.url())) << consumer;
        EXPECT_FALSE(run(cmd + "nats://127.0.0.1:" + std::to_string(vek_test::free_port())));
    }
}
