// ALSAMobuFIRPlugin: an alsa-lib filter plug-in (PCM type "ALSAMobuFIRPlugin") that
// runs eight FIR filters from one coefficient file on a stereo float stream.
//
//     pcm.fir {
//         type ALSAMobuFIRPlugin
//         slave.pcm "hw:0"                 # 2 channels of FLOAT_LE
//         filter "/home/mobu/filters.wav"  # 8 channels
//     }
//
// Filter m runs on client channel m mod 2; slave channels 0 and 1 get filters 0 and
// 1 (the other six run on their inputs as well, ready for wider slaves).  Samples
// are filtered in double precision and written back as floats.  The filters take
// whole periods: transfers of any size are gathered into periods, so the output
// lags the input by exactly one period; periods longer than MAX_BLOCK frames are
// filtered in blocks of MAX_BLOCK (one block of latency), so a client's choice of
// period never makes filters it can't afford.  The filters are built from the file
// each time the hardware parameters are set.
#include <MobuEmbedded/FIRMobu.h>
#include <MobuEmbedded/MobuDebug.h>

#include <ALSAExternalPlugin.h>
#include <ALSAPeriodBuffer.h>
#include <ThreadPriority.h>

#include <Eigen/Core>
#include <fftw3.h>
#include <omp.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

class ALSAMobuFIRPlugin : public ALSA::ALSAExternalPlugin {
public:
    ALSAMobuFIRPlugin() {
        setName("ALSAMobuFIRPlugin");
        filters.assign(M, nullptr);
    }
    ~ALSAMobuFIRPlugin() override { deleteFIRFilters(); }

    int close() override {
        periods.resize(0, 0, 0);
        return 0;
    }

    /// The longest block the filters are built for (frames); longer periods are split.
    static constexpr snd_pcm_uframes_t MAX_BLOCK = 16384;

    int hwParams(snd_pcm_hw_params_t* params) override {
        ALSAExternalPlugin::hwParams(params);
        printHWParams(false);
        const int n = blockLength(MAX_BLOCK, "ALSAMobuFIRPlugin", "filtered in");
        if (n < 0) return -1;
        deleteFIRFilters(); // every new set of hardware parameters rebuilds the filters
        std::cout << "creating filters" << std::endl;
        if (createFIRFilters(n) < 0) return -1;
        std::cout << "creating filters done" << std::endl;
        periods.resize(n, 2, 2);
        return 0;
    }

    int specifyHWParams() override {
        if (setInputChannels(2, 2) < 0)
            return MobuDebug().evaluateError(-1350, "Input channel count. Asked for 2"), -EINVAL;
        if (setOutputChannels({2}) < 0)
            return MobuDebug().evaluateError(-1350, "Output channel count. Asked for 2"), -EINVAL;
        if (setOutputFormats({SND_PCM_FORMAT_FLOAT_LE}) < 0)
            return MobuDebug().evaluateError(-1351, "Output channel format. Asked for FLOAT_LE"), -EINVAL;
        if (setInputFormats({SND_PCM_FORMAT_FLOAT_LE}) < 0)
            return MobuDebug().evaluateError(-1351, "Input channel format incorrect. Asked for FLOAT_LE"), -EINVAL;
        return 0;
    }

    int init() override {
        std::cout << "init\ngetPeriodSize : " << getPeriodSize() << std::endl;
        periods.reset(); // a stream prepared again starts from silence
        return 0;
    }

    snd_pcm_sframes_t transfer(const snd_pcm_channel_area_t* dst, snd_pcm_uframes_t dstOffset,
                               const snd_pcm_channel_area_t* src, snd_pcm_uframes_t srcOffset,
                               snd_pcm_uframes_t size) override {
        return periods.transfer(dst, dstOffset, src, srcOffset, size, [this] { return filterPeriod(); });
    }

