#include "MobuEmbedded/ConvolutionMobu.h"

#include <fftw3.h>
#include <mutex>

ConvolutionMobu::ConvolutionMobu() {
    static std::once_flag planner;
    std::call_once(planner, [] {
        fftw_make_planner_thread_safe();
        fftwf_make_planner_thread_safe(); // the later stages' single-precision plans
    });
}
