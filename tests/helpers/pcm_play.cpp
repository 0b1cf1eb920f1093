// pcm_play: a small alsa-lib playback client for the plug-in tests.
//
//   pcm_play DEVICE open [2]
//       opens DEVICE for playback (twice, the first held open, with "2") and closes
//       it; the status is 0 or the last open's -code.  Before closing it prints
//       "scheduling POLICY PRIORITY", the calling thread's scheduling as the open left it.
//   pcm_play DEVICE FORMAT CHANNELS PERIOD INPUT CHUNKS [PAUSE_AT GO_FILE] [twice]
//       plays INPUT (raw interleaved samples, FORMAT S32 or FLOAT) at 48 kHz with
//       periods of PERIOD frames and a buffer of four, writing CHUNKS frames at a time
//       (a comma-separated list, used in turn).  After PAUSE_AT frames it prints
//       "paused" on standard error and waits until GO_FILE exists.  "twice" sets the
//       hardware parameters twice.  Then it drains and closes.
// Exit status: 0, 2 bad arguments, 3 hardware parameters refused, 4 a write failed.
#include <alsa/asoundlib.h>

#include <chrono>
#include <pthread.h>
#include <sched.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

int setParams(snd_pcm_t* pcm, snd_pcm_format_t format, unsigned channels, snd_pcm_uframes_t period) {
    snd_pcm_hw_params_t* hw = nullptr;
    snd_pcm_hw_params_alloca(&hw);
    snd_pcm_uframes_t buffer = 4 * period;
    int err = snd_pcm_hw_params_any(pcm, hw);
    if (err >= 0) err = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED);
    if (err >= 0) err = snd_pcm_hw_params_set_format(pcm, hw, format);
    if (err >= 0) err = snd_pcm_hw_params_set_channels(pcm, hw, channels);
    if (err >= 0) err = snd_pcm_hw_params_set_rate(pcm, hw, 48000, 0);
    if (err >= 0) err = snd_pcm_hw_params_set_period_size(pcm, hw, period, 0);
    if (err >= 0) err = snd_pcm_hw_params_set_buffer_size_near(pcm, hw, &buffer);
    if (err >= 0) err = snd_pcm_hw_params(pcm, hw);
    return err;
}

/// "scheduling POLICY PRIORITY" of the calling thread on standard output.
void printScheduling() {
    int policy = 0;
    sched_param param{};
    pthread_getschedparam(pthread_self(), &policy, &param);
    printf("scheduling %d %d\n", policy, param.sched_priority);
}

} // namespace

int main(int argc, char* argv[]) {
    if ((argc == 3 || argc == 4) && std::string(argv[2]) == "open") {
        // "open 2": a second open while the first is held; the status is the second's.
        snd_pcm_t* first = nullptr;
        snd_pcm_t* second = nullptr;
        int err = snd_pcm_open(&first, argv[1], SND_PCM_STREAM_PLAYBACK, 0);
        if (err >= 0 && argc == 4) {
            err = snd_pcm_open(&second, argv[1], SND_PCM_STREAM_PLAYBACK, 0);
            if (second) snd_pcm_close(second);
        }
        printScheduling(); // as the open left it
        if (first) snd_pcm_close(first);
        fflush(stdout);
        return err < 0 ? -err : 0;
    }
    if (argc < 7) return 2;
    const snd_pcm_format_t format = std::string(argv[2]) == "FLOAT" ? SND_PCM_FORMAT_FLOAT_LE : SND_PCM_FORMAT_S32_LE;
    const unsigned channels = static_cast<unsigned>(atoi(argv[3]));
    const auto period = static_cast<snd_pcm_uframes_t>(atol(argv[4]));
    std::ifstream in(argv[5], std::ios::binary);
    const std::vector<char> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<long> chunks;
    for (const char* c = argv[6]; *c;) {
        chunks.push_back(strtol(c, const_cast<char**>(&c), 10));
        if (*c == ',') ++c;
    }
    long pauseAt = -1;
    std::string go;
    bool twice = false;
    for (int a = 7; a < argc; ++a) {
        if (std::string(argv[a]) == "twice") {
            twice = true;
        } else if (a + 1 < argc) {
            pauseAt = atol(argv[a]);
            go = argv[++a];
        }
    }
    if (channels == 0 || period == 0 || chunks.empty()) return 2;

    snd_pcm_t* pcm = nullptr;
    int err = snd_pcm_open(&pcm, argv[1], SND_PCM_STREAM_PLAYBACK, 0);
    if (err < 0) {
        fprintf(stderr, "pcm_play: open %s: %s\n", argv[1], snd_strerror(err));
        return 3;
    }
    err = setParams(pcm, format, channels, period);
    if (err >= 0 && twice) err = setParams(pcm, format, channels, period);
    if (err < 0) {
        fprintf(stderr, "pcm_play: hardware parameters: %s\n", snd_strerror(err));
        snd_pcm_close(pcm);
        return 3;
    }
    const size_t frameBytes = channels * 4;
    const long frames = static_cast<long>(data.size() / frameBytes);
    long done = 0;
    for (size_t k = 0; done < frames; ++k) {
        if (done == pauseAt) {
            fprintf(stderr, "paused\n");
            while (access(go.c_str(), F_OK) != 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        long n = std::min(chunks[k % chunks.size()], frames - done);
        if (pauseAt > done) n = std::min(n, pauseAt - done);
        const snd_pcm_sframes_t put = snd_pcm_writei(pcm, data.data() + done * frameBytes, n);
        if (put < 0) {
            fprintf(stderr, "pcm_play: write: %s\n", snd_strerror(static_cast<int>(put)));
            snd_pcm_close(pcm);
            return 4;
        }
        done += put;
    }
    snd_pcm_drain(pcm);
    snd_pcm_close(pcm);
    return 0;
}
