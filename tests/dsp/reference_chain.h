// The vocal chain written plainly, one sample at a time through every stage in
// signal order, with its own per-sample reverb: the form to read and to check the
// fast chain against. It shares only the block frame (chain_frame.h) and the
// stages' one-sample forms with vocal_chain_process, so it must give the same
// bits wherever the fast chain's runs, lanes and reverb are right.
#pragma once

#include <span>

#include "dsp/dsp_meters.h"
#include "dsp/reverb.h"
#include "dsp/vocal_dsp.h"

namespace melodara::test {

// One sample of the reverb of the late stages: the voice pair with the reverb
// added; updates the active gain and every line, counter and memory of it.
StereoSample reference_reverb_sample(ReverbState& state, const ReverbLines& lines, const ReverbBlock& block,
                                     const Sends& sends, const EchoOut& echo, StereoSample voice);

// vocal_chain_process, sample by sample. Expects the float mode the engine
// thread runs with (flush-to-zero and denormals-are-zero).
DspMeters reference_chain_process(VocalDsp& engine, std::span<const float> mic,
                                  std::span<const float> music_left, std::span<const float> music_right,
                                  std::span<float> out_left, std::span<float> out_right);

}  // namespace melodara::test
