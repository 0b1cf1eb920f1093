// The status file the user interface polls: its exact bytes, escaping, a reader in
// another process that never sees it empty or half-written, an unwritable place, and
// a path that is a link, FIFO, device or directory.
#include "PlantedPaths.h"
#include "TestSupport.h"

#include <MobuEmbedded/MobuCommon.h>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

class StatusFile : public ::testing::Test {
protected:
    void SetUp() override {
        dir = mobutest::makeTempDir("status");
        MobuCommon::setStatusFile(dir + "/status.json");
    }
    void TearDown() override {
        MobuCommon::setStatusFile("/tmp/status.json");
        mobutest::removeTree(dir);
    }
    std::string dir;
    MobuCommon common;
};

TEST_F(StatusFile, HoldsExactlyTheLastStatus) {
    EXPECT_EQ(MobuCommon().getStatusFile(), dir + "/status.json");
    const struct {
        std::string error, message;
        unsigned max, progress;
        std::string bytes;
    } cases[] = {
        {"", "Chirping ...", 0, 0, R"({"error" : "","message" : "Chirping ...","progressMax" : 0,"progress" : 0})"},
        {"", "Preparing channels", 4294967295u, 3,
         R"({"error" : "","message" : "Preparing channels","progressMax" : 4294967295,"progress" : 3})"},
        {"bad \"file\"", "C:\\tmp\tline\n", 1, 1,
         R"({"error" : "bad \"file\"","message" : "C:\\tmp\u0009line\u000a","progressMax" : 1,"progress" : 1})"},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(common.setStatus(c.error, c.message, c.max, c.progress), 0);
        EXPECT_EQ(mobutest::readFile(dir + "/status.json"), c.bytes);
    }
    // Only the status file is left in the directory (no temporary files).
    const auto listing = mobutest::runProcess({"/bin/ls", "-A", dir});
    EXPECT_EQ(listing.out, "status.json\n");
}

TEST_F(StatusFile, APollingReaderAlwaysFindsOneValidStatus) {
    const std::string path = dir + "/status.json", stop = dir + "/stop";
    ASSERT_EQ(common.setStatus("", "start", 10000, 0), 0);
    const std::string reader = "import json, os, sys\n"
                               "bad = reads = 0\n"
                               "while not os.path.exists(sys.argv[2]) or reads == 0:\n"
                               "    try:\n"
                               "        d = json.loads(open(sys.argv[1]).read())\n"
                               "        assert set(d) == {'error', 'message', 'progressMax', 'progress'}\n"
                               "    except Exception:\n"
                               "        bad += 1\n"
                               "    reads += 1\n"
                               "print(bad, reads)\n";
    mobutest::Child python({mobutest::referencePython(), "-c", reader, path, stop});
    for (unsigned i = 1; i <= 10000; ++i)
        ASSERT_EQ(common.setStatus("", "step \"" + std::to_string(i) + "\"", 10000, i), 0);
    mobutest::writeFile(stop, "");
    const auto r = python.wait(std::chrono::seconds(60));
    ASSERT_EQ(r.status, 0) << r.err;
    unsigned bad = 1, reads = 0;
    ASSERT_EQ(sscanf(r.out.c_str(), "%u %u", &bad, &reads), 2) << r.out;
    EXPECT_EQ(bad, 0u) << "of " << reads << " reads";
    EXPECT_GT(reads, 10u);
}

TEST_F(StatusFile, AnUnwritablePlaceIsReportedAndLeavesTheFile) {
    ASSERT_EQ(common.setStatus("", "kept", 0, 0), 0);
    MobuCommon::setStatusFile(dir + "/missing/status.json");
    testing::internal::CaptureStderr();
    EXPECT_EQ(common.setStatus("", "lost", 0, 0), -100);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error : -100 Couldn't open the file  : when opening the status file\n");
    if (geteuid() != 0) { // root writes anywhere: a read-only directory only stops others
        chmod(dir.c_str(), 0500);
        MobuCommon::setStatusFile(dir + "/status.json");
        EXPECT_EQ(common.setStatus("", "lost", 0, 0), -100);
        chmod(dir.c_str(), 0700);
    }
    EXPECT_NE(mobutest::readFile(dir + "/status.json").find("kept"), std::string::npos);
}

TEST_F(StatusFile, APathThatIsNotARegularFileIsRefusedAndLeftAsItIs) {
    int n = 0;
    for (const auto kind : mobutest::plantableKinds()) {
        SCOPED_TRACE(mobutest::plantedName(kind));
        mobutest::Plant plant;
        ASSERT_TRUE(plant.make(kind, dir + "/planted" + std::to_string(n++)));
        MobuCommon::setStatusFile(plant.path);
        testing::internal::CaptureStderr();
        EXPECT_EQ(common.setStatus("", "Chirping ...", 0, 0), -40701);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.rfind("Error : -40701 ", 0), 0u) << err;
        EXPECT_NE(err.find(" : the status file " + plant.path + "\n"), std::string::npos) << err;
        EXPECT_TRUE(plant.untouched());
        plant.remove();
    }
    EXPECT_EQ(mobutest::hiddenFiles(dir), "");
}

} // namespace
