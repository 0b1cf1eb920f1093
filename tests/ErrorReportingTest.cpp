// Error tables and their printing rules; the per-user file name in ~/.mobu.
#include "TestSupport.h"

#include <DirectoryScanner.h>
#include <MobuEmbedded/MobuCommon.h>
#include <MobuEmbedded/MobuDebug.h>
#include <Sox.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

TEST(Debug, BaseTableAndPrintingRules) {
    Debug d;
    CaptureStderr();
    EXPECT_EQ(d.evaluateError(0), 0);
    EXPECT_EQ(d.evaluateError(0, "only this"), 0);
    EXPECT_EQ(d.evaluateError(-39901), -39901);
    EXPECT_EQ(GetCapturedStderr(), "only thisError : -39901 Couldn't allocate the memory error.  ");
    EXPECT_EQ(d.message(0), "No error. ");
}

TEST(Debug, UnknownCodesPrintTheCurrentErrnoText) {
    MobuDebug d;
    errno = ENOENT;
    CaptureStderr();
    EXPECT_EQ(d.evaluateError(-1399, "tail\n"), -1399);
    EXPECT_EQ(GetCapturedStderr(), std::string("Error : -1399 strerror reports : ") + strerror(ENOENT) + " tail\n");
}

TEST(MobuDebug, TableTextsArePrintedWithTheExtraText) {
    MobuDebug d;
    CaptureStderr();
    EXPECT_EQ(d.evaluateError(-1313, "x"), -1313);
    EXPECT_EQ(d.evaluateError(-100, " : when opening the status file\n"), -100);
    EXPECT_EQ(d.evaluateError(0, "y"), 0);
    EXPECT_EQ(GetCapturedStderr(),
              "Error : -1313 The ConvolutionMobu object and the audio subsystem have mismatching block sizes.  x"
              "Error : -100 Couldn't open the file  : when opening the status file\ny");
    EXPECT_EQ(d.message(0), "No error");
    EXPECT_EQ(d.message(-1356), "Problem when using the file name, is it empty, did you set it ? ");
    // The equaliser's refusals say what was refused, not a stale errno ("Success").
    EXPECT_EQ(d.message(-1355),
              "The equaliser's coefficient stream is short or malformed: the equaliser in force is kept. ");
    EXPECT_EQ(d.message(-1357),
              "The equaliser file is not a JSON array of filters: a unity equaliser is used instead. ");
}

TEST(DirectoryScanner, OpenAndMkDir) {
    const std::string dir = mobutest::makeTempDir("ds");
    DirectoryScanner ds;
    EXPECT_EQ(ds.open(dir), 0);
    EXPECT_EQ(ds.open(dir + "/missing"), DIRECTORYSCANNER_NODIR_ERROR);
    EXPECT_EQ(ds.mkDir(dir + "/made", 0700), 0);
    EXPECT_EQ(ds.open(dir + "/made"), 0);
    EXPECT_EQ(ds.mkDir(dir + "/made", 0700), -EEXIST);
    EXPECT_EQ(ds.mkDir(dir + "/no/such/parent", 0700), -ENOENT);
    CaptureStderr();
    DirectoryScannerDebug().evaluateError(DIRECTORYSCANNER_NODIR_ERROR, " your home directory");
    EXPECT_EQ(GetCapturedStderr(), "Error : -40205 Could not find that directory :   your home directory");
    mobutest::removeTree(dir);
}

TEST(MobuCommon, SetFileNameCreatesThePrivateDirectoryOnce) {
    const std::string mobuDir = mobutest::testHome() + "/.mobu";
    mobutest::removeTree(mobuDir);
    MobuCommon common;
    CaptureStdout();
    EXPECT_EQ(common.setFileName("fir-measure.wav"), 0);
    EXPECT_EQ(GetCapturedStdout(), "Setting the file name to " + mobuDir + "/fir-measure.wav\n");
    EXPECT_EQ(common.getFileName(), mobuDir + "/fir-measure.wav");
    struct stat st;
    ASSERT_EQ(stat(mobuDir.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // An existing directory is used as it is (its mode is not touched).
    chmod(mobuDir.c_str(), 0750);
    CaptureStdout();
    EXPECT_EQ(common.setFileName("paraEQ0.json"), 0);
    GetCapturedStdout();
    EXPECT_EQ(common.getFileName(), mobuDir + "/paraEQ0.json");
    ASSERT_EQ(stat(mobuDir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0750u);
}

TEST(MobuCommon, SetFileNameSucceedsEvenWhenTheDirectoryCannotBeMade) {
    // The home directory is a file: ~/.mobu cannot be created, which shows only when the file is used.
    const std::string dir = mobutest::makeTempDir("home");
    mobutest::writeFile(dir + "/home", "");
    const auto r =
        mobutest::runProcess({MOBU_HELPER_setfilename_probe, "x.json"}, mobutest::homeEnvironment(dir + "/home"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "Setting the file name to " + dir + "/home/.mobu/x.json\nresult 0 file " + dir + "/home/.mobu/x.json\n");
    mobutest::removeTree(dir);
}

TEST(MobuCommon, UserWithoutPasswordEntryGetsTheDirectoryError) {
    const auto r = mobutest::runProcess({MOBU_HELPER_setfilename_probe, "x.json"}, mobutest::homeEnvironment(""));
    EXPECT_EQ(r.out, "result -40205 file \n");
    EXPECT_EQ(r.err, "Error : -40205 Could not find that directory :   your home directory");
}
