// SPDX-License-Identifier: GPL-2.0
/*
 * Test-only stand-in of the SoC's I2S controller ("mobu-test-i2s"): one CPU
 * DAI and a PCM without hardware, so that the board's cards open real PCM
 * devices on a machine without the controller.  The buffer lives in memory;
 * a high-resolution timer advances the hardware position by one period per
 * period time of the stream, so that playback consumes and capture returns
 * (silent) frames at the stream's rate, as a DMA controller would.  A timer
 * that fires late (an emulated machine that was not scheduled for a while)
 * advances the position by every period that elapsed meanwhile, so the
 * stream keeps its rate.  Buffers go up to 4 MiB: long enough for streams
 * whose read and write time-out (about 1.1 times the buffer) outlasts such
 * pauses.
 */

#include <linux/hrtimer.h>
#include <linux/ktime.h>
#include <linux/math64.h>
#include <linux/module.h>
#include <linux/platform_device.h>
#include <linux/slab.h>
#include <sound/pcm.h>
#include <sound/soc.h>

#define MOBU_TEST_I2S_RATES	SNDRV_PCM_RATE_8000_192000
#define MOBU_TEST_I2S_FORMATS	(SNDRV_PCM_FMTBIT_S16_LE | \
				 SNDRV_PCM_FMTBIT_S24_LE | \
				 SNDRV_PCM_FMTBIT_S32_LE)
#define MOBU_TEST_I2S_BUFFER	(4 * 1024 * 1024)

static struct snd_soc_dai_driver mobu_test_i2s_dai = {
	.name = "mobu-test-i2s",
	.playback = {
		.stream_name = "I2S Playback",
		.channels_min = 2,
		.channels_max = 8,
		.rates = MOBU_TEST_I2S_RATES,
		.formats = MOBU_TEST_I2S_FORMATS,
	},
	.capture = {
		.stream_name = "I2S Capture",
		.channels_min = 2,
		.channels_max = 8,
		.rates = MOBU_TEST_I2S_RATES,
		.formats = MOBU_TEST_I2S_FORMATS,
	},
};

static const struct snd_pcm_hardware mobu_test_i2s_hardware = {
	.info = SNDRV_PCM_INFO_INTERLEAVED | SNDRV_PCM_INFO_MMAP |
		SNDRV_PCM_INFO_MMAP_VALID | SNDRV_PCM_INFO_BLOCK_TRANSFER,
	.formats = MOBU_TEST_I2S_FORMATS,
	.rates = MOBU_TEST_I2S_RATES,
	.rate_min = 8000,
	.rate_max = 192000,
	.channels_min = 2,
	.channels_max = 8,
	.buffer_bytes_max = MOBU_TEST_I2S_BUFFER,
	.period_bytes_min = 64,
	.period_bytes_max = MOBU_TEST_I2S_BUFFER / 2,
	.periods_min = 2,
	.periods_max = 1024,
};

/* One running substream: its position and the timer that moves it. */
struct mobu_test_i2s_stream {
	struct snd_pcm_substream *substream;
	struct hrtimer timer;
	ktime_t period;
	snd_pcm_uframes_t pos;
	bool running;
};

static enum hrtimer_restart mobu_test_i2s_tick(struct hrtimer *timer)
{
	struct mobu_test_i2s_stream *s =
		container_of(timer, struct mobu_test_i2s_stream, timer);
	struct snd_pcm_runtime *runtime = s->substream->runtime;
	/* This period and those that elapsed since the timer was due. */
	u64 periods = hrtimer_forward_now(timer, s->period);
	snd_pcm_uframes_t advance;

	/* A buffer or more late is an xrun, which the core tells by the time. */
	periods = clamp_t(u64, periods, 1, runtime->periods - 1);
	advance = (snd_pcm_uframes_t)periods * runtime->period_size;
	WRITE_ONCE(s->pos, (s->pos + advance) % runtime->buffer_size);
	snd_pcm_period_elapsed(s->substream);
	/* A stop from within period_elapsed (an xrun, the end of a drain). */
	if (!READ_ONCE(s->running))
		return HRTIMER_NORESTART;
	return HRTIMER_RESTART;
}

