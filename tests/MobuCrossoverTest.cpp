// mobu-crossover: drivers of a 3-way loudspeaker measured alone on the lock-step virtual board,
// the crossovers designed from them, then every driver and the loudspeaker with all its drivers
// measured through the filters; the recordings and the files on disk are judged by an independent
// analysis (numpy/scipy).  And refusals of a bad loudspeaker description.
#include "LoopbackBoard.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace {

class MobuCrossover : public ::testing::Test {
protected:
    void SetUp() override {
        dir = mobutest::makeTempDir("crossover");
        home = dir + "/home";
        ::mkdir(home.c_str(), 0755);
        ::mkdir((home + "/.mobu").c_str(), 0755);
    }
    void TearDown() override { mobutest::removeTree(dir); }

    mobutest::ProcessResult crossover(const std::vector<std::string>& args, std::vector<std::string> env = {}) const {
        std::vector<std::string> argv{MOBU_MOBU_CROSSOVER};
        argv.insert(argv.end(), args.begin(), args.end());
        for (const std::string& e : mobutest::homeEnvironment(home))
            env.push_back(e);
        return mobutest::runProcess(argv, env);
    }

    std::string dir, home;
};

// The analysis: the recorded sum against a flat target (1/6 octave, 40 Hz ... 16 kHz), against
// the prediction (each measured driver convolved with its filter from the file and its guard
// filter, at its measured time of flight) through each crossover, each driver two octaves outside
// its band, the tweeter's electrical response at and below its protection frequency, and the
// drivers' phases at each crossover in samples.
const char* analysis = R"(
import json, sys, numpy as np, scipy.io.wavfile as wav, scipy.signal as sg
d, home = sys.argv[1], sys.argv[2]
def read(p):
    r, x = wav.read(p); x = x / 2.0**31
    try: x = x * float(open(p + '.scale').read().split()[0])
    except OSError: pass
    return x if x.ndim == 2 else x[:, None]
N = 1 << 18; f = np.fft.rfftfreq(N, 1 / 48000)
def smooth(h):
    p = np.abs(np.fft.rfft(h, N))**2; c = np.concatenate(([0], np.cumsum(p))); k = np.arange(len(p))
    lo = np.ceil(k * 2**(-1/12)).astype(int); hi = np.minimum(len(p) - 1, np.floor(k * 2**(1/12)).astype(int))
    return 10 * np.log10(np.maximum((c[hi + 1] - c[lo]) / np.maximum(hi - lo + 1, 1), 1e-30))
spk = [o for o in json.load(open(home + '/.mobu/loudspeakers.json'))['outputs'] if o['output'] % 2 == 0]
guard = {o['output']: o for o in json.load(open(home + '/.mobu/guard.json'))['outputs']}
filt = read(d + '/filters.wav'); tof = {int(l.split(',')[0]): int(l.split(',')[1]) for l in open(d + '/m/tof.csv').readlines()[1:]}
band = (f >= 40) & (f <= 16000)
s = smooth(read(d + '/m/verify/sum-0.wav')[:, 0]); level = np.median(s[band])
print('target', np.abs(s[band] - level).max())
def guarded(c):
    g = np.ones(len(f), complex)
    for kind in ('highpass', 'lowpass'):
        if c in guard and kind in guard[c]:
            b, a = sg.butter(guard[c][kind]['order'], guard[c][kind]['frequency'], kind, fs=48000)
            g *= sg.freqz(b, a, worN=f, fs=48000)[1]
    return g
pred = np.zeros(len(f), complex); first = min(tof[o['output']] for o in spk)
for o in spk:
    c = o['output']; h = read(d + '/m/impulse-%d.wav' % c)[:, 0]
    pred += np.fft.rfft(np.convolve(filt[:, c], h), N) * guarded(c) * np.exp(-2j * np.pi * f * (tof[c] - first) / 48000)
