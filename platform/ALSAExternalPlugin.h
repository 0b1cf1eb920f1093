#ifndef MOBU_PLATFORM_ALSAEXTERNALPLUGIN_H
#define MOBU_PLATFORM_ALSAEXTERNALPLUGIN_H

#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>

#include <string>
#include <vector>

namespace ALSA {

/** The base of an alsa-lib filter plug-in (extplug) written as a C++ object.
 *
 * It owns the extplug record and its callback table; alsa-lib's callbacks reach the
 * virtual operations of the object (close, hwParams, hwFree, dump, init, transfer).
 * A plug-in's open entry point calls parseConfig() with its configuration node,
 * create() with the root configuration, then constrains the formats and channels
 * with the helpers below.  The read-back functions give what hwParams() recorded.
 *
 * One object serves one PCM at a time: getPCM() is null until create() succeeds and
 * again once alsa-lib has closed the PCM.
 */
class ALSAExternalPlugin {
public:
    ALSAExternalPlugin();
    virtual ~ALSAExternalPlugin();
    ALSAExternalPlugin(const ALSAExternalPlugin&) = delete;
    ALSAExternalPlugin& operator=(const ALSAExternalPlugin&) = delete;

    /// The plug-in's PCM (null while not open).
    virtual snd_pcm_t* getPCM() { return extplug.pcm; }
    /// alsa-lib closes the PCM; the default does nothing.
    virtual int close() { return 0; }
    /// The application set hardware parameters: the default records the period and buffer sizes.
    virtual int hwParams(snd_pcm_hw_params_t* params);
    /// Constrains the hardware parameters after create(); the default constrains nothing.
    virtual int specifyHWParams() { return 0; }
    /// The hardware parameters are freed; the default does nothing.
    virtual int hwFree() { return 0; }
    /// Describes the plug-in (snd_pcm_dump): its name and, once set up, its setup.
    virtual void dump(snd_output_t* out);
    /// The stream is prepared; the default does nothing.
    virtual int init() { return 0; }
    /** Filters size frames from the source areas at srcOffset into the destination areas
     * at dstOffset; returns the frames done or a negative code.  The default copies the
     * first channels across (as many as both sides have). */
    virtual snd_pcm_sframes_t transfer(const snd_pcm_channel_area_t* dstAreas, snd_pcm_uframes_t dstOffset,
                                       const snd_pcm_channel_area_t* srcAreas, snd_pcm_uframes_t srcOffset,
                                       snd_pcm_uframes_t size);
    /** Reads the PCM definition: "comment", "type" and "hint" are skipped, "slave" is
     * recorded, "priority" (an integer, 0 ... the highest SCHED_FIFO level, else -EINVAL
     * naming the value) is kept for openPCM; any other field is reported ("Unknown field F in the definition of PCM: a
     * PLUGIN PCM has no such setting") and gives -EINVAL.  A
     * derived class handles (and removes) its own fields first, then calls this. */
    virtual int parseConfig(const char* name, snd_config_t* conf, snd_pcm_stream_t stream, int mode);

    /** Creates the extplug PCM on the recorded slave.  Without a slave: "No slave
     * configuration for NAME : PLUGIN external plugin" and -EINVAL. */
    int create(const char* name, snd_config_t* root, snd_pcm_stream_t stream, int mode);

    /** The open entry of a plug-in type: prints `entry`, refuses a second PCM while this
     * object's is open or being opened (-EBUSY: also a slave of the same type), parseConfig
     * (a refusal before the slave was read is returned as it is; one after it is not), puts
     * the calling thread under SCHED_FIFO at the "priority" field's level (the maximum when
     * absent; 0 leaves its scheduling alone), create, specifyHWParams, then hands out the PCM
     * and prints `entry` and `returning`.  An open that fails after the priority was raised
     * puts the thread's scheduling back as it was.  A refused constraint closes
     * the PCM and is returned when constraintsDecide; otherwise the PCM is handed out all the same. */
    int openPCM(const char* entry, snd_pcm_t** pcmp, const char* name, snd_config_t* root, snd_config_t* conf,
                snd_pcm_stream_t stream, int mode, bool constraintsDecide = true, const char* returning = " returning");

    /** Prints what hwParams() recorded on standard output, a line each: "extplug.rate",
     * "extplug.channels", "extplug.slave_channels", "format", "slave format", then
     * "sample rate ... Hz" when withSampleRate, and "period size". */
    void printHWParams(bool withSampleRate) const;

    /** The length of the blocks this stream's periods are worked in: the period, or maxBlock
     * when the period is longer, which prints "<who>::hwParams periods of P frames are <how>
     * blocks of maxBlock".  -1 (and a line saying so) for a period of 0 frames. */
    int blockLength(snd_pcm_uframes_t maxBlock, const char* who, const char* how) const;

    void setName(const std::string& pluginName);
    const std::string& getName() const { return name; }

    // Constraints on the hardware parameters (after create()); alsa-lib's codes.
    int setInputChannels(unsigned min, unsigned max);                   ///< the application's side
    int setOutputChannels(const std::vector<unsigned>& list);           ///< the slave's side
    int setInputFormats(const std::vector<snd_pcm_format_t>& formats);  ///< the application's side
    int setOutputFormats(const std::vector<snd_pcm_format_t>& formats); ///< the slave's side

    // What hwParams() recorded (0 / SND_PCM_FORMAT_UNKNOWN before).
    unsigned getRate() const { return extplug.rate; }
    snd_pcm_uframes_t getPeriodSize() const { return periodSize; }
    snd_pcm_uframes_t getBufferSize() const { return bufferSize; }
    unsigned getChannels() const { return extplug.channels; }
    unsigned getSlaveChannels() const { return extplug.slave_channels; }
    snd_pcm_format_t getFormat() const { return extplug.format; }
    snd_pcm_format_t getSlaveFormat() const { return extplug.slave_format; }
    /// alsa-lib's description of a format ("Signed 32 bit Little Endian", ...).
    static std::string formatDescription(snd_pcm_format_t format);

    /// A configuration value as written ("42", "/tmp/x"; "" when it has none), for messages.
    static std::string valueText(snd_config_t* node);

protected:
    snd_pcm_extplug_t extplug{};
    snd_config_t* slaveConf = nullptr; ///< valid during the open only

private:
    std::string name;
    snd_pcm_extplug_callback_t callbacks{};
    snd_pcm_uframes_t periodSize = 0;
    snd_pcm_uframes_t bufferSize = 0;
    bool opening = false; ///< openPCM runs (its slave may be another PCM of this type)
    int priority = -1;    ///< the "priority" field: -1 the maximum, 0 leave alone, else that SCHED_FIFO level
};

} // namespace ALSA

#endif