static int mobu_test_i2s_open(struct snd_soc_component *component,
			      struct snd_pcm_substream *substream)
{
	struct mobu_test_i2s_stream *s;

	s = kzalloc(sizeof(*s), GFP_KERNEL);
	if (!s)
		return -ENOMEM;
	s->substream = substream;
	hrtimer_init(&s->timer, CLOCK_MONOTONIC, HRTIMER_MODE_REL);
	s->timer.function = mobu_test_i2s_tick;
	substream->runtime->private_data = s;
	return snd_soc_set_runtime_hwparams(substream, &mobu_test_i2s_hardware);
}

static int mobu_test_i2s_close(struct snd_soc_component *component,
			       struct snd_pcm_substream *substream)
{
	struct mobu_test_i2s_stream *s = substream->runtime->private_data;

	hrtimer_cancel(&s->timer);
	kfree(s);
	return 0;
}

static int mobu_test_i2s_prepare(struct snd_soc_component *component,
				 struct snd_pcm_substream *substream)
{
	struct snd_pcm_runtime *runtime = substream->runtime;
	struct mobu_test_i2s_stream *s = runtime->private_data;

	hrtimer_cancel(&s->timer);
	s->pos = 0;
	s->period = ns_to_ktime(div_u64((u64)runtime->period_size *
					NSEC_PER_SEC, runtime->rate));
	return 0;
}

static int mobu_test_i2s_trigger(struct snd_soc_component *component,
				 struct snd_pcm_substream *substream, int cmd)
{
	struct mobu_test_i2s_stream *s = substream->runtime->private_data;

	switch (cmd) {
	case SNDRV_PCM_TRIGGER_START:
	case SNDRV_PCM_TRIGGER_RESUME:
	case SNDRV_PCM_TRIGGER_PAUSE_RELEASE:
		WRITE_ONCE(s->running, true);
		hrtimer_start(&s->timer, s->period, HRTIMER_MODE_REL);
		return 0;
	case SNDRV_PCM_TRIGGER_STOP:
	case SNDRV_PCM_TRIGGER_SUSPEND:
	case SNDRV_PCM_TRIGGER_PAUSE_PUSH:
		/* The timer may be running this very call: it sees the flag. */
		WRITE_ONCE(s->running, false);
		hrtimer_try_to_cancel(&s->timer);
		return 0;
	default:
		return -EINVAL;
	}
}

static snd_pcm_uframes_t
mobu_test_i2s_pointer(struct snd_soc_component *component,
		      struct snd_pcm_substream *substream)
{
	struct mobu_test_i2s_stream *s = substream->runtime->private_data;

	return READ_ONCE(s->pos);
}

static int mobu_test_i2s_construct(struct snd_soc_component *component,
				   struct snd_soc_pcm_runtime *rtd)
{
	snd_pcm_set_managed_buffer_all(rtd->pcm, SNDRV_DMA_TYPE_VMALLOC, NULL,
				       0, MOBU_TEST_I2S_BUFFER);
	return 0;
}

static const struct snd_soc_component_driver mobu_test_i2s_component = {
	.name = "mobu-test-i2s",
	.open = mobu_test_i2s_open,
	.close = mobu_test_i2s_close,
	.prepare = mobu_test_i2s_prepare,
	.trigger = mobu_test_i2s_trigger,
	.pointer = mobu_test_i2s_pointer,
	.pcm_construct = mobu_test_i2s_construct,
};

static int mobu_test_i2s_probe(struct platform_device *pdev)
{
	return devm_snd_soc_register_component(&pdev->dev,
					       &mobu_test_i2s_component,
					       &mobu_test_i2s_dai, 1);
}

static struct platform_driver mobu_test_i2s_driver = {
	.driver = {
		.name = "mobu-test-i2s",
	},
	.probe = mobu_test_i2s_probe,
};
module_platform_driver(mobu_test_i2s_driver);

MODULE_ALIAS("platform:mobu-test-i2s");
MODULE_DESCRIPTION("Mobu test-only I2S controller with a timer-driven PCM");
MODULE_LICENSE("GPL v2");
