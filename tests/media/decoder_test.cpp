// Decoding real files made by ffmpeg at test time: every container and codec
// the in-process decoder takes, the ffmpeg paths against it, and the fallbacks.
#include <cmath>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "media/ffmpeg_decode.h"
#include "media/inprocess_decoder.h"
#include "media_test_support.h"

namespace melodara {
namespace {

using test::Format;
using test::formats;
using test::make_media;
using test::ScopedEnv;
using test::TempDir;
namespace fs = std::filesystem;

constexpr double kSeconds = 2.0;
constexpr double kAmplitude = 0.5;  // RMS 0.354 for the stereo pair: the loud branch, to 0.135

void expect_tones(const DecodedMedia& m, const Format& f) {
  EXPECT_EQ(m.channels, 2u);
  EXPECT_EQ(m.sample_rate, 48000u);
  EXPECT_NEAR(m.duration_seconds, kSeconds, f.duration_tolerance);
  EXPECT_DOUBLE_EQ(m.duration_seconds, static_cast<double>(m.samples->size() / 2) / 48000.0);
  for (float s : *m.samples) ASSERT_TRUE(std::isfinite(s));
  EXPECT_NEAR(test::stereo_rms(*m.samples), 0.135, 0.135 * 0.03);
  // The tone frequencies show that the rate and the channel order came out right.
  EXPECT_NEAR(test::channel_frequency((*m.samples), 0, 48000), 440.0, 440.0 * 0.015);
  if (f.channels == 2) {
    EXPECT_NEAR(test::channel_frequency((*m.samples), 1, 48000), 660.0, 660.0 * 0.015);
  } else {
    for (std::size_t i = 0; i + 1 < m.samples->size(); i += 2)
      ASSERT_EQ((*m.samples)[i], (*m.samples)[i + 1]);
  }
}

class InProcessDecode : public ::testing::TestWithParam<Format> {};

TEST_P(InProcessDecode, DecodesToNormalisedStereo48k) {
  TempDir dir;
  const Format& f = GetParam();
  const fs::path file = make_media(dir, f);
  ASSERT_FALSE(file.empty()) << "ffmpeg could not make " << f.name;
  const auto bytes = test::read_bytes(file);
  const auto media = decode_with_symphonia(bytes);
  ASSERT_TRUE(media.has_value());
  expect_tones(*media, f);
  EXPECT_FALSE(media->detected_key.has_value());
  EXPECT_EQ(media->tempo_known, 0u);
}

TEST_P(InProcessDecode, TruncatedFilesAreRefusedOrShorterNeverACrash) {
  TempDir dir;
  const Format& f = GetParam();
  const fs::path file = make_media(dir, f);
  ASSERT_FALSE(file.empty());
  const auto bytes = test::read_bytes(file);
  for (std::size_t keep :
       {std::size_t{0}, std::size_t{3}, std::size_t{12}, bytes.size() / 2, bytes.size() - 1}) {
    const std::vector<std::uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(keep));
    const auto media = decode_with_symphonia(cut);
    if (!media) continue;
    EXPECT_LE(media->duration_seconds, kSeconds + f.duration_tolerance) << keep;
    for (float s : *media->samples) ASSERT_TRUE(std::isfinite(s));
  }
  // Damage in the middle: whatever decodes stays finite and no longer than the file.
  std::vector<std::uint8_t> damaged = bytes;
  std::mt19937 rng(7);
  for (std::size_t i = damaged.size() / 3; i < damaged.size() / 3 + 512 && i < damaged.size(); ++i) {
    damaged[i] = static_cast<std::uint8_t>(rng());
  }
  if (const auto media = decode_with_symphonia(damaged)) {
    EXPECT_LE(media->duration_seconds, kSeconds + 0.2);
    for (float s : *media->samples) ASSERT_TRUE(std::isfinite(s));
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, InProcessDecode, ::testing::ValuesIn(formats()),
                         [](const auto& test_info) { return std::string(test_info.param.name); });

TEST(InProcessDecodeRefusals, GarbageAndHeaderOnlyInputs) {
  std::mt19937 rng(42);
  for (std::size_t size : {0u, 1u, 44u, 100u, 4096u, 65536u}) {
    std::vector<std::uint8_t> noise(size);
    for (auto& b : noise) b = static_cast<std::uint8_t>(rng());
    EXPECT_FALSE(decode_with_symphonia(noise).has_value()) << size;
  }
  const std::string html = "<html><body>404 Not Found</body></html>";
  EXPECT_FALSE(decode_with_symphonia(std::vector<std::uint8_t>(html.begin(), html.end())).has_value());

  TempDir dir;
  const Format& m4a = formats()[13];
  ASSERT_STREQ(m4a.name, "aac_m4a_44k_stereo");
  const auto bytes = test::read_bytes(make_media(dir, m4a));
  // The index of this M4A sits at the end: the first half alone decodes nothing.
  EXPECT_FALSE(decode_with_symphonia(std::span(bytes).first(bytes.size() / 2)).has_value());
}

TEST(InProcessDecodeTags, LeadingId3v2TagIsSkipped) {
  TempDir dir;
  for (const Format* f : {&formats()[15], &formats()[8]}) {  // ADTS AAC and FLAC
    const auto plain = test::read_bytes(make_media(dir, *f));
    ASSERT_FALSE(plain.empty());
    // ID3v2.4 header with a 300-byte body (syncsafe size), all padding.
    std::vector<std::uint8_t> tagged{'I', 'D', '3', 4, 0, 0, 0, 0, 0x02, 0x2c};
    tagged.resize(tagged.size() + 300, 0);
    tagged.insert(tagged.end(), plain.begin(), plain.end());
    const auto a = decode_with_symphonia(plain);
    const auto b = decode_with_symphonia(tagged);
    ASSERT_TRUE(a && b) << f->name;
    EXPECT_EQ(*a->samples, *b->samples) << f->name;
  }
}

TEST(InProcessDecodeRefusals, ContainersOutsideTheListAreRefused) {
  TempDir dir;
  // Opus in Ogg and raw AC-3 decode fine in ffmpeg, but are not codecs or containers we take.
  const fs::path opus = dir / "t.opus";
  auto args = test::tone_input(48000, 2, 0.5, 0.5);
  args.insert(args.end(), {"-c:a", "libopus", opus.string()});
  ASSERT_TRUE(test::run_ffmpeg(args));
  EXPECT_FALSE(decode_with_symphonia(test::read_bytes(opus)).has_value());
  const fs::path ac3 = dir / "t.ac3";
  args = test::tone_input(48000, 2, 0.5, 0.5);
  args.push_back(ac3.string());
  ASSERT_TRUE(test::run_ffmpeg(args));
  EXPECT_FALSE(decode_with_symphonia(test::read_bytes(ac3)).has_value());
}

// The ffmpeg program and the in-process decoder agree on the samples.
class FfmpegAgainstInProcess : public ::testing::TestWithParam<Format> {};

TEST_P(FfmpegAgainstInProcess, SameSamplesWithinTolerance) {
  TempDir dir;
  const Format& f = GetParam();
  const fs::path file = make_media(dir, f);
  ASSERT_FALSE(file.empty());
  const auto bytes = test::read_bytes(file);
  const auto own = decode_with_symphonia(bytes);
  const auto tool = decode_source_ffmpeg(file.string());
  ASSERT_TRUE(own && tool);
  expect_tones(*tool, f);
  const std::size_t common = std::min(own->samples->size(), tool->samples->size());
  EXPECT_LE(std::max(own->samples->size(), tool->samples->size()) - common, 2 * 2048u);
  double worst = 0.0;
  double diff_energy = 0.0;
  for (std::size_t i = 0; i < common; ++i) {
    const double d =
        std::fabs(static_cast<double>((*own->samples)[i]) - static_cast<double>((*tool->samples)[i]));
    worst = std::max(worst, d);
    diff_energy += d * d;
  }
  const double diff_rms = std::sqrt(diff_energy / double(common));
  if (f.rate == 48000) {
    EXPECT_LT(worst, 2e-3) << "same library decoder, no resampling";
  } else {
    // ffmpeg resamples with its own filter, we interpolate linearly: close, not equal.
    EXPECT_LT(diff_rms, 0.01);
  }

  // Fed from memory, ffmpeg gives the same samples as on the path (from a pipe it
  // cannot always trim the encoder's end padding: up to one packet more).
  const auto piped = decode_bytes_ffmpeg(bytes);
  ASSERT_TRUE(piped.has_value());
  const auto piped_media = media_from_pcm(*piped, false);
  ASSERT_TRUE(piped_media.has_value());
  ASSERT_GE(piped_media->samples->size(), tool->samples->size());
  EXPECT_LE(piped_media->samples->size() - tool->samples->size(), 2 * 1152u * 48000 / 44100 + 2);
  const std::size_t n = tool->samples->size() * 9 / 10;
  float piped_worst = 0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    piped_worst = std::max(piped_worst, std::fabs((*piped_media->samples)[i] - (*tool->samples)[i]));
  }
  EXPECT_LT(piped_worst, 1e-3f);
}

INSTANTIATE_TEST_SUITE_P(Formats, FfmpegAgainstInProcess,
                         ::testing::Values(formats()[0], formats()[6], formats()[9], formats()[10],
                                           formats()[15], formats()[18], formats()[22]),
                         [](const auto& test_info) { return std::string(test_info.param.name); });

// A PATH that holds curl and nothing else, so "ffmpeg" cannot start.
class NoFfmpegOnPath : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_symlink("/usr/bin/curl", bin / "curl"); }
  TempDir bin;
};

