#include "MobuEmbedded/MobuDebug.h"

MobuDebug::MobuDebug() {
    errors[0] = "No error";
    errors[-100] = "Couldn't open the file";
    errors[-1200] = "Audio: Couldn't open the audio devices.";
    errors[-1300] = "Calibration: No reference chirp found, please generate it first. ";
    errors[-1301] = "Calibration: The sample recording variable 'N' has a type which is too small. ";
    errors[-1302] = "Calibration: You requested a speaker greated then the known number of speakers. ";
    errors[-1303] = "FilterManager: The number of filters loaded from mat file doesn't match the required 4 banks, "
                    "woofer, mid and tweeter combinations. ";
    errors[-1304] = "There is no newtork overloading of this class. No network present. ";
    errors[-1305] = "The requested bank is greater then the number of existing banks. ";
    errors[-1306] = "The requested bank is not present or created. ";
    errors[-1307] = "The speaker pair is outside the known range. ";
    errors[-1308] = "The speaker is outside the known set of speakers. ";
    errors[-1309] = "The number of samples requested and present don't match. ";
    errors[-1310] = "The size of the FP_TYPE and jack_default_audio_sample_t are different. ";
    errors[-1311] = "One of FP_TYPE and jack_default_audio_sample_t is floating point and the other isn't. ";
    errors[-1312] = "The FIRMobu object has not been created yet for use. ";
    errors[-1313] = "The ConvolutionMobu object and the audio subsystem have mismatching block sizes. ";
    errors[-1314] = "Calibration: You are using the Calibration(fs) constructor, however a test fs=getFS() failed - "
                    "this indicates that your audio device defines the fs, don't use this constructor. ";
    errors[-1320] = "The NPC algorithm can only process one channel, you gave more then one channel for the filter. ";
    errors[-1321] = "The NPC class requires you to loadH firt. This loads the filter and partitions it. ";
    errors[-1330] = "The NPCMobu channel count is too small or large. ";
    errors[-1350] = "Wrong number of channels specified. ";
    errors[-1351] = "Wrong type of sample format specified. ";
    errors[-1352] = "You have passed in a coeff index or value which is in error. ";
    errors[-1353] = "Filter couldn't be designed with those parameters. ";
    errors[-1354] = "Problem when writing to output file (ofstream). ";
    errors[-1355] = "The equaliser's coefficient stream is short or malformed: the equaliser in force is kept. ";
    errors[-1356] = "Problem when using the file name, is it empty, did you set it ? ";
    errors[-1357] = "The equaliser file is not a JSON array of filters: a unity equaliser is used instead. ";
    errors[-1358] = "The equaliser file is not a regular file or is larger than 1 MiB. ";
    errors[-1359] = "The filter couldn't be built (out of memory or no transform plan); the old one is kept. ";
    errors[-1360] = "ChirpRecorder: The frame count per period must be 1 ... 48000 frames (one second). ";
    errors[-1370] = "This plug-in plays only: it can't be opened for capture. ";
    errors[-1371] = "The FIFO path names something that isn't a FIFO (named pipe): nothing would ever reach a reader. ";
    errors[MOBU_TAP_LIMIT_ERROR] = "The coefficient file is longer than the filters may be (FIRMobu::maxTaps taps a "
                                   "channel); it is refused and the filters in force are kept. ";
    errors[MOBU_FILENAME_ERROR] = "The file name must be a plain name (of a file in ~/.mobu) or an absolute path "
                                  "without '..': it is refused. ";
    errors[-1372] = "The FIFO can't be made large enough for one block of audio: none will be written to it. ";
    errors[-39902] = "The coefficient file can't be loaded whole: the filters in force stay. ";
    errors[-1380] = "The output guard file can't be used: ";
    errors[-1381] = "The output guard can't be made for this stream: ";
}
