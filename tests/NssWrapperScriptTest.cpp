// scripts/nss-wrapper.sh, which picks the nss_wrapper library the demo preloads:
// one of another architecture found first is passed over, and none usable fails loudly.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>

TEST(NssWrapperScript, TakesALibraryThisMachineCanPreloadAndFailsLoudlyWithoutOne) {
    const std::string dir = mobutest::makeTempDir("nss");
    const std::string passwd = dir + "/passwd", group = dir + "/group";
    mobutest::writeFile(passwd, "someone:x:" + std::to_string(getuid()) + ":" + std::to_string(getgid()) + ":t:" + dir +
                                    "/home:/bin/sh\n");
    mobutest::writeFile(group, "somegroup:x:" + std::to_string(getgid()) + ":\n");
    // The unloadable copy sorts first, as the arm64 one under /usr/lib/aarch64-linux-gnu does.
    ASSERT_EQ(system(("mkdir -p " + dir + "/lib/a-other " + dir + "/lib/b-native").c_str()), 0);
    mobutest::writeFile(dir + "/lib/a-other/libnss_wrapper.so", "not a library of this machine");
    const std::string native = dir + "/lib/b-native/libnss_wrapper.so";
    ASSERT_EQ(symlink(MOBU_NSS_WRAPPER, native.c_str()), 0);
    const std::string script = std::string(MOBU_SOURCE_DIR) + "/scripts/nss-wrapper.sh";

    auto r = mobutest::runProcess({script, passwd, group, dir + "/lib"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, native + "\n");

    mobutest::removeTree(native);
    r = mobutest::runProcess({script, passwd, group, dir + "/lib"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("error: no libnss_wrapper.so under " + dir + "/lib can be preloaded"), std::string::npos)
        << r.err;
    mobutest::removeTree(dir);
}
