#include "dsp/dsp_params.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <random>
#include <string>

namespace melodara {
namespace {

using nlohmann::json;

json load_data(const std::string& name) {
  std::ifstream in(std::string(MELODARA_DSP_TEST_DATA) + "/" + name);
  EXPECT_TRUE(in.good()) << name;
  return json::parse(in);
}

// Golden numbers are decimals as a person writes them; the writer must hold the
// nearest float32 widened to a double, and integers must stay integers.
void expect_matches_golden(const json& golden, const json& actual, const std::string& path) {
  if (golden.is_number_float()) {
    ASSERT_TRUE(actual.is_number_float()) << path << " is " << actual.dump();
    EXPECT_EQ(actual.get<double>(), static_cast<double>(static_cast<float>(golden.get<double>()))) << path;
  } else if (golden.is_number_integer()) {
    ASSERT_TRUE(actual.is_number_integer()) << path << " is " << actual.dump();
    EXPECT_EQ(actual.get<std::int64_t>(), golden.get<std::int64_t>()) << path;
  } else if (golden.is_array()) {
    ASSERT_TRUE(actual.is_array()) << path;
    ASSERT_EQ(actual.size(), golden.size()) << path;
    for (std::size_t i = 0; i < golden.size(); ++i)
      expect_matches_golden(golden[i], actual[i], path + "[" + std::to_string(i) + "]");
  } else {
    EXPECT_EQ(actual, golden) << path;
  }
}

TEST(DspParamsJson, DefaultRecordMatchesGoldenFile) {
  const json golden = load_data("dsp_params_default.json");
  const json written = dsp_params_to_json(dsp_params_default());
  ASSERT_EQ(golden.size(), 114u);
  ASSERT_EQ(written.size(), 114u);
  for (const auto& [key, value] : golden.items()) {
    ASSERT_TRUE(written.contains(key)) << key;
    expect_matches_golden(value, written[key], key);
  }
  // The widened forms the host sees.
  EXPECT_EQ(written["beat_volume"].dump(), "0.7799999713897705");
  EXPECT_EQ(written["vibrato_rate_hz"].dump(), "4.300000190734863");
}

TEST(DspParamsJson, EmptyObjectAndEmptyArrayReadAsDefaults) {
  for (const json& v : {json::object(), json::array()}) {
    auto r = dsp_params_from_json(v);
    ASSERT_TRUE(r.has_value()) << v.dump();
    EXPECT_EQ(*r, dsp_params_default());
  }
}

TEST(DspParamsJson, ObjectIgnoresUnknownKeysAndDefaultsMissingOnes) {
  auto r = dsp_params_from_json(json{
      {"vocal_gain", 1.3}, {"no_such_key", json::array({1, "x"})}, {"Vocal_Gain", "wrong case is unknown"}});
  ASSERT_TRUE(r.has_value()) << r.error().message;
  DspParams expected;
  expected.vocal_gain = 1.3f;
  EXPECT_EQ(*r, expected);
}

struct ReadCase {
  const char* key;
  json value;
  bool ok;
};

TEST(DspParamsJson, TypeRulesPerFieldKind) {
  const ReadCase cases[] = {
      {"vocal_gain", 1, true},  // an integer is a number
      {"vocal_gain", -2.5, true},
      {"vocal_gain", 1e39, false},  // beyond float32: would be an infinity
      {"vocal_gain", -1e39, false},
      {"vocal_gain", 3.0e38, true},
      // The float boundary: what rounds to the largest float reads, what rounds
      // past it (from the midpoint on, ties going to the even infinity) does not.
      {"vocal_gain", 3.4028235e38, true},
      {"vocal_gain", -3.4028235e38, true},
      {"vocal_gain", 3.4028235677973362e38, true},
      {"vocal_gain", 3.4028235677973366e38, false},
      {"vocal_gain", nullptr, false},  // the writer's null for non-finite
      {"vocal_gain", "1.0", false},
      {"vocal_gain", true, false},
      {"delay_enabled", 1, false},
      {"delay_enabled", "true", false},
      {"delay_enabled", true, true},
      {"audio_chain_mode", 255, true},
      {"audio_chain_mode", 256, false},
      {"audio_chain_mode", -1, false},
      {"audio_chain_mode", 1.0, false},  // a fraction, even a whole one
      {"root_key", 11, true},
      {"root_key", std::numeric_limits<std::uint64_t>::max(), true},
      {"root_key", -1, false},
      {"root_key", 2.0, false},
      {"beat_semitone_shift", -2147483648LL, true},
      {"beat_semitone_shift", 2147483647LL, true},
      {"beat_semitone_shift", 2147483648LL, false},
      {"beat_semitone_shift", -2147483649LL, false},
      {"beat_semitone_shift", 1.5, false},
      {"dj_fx_mode", "any text at all", true},
      {"dj_fx_mode", 8, false},
      {"dj_fx_mode", std::string(255, 'x'), true},
      {"dj_fx_mode", std::string(256, 'x'), false},  // longer than the fixed capacity
      {"harmony_gains", json::array({1, 2, 3, 4}), true},
      {"harmony_gains", json::array({1, 2, 3}), false},
      {"harmony_gains", json::array({1, 2, 3, 4, 5}), false},
      {"harmony_gains", json::array({1, 2, nullptr, 4}), false},
      {"harmony_gains", 1.0, false},
      {"harmony_semitones", json::array({1, 2, 3, 4.5}), false},
      {"beat_gate_steps", json::array({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 255}), true},
      {"beat_gate_steps", json::array({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 256}), false},
      {"mic_corr_eq_db", json::array({0, 0, 0, 0, 0}), false},
      {"mic_corr_eq_db", json::array({0, 0, 0, 0, 0, 1e39}), false},
  };
  for (const ReadCase& c : cases) {
    const json in{{c.key, c.value}};
    auto r = dsp_params_from_json(in);
    EXPECT_EQ(r.has_value(), c.ok) << in.dump();
    if (r && c.ok) {
      // The value read is the value given, written back in the record's types.
      json written = dsp_params_to_json(*r)[c.key];
      if (written.is_number_float()) {
        EXPECT_EQ(written.get<double>(), static_cast<double>(static_cast<float>(c.value.get<double>())))
            << in.dump();
      } else if (!written.is_array()) {
        EXPECT_EQ(written, c.value) << in.dump();
      }
    }
    if (!r) {
      EXPECT_FALSE(r.error().message.empty());
    }
  }
}

TEST(DspParamsJson, ErrorsUseTheRecordsExpectations) {
  auto whole = dsp_params_from_json(json("text"));
  ASSERT_FALSE(whole.has_value());
  EXPECT_NE(whole.error().message.find("struct DspParams"), std::string::npos) << whole.error().message;
  auto short_array = dsp_params_from_json(json{{"mic_corr_eq_db", json::array({1})}});
  ASSERT_FALSE(short_array.has_value());
  EXPECT_NE(short_array.error().message.find("an array of length 6"), std::string::npos);
  auto long_array = dsp_params_from_json(json{{"harmony_gains", json::array({1, 2, 3, 4, 5})}});
  ASSERT_FALSE(long_array.has_value());
  EXPECT_NE(long_array.error().message.find("fewer elements in array"), std::string::npos);
  for (const json& v : {json(nullptr), json(true), json(3)})
    EXPECT_FALSE(dsp_params_from_json(v).has_value());
}

TEST(DspParamsJson, OverlayKeepsWhatTheObjectLacksAndIsAllOrNothing) {
  DspParams base;
  base.vocal_gain = 1.7f;
  base.delay_note_div = "1/4T";
  base.root_key = 9;

  auto r = dsp_params_overlay_json(base, json{{"reverb_volume", 0.3}, {"unknown", nullptr}});
  ASSERT_TRUE(r.has_value()) << r.error().message;
  DspParams expected = base;
  expected.reverb_volume = 0.3f;
  EXPECT_EQ(*r, expected);
  // Same as writing the base, laying the members over it and reading it back.
  json merged = dsp_params_to_json(base);
  merged["reverb_volume"] = 0.3;
  EXPECT_EQ(dsp_params_from_json(merged).value(), *r);

  // A null never resets a field to its default: it fails the whole read.
  for (const json& bad : {json{{"reverb_volume", 0.3}, {"vocal_gain", nullptr}},
                          json{{"reverb_volume", 0.3}, {"delay_note_div", nullptr}},
                          json{{"reverb_volume", 0.3}, {"bpm", 1e39}}, json::array({0.5}), json(nullptr)})
    EXPECT_FALSE(dsp_params_overlay_json(base, bad).has_value()) << bad.dump();
}

// A value of the same kind that differs from the default.
json other_value(const json& v) {
  if (v.is_boolean()) return !v.get<bool>();
  if (v.is_number_float()) return v.get<double>() + 0.5;
  if (v.is_number_integer()) return v.get<std::int64_t>() == 1 ? 3 : 1;
  if (v.is_string()) return v.get<std::string>() + "!";
  json out = v;
  out[0] = other_value(v[0]);
  return out;
}

TEST(DspParamsJson, ArrayFormFollowsDeclarationOrder) {
  const json order = load_data("dsp_params_order.json");
  const json golden = load_data("dsp_params_default.json");
  ASSERT_EQ(order.size(), 114u);
  json array = json::array();
  for (const auto& key : order) array.push_back(golden[key.get<std::string>()]);

  auto full = dsp_params_from_json(array);
  ASSERT_TRUE(full.has_value()) << full.error().message;
  EXPECT_EQ(*full, dsp_params_default());

  const json defaults = dsp_params_to_json(dsp_params_default());
  for (std::size_t k = 0; k < order.size(); ++k) {
    json changed = array;
    changed[k] = other_value(array[k]);
    auto r = dsp_params_from_json(changed);
    ASSERT_TRUE(r.has_value()) << k;
    const json written = dsp_params_to_json(*r);
    for (const auto& [key, value] : defaults.items()) {
      if (key == order[k].get<std::string>()) {
        EXPECT_NE(written[key], value) << "element " << k << " did not reach " << key;
      } else {
        EXPECT_EQ(written[key], value) << "element " << k << " leaked into " << key;
      }
    }
  }
}

TEST(DspParamsJson, ArrayFormLengths) {
  auto three = dsp_params_from_json(json::array({0.5, 0.25, 1.5}));
  ASSERT_TRUE(three.has_value());
  DspParams expected;
  expected.beat_volume = 0.5f;
  expected.reverb_volume = 0.25f;
  expected.vocal_gain = 1.5f;
  EXPECT_EQ(*three, expected);

  json too_long = json::array();
  for (int k = 0; k < 115; ++k) too_long.push_back(0);
  EXPECT_FALSE(dsp_params_from_json(too_long).has_value());

  // A bad element anywhere fails the whole read.
  EXPECT_FALSE(dsp_params_from_json(json::array({0.5, 0.25, 1.5, 2.0, 1})).has_value());
}

TEST(DspParamsJson, NonFiniteFloatsWriteNullAndDoNotReadBack) {
  DspParams p;
  p.bpm = std::numeric_limits<float>::quiet_NaN();
  p.harmony_gains[2] = std::numeric_limits<float>::infinity();
  const json written = dsp_params_to_json(p);
  EXPECT_TRUE(written["bpm"].is_null());
  EXPECT_TRUE(written["harmony_gains"][2].is_null());
  EXPECT_TRUE(written["harmony_gains"][1].is_number());
  EXPECT_FALSE(dsp_params_from_json(written).has_value());
}

TEST(DspParamsJson, FiniteRecordsSurviveTheRoundTrip) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> any(-1e6f, 1e6f);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int trial = 0; trial < 20; ++trial) {
    DspParams p;
    p.beat_volume = any(rng);
    p.vibrato_rate_hz = std::nextafter(any(rng), 0.0f);
    p.tc_l2_thresh_db = std::numeric_limits<float>::denorm_min();
    p.air_max_comp_db = std::numeric_limits<float>::max();
    p.bpm = -std::numeric_limits<float>::max();
    p.harmony_gains = {any(rng), any(rng), any(rng), any(rng)};
    p.mic_corr_eq_db[5] = any(rng);
    p.harmony_semitones = {std::numeric_limits<std::int32_t>::min(), -1, 0, byte(rng)};
    p.root_key = std::numeric_limits<std::uint64_t>::max() - static_cast<std::uint64_t>(byte(rng));
    p.mod_routing_order = static_cast<std::uint8_t>(byte(rng));
    p.beat_gate_steps[7] = static_cast<std::uint8_t>(byte(rng));
    p.dj_fx_stop = trial % 2 == 0;
    p.dj_fx_mode.assign("Chipmunk \xE1\xBB\x87 " + std::to_string(trial));
    p.delay_note_div = "";
    auto back = dsp_params_from_json(dsp_params_to_json(p));
    ASSERT_TRUE(back.has_value()) << back.error().message;
    EXPECT_EQ(*back, p);
    // The text form goes through a parser just like the host's lines.
    auto reparsed = dsp_params_from_json(json::parse(dsp_params_to_json(p).dump()));
    ASSERT_TRUE(reparsed.has_value());
    EXPECT_EQ(*reparsed, p);
  }
}

TEST(DspParamsClone, CopyIsEqualAndIndependent) {
  DspParams a;
  a.dj_fx_mode = "12 - Riser";
  a.delay_note_div = "1/4";
  DspParams b = clone_dsp_params(a);
  EXPECT_EQ(a, b);
  b.dj_fx_mode = "Monster";
  b.harmony_gains[0] = 9.0f;
  EXPECT_EQ(a.dj_fx_mode, std::string_view("12 - Riser"));
  EXPECT_EQ(a.harmony_gains[0], 0.4f);
  DspParams c;
  clone_dsp_params_into(c, b);
  EXPECT_EQ(c, b);
}

}  // namespace
}  // namespace melodara
