// The offline key and tempo estimate of a whole track, from synthetic tracks:
// chords with their root in the bass, click tracks, titles that state a key
// or tempo, silence, short tracks and the windows of a long track.
#include "dsp/track_key_analysis.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "key_signals.h"

namespace melodara {
namespace {

using test::add_clicks;
using test::chord_mono;
using test::stereo;

// `seconds` of a chord, tiled from two seconds of it (cheaper to make).
std::vector<float> held_chord(const std::vector<int>& notes, double seconds, double level = 0.08) {
  const std::vector<float> piece = chord_mono(notes, 2.0, level);
  std::vector<float> out(static_cast<std::size_t>(seconds * 48000.0));
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = piece[i % piece.size()];
  return out;
}

std::vector<float> pad_with_clicks(const std::vector<int>& notes, double bpm, double seconds) {
  std::vector<float> mono = held_chord(notes, seconds);
  add_clicks(mono, bpm);
  return stereo(mono);
}

TEST(TrackKeyAnalysis, TriadsWithTheirRootInTheBassGiveTheirKey) {
  struct Case {
    const std::vector<int>& notes;
    const char* label;
    const char* long_form;
    std::uint64_t root;
    std::uint8_t minor;
  } cases[] = {
      {test::kCMajorTriad, "C", "C Major", 0, 0},
      {test::kAMinorTriad, "Am", "A Minor", 9, 1},
  };
  for (const Case& c : cases) {
    const auto found = analyze_track_key_bpm(stereo(held_chord(c.notes, 12.0)), "");
    ASSERT_TRUE(found.has_value()) << c.label;
    EXPECT_EQ(found->key_label, c.label);
    EXPECT_EQ(found->normalized_key, c.long_form);
    EXPECT_EQ(found->root, c.root);
    EXPECT_EQ(found->minor, c.minor);
  }
}

TEST(TrackKeyAnalysis, ClickTracksGiveTheirTempo) {
  for (const double bpm : {100.0, 120.0}) {
    const auto found = analyze_track_key_bpm(pad_with_clicks(test::kAMinorTriad, bpm, 20.0), "");
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->bpm, static_cast<std::uint32_t>(bpm));
    EXPECT_EQ(found->key_label, "Am") << "the clicks leave the key alone";
  }
}

TEST(TrackKeyAnalysis, TitleTokensOverrideTheAudio) {
  const std::vector<float> track = pad_with_clicks(test::kAMinorTriad, 120.0, 12.0);
  struct Case {
    const char* title;
    const char* label;
    const char* long_form;
    std::uint32_t bpm;
  } cases[] = {
      {"Beat karaoke bpm128", "Am", "A Minor", 128},
      {"Beat karaoke BPM 200", "Am", "A Minor", 120},  // out of 55..190: the audio's tempo
      {"Beat karaoke 96 BPM", "Am", "A Minor", 96},
      {"Nắng Ấm Xa Dần - Tone C#m", "C#m", "C# Minor", 120},
      {"LẠC TRÔI (TONE G) bpm90", "G", "G Major", 90},
      {"Song [f#m]", "F#m", "F# Minor", 120},
      {"Song - Tone Nam", "Am", "A Minor", 120},  // a register, not a key
  };
  for (const Case& c : cases) {
    const auto found = analyze_track_key_bpm(track, c.title);
    ASSERT_TRUE(found.has_value()) << c.title;
    EXPECT_EQ(found->key_label, c.label) << c.title;
    EXPECT_EQ(found->normalized_key, c.long_form) << c.title;
    EXPECT_EQ(found->bpm, c.bpm) << c.title;
  }
  const auto bb = analyze_track_key_bpm(track, "Tone Bbm");
  ASSERT_TRUE(bb.has_value());
  EXPECT_EQ(bb->key_label, "A#m");
  EXPECT_EQ(bb->root, 10u);
  EXPECT_EQ(bb->minor, 1u);
}

TEST(TrackKeyAnalysis, SilenceNamesNoKeyAndTheDefaultTempo) {
  for (const double seconds : {30.0, 150.0}) {  // one window, three windows
    const std::vector<float> silent(static_cast<std::size_t>(seconds * 96000.0), 0.0f);
    const auto found = analyze_track_key_bpm(silent, "Beat karaoke");
    ASSERT_TRUE(found.has_value());
    EXPECT_FALSE(found->key_label.has_value()) << seconds;
    EXPECT_EQ(found->bpm, 92u) << seconds;
    // Too quiet for any frame, with a title tempo: the title's.
    const std::vector<float> whisper(static_cast<std::size_t>(seconds * 96000.0), 1e-5f);
    const auto stated = analyze_track_key_bpm(whisper, "Beat 75 bpm");
    ASSERT_TRUE(stated.has_value());
    EXPECT_FALSE(stated->key_label.has_value());
    EXPECT_EQ(stated->bpm, 75u);
  }
}

TEST(TrackKeyAnalysis, HeldToneWithoutBeatsGetsTheDefaultTempo) {
  // A steady tone's amplitude ripple, sampled every 10 ms, is no beat.
  std::vector<float> tone(static_cast<std::size_t>(20.0 * 48000.0));
  for (std::size_t i = 0; i < tone.size(); ++i)
    tone[i] = 0.6f * static_cast<float>(std::sin(0.0576 * double(i)));
  const auto found = analyze_track_key_bpm(stereo(tone), "");
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->bpm, 92u);
}