TEST_F(NoFfmpegOnPath, SourceDecodeFallsBackToFileReadAndCurl) {
  TempDir dir;
  const Format& mp3 = formats()[10];
  const fs::path file = make_media(dir, mp3);
  ASSERT_FALSE(file.empty());
  test::LocalHttpServer server(dir.path());
  ASSERT_TRUE(server.ready());
  ScopedEnv path("PATH", bin.path().string());

  const auto local = decode_source_ffmpeg(file.string());
  ASSERT_TRUE(local.has_value());
  expect_tones(*local, mp3);
  const auto fetched = decode_source_ffmpeg(server.url("t.mp3"));
  ASSERT_TRUE(fetched.has_value());
  EXPECT_EQ(*fetched->samples, *local->samples);

  EXPECT_FALSE(decode_source_ffmpeg(server.url("missing.mp3")).has_value());  // the 404 page is no audio
  EXPECT_FALSE(decode_source_ffmpeg((dir / "missing.mp3").string()).has_value());

  // From memory: the in-process samples, not yet normalised, so that the
  // caller's one normalisation gives the same track as the path decode.
  const auto bytes = test::read_bytes(file);
  const auto pcm = decode_bytes_ffmpeg(bytes);
  ASSERT_TRUE(pcm.has_value());
  const auto again = media_from_pcm(*pcm, false);
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(*again->samples, *local->samples);
  EXPECT_FALSE(decode_bytes_ffmpeg(std::vector<std::uint8_t>(5000, 0x41)).has_value());
}

