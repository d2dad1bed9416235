#include "dsp/key_names.h"

#include <gtest/gtest.h>

namespace melodara {
namespace {

TEST(KeyNames, NameSetsRootAndMode) {
  struct Case {
    const char* name;
    std::uint64_t root;  // the previous root is 4 (E)
    bool minor;
  };
  const Case cases[] = {
      {"C#m", 1, true},      {"A Minor", 9, true}, {"Bb", 10, false},         {"H", 4, false},
      {"", 4, false},        {"F#", 6, false},     {"Gb", 6, false},          {"Ebm", 3, true},
      {"C Major", 0, false}, {" Am\t", 9, true},   {"c", 4, false},           {"Cb", 4, false},
      {"Dm_", 2, false},     {"A_", 9, false},     {"G MinorMinor", 7, true},
  };
  for (const Case& c : cases) {
    DspParams p;
    p.root_key = 4;
    p.scale_is_minor = !c.minor;
    apply_key_name_to_dsp_params(p, c.name);
    EXPECT_EQ(p.root_key, c.root) << '"' << c.name << '"';
    EXPECT_EQ(p.scale_is_minor, c.minor) << '"' << c.name << '"';
  }
}

TEST(KeyNames, NormalizedToTheSharpLongForm) {
  struct Case {
    const char* name;
    const char* long_form;
    std::uint64_t root;
    bool minor;
  } cases[] = {
      {"Bbm", "A# Minor", 10, true},     {"Db", "C# Major", 1, false},       {"H", "D Major", 2, false},
      {"Hm", "D Minor", 2, true},        {"am", "D Minor", 2, true},         {"c#", "D Major", 2, false},
      {"F#m", "F# Minor", 6, true},      {"Gb", "F# Major", 6, false},       {"Ab", "G# Major", 8, false},
      {"Eb Minor", "D# Minor", 3, true}, {" C Major ", "C Major", 0, false}, {"B", "B Major", 11, false},
      {"", "D Major", 2, false},         {"Cm_", "C Major", 0, false},       {"A_", "A Major", 9, false},
  };
  for (const Case& c : cases) {
    const NormalizedKey k = normalize_key_name(c.name);
    EXPECT_EQ(k.long_form, c.long_form) << '"' << c.name << '"';
    EXPECT_EQ(k.root, c.root) << '"' << c.name << '"';
    EXPECT_EQ(k.minor, c.minor) << '"' << c.name << '"';
  }
}

TEST(KeyNames, LabelOfRootAndMode) {
  EXPECT_EQ(key_label(6, true), "F#m");
  EXPECT_EQ(key_label(9, false), "A");
  EXPECT_EQ(key_label(0, false), "C");
  EXPECT_EQ(key_label(14, true), "Bm");  // a root past B reads as B
  EXPECT_EQ(key_label_inline(1, true).view(), "C#m");
  EXPECT_EQ(key_label_inline(10, false).view(), "A#");
  EXPECT_EQ(key_label_inline(2, true).view(), "Dm");
  EXPECT_EQ(key_long_name(1, false), "C# Major");
}

}  // namespace
}  // namespace melodara
