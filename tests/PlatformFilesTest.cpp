// Audio files through the Sox wrapper, the safe file writer, and the option parser.
#include "PlantedPaths.h"
#include "TestSupport.h"

#include <OptionParser.h>
#include <SafeFile.h>
#include <Sox.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <cstdlib>
#include <new>
#include <sys/stat.h>

namespace {
/// The largest block asked of operator new since it was last cleared.
std::atomic<size_t> largestAllocation{0};
} // namespace

// The replaced operator new allocates with malloc and the replaced deletes free with free: the
// compiler's mismatch warning, which sees only the delete's free and gtest's new, does not apply.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(size_t n) {
    size_t seen = largestAllocation.load();
    while (n > seen && !largestAllocation.compare_exchange_weak(seen, n)) {
    }
    if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}

namespace {
/// A 44-byte WAV file of 16-bit samples claiming `channels` channels and holding no frames.
std::string emptyWav(uint32_t channels) {
    auto le = [](uint32_t v, int bytes) {
        std::string s;
        for (int k = 0; k < bytes; ++k)
            s += static_cast<char>(v >> (8 * k) & 0xff);
        return s;
    };
    const uint32_t align = 2 * channels;
    return "RIFF" + le(36, 4) + "WAVEfmt " + le(16, 4) + le(1, 2) + le(channels, 2) + le(48000, 4) +
           le(48000 * align, 4) + le(align, 2) + le(16, 2) + "data" + le(0, 4);
}
} // namespace

class SoxFiles : public testing::Test {
protected:
    void SetUp() override { dir = mobutest::makeTempDir("sox"); }
    void TearDown() override { mobutest::removeTree(dir); }
    std::string dir;
};

TEST_F(SoxFiles, RoundTripKeepsRateShapeAndValuesIncludingPeaksAboveFullScale) {
    Eigen::MatrixXd data(5, 2);
    data << 0.0, 1.0, 0.5, -0.25, -3.0, 2.5, 1e-6, 0.0, 0.125, -1.0;
    const std::string path = dir + "/rt.wav";
    Sox<double> w;
    ASSERT_EQ(w.openWrite(path, 44100, 2, data.cwiseAbs().maxCoeff()), 0);
    EXPECT_EQ(w.write(data), 10);
    EXPECT_EQ(w.closeWrite(), 0);

    Sox<double> r;
    EXPECT_EQ(r.openRead(path), 0); // the rescaling reference is found
    EXPECT_EQ(r.getFSIn(), 44100.0);
    EXPECT_EQ(r.getChCntIn(), 2);
    Eigen::MatrixXd back;
    EXPECT_EQ(r.read(back), 5);
    ASSERT_EQ(back.rows(), 5);
    ASSERT_EQ(back.cols(), 2);
    EXPECT_LT((back - data).cwiseAbs().maxCoeff(), 3.0 * 2e-9);
}

TEST_F(SoxFiles, FilesWithoutReferenceReadAtFileScaleWithTheWarningCode) {
    Eigen::MatrixXd data(3, 1);
    data << 0.5, -0.5, 0.25;
    const std::string path = dir + "/plain.wav";
    {
        Sox<float> w;
        ASSERT_EQ(w.openWrite(path, 96000, 1, 0.5, 16), 0);
        EXPECT_EQ(w.write(data.cast<float>()), 3);
    }
    mobutest::removeTree(path + ".scale");
    Sox<double> r;
    EXPECT_EQ(r.openRead(path), SOX_REFERENCE_WARNING);
    Eigen::MatrixXd back;
    EXPECT_EQ(r.read(back), 3);
    EXPECT_LT((back - data).cwiseAbs().maxCoeff(), 1.0 / 32768);
    EXPECT_EQ(r.read(back), 0); // end of file
}

TEST_F(SoxFiles, AReferenceLeftBehindByAFileAnotherProgramReplacedIsIgnored) {
    const std::string scaled = dir + "/scaled.wav", half = dir + "/half.wav";
    ASSERT_EQ(writeAudioFile(scaled, 48000, Eigen::MatrixXd::Constant(4, 1, 2.0)), 0); // stored at 1, reference 2
    ASSERT_EQ(writeAudioFile(half, 48000, Eigen::MatrixXd::Constant(4, 1, 0.5)), 0);
    const auto sox = mobutest::runProcess({"/usr/bin/sox", half, scaled});
    ASSERT_EQ(sox.status, 0) << sox.err;
    Sox<double> r;
    EXPECT_EQ(r.openRead(scaled), SOX_REFERENCE_WARNING);
    Eigen::MatrixXd back;
    ASSERT_EQ(r.read(back), 4);
    EXPECT_NEAR(back.cwiseAbs().maxCoeff(), 0.5, 1e-9) << "read at the new file's own scale";
}