TEST(FfmpegDecode, WebAddressAndFailures) {
  TempDir dir;
  const Format& flac = formats()[8];
  ASSERT_FALSE(make_media(dir, flac).empty());
  test::LocalHttpServer server(dir.path());
  ASSERT_TRUE(server.ready());
  const auto fetched = decode_source_ffmpeg(server.url("t.flac"));
  ASSERT_TRUE(fetched.has_value());
  expect_tones(*fetched, flac);
  EXPECT_FALSE(decode_source_ffmpeg(server.url("missing.flac")).has_value());
  EXPECT_FALSE(decode_source_ffmpeg((dir / "missing.flac").string()).has_value());
  EXPECT_FALSE(decode_bytes_ffmpeg({}).has_value());
  EXPECT_FALSE(decode_bytes_ffmpeg(std::vector<std::uint8_t>(5000, 0x41)).has_value());
}

TEST(FfmpegDecode, QuietTrackIsRaised) {
  TempDir dir;
  const Format& wav = formats()[0];
  const fs::path file = make_media(dir, wav, kSeconds, 0.1);  // stereo RMS 0.0707: gain 1.626
  ASSERT_FALSE(file.empty());
  const auto media = decode_source_ffmpeg(file.string());
  ASSERT_TRUE(media.has_value());
  EXPECT_NEAR(test::stereo_rms(*media->samples), 0.115, 0.115 * 0.02);
}

// The share copy's check: a file cut after its index still declares its whole
// length, so the probe reads the packets through.
TEST(AudioFileProbe, StreamsAndThePacketsThatRead) {
  TempDir dir;
  const fs::path share = dir / "a:share.m4a.tmp-1-0";  // a colon, and no extension to go by
  auto args = test::tone_input(48000, 2, 3.0, 0.5);
  args.insert(args.end(),
              {"-c:a", "aac", "-b:a", "192k", "-movflags", "+faststart", "-f", "mp4", share.string()});
  ASSERT_TRUE(test::run_ffmpeg(args));
  const auto whole = probe_audio_file(share);
  ASSERT_TRUE(whole.has_value());
  EXPECT_EQ(whole->streams, 1u);
  EXPECT_EQ(whole->audio_streams, 1u);
  EXPECT_NEAR(whole->seconds, 3.0, 0.05);

  const auto bytes = test::read_bytes(share);
  const fs::path half = dir / "half.m4a";
  test::write_text(half, std::string(bytes.begin(), bytes.begin() + std::ptrdiff_t(bytes.size() / 2)));
  const auto cut = probe_audio_file(half);
  ASSERT_TRUE(cut.has_value());  // the index comes first: it opens
  EXPECT_LT(cut->seconds, 2.0);

  const fs::path video = test::make_clip_video(dir / "clip.mp4", 1.0, 0.5);
  ASSERT_FALSE(video.empty());
  const auto clip = probe_audio_file(video);
  ASSERT_TRUE(clip.has_value());
  EXPECT_EQ(clip->streams, 2u);
  EXPECT_EQ(clip->audio_streams, 1u);

  test::write_text(dir / "noise", std::string(4096, 'x'));
  EXPECT_FALSE(probe_audio_file(dir / "noise").has_value());
  EXPECT_FALSE(probe_audio_file(dir / "missing.m4a").has_value());
}

