/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Test-only stand-ins of the converter ("src4xxx") and transmitter
 * ("dix4192") codecs the machine drivers link: what each DAI was last given.
 */
#ifndef MOBU_TEST_CODEC_H
#define MOBU_TEST_CODEC_H

#include <linux/kernel.h>

#define MOBU_TEST_CODEC_MAX_DAIS	2

struct mobu_test_dai_record {
	unsigned int sysclk_calls;
	int clk_id;
	unsigned int sysclk;
	int clk_dir;
	unsigned int fmt_calls;
	unsigned int fmt;
	unsigned int hw_params_calls;
	unsigned int rate;
	unsigned int channels;
	int width;
	bool without_substream;	/* last hw_params had no substream */
	const void *substream;	/* the substream last hw_params was given */
	int hw_params_error;	/* what hw_params returns (a test sets it) */
};

struct mobu_test_codec {
	struct mobu_test_dai_record dai[MOBU_TEST_CODEC_MAX_DAIS];
};

#endif /* MOBU_TEST_CODEC_H */