ps = smooth(np.fft.irfft(pred, N)); ps -= np.median(ps[band])
for o in spk:
    b = o['band']; c = o['output']; r = smooth(read(d + '/m/verify/driver-%d.wav' % c)[:, 0]) - level
    at = lambda x: np.interp(np.log(x), np.log(f[1:]), r[1:])
    if 'low' in b: print('outside', c, at(b['low']['frequency'] / 4))
    if 'high' in b and b['high']['frequency'] * 4 < 20000: print('outside', c, at(b['high']['frequency'] * 4))
    if 'high' in b:
        fc = b['high']['frequency']; up = [u for u in spk if u['band'].get('low') == b['high']][0]['output']
        w = (f >= fc / 2**0.5) & (f <= fc * 2**0.5)
        print('prediction', fc, np.abs((s - level - ps)[w]).max())
        ph = [np.angle(np.sum(read(d + '/m/verify/driver-%d.wav' % x)[:, 0] * np.exp(-2j * np.pi * fc * np.arange(48000) / 48000))) for x in (c, up)]
        print('phase', fc, abs(np.angle(np.exp(1j * (ph[0] - ph[1])))) / (2 * np.pi * fc) * 48000)
    if o['role'] == 'tweeter':
        e = 20 * np.log10(np.abs(np.fft.rfft(filt[:, c], N) * guarded(c)) + 1e-30)
        fp = guard[c]['highpass']['frequency']; inband = np.median(e[(f > 2 * b['low']['frequency']) & (f < 10000)])
        print('tweeter', (e[(f > 20) & (f <= fp)] - inband).max())
)";

/// The figures the analysis printed under `key` (one per line, the last number of each).
std::vector<double> figures(const std::string& out, const std::string& key) {
    std::vector<double> v;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, key.size() + 1, key + " ") == 0) v.push_back(std::stod(line.substr(line.rfind(' ') + 1)));
    return v;
}

TEST_F(MobuCrossover, DesignedCrossoversSumFlatWhenMeasuredOnTheBoard) {
    // The example loudspeaker, and one the design was never tried on while it was written: other
    // drivers, crossovers at 350 Hz LR48 and 2.4 kHz with a linear slope of order 6.
    for (const std::string variant : {"", "--held-out"}) {
        SCOPED_TRACE(variant.empty() ? "example" : "held-out");
        mobutest::removeTree(dir + "/m");
        // Another loudspeaker: its drivers are measured without the last one's guard, as the README says.
        ::unlink((home + "/.mobu/guard.json").c_str());
        std::vector<std::string> make{mobutest::referencePython(), MOBU_SOURCE_DIR "/scripts/make-speaker-room.py",
                                      dir + "/room.wav", home + "/.mobu/loudspeakers.json"};
        if (!variant.empty()) make.push_back(variant);
        ASSERT_EQ(mobutest::runProcess(make).status, 0);
        // The left loudspeaker only (outputs 0, 2, 6), to keep the test short.
        ASSERT_EQ(mobutest::runProcess({mobutest::referencePython(), "-c",
                                        "import json, sys; p = sys.argv[1]; d = json.load(open(p))\n"
                                        "d['outputs'] = [o for o in d['outputs'] if o['output'] % 2 == 0]\n"
                                        "json.dump(d, open(p, 'w'))",
                                        home + "/.mobu/loudspeakers.json"})
                      .status,
                  0);
        LoopbackBoard board({"--mode", "lockstep", "--room", dir + "/room.wav", "--noise-db", "-100"});
        ASSERT_TRUE(board.ok()) << board.generator().err;
        const auto measured = mobutest::runProcess(
            {MOBU_MOBU_MEASURE, "--playback=board_playback", "--capture=board_capture", "--channels=0,2,6",
             "--taps=16384", "--align", "--out=" + dir + "/m", "--status=" + dir + "/status.json"},
            board.environment());
        ASSERT_EQ(measured.status, 0) << measured.out << measured.err;
        const auto designed =
            crossover({"--in=" + dir + "/m", "--out=" + dir + "/filters.wav", "--plot=" + dir + "/design.png"});
        ASSERT_EQ(designed.status, 0) << designed.out << designed.err;
        EXPECT_GT(mobutest::readFile(dir + "/design.png").size(), 10000u);
        const auto verified = crossover({"--verify", "--in=" + dir + "/m", "--filter=" + dir + "/filters.wav",
                                         "--playback=board_playback", "--capture=board_capture"},
                                        board.environment());
        ASSERT_EQ(verified.status, 0) << verified.out << verified.err;
        EXPECT_NE(verified.out.find("loudspeaker left: sum against the target"), std::string::npos) << verified.out;

        const auto judged = mobutest::runProcess({mobutest::referencePython(), "-c", analysis, dir, home});
        ASSERT_EQ(judged.status, 0) << judged.err;
        std::printf("%s", judged.out.c_str()); // the figures, for the log
        const auto target = figures(judged.out, "target");
        ASSERT_EQ(target.size(), 1u) << judged.out;
        EXPECT_LE(target[0], 1.0) << "the recorded sum, dB from flat\n" << judged.out << designed.out;
        const auto outside = figures(judged.out, "outside");
        EXPECT_EQ(outside.size(), 4u) << judged.out; // woofer above, mid both sides, tweeter below
        for (double a : outside)
            EXPECT_LE(a, -40.0) << "a driver two octaves outside its band\n" << judged.out;
        const auto prediction = figures(judged.out, "prediction"), phase = figures(judged.out, "phase");
        EXPECT_EQ(prediction.size(), 2u) << judged.out;
        for (double p : prediction)
            EXPECT_LE(p, 0.5) << "the recorded sum against the prediction through a crossover\n" << judged.out;
        for (double p : phase)
            EXPECT_LE(p, 1.0) << "the drivers' time apart at a crossover, samples\n" << judged.out;
        const auto tweeter = figures(judged.out, "tweeter");
        ASSERT_EQ(tweeter.size(), 1u) << judged.out;
        EXPECT_LE(tweeter[0], -30.0) << "the tweeter's feed at and below its protection frequency\n" << judged.out;
    }
}

