#include "dsp/biquad_lanes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace melodara {
namespace {

// Sections with varied designs and some state already in them.
std::vector<Biquad> sections(std::size_t count, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> state(-0.3f, 0.3f);
  std::vector<Biquad> out;
  for (std::size_t k = 0; k < count; ++k) {
    Biquad s = k % 3 == 0   ? biquad_peaking(150.0 + 400.0 * k, 0.9, 4.0 - k)
               : k % 3 == 1 ? biquad_highpass(60.0 + 30.0 * k, 0.707)
                            : biquad_lowpass(9000.0 - 300.0 * k, 0.8);
    s.z1 = state(rng);
    s.z2 = state(rng);
    out.push_back(s);
  }
  return out;
}

std::vector<float> signal(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> g(0.0f, 0.2f);
  std::vector<float> x(n);
  for (float& v : x) v = g(rng);
  return x;
}

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Chains given by their lengths: each chain reads its own input and stores the
// outputs of all its sections, and must match the sections run one sample at a time.
void check_chains(const std::vector<std::size_t>& chain_lengths, std::size_t len, unsigned seed) {
  std::size_t count = 0;
  for (std::size_t c : chain_lengths) count += c;
  std::vector<Biquad> lanes_sections = sections(count, seed);
  std::vector<Biquad> scalar_sections = lanes_sections;
  std::vector<std::vector<float>> inputs, lane_out(count, std::vector<float>(len, -9.0f));
  std::vector<BiquadLane> lanes;
  std::size_t l = 0;
  for (std::size_t c = 0; c < chain_lengths.size(); ++c) {
    inputs.push_back(signal(len, seed + 10 + static_cast<unsigned>(c)));
    for (std::size_t k = 0; k < chain_lengths[c]; ++k, ++l) {
      lanes.push_back({&lanes_sections[l], k == 0 ? inputs[c].data() : nullptr, lane_out[l].data()});
    }
  }
  run_biquad_lanes(lanes, len);

  l = 0;
  for (std::size_t c = 0; c < chain_lengths.size(); ++c) {
    const std::size_t first = l;
    for (std::size_t j = 0; j < len; ++j) {
      float x = inputs[c][j];
      for (std::size_t k = 0; k < chain_lengths[c]; ++k) {
        x = biquad_process(scalar_sections[first + k], x);
        ASSERT_TRUE(same_bits(x, lane_out[first + k][j]))
            << "chain " << c << " section " << k << " sample " << j;
      }
    }
    l += chain_lengths[c];
  }
  for (std::size_t k = 0; k < count; ++k) {
    EXPECT_TRUE(same_bits(lanes_sections[k].z1, scalar_sections[k].z1)) << k;
    EXPECT_TRUE(same_bits(lanes_sections[k].z2, scalar_sections[k].z2)) << k;
  }
}

TEST(BiquadLanes, ChainsMatchTheSectionsRunSampleBySample) {
  const std::vector<std::vector<std::size_t>> layouts{
      {1}, {3}, {4}, {5}, {8}, {12}, {5, 5}, {3, 2, 1}, {1, 1, 1, 1, 1, 1}, {10, 2}};
  const std::size_t lengths[] = {1, 2, 7, 11, 16, 128};
  unsigned seed = 1;
  for (const auto& layout : layouts) {
    for (std::size_t len : lengths) {
      SCOPED_TRACE(::testing::Message()
                   << "layout of " << layout.size() << " chains, first " << layout[0] << ", len " << len);
      check_chains(layout, len, seed++);
    }
  }
}

TEST(BiquadLanes, ANonFiniteInputShowsOnlyInItsOwnSampleAndLeavesNoState) {
  std::vector<Biquad> lane_sections = sections(6, 7), scalar_sections = lane_sections;
  std::vector<float> in = signal(40, 8);
  in[9] = std::numeric_limits<float>::quiet_NaN();
  in[20] = std::numeric_limits<float>::infinity();
  std::vector<float> out(in.size());
  std::vector<BiquadLane> lanes;
  for (std::size_t k = 0; k < 6; ++k) {
    lanes.push_back({&lane_sections[k], k == 0 ? in.data() : nullptr, k == 5 ? out.data() : nullptr});
  }
  run_biquad_lanes(lanes, in.size());
  for (std::size_t j = 0; j < in.size(); ++j) {
    float x = in[j];
    for (Biquad& s : scalar_sections) x = biquad_process(s, x);
    EXPECT_TRUE(same_bits(x, out[j])) << j;
  }
  EXPECT_TRUE(std::isfinite(out.back()));
}

}  // namespace
}  // namespace melodara