TEST_F(SoxFiles, AReferenceWithAnAbsurdFactorIsIgnored) {
    const std::string path = dir + "/scaled.wav";
    ASSERT_EQ(writeAudioFile(path, 48000, Eigen::MatrixXd::Constant(4, 1, 2.0)), 0);
    const std::string reference = mobutest::readFile(path + ".scale");
    const std::string identity = reference.substr(reference.find(' ')); // the file's own size and hash
    for (const char* factor : {"1e308", "4294967297", "0", "-2", "0.5", "nan", "inf"}) {
        mobutest::writeFile(path + ".scale", factor + identity);
        Sox<double> r;
        EXPECT_EQ(r.openRead(path), SOX_REFERENCE_WARNING) << factor;
        Eigen::MatrixXd back;
        ASSERT_EQ(r.read(back), 4);
        EXPECT_NEAR(back.cwiseAbs().maxCoeff(), 1.0, 1e-9) << factor << ": read at file scale";
    }
}

TEST_F(SoxFiles, ReadingAllocatesWhatTheFileHoldsAndRefusesAbsurdChannelCounts) {
    struct Case {
        uint32_t channels;
        int open;
    };
    for (const Case& k : {Case{1024, SOX_REFERENCE_WARNING}, Case{1025, SOX_CHANNEL_LIMIT_ERROR},
                          Case{16384, SOX_CHANNEL_LIMIT_ERROR}}) {
        const std::string path = dir + "/ch" + std::to_string(k.channels) + ".wav";
        mobutest::writeFile(path, emptyWav(k.channels));
        Sox<double> r;
        ASSERT_EQ(r.openRead(path), k.open) << k.channels;
        if (k.open != SOX_REFERENCE_WARNING) continue;
        largestAllocation = 0;
        Eigen::MatrixXd back;
        EXPECT_EQ(r.read(back), 0);
        EXPECT_LT(largestAllocation.load(), 64u * 1024) << "bytes allocated for a 44-byte file";
    }
}

TEST_F(SoxFiles, ErrorsAreReturnedAsCodes) {
    Sox<double> s;
    Eigen::MatrixXd m(2, 2);
    m.setZero();
    EXPECT_EQ(s.openRead(dir + "/missing.wav"), SOX_READ_FILE_OPEN_ERROR);
    EXPECT_EQ(s.read(m), SOX_NOT_OPEN_ERROR);
    EXPECT_EQ(s.openWrite(dir + "/x.wav", 0.0, 1, 1.0), SOX_PARAMETER_ERROR);
    EXPECT_EQ(s.openWrite(dir + "/x.wav", 48000, 0, 1.0), SOX_PARAMETER_ERROR);
    EXPECT_EQ(s.openWrite(dir + "/x.wav", 48000, 1, 1e308), SOX_PARAMETER_ERROR); // its reference would be refused
    EXPECT_EQ(s.openWrite(dir + "/x.wav", 48000, 1, 1.0, 12), SOX_WORD_SIZE_ERROR);
    EXPECT_EQ(s.openWrite(dir + "/no/such/dir/x.wav", 48000, 1, 1.0), SOX_WRITE_FILE_OPEN_ERROR);
    // A rescaling reference that can't be written fails the open (the data would read back wrongly).
    ASSERT_EQ(mkdir((dir + "/blocked.wav.scale").c_str(), 0700), 0);
    EXPECT_EQ(s.openWrite(dir + "/blocked.wav", 48000, 1, 4.0), SAFEFILE_NOT_REGULAR_ERROR);
    testing::internal::CaptureStderr();
    EXPECT_EQ(s.write(m), SOX_NOT_OPEN_ERROR);
    ASSERT_EQ(s.openWrite(dir + "/x.wav", 48000, 1, 1.0), 0);
    EXPECT_EQ(s.write(m), SOX_CHANNEL_ERROR);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Error : -40028 "), std::string::npos) << err;
    EXPECT_NE(err.find("Error : -40030 "), std::string::npos) << err;
    EXPECT_EQ(SoxDebug().message(SOX_REFERENCE_WARNING).empty(), false);
}