TEST_F(MobuCrossover, RefusesABadDescriptionNamingFileAndKey) {
    const std::string woofer = R"({"output": 0, "loudspeaker": "left", "role": "woofer",
        "band": {"high": {"frequency": 2000, "slope": "LR24"}}})";
    const std::string tweeter = R"({"output": 6, "loudspeaker": "left", "role": "tweeter",
        "band": {"low": {"frequency": 2000, "slope": "LR24"}}, "protection": {"highpass": {"frequency": 1000, "order": 4}}})";
    const struct {
        std::string text, key;
    } cases[] = {
        {R"({"outputs": [)" + woofer + "," + tweeter + R"(], "extra": 1})", "extra: unknown key"},
        {R"({"outputs": [{"output": 0, "output": 1}]})", "Duplicate key"},
        {R"({"outputs": [)" + woofer + "," + woofer + "]}", "outputs[1].output: output 0 is named twice"},
        {R"({"outputs": [{"output": 8, "loudspeaker": "left", "role": "mid", "band": {}}]})", "outputs[0].output"},
        {R"({"outputs": [{"output": 0, "loudspeaker": "left", "role": "woofer",
             "band": {"high": {"frequency": 2000, "slope": "LR36"}}}]})",
         "outputs[0].band.high.slope"},
        {R"({"outputs": [{"output": 0, "loudspeaker": "left", "role": "woofer",
             "band": {"high": {"frequency": 2000, "slope": "linear", "order": 40}}}]})",
         "outputs[0].band.high.order"},
        {R"({"outputs": [{"output": 0, "loudspeaker": "left", "role": "woofer", "trim": 9,
             "band": {"high": {"frequency": 2000, "slope": "LR24"}}}]})",
         "outputs[0].trim"},
        // The tweeter's protection must stay below its crossover, and it can't go without one.
        {R"({"outputs": [{"output": 6, "loudspeaker": "left", "role": "tweeter",
             "band": {"low": {"frequency": 2000, "slope": "LR24"}}, "protection": {"highpass": {"frequency": 2500, "order": 4}}}]})",
         "outputs[0].protection.highpass.frequency"},
        {R"({"outputs": [{"output": 7, "loudspeaker": "right", "role": "tweeter",
             "band": {"low": {"frequency": 2000, "slope": "LR24"}}}]})",
         "outputs[0].protection.highpass: missing"},
        {R"({"outputs": [{"output": 6, "loudspeaker": "left", "role": "tweeter",
             "band": {"low": {"frequency": 2000, "slope": "LR24"}}, "protection": {"highpass": {"frequency": 900, "order": 12}}}]})",
         "outputs[0].protection.highpass.order"},
        // Bands of one loudspeaker that do not meet.
        {R"({"outputs": [)" + woofer + R"(, {"output": 6, "loudspeaker": "left", "role": "tweeter",
             "band": {"low": {"frequency": 2500, "slope": "LR24"}}, "protection": {"highpass": {"frequency": 1000, "order": 4}}}]})",
         "the crossover does not meet"},
    };
    const std::string file = home + "/.mobu/loudspeakers.json";
    for (const auto& c : cases) {
        mobutest::writeFile(file, c.text);
        const auto r =
            crossover({"--in=" + dir + "/none", "--out=" + dir + "/filters.wav", "--guard=" + dir + "/g.json"});
        EXPECT_EQ(r.status, 2) << c.text << "\n" << r.err;
        EXPECT_NE(r.err.find(file), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.key), std::string::npos) << "expected " << c.key << " in: " << r.err;
        EXPECT_FALSE(mobutest::exists(dir + "/filters.wav") || mobutest::exists(dir + "/g.json")) << c.text;
    }
    // A FIFO under the description's name is refused, not waited on.
    ::unlink(file.c_str());
    ASSERT_EQ(::mkfifo(file.c_str(), 0644), 0);
    const auto r = crossover({"--in=" + dir + "/none", "--out=" + dir + "/filters.wav", "--guard=" + dir + "/g.json"});
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find(file + ": not a regular file"), std::string::npos) << r.err;
}

