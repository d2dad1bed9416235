// The tempo and key that titles state.
#include "dsp/title_tags.h"

#include <gtest/gtest.h>

namespace melodara {
namespace {

TEST(TitleTempo, ReadsBpmTokens) {
  struct Case {
    const char* title;
    std::optional<std::uint32_t> bpm;
  } cases[] = {
      {"Beat bpm128", 128},
      {"Beat BPM128 remix", 128},
      {"Beat 96 BPM", 96},
      {"Beat BPM: 100", 100},      // no number before: the one after
      {"Beat 2024 BPM 100", 100},  // the number before is no tempo: the one after
      {"Beat BPM 200", std::nullopt},
      {"Beat 54 bpm", std::nullopt},
      {"Beat 55 bpm", 55},
      {"Beat 190 bpm", 190},
      {"Beat 191 bpm", std::nullopt},
      {"Beat bpm120abc", std::nullopt},
      {"Beat 120bpm", std::nullopt},  // one token, not beginning with bpm
      {"Beat (bpm) 88", 88},
      {"Beat 120 - tone Am", std::nullopt},
      {"bpm", std::nullopt},
      {"", std::nullopt},
      {"Beat bpm70 bpm130", 70},  // the first that counts
      {"Beat bpm999 bpm130", 130},
  };
  for (const Case& c : cases) EXPECT_EQ(title_tempo(c.title), c.bpm) << c.title;
}

TEST(TitleTempo, LongDigitRunsNeitherOverflowNorThrow) {
  const std::string digits(400, '9');
  EXPECT_EQ(title_tempo("bpm" + digits), std::nullopt);
  EXPECT_EQ(title_tempo(digits + " bpm"), std::nullopt);
  EXPECT_EQ(title_tempo(digits + " bpm 120"), 120u);
  // 2^64 + 120 would wrap to 120 without saturation.
  EXPECT_EQ(title_tempo("bpm18446744073709551736"), std::nullopt);
  EXPECT_EQ(title_tempo("bpm0000000000000000000000120"), 120u);
}

TEST(TitleKey, ReadsKeyTokens) {
  struct Case {
    const char* title;
    std::optional<std::string> key;
  } cases[] = {
      {"Karaoke Tone Am", "Am"},
      {"Karaoke TONE C#M", "C#m"},
      {"Karaoke tone Dbm", "C#m"},
      {"Karaoke tone Bb", "A#"},
      {"Karaoke tone Eb beat", "D#"},
      {"Karaoke tone C", "C"},
      {"Karaoke tone c - Hà Nội", "C"},
      {"Karaoke TÔNG F#M", "F#m"},
      {"Karaoke tông bbm", "A#m"},
      {"Karaoke Tông G", "G"},
      {"Karaoke [Am]", "Am"},
      {"Karaoke (Dm) beat", "Dm"},
      {"Karaoke (Tone D)", "D"},
      {"Karaoke [C]", "C"},
      {"Karaoke tone am2", "Am"},          // a digit is no letter
      {"Karaoke tone cao", std::nullopt},  // a register: high
      {"Karaoke tone nam", std::nullopt},
      {"Karaoke Tone Nữ", std::nullopt},
      {"Karaoke tone de hat", std::nullopt},
      {"Karaoke TÔNG CHUẨN", std::nullopt},
      {"Karaoke tone d#", std::nullopt},   // no such row: "tone d" may not be followed by "#"
      {"Karaoke tone dễ", std::nullopt},   // a Vietnamese letter after the note
      {"Karaoke ătone am", std::nullopt},  // a Vietnamese letter before the pattern
      {"Karaoke xtone am", std::nullopt},
      {"Karaoke tone a", "A"},
      {"Karaoke tone amazing", std::nullopt},
      {"Karaoke tone\tam", std::nullopt},
      {"", std::nullopt},
      {"Karaoke tone nam tone am", "Am"},  // the register goes, the key stays
      {"Karaoke [em] tone am", "Am"},      // the tone rows come first
  };
  for (const Case& c : cases) EXPECT_EQ(title_key(c.title), c.key) << c.title;
}

TEST(TitleKey, BrokenBytesAroundAPatternCountAsNoLetter) {
  EXPECT_EQ(title_key("\xff[am]\xc3"), "Am");
  EXPECT_EQ(title_key("\xe1\xba[am]"), "Am");  // a cut sequence before
}

}  // namespace
}  // namespace melodara
