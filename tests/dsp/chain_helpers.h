// Runs signals through the vocal chain in blocks, as the engine thread does, and
// keeps everything the chain returns.
#pragma once

#include <algorithm>
#include <array>
#include <span>
#include <vector>

#include "dsp/vocal_dsp.h"

namespace melodara::test {

struct ChainRun {
  std::vector<float> out_l, out_r;
  std::array<std::vector<float>, kStemCount> stems;
  std::vector<DspMeters> meters;  // one per block
  DspMeters last;
};

inline ChainRun run_chain(VocalDsp& d, const std::vector<float>& mic, const std::vector<float>& music_l,
                          const std::vector<float>& music_r, std::size_t block = 128) {
  ChainRun r;
  r.out_l.assign(mic.size(), 0.0f);
  r.out_r.assign(mic.size(), 0.0f);
  for (auto& s : r.stems) s.assign(mic.size(), 0.0f);
  for (std::size_t at = 0; at < mic.size(); at += block) {
    const std::size_t n = std::min(block, mic.size() - at);
    r.last = vocal_chain_process(d, std::span(mic).subspan(at, n), std::span(music_l).subspan(at, n),
                                 std::span(music_r).subspan(at, n), std::span(r.out_l).subspan(at, n),
                                 std::span(r.out_r).subspan(at, n));
    r.meters.push_back(r.last);
    for (std::size_t k = 0; k < kStemCount; ++k)
      std::copy_n(d.stems[k].begin(), n, r.stems[k].begin() + static_cast<std::ptrdiff_t>(at));
  }
  return r;
}

// The microphone alone, the backing track silent.
inline ChainRun run_voice(VocalDsp& d, const std::vector<float>& mic) {
  const std::vector<float> silence(mic.size(), 0.0f);
  return run_chain(d, mic, silence, silence);
}

// True when two runs produced the same samples, bit for bit, outputs and stems.
inline bool same_samples(const ChainRun& a, const ChainRun& b) {
  if (a.out_l != b.out_l || a.out_r != b.out_r) return false;
  for (std::size_t k = 0; k < kStemCount; ++k) {
    if (a.stems[k] != b.stems[k]) return false;
  }
  return true;
}

}  // namespace melodara::test
