#include "dsp/dsp_meters.h"

#include <gtest/gtest.h>

#include <limits>

namespace melodara {
namespace {

using nlohmann::json;

TEST(DspMetersJson, WritesAllSixteenKeysWithTheirTypes) {
  DspMeters m;
  m.vocal_rms_db = -23.4f;
  m.detected_key_name = "F#m";
  m.active_beatgate_step = 15;
  m.gate_open = true;
  m.latency_ms = 128.0f * 1000.0f / 48000.0f;
  const json j = dsp_meters_to_json(m);
  const char* keys[] = {
      "vocal_rms_db",         "beat_rms_db",       "master_peak_db",       "detected_vocal_hz",
      "corrected_vocal_hz",   "detected_key_name", "detected_bpm",         "reverb_active_gain",
      "deesser_reduction_db", "comp_reduction_db", "active_beatgate_step", "gate_open",
      "latency_ms",           "crackle_index_pct", "warmth_blend_pct",     "signal_purity_db"};
  EXPECT_EQ(j.size(), 16u);
  for (const char* k : keys) EXPECT_TRUE(j.contains(k)) << k;
  EXPECT_EQ(j["vocal_rms_db"].get<double>(), static_cast<double>(-23.4f));
  EXPECT_EQ(j["detected_key_name"], "F#m");
  EXPECT_TRUE(j["active_beatgate_step"].is_number_unsigned());
  EXPECT_EQ(j["active_beatgate_step"], 15);
  EXPECT_EQ(j["gate_open"], true);
  EXPECT_EQ(j["latency_ms"].get<double>(), static_cast<double>(m.latency_ms));
}

TEST(DspMetersJson, NonFiniteValuesAreNullNotMissing) {
  DspMeters m;
  m.master_peak_db = std::numeric_limits<float>::quiet_NaN();
  m.beat_rms_db = -std::numeric_limits<float>::infinity();
  const json j = dsp_meters_to_json(m);
  EXPECT_EQ(j.size(), 16u);
  EXPECT_TRUE(j["master_peak_db"].is_null());
  EXPECT_TRUE(j["beat_rms_db"].is_null());
  EXPECT_TRUE(j["vocal_rms_db"].is_number());
}

}  // namespace
}  // namespace melodara
