// The streaming linear resampler: fed in pieces it gives exactly what the
// whole conversion gives, and a sink that refuses stops it.
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "media/linear_resampler.h"
#include "media/pcm_samples.h"

namespace melodara {
namespace {

TEST(Resample, LinearToFortyEightKilohertz) {
  // Two frames at 24 kHz: four output frames, halfway points interpolated, the last held.
  const std::vector<float> in{0.0f, 1.0f, 1.0f, 0.0f};
  const std::vector<float> out = resample_linear_to_48k(in, 24000);
  const std::vector<float> expected{0.0f, 1.0f, 0.5f, 0.5f, 1.0f, 0.0f, 1.0f, 0.0f};
  EXPECT_EQ(out, expected);
  EXPECT_EQ(resample_linear_to_48k(in, 48000), in);
  EXPECT_EQ(resample_linear_to_48k(std::vector<float>{0.3f, 0.4f}, 96000).size(), 2u);  // at least one frame
  // 96 kHz halves the frames: frame k reads input 2k exactly.
  const std::vector<float> four{1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(resample_linear_to_48k(four, 96000), (std::vector<float>{1, 2, 5, 6}));
}

TEST(Resample, PiecesGiveTheWholeConversion) {
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> value(-1.0f, 1.0f);
  std::vector<float> in(2 * 10007);
  for (float& v : in) v = value(rng);
  for (std::uint32_t rate : {8000u, 11025u, 22050u, 44100u, 48000u, 88200u, 96000u, 192000u, 384000u}) {
    const std::vector<float> whole = resample_linear_to_48k(in, rate);
    EXPECT_EQ(whole.size() / 2, std::max<std::size_t>(in.size() / 2 * 48000 / rate, 1)) << rate;
    for (std::size_t piece : {1u, 2u, 3u, 7u, 1152u, 4096u}) {
      std::vector<float> pieced;
      BoundedSamples out(1u << 30, 0);
      LinearResampler r(rate);
      for (std::size_t at = 0; at < in.size() / 2; at += piece) {
        const std::size_t n = std::min(piece, in.size() / 2 - at);
        ASSERT_TRUE(r.push(std::span(in).subspan(2 * at, 2 * n), out));
      }
      ASSERT_TRUE(r.finish(out));
      EXPECT_EQ(std::move(out).take(), whole) << "rate " << rate << " piece " << piece;
    }
  }
}

TEST(Resample, BoundedSinkRefusesPastItsBound) {
  BoundedSamples out(100, 0);
  LinearResampler r(24000);
  const std::vector<float> in(2 * 40, 0.5f);  // 80 frames out: 160 samples
  EXPECT_FALSE(r.push(in, out));
  EXPECT_LE(out.size(), 100u);
  BoundedSamples exact(160, 160);
  LinearResampler r2(24000);
  EXPECT_TRUE(r2.push(in, exact) && r2.finish(exact));
  EXPECT_EQ(exact.size(), 160u);
}

}  // namespace
}  // namespace melodara