TEST_F(SoxFiles, WritersRefuseAnythingButARegularFileAndNeverWriteThroughIt) {
    struct Writer {
        const char* name;
        std::string suffix; // where the thing is planted, after the written path
        std::function<int(const std::string&)> write;
    };
    const Eigen::MatrixXd loud = Eigen::MatrixXd::Constant(4, 1, 3.0); // has a reference
    const Writer writers[] = {
        {"text", "", [](const std::string& p) { return writeFileSafely(p, "new"); }},
        {"audio", "", [&](const std::string& p) { return writeAudioFile(p, 48000, loud); }},
        {"audio reference", ".scale", [&](const std::string& p) { return writeAudioFile(p, 48000, loud); }},
    };
    int n = 0;
    for (const auto kind : mobutest::plantableKinds())
        for (const Writer& w : writers) {
            SCOPED_TRACE(std::string(w.name) + " over a " + mobutest::plantedName(kind));
            const std::string path = dir + "/out" + std::to_string(n++) + ".wav";
            mobutest::Plant plant;
            ASSERT_TRUE(plant.make(kind, path + w.suffix));
            testing::internal::CaptureStderr();
            // A writer that opens a FIFO waits for a reader: that is a failure too, not a hang.
            EXPECT_EQ(mobutest::finishesWithin(std::chrono::seconds(20), [&] { return w.write(path); }),
                      SAFEFILE_NOT_REGULAR_ERROR);
            const std::string err = testing::internal::GetCapturedStderr();
            if (std::string(w.name) != "text") { // the text writer leaves reporting to its caller
                EXPECT_NE(err.find("Error : -40701 "), std::string::npos) << err;
                EXPECT_NE(err.find(path), std::string::npos) << err;
            }
            EXPECT_TRUE(plant.untouched());
            if (!w.suffix.empty()) {
                EXPECT_FALSE(mobutest::exists(path)) << "no audio without its reference";
            }
            plant.remove();
        }
    EXPECT_EQ(mobutest::hiddenFiles(dir), "");

    // A regular file is replaced (not written into: a second name of it keeps the old bytes).
    const std::string path = dir + "/plain.txt", second = dir + "/second.txt";
    mobutest::writeFile(path, "old contents");
    ASSERT_EQ(link(path.c_str(), second.c_str()), 0);
    EXPECT_EQ(writeFileSafely(path, "new", 0640), 0);
    EXPECT_EQ(mobutest::readFile(path), "new");
    EXPECT_EQ(mobutest::readFile(second), "old contents");
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(writeFileSafely(dir + "/no/such/dir/x", "new"), SAFEFILE_CREATE_ERROR);
    EXPECT_EQ(mobutest::hiddenFiles(dir), "");

    if (geteuid() == 0) { // another user's file in a sticky folder is theirs, even to root
        const std::string shared = dir + "/shared", theirs = shared + "/theirs.wav";
        ASSERT_EQ(mkdir(shared.c_str(), 01777), 0);
        ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
        mobutest::writeFile(theirs, "theirs");
        ASSERT_EQ(chown(theirs.c_str(), 4242, 4242), 0);
        testing::internal::CaptureStderr();
        EXPECT_EQ(writeAudioFile(theirs, 48000, loud), SAFEFILE_OWNER_ERROR);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(mobutest::readFile(theirs), "theirs");
    }
}

TEST(OptionParser, ShortAndLongForms) {
    const char* argv[] = {"prog", "-N", "512", "--s=10.5", "--name", "x", "-v", "--gain=-3", "-k", "-2"};
    OptionParser p(10, argv);
    int n = 0;
    double s = 0, gain = 0;
    int k = 0;
    std::string name;
    EXPECT_EQ(p.getArg("N", n), 0);
    EXPECT_EQ(n, 512);
    EXPECT_EQ(p.getArg("s", s), 0);
    EXPECT_EQ(s, 10.5);
    EXPECT_EQ(p.getArg("name", name), 0);
    EXPECT_EQ(name, "x");
    EXPECT_TRUE(p.has("v"));
    EXPECT_EQ(p.getArg("gain", gain), 0);
    EXPECT_EQ(gain, -3.0);
    EXPECT_EQ(p.getArg("k", k), 0);
    EXPECT_EQ(k, -2);
    EXPECT_EQ(p.getArg("missing", n), -1);
    EXPECT_EQ(p.getArg("v", n), -2); // a flag has no number
    EXPECT_EQ(p.getArg("name", n), -2);
    EXPECT_EQ(n, 512); // failed conversions leave the value alone
}
