#include "dsp/biquad_lanes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "signal_helpers.h"

namespace melodara {
namespace {

using test::same_bits;

// Sections with varied designs and some state already in them.
std::vector<Biquad> sections(std::size_t count, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> state(-0.3f, 0.3f);
  std::vector<Biquad> out;
  for (std::size_t k = 0; k < count; ++k) {
    Biquad s = k % 3 == 0
                   ? biquad_peaking(150.0 + 400.0 * static_cast<double>(k), 0.9, 4.0 - static_cast<double>(k))
               : k % 3 == 1 ? biquad_highpass(60.0 + 30.0 * static_cast<double>(k), 0.707)
                            : biquad_lowpass(9000.0 - 300.0 * static_cast<double>(k), 0.8);
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

// Every lane stores its output; a lane that takes an input reads its own signal.
// The outputs and states must be those of the sections run one sample at a time.
template <std::size_t N, std::array<std::uint8_t, N> Heads>
void check(std::size_t len, unsigned seed, std::vector<float> first_input = {}) {
  constexpr std::array<std::uint8_t, N> kRoles = [] {
    std::array<std::uint8_t, N> roles = Heads;
    for (std::uint8_t& r : roles) r |= kLaneOutput;
    return roles;
  }();
  std::vector<Biquad> lane_sections = sections(N, seed), scalar_sections = lane_sections;
  std::vector<std::vector<float>> inputs(N), outputs(N, std::vector<float>(len, -9.0f));
  std::array<BiquadLane, N> lanes{};
  for (std::size_t l = 0; l < N; ++l) {
    if (Heads[l] != 0) {
      inputs[l] =
          l == 0 && !first_input.empty() ? first_input : signal(len, seed + 10 + static_cast<unsigned>(l));
    }
    lanes[l] = {&lane_sections[l], Heads[l] != 0 ? inputs[l].data() : nullptr, outputs[l].data()};
  }
  run_biquad_lanes<kRoles>(lanes, len);

  for (std::size_t j = 0; j < len; ++j) {
    float x = 0.0f;
    for (std::size_t l = 0; l < N; ++l) {
      x = biquad_process(scalar_sections[l], Heads[l] != 0 ? inputs[l][j] : x);
      ASSERT_TRUE(same_bits(x, outputs[l][j])) << "lane " << l << " sample " << j;
    }
  }
  for (std::size_t l = 0; l < N; ++l) {
    EXPECT_TRUE(same_bits(lane_sections[l].z1, scalar_sections[l].z1)) << l;
    EXPECT_TRUE(same_bits(lane_sections[l].z2, scalar_sections[l].z2)) << l;
  }
}

constexpr std::uint8_t I = kLaneInput;

TEST(BiquadLanes, ChainsMatchTheSectionsRunSampleBySample) {
  for (std::size_t len : {1u, 2u, 7u, 11u, 16u, 17u, 128u}) {
    SCOPED_TRACE(::testing::Message() << "len " << len);
    const unsigned seed = static_cast<unsigned>(len);
    check<1, {I}>(len, seed);
    check<3, {I, 0, 0}>(len, seed);
    check<4, {I, 0, 0, 0}>(len, seed);
    check<5, {I, 0, 0, 0, 0}>(len, seed);
    check<10, {I, 0, 0, 0, 0, I, 0, 0, 0, 0}>(len, seed);
    check<6, {I, 0, 0, I, 0, I}>(len, seed);
    check<12, {I, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}>(len, seed);
    check<16, {I, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, I, 0, I}>(len, seed);
  }
}

TEST(BiquadLanes, ANonFiniteInputShowsOnlyInItsOwnSampleAndLeavesNoState) {
  std::vector<float> in = signal(40, 8);
  in[9] = std::numeric_limits<float>::quiet_NaN();
  in[20] = std::numeric_limits<float>::infinity();
  check<6, {I, 0, 0, 0, 0, 0}>(in.size(), 7, in);
}

// The send filters and the voice EQ store a chain's output over its own input.
TEST(BiquadLanes, AnOutputMayOverwriteTheInputOfItsChain) {
  std::vector<Biquad> lane_sections = sections(5, 3), scalar_sections = lane_sections;
  std::vector<float> io = signal(50, 4);
  const std::vector<float> in = io;
  constexpr std::array<std::uint8_t, 5> kRoles{I, 0, 0, 0, kLaneOutput};
  std::array<BiquadLane, 5> lanes{};
  for (std::size_t l = 0; l < 5; ++l) lanes[l].section = &lane_sections[l];
  lanes[0].in = io.data();
  lanes[4].out = io.data();
  run_biquad_lanes<kRoles>(lanes, io.size());
  for (std::size_t j = 0; j < in.size(); ++j) {
    float x = in[j];
    for (Biquad& s : scalar_sections) x = biquad_process(s, x);
    EXPECT_TRUE(same_bits(x, io[j])) << j;
  }
}

}  // namespace
}  // namespace melodara