// A refused guard, a guard entry the description would drop, or a link planted at the picture's
// name: nothing is written (the filters that play keep their guard); a good run writes both files.
TEST_F(MobuCrossover, WritesNothingWhenTheGuardOrThePictureCanNotBeUsedSafely) {
    ::mkdir((dir + "/m").c_str(), 0755);
    ASSERT_EQ(mobutest::runProcess({mobutest::referencePython(), "-c", R"(
import sys, numpy as np, scipy.io.wavfile as w
d = sys.argv[1]
for c in (0, 6):
    h = np.zeros(4096, np.float32); h[100] = 0.5
    w.write(d + '/impulse-%d.wav' % c, 48000, h)
open(d + '/tof.csv', 'w').write('channel,samples,ms\n0,100,2.08\n6,100,2.08\n')
)",
                                    dir + "/m"})
                  .status,
              0);
    mobutest::writeFile(home + "/.mobu/loudspeakers.json", R"({"outputs": [
        {"output": 0, "loudspeaker": "left", "role": "woofer", "band": {"high": {"frequency": 2000, "slope": "LR24"}}},
        {"output": 6, "loudspeaker": "left", "role": "tweeter", "band": {"low": {"frequency": 2000, "slope": "LR24"}},
         "protection": {"highpass": {"frequency": 1000, "order": 4}}}]})");
    const std::string guard = dir + "/g.json", filters = dir + "/f.wav", victim = dir + "/victim.txt";
    const std::string guardedWoofer = R"({"outputs": [{"output": 0, "highpass": {"frequency": 30, "order": 2}}]})";
    const struct {
        const char* what;
        std::string guardText; ///< "" for no guard file
        bool plantPicture;
        int status;
        const char* says;
    } cases[] = {
        {"a guard file that is not JSON", "{ broken", false, 2, "nothing written"},
        {"a guarded output the description leaves unprotected", guardedWoofer, false, 2, "output 0"},
        {"a link planted at the picture", "", true, 1, "not a regular file"},
        {"a good run", "", false, 0, ""},
    };
    for (const auto& c : cases) {
        for (const std::string& f : {guard, filters, filters + ".scale", victim, dir + "/p.png"})
            ::unlink(f.c_str());
        if (!c.guardText.empty()) mobutest::writeFile(guard, c.guardText);
        mobutest::writeFile(victim, "keep");
        if (c.plantPicture) {
            ASSERT_EQ(::symlink(victim.c_str(), (dir + "/p.png").c_str()), 0);
        }
        const auto r = crossover(
            {"--in=" + dir + "/m", "--out=" + filters, "--guard=" + guard, "--taps=8192", "--plot=" + dir + "/p.png"});
        EXPECT_EQ(r.status, c.status) << c.what << "\n" << r.out << r.err;
        EXPECT_EQ(mobutest::readFile(victim), "keep") << c.what;
        if (c.status == 0) {
            EXPECT_TRUE(mobutest::exists(filters) && mobutest::exists(guard)) << r.out << r.err;
            EXPECT_NE(mobutest::readFile(guard).find("\"frequency\": 1000"), std::string::npos)
                << mobutest::readFile(guard);
            continue;
        }
        EXPECT_NE(r.err.find(c.says), std::string::npos) << c.what << ": " << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << c.what << ": one line\n" << r.err;
        EXPECT_FALSE(mobutest::exists(filters)) << c.what;
        EXPECT_EQ(mobutest::exists(guard) ? mobutest::readFile(guard) : "", c.guardText) << c.what;
    }
}

} // namespace
