// The key matcher on hand-made chromas.
#include "dsp/key_match.h"

#include <gtest/gtest.h>

#include <array>
#include <limits>

namespace melodara {
namespace {

using Vec12 = std::array<double, 12>;

Vec12 rotated(const Vec12& v, std::size_t by) {
  Vec12 out{};
  for (std::size_t i = 0; i < 12; ++i) out[(i + by) % 12] = v[i];
  return out;
}

// A triad-heavy chroma of a key on C, and its tonic in the bass.
constexpr Vec12 kMajorChord = {1.0, 0, 0.2, 0, 0.8, 0.15, 0, 0.9, 0, 0.2, 0, 0.1};
constexpr Vec12 kMinorChord = {1.0, 0, 0.2, 0.8, 0, 0.15, 0, 0.9, 0.1, 0, 0.2, 0};
constexpr Vec12 kTonicBass = {1.0, 0, 0, 0, 0, 0, 0, 0.4, 0, 0, 0, 0};

TEST(KeyMatch, FindsEachOfTheTwentyFourKeys) {
  for (std::size_t key = 0; key < 12; ++key) {
    for (const bool minor : {false, true}) {
      const Vec12 chroma = rotated(minor ? kMinorChord : kMajorChord, key);
      const Vec12 bass = rotated(kTonicBass, key);
      const KeyMatch m = match_key(chroma, bass);
      EXPECT_EQ(m.key, key) << key << (minor ? "m" : "");
      EXPECT_EQ(m.minor, minor) << key << (minor ? "m" : "");
      EXPECT_GT(m.score, m.runner_up);
    }
  }
}

TEST(KeyMatch, TheBassTellsAMinorKeyFromItsRelativeMajor) {
  // The notes of A natural minor and C major are the same.
  const Vec12 shared = {0.8, 0, 0.5, 0, 0.8, 0.5, 0, 0.5, 0, 0.8, 0, 0.5};
  const KeyMatch on_a = match_key(shared, rotated(kTonicBass, 9));
  EXPECT_EQ(on_a.key, 9u);
  EXPECT_TRUE(on_a.minor);
  const KeyMatch on_c = match_key(shared, kTonicBass);
  EXPECT_EQ(on_c.key, 0u);
  EXPECT_FALSE(on_c.minor);
}

TEST(KeyMatch, SilenceOrGarbageNamesNoKey) {
  const Vec12 zero{};
  Vec12 broken = kMajorChord;
  broken[3] = std::numeric_limits<double>::quiet_NaN();
  Vec12 endless = kMajorChord;
  endless[0] = std::numeric_limits<double>::infinity();
  for (const Vec12& chroma : {zero, broken, endless}) {
    const KeyMatch m = match_key(chroma, zero);
    EXPECT_EQ(m.key, 2u);
    EXPECT_TRUE(m.minor);
    EXPECT_EQ(m.score, 0.0);
    EXPECT_EQ(m.runner_up, 0.0);
  }
}

TEST(KeyMatch, ScaleDoesNotMatter) {
  Vec12 loud = kMinorChord, loud_bass = kTonicBass;
  for (double& v : loud) v *= 1e6;
  for (double& v : loud_bass) v *= 1e-3;
  const KeyMatch a = match_key(kMinorChord, kTonicBass);
  const KeyMatch b = match_key(loud, loud_bass);
  EXPECT_EQ(a.key, b.key);
  EXPECT_EQ(a.minor, b.minor);
  EXPECT_NEAR(a.score, b.score, 1e-9);
}

}  // namespace
}  // namespace melodara