TEST(TrackKeyAnalysis, ShortTrackReadsOnlyItsTitle) {
  const std::vector<float> two_seconds = pad_with_clicks(test::kCMajorTriad, 120.0, 2.0);
  const auto keyed = analyze_track_key_bpm(two_seconds, "Karaoke tone Am");
  ASSERT_TRUE(keyed.has_value());
  EXPECT_EQ(keyed->key_label, "Am");
  EXPECT_EQ(keyed->normalized_key, "A Minor");
  EXPECT_EQ(keyed->bpm, 92u);
  const auto with_tempo = analyze_track_key_bpm(two_seconds, "Karaoke tone Am bpm100");
  ASSERT_TRUE(with_tempo.has_value());
  EXPECT_EQ(with_tempo->bpm, 100u);
  EXPECT_FALSE(analyze_track_key_bpm(two_seconds, "Karaoke bpm100").has_value());
  EXPECT_FALSE(analyze_track_key_bpm({}, "").has_value());
  // 2.99 s is still short; 3 s is not.
  EXPECT_FALSE(analyze_track_key_bpm(std::vector<float>(287998, 0.1f), "").has_value());
  EXPECT_TRUE(analyze_track_key_bpm(std::vector<float>(288000, 0.0f), "").has_value());
}

TEST(TrackKeyAnalysis, LongTrackIsHeardOnlyInItsThreeWindows) {
  // 125 s: A minor inside 15-38 %, 42-65 % and 68-88 % of the track, a louder
  // F# major everywhere else.
  const double seconds = 125.0;
  const std::vector<float> inside = held_chord(test::kAMinorTriad, seconds);
  const std::vector<float> outside = held_chord({42, 54, 58, 61, 66}, seconds, 0.4);
  const std::size_t frames = inside.size();
  std::vector<float> mono(frames);
  const auto in_window = [frames](std::size_t f) {
    const auto pct = [frames](std::size_t p) { return frames * p / 100; };
    return (f >= pct(15) && f < pct(38)) || (f >= pct(42) && f < pct(65)) || (f >= pct(68) && f < pct(88));
  };
  for (std::size_t f = 0; f < frames; ++f) mono[f] = in_window(f) ? inside[f] : outside[f];
  const auto found = analyze_track_key_bpm(stereo(mono), "");
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->key_label, "Am");

  // The same mix over 100 s is one window, where the louder F# chord wins.
  mono.resize(static_cast<std::size_t>(100.0 * 48000.0));
  const auto whole = analyze_track_key_bpm(stereo(mono), "");
  ASSERT_TRUE(whole.has_value());
  EXPECT_EQ(whole->root, 6u);
}

}  // namespace
}  // namespace melodara
