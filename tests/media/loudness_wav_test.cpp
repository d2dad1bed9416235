#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "media/afconvert_decode.h"
#include "media/ffmpeg_decode.h"
#include "media/loudness.h"
#include "media/wav_reader.h"
#include "media_test_support.h"

namespace melodara {
namespace {

namespace fs = std::filesystem;

// Constant-level stereo (every frame has energy x^2).
std::vector<float> level(float x, std::size_t frames = 1000) { return std::vector<float>(2 * frames, x); }

TEST(Loudness, GainTable) {
  struct Case {
    float rms;
    float gain;  // expected factor on a sample that stays below the soft clip
  };
  const std::vector<Case> cases{
      {0.2f, 0.675f},           // loud: 0.135 / 0.2
      {0.05f, 1.65f},           // quiet: 0.115 / 0.05 = 2.3, capped
      {0.09f, 0.115f / 0.09f},  // quiet, below the cap
      {0.1f, 1.0f},             // between 0.098 and 0.135: unchanged
      {0.1355f, 1.0f},          // gain 0.9963 is within 0.005 of 1: unchanged
      {0.005f, 1.0f},           // below 0.01: unchanged
  };
  for (const Case& c : cases) {
    std::vector<float> s = level(c.rms);
    normalize_loudness(s);
    for (float v : s) ASSERT_NEAR(v, c.rms * c.gain, 1e-6f) << c.rms;
  }
}

TEST(Loudness, SoftClipAndSpecialTracks) {
  EXPECT_NEAR(loudness_soft_clip(1.0f), 0.892f, 1e-6f);
  EXPECT_NEAR(loudness_soft_clip(-1.0f), -0.892f, 1e-6f);
  EXPECT_EQ(loudness_soft_clip(0.82f), 0.82f);
  EXPECT_LT(loudness_soft_clip(1000.0f), 0.94f);
  EXPECT_TRUE(std::isnan(loudness_soft_clip(std::numeric_limits<float>::quiet_NaN())));
  // An overflowed product clips to the curve's limit instead of inf/inf = NaN.
  EXPECT_EQ(loudness_soft_clip(std::numeric_limits<float>::infinity()), 0.94f);
  EXPECT_EQ(loudness_soft_clip(-std::numeric_limits<float>::infinity()), -0.94f);

  // A sample that the gain brings to 1.0 leaves as 0.892.
  std::vector<float> loud = level(0.2f, 100000);
  loud[0] = 1.0f / 0.675f;
  normalize_loudness(loud);
  EXPECT_NEAR(loud[0], 0.892f, 1e-4f);

  // Every frame at or below the energy threshold but the peak above silence:
  // rms 0, gain 1, unchanged.
  std::vector<float> faint = level(0.009f);
  const std::vector<float> faint_copy = faint;
  normalize_loudness(faint);
  EXPECT_EQ(faint, faint_copy);

  std::vector<float> silence = level(0.00001f);
  const std::vector<float> silence_copy = silence;
  normalize_loudness(silence);
  EXPECT_EQ(silence, silence_copy);

  // An odd trailing sample is scaled too, though not measured.
  std::vector<float> odd = level(0.2f, 10);
  odd.push_back(0.4f);
  normalize_loudness(odd);
  EXPECT_NEAR(odd.back(), 0.4f * 0.675f, 1e-6f);

  // A huge unmeasured trailing sample under a raising gain stays finite.
  std::vector<float> quiet_odd = level(0.05f, 10);
  quiet_odd.push_back(-2.8e38f);
  normalize_loudness(quiet_odd);
  EXPECT_EQ(quiet_odd.back(), -0.94f);

  std::vector<float> one{0.5f};
  normalize_loudness(one);
  EXPECT_EQ(one[0], 0.5f);
}

std::vector<std::uint8_t> floats_le(const std::vector<float>& v) {
  std::vector<std::uint8_t> b(v.size() * 4);
  std::memcpy(b.data(), v.data(), b.size());
  return b;
}

TEST(PcmFromF32le, Cases) {
  EXPECT_FALSE(pcm_from_f32le(std::vector<std::uint8_t>(7, 0), false).has_value());
  const auto one = pcm_from_f32le(floats_le({0.1f, 0.1f}), true);
  ASSERT_TRUE(one.has_value());
  EXPECT_EQ(one->samples->size(), 2u);
  EXPECT_DOUBLE_EQ(one->duration_seconds, 1.0 / 48000.0);
  EXPECT_EQ(one->channels, 2u);
  EXPECT_EQ(one->sample_rate, 48000u);
  EXPECT_EQ(one->tempo_known, 0u);
  EXPECT_FALSE(one->detected_key.has_value());

  // NaN and infinity become 0 before normalising; a trailing partial float is dropped,
  // an odd trailing sample kept; duration counts whole frames.
  std::vector<float> v = level(0.2f, 100);
  v[3] = std::numeric_limits<float>::quiet_NaN();
  v[4] = std::numeric_limits<float>::infinity();
  v.push_back(0.2f);
  std::vector<std::uint8_t> bytes = floats_le(v);
  bytes.push_back(0x7f);
  const auto media = pcm_from_f32le(bytes, false);
  ASSERT_TRUE(media.has_value());
  ASSERT_EQ(media->samples->size(), 201u);
  EXPECT_EQ((*media->samples)[3], 0.0f);
  EXPECT_EQ((*media->samples)[4], 0.0f);
  EXPECT_NEAR((*media->samples)[0], 0.2f * 0.135f / 0.2f, 0.003f);  // normalised
  EXPECT_DOUBLE_EQ(media->duration_seconds, 100.0 / 48000.0);

  const auto kept = pcm_from_f32le(floats_le(level(0.2f, 10)), true);
  ASSERT_TRUE(kept.has_value());
  EXPECT_EQ((*kept->samples)[0], 0.2f);  // already normalised: untouched
}

std::vector<std::uint8_t> wav(std::uint16_t channels, std::uint32_t rate, std::uint16_t bits,
                              const std::vector<std::uint8_t>& data) {
  std::vector<std::uint8_t> b(44 + data.size(), 0);
  std::copy(data.begin(), data.end(), b.begin() + 44);
  std::memcpy(b.data(), "RIFF", 4);
  std::memcpy(b.data() + 8, "WAVEfmt ", 8);
  b[22] = static_cast<std::uint8_t>(channels & 0xff);
  b[23] = static_cast<std::uint8_t>(channels >> 8);
  for (std::size_t i = 0; i < 4; ++i) b[24 + i] = static_cast<std::uint8_t>((rate >> (8 * i)) & 0xff);
  b[34] = static_cast<std::uint8_t>(bits & 0xff);
  b[35] = static_cast<std::uint8_t>(bits >> 8);
  std::memcpy(b.data() + 36, "data", 4);
  return b;
}

std::vector<std::uint8_t> s16(const std::vector<std::int16_t>& v) {
  std::vector<std::uint8_t> b;
  for (std::int16_t x : v) {
    b.push_back(static_cast<std::uint8_t>(x & 0xff));
    b.push_back(static_cast<std::uint8_t>((x >> 8) & 0xff));
  }
  return b;
}

TEST(ParseWavFile, MonoUpsampledByNearestLowerFrame) {
  std::vector<std::int16_t> ramp(22050);
  for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<std::int16_t>(i);
  const auto parsed = parse_wav_file(wav(1, 22050, 16, s16(ramp)));
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->channels, 2u);
  EXPECT_EQ(parsed->sample_rate, 48000u);
  ASSERT_EQ(parsed->samples.size(), 2u * 48000u);
  for (std::size_t k = 0; k < 48000; k += 997) {
    const float expected = static_cast<float>(k * 22050 / 48000) / 32768.0f;
    EXPECT_EQ(parsed->samples[2 * k], expected) << k;
    EXPECT_EQ(parsed->samples[2 * k + 1], expected) << k;
  }
}

TEST(ParseWavFile, StereoFloatAndRefusals) {
  const std::vector<float> frames{0.5f, -0.25f, std::numeric_limits<float>::infinity(), 0.75f, 0.1f};
  const auto parsed = parse_wav_file(wav(2, 48000, 32, floats_le(frames)));
  ASSERT_TRUE(parsed.has_value());
  const std::vector<float> expected{0.5f, -0.25f, 0.0f, 0.75f};  // odd sample left out with its frame
  EXPECT_EQ(parsed->samples, expected);

  // 6 channels: channels 0 and 1 only. A rate below 8,000 counts as 8,000.
  const auto six = parse_wav_file(wav(6, 4000, 16, s16({100, 200, 300, 400, 500, 600})));
  ASSERT_TRUE(six.has_value());
  ASSERT_EQ(six->samples.size(), 12u);  // 1 frame * 48000 / 8000
  EXPECT_EQ(six->samples[0], 100.0f / 32768.0f);
  EXPECT_EQ(six->samples[1], 200.0f / 32768.0f);

  EXPECT_FALSE(parse_wav_file(wav(2, 48000, 24, std::vector<std::uint8_t>(60, 0))).has_value());
  EXPECT_FALSE(parse_wav_file(wav(2, 48000, 8, std::vector<std::uint8_t>(60, 0))).has_value());
  EXPECT_FALSE(parse_wav_file(wav(2, 48000, 16, {})).has_value());              // exactly 44 bytes
  EXPECT_FALSE(parse_wav_file(wav(4, 48000, 16, s16({1, 2, 3}))).has_value());  // fewer samples than channels
  auto not_riff = wav(2, 48000, 16, s16({1, 2}));
  not_riff[0] = 'X';
  EXPECT_FALSE(parse_wav_file(not_riff).has_value());
  // Channel count 0 reads as 1.
  const auto zero = parse_wav_file(wav(0, 48000, 16, s16({1000, 2000})));
  ASSERT_TRUE(zero.has_value());
  EXPECT_EQ(zero->samples.size(), 4u);
}

TEST(Afconvert, ExtensionSniffing) {
  auto bytes = [](std::string head) {
    head.resize(16, '\0');
    return std::vector<std::uint8_t>(head.begin(), head.end());
  };
  EXPECT_EQ(afconvert_input_extension(bytes(std::string("\0\0\0\x20", 4) + "ftypM4A ")), "m4a");
  EXPECT_EQ(afconvert_input_extension(bytes("ID3\x04")), "mp3");
  EXPECT_EQ(afconvert_input_extension(bytes("\xff\xfb\x90")), "mp3");
  EXPECT_EQ(afconvert_input_extension(bytes("\xff\xd0")), "m4a");
  EXPECT_EQ(afconvert_input_extension(bytes("RIFF")), "wav");
  EXPECT_EQ(afconvert_input_extension(bytes("OggS")), "ogg");
  EXPECT_EQ(afconvert_input_extension(bytes("fLaC")), "m4a");
}

TEST(Afconvert, DataChunkSearch) {
  auto chunk = [](const std::string& id, std::uint32_t size, std::size_t body) {
    std::vector<std::uint8_t> b(id.begin(), id.end());
    for (int i = 0; i < 4; ++i) b.push_back((size >> (8 * i)) & 0xff);
    for (std::size_t i = 0; i < body; ++i) b.push_back(static_cast<std::uint8_t>(i + 1));
    return b;
  };
  auto file = [&](std::vector<std::vector<std::uint8_t>> chunks) {
    std::vector<std::uint8_t> b{'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
    for (auto& c : chunks) b.insert(b.end(), c.begin(), c.end());
    return b;
  };
  // fmt, an odd-sized chunk (no pad byte skipped), then data.
  // The result views the file's bytes, so each file outlives its result.
  const auto odd = file({chunk("fmt ", 16, 16), chunk("LIST", 3, 3), chunk("data", 40, 40)});
  const auto found = wav_data_chunk(odd);
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->size(), 40u);
  EXPECT_EQ((*found)[0], 1);
  // The data body is clipped to the end of the file.
  const auto long_size = file({chunk("fmt ", 16, 16), chunk("data", 1000, 20)});
  const auto clipped = wav_data_chunk(long_size);
  ASSERT_TRUE(clipped.has_value());
  EXPECT_EQ(clipped->size(), 20u);
  // A data body of 8 bytes or less counts as none: short files give none, long ones byte 44 on.
  EXPECT_FALSE(wav_data_chunk(file({chunk("fmt ", 16, 16), chunk("data", 8, 8)})).has_value());
  const auto junk = file({chunk("fmt ", 16, 16), chunk("JUNK", 5000, 5000)});
  const auto fallback = wav_data_chunk(junk);
  ASSERT_TRUE(fallback.has_value());
  EXPECT_EQ(fallback->size(), 12u + 8 + 16 + 8 + 5000 - 44);
  EXPECT_FALSE(wav_data_chunk(std::vector<std::uint8_t>(43, 0)).has_value());
  // A chunk size that runs far past the end stops the walk without overflow.
  EXPECT_FALSE(wav_data_chunk(file({chunk("fmt ", 0xFFFFFFF0u, 40)})).has_value());
}

TEST(Afconvert, MissingConverterFailsAndLeavesNoTemporaryFiles) {
  if (fs::exists("/usr/bin/afconvert")) GTEST_SKIP() << "afconvert is installed";
  test::TempDir tmp;
  test::ScopedEnv t("TMPDIR", tmp.path().string());
  std::vector<std::uint8_t> bytes(4096, 0);
  std::memcpy(bytes.data(), "OggS", 4);
  EXPECT_FALSE(decode_with_afconvert(bytes).has_value());
  EXPECT_FALSE(decode_with_afconvert(std::vector<std::uint8_t>(15, 1)).has_value());
  EXPECT_EQ(std::distance(fs::directory_iterator(tmp.path()), fs::directory_iterator()), 0);
}

TEST(Afconvert, PrivateTempFilesAreExclusiveAndUnguessable) {
  test::TempDir tmp;
  const auto a = create_private_temp_file(tmp.path(), "mld_afin_", "ogg");
  const auto b = create_private_temp_file(tmp.path(), "mld_afin_", "ogg");
  ASSERT_TRUE(a && b);
  EXPECT_NE(*a, *b);
  const std::string name = a->filename().string();
  EXPECT_TRUE(name.starts_with("mld_afin_" + std::to_string(::getpid()) + "_")) << name;
  EXPECT_TRUE(name.ends_with(".ogg"));
  EXPECT_GE(name.size(), std::string("mld_afin_").size() + 20);
  EXPECT_EQ(fs::status(*a).permissions() & (fs::perms::group_all | fs::perms::others_all), fs::perms::none);
  // A folder where nothing can be created gives none, not a file elsewhere.
  EXPECT_FALSE(create_private_temp_file(tmp / "missing", "mld_afin_", "ogg").has_value());
}

}  // namespace
}  // namespace melodara
