// Entry point of the `mobuloop` PCM type: a full-duplex loop-back that stands in
// for the board's sound card.  See LoopConfig.h for the fields of a definition.
#include "LoopCapture.h"
#include "LoopConfig.h"
#include "LoopPlayback.h"

#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>

#include <fftw3.h>
#include <memory>
#include <mutex>

extern "C" SND_PCM_PLUGIN_DEFINE_FUNC(mobuloop) {
    using namespace mobuloop;
    static std::once_flag fftwThreads;
    std::call_once(fftwThreads, [] { fftw_make_planner_thread_safe(); });

    LoopConfig config;
    int err = config.parse(name, conf);
    if (err < 0) return err;
    std::unique_ptr<LoopPCM> pcm;
    if (stream == SND_PCM_STREAM_PLAYBACK)
        pcm = std::make_unique<LoopPlayback>(config);
    else
        pcm = std::make_unique<LoopCapture>(config);
    if ((err = pcm->create(name, stream, mode)) < 0) return err;
    *pcmp = pcm->getPCM();
    pcm.release(); // closing the PCM deletes it
    return 0;
}

extern "C" {
SND_PCM_PLUGIN_SYMBOL(mobuloop)
}