// Loss guarded against: a share copy of a short take that held its header and
// no audio passed the check (0 s is within half a second of a 0.2 s take) and
// replaced a good copy.
TEST(AudioFileProbe, ShareCopyPlaysOnlyWithAudioOfTheMixLength) {
  TempDir dir;
  const fs::path whole = dir / "share.m4a";
  auto args = test::tone_input(48000, 2, 0.2, 0.5);
  args.insert(args.end(),
              {"-c:a", "aac", "-b:a", "192k", "-movflags", "+faststart", "-f", "mp4", whole.string()});
  ASSERT_TRUE(test::run_ffmpeg(args));
  // The index first, then the samples: cut where the "mdat" box starts.
  const auto bytes = test::read_bytes(whole);
  std::size_t at = 0;
  while (at + 8 <= bytes.size() && std::memcmp(&bytes[at + 4], "mdat", 4) != 0) {
    const std::size_t size = std::size_t(bytes[at]) << 24 | std::size_t(bytes[at + 1]) << 16 |
                             std::size_t(bytes[at + 2]) << 8 | bytes[at + 3];
    ASSERT_GE(size, 8u);
    at += size;
  }
  ASSERT_LT(at + 8, bytes.size());
  const fs::path header_only = dir / "header-only.m4a";
  test::write_text(header_only, std::string(bytes.begin(), bytes.begin() + std::ptrdiff_t(at)));
  const auto probe = probe_audio_file(header_only);
  ASSERT_TRUE(probe.has_value());  // it opens, one audio stream, no packet
  EXPECT_EQ(probe->audio_streams, 1u);
  EXPECT_EQ(probe->seconds, 0.0);

  struct Case {
    const fs::path& file;
    double mix_seconds;
    bool plays;
  };
  const Case cases[] = {
      {whole, 0.2, true},        {whole, 0.6, true},        {whole, 0.8, false},
      {header_only, 0.2, false}, {header_only, 0.5, false}, {dir / "missing.m4a", 0.2, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(share_copy_plays(c.file, c.mix_seconds), c.plays) << c.file << " " << c.mix_seconds;
}

// Why a decode failed decides whether a fetched source is dropped: only bytes
// both decoders looked at and refused are bad.
TEST(FfmpegDecode, FailuresSayWhy) {
  TempDir dir;
  const fs::path flac = make_media(dir, formats()[8]);
  ASSERT_FALSE(flac.empty());
  const auto song = test::read_bytes(flac);
  const std::vector<std::uint8_t> junk(5000, 0x41);
  test::ToolBin no_ffmpeg(false);
  MediaLimits short_bound;
  short_bound.max_track_frames = 48000;  // the 2 s tones are over it
  MediaLimits cancelled;
  cancelled.cancelled = [] { return true; };
  struct Case {
    const char* name;
    const std::vector<std::uint8_t>& bytes;
    bool with_ffmpeg;
    const MediaLimits& limits;
    DecodeFailure expected;
  };
  const Case cases[] = {
      {"junk", junk, true, {}, DecodeFailure::Refused},
      {"junk without ffmpeg", junk, false, {}, DecodeFailure::Unavailable},
      {"over the bound", song, true, short_bound, DecodeFailure::Unavailable},
      {"cancelled", song, true, cancelled, DecodeFailure::Cancelled},
  };
  for (const Case& c : cases) {
    std::optional<ScopedEnv> path;
    if (!c.with_ffmpeg) path.emplace("PATH", no_ffmpeg.path().string());
    const auto r = decode_bytes_ffmpeg(c.bytes, c.limits);
    ASSERT_FALSE(r.has_value()) << c.name;
    EXPECT_EQ(r.error(), c.expected) << c.name;
  }

  // The in-process decoder asks between packets and stops part-way.
  TempDir long_dir;
  const fs::path long_flac = make_media(long_dir, formats()[8], 20.0);
  ASSERT_FALSE(long_flac.empty());
  const auto long_song = test::read_bytes(long_flac);
  int asked = 0;
  MediaLimits stop_soon;
  stop_soon.cancelled = [&asked] { return ++asked > 2; };
  const auto own = decode_samples_in_process(long_song, stop_soon);
  ASSERT_FALSE(own.has_value());
  EXPECT_EQ(own.error(), DecodeFailure::Cancelled);
  EXPECT_EQ(asked, 3);
  EXPECT_TRUE(decode_samples_in_process(long_song).has_value());
}

}  // namespace
}  // namespace melodara