    int parseConfig(const char* name, snd_config_t* conf, snd_pcm_stream_t stream, int mode) override {
        snd_config_iterator_t i, next;
        snd_config_for_each(i, next, conf) {
            snd_config_t* node = snd_config_iterator_entry(i);
            const char* id = nullptr;
            if (snd_config_get_id(node, &id) < 0) continue;
            const std::string field = id;
            if (field == "channels") {
                long channels = 0;
                if (snd_config_get_integer(node, &channels) < 0) {
                    std::cout << "channels configuration variable is not an integer, please replace with a number"
                              << std::endl;
                    continue;
                }
                printf("read %ld channels from the config file\n", channels);
                if (snd_config_delete(node) < 0)
                    std::cout << "FIRALSAPluginSimple::parseConfig error removing configuration node ... "
                                 "continuing ... "
                              << std::endl;
            } else if (field == "filter") {
                const char* path = nullptr;
                if (snd_config_get_string(node, &path) < 0) {
                    std::cout << "filter file configuration variable is not a string, please replace with a path "
                                 "and file name."
                              << std::endl;
                    SNDERR("filter %s refused: the value is not a string (give the coefficient file's path in quotes)",
                           valueText(node).c_str());
                    return -EINVAL;
                }
                printf("read %s filter file name from the config file\n", path);
                filterFile = path;
                if (snd_config_delete(node) < 0)
                    std::cout << "FIRALSAPluginMulti::parseConfig error removing configuration node ... "
                                 "continuing ... "
                              << std::endl;
            }
        }
        std::cout << "ALSAMobuFIRPlugin::parseConfig done" << std::endl;
        return ALSAExternalPlugin::parseConfig(name, conf, stream, mode);
    }

    int createFIRFilters(int n) {
        printf("ALSAMobuFIRPlugin::createFIRFilters to handle %d samples\n", n);
        for (int m = 0; m < M; ++m)
            filters[m] = new FIRMobu(2 * n); // owned by the list; deleted by deleteFIRFilters
        for (int m = 0; m < M; ++m) {
            printf("ALSAMobuFIRPlugin::createFIRFilters loading channel %d\n", m);
            if (filters[m]->loadTimeDomainCoefficients(filterFile, static_cast<unsigned>(m), getRate()) < 0)
                return MobuDebug().evaluateError(-100);
            // One silent block sizes the filter's buffers before the first transfer.
            filters[m]->filterLocal(Eigen::ArrayXd::Zero(n), 0);
        }
        inputBlock.setZero(n, M);
        outputBlock.setZero(n, M);
        return 0;
    }

    void deleteFIRFilters() {
        std::cout << "deleteFIRFilters" << std::endl;
        for (FIRMobu*& f : filters) {
            delete f;
            f = nullptr;
        }
    }

private:
    int filterPeriod() {
        const Eigen::Index n = periods.input.rows();
        if (inputBlock.rows() != n) return -EINVAL;
#pragma omp parallel for schedule(static)
        for (int m = 0; m < M; ++m) {
            inputBlock.col(m) = periods.input.col(m % 2).cast<double>();
            filters[m]->filterLocal(inputBlock.col(m), 0);
            outputBlock.col(m) = filters[m]->getFiltered().col(0);
        }
        for (Eigen::Index c = 0; c < periods.output.cols(); ++c)
            periods.output.col(c) = outputBlock.col(c).cast<float>();
        return 0;
    }

    std::vector<FIRMobu*> filters;
    int M = 8;
    std::string filterFile;
    Eigen::ArrayXXd inputBlock;  ///< period x 8, the filters' inputs
    Eigen::ArrayXXd outputBlock; ///< period x 8, their outputs
    ALSA::PeriodBuffer<float> periods;
};

/// The process-wide plug-in object (one PCM of this type at a time).
ALSAMobuFIRPlugin aMFPlugin;

extern "C" {

SND_PCM_PLUGIN_DEFINE_FUNC(ALSAMobuFIRPlugin) {
    if (!getenv("OMP_NUM_THREADS")) omp_set_num_threads(3); // a team size set by the user wins
    fftw_make_planner_thread_safe();
    Eigen::initParallel();
    return aMFPlugin.openPCM("_snd_pcm_ALSAMobuFIRPlugin_open", pcmp, name, root, conf, stream, mode);
}

SND_PCM_PLUGIN_SYMBOL(ALSAMobuFIRPlugin);
}
