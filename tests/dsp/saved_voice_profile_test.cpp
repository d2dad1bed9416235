// The saved voice profile: the file's layout, where it is read and written,
// the clamps and repairs it is applied with, and writes that never leave a
// torn file in place of a good one.
#include "dsp/saved_voice_profile.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>

#include "core/json_writer.h"
#include "temp_files.h"

namespace melodara {
namespace {

namespace fs = std::filesystem;

// A profile file whose "dsp_params" lay `changes` over the defaults.
std::string profile_text(const Json& changes, const char* member = "dsp_params") {
  Json params = dsp_params_to_json(dsp_params_default());
  for (const auto& [key, value] : changes.items()) params[key] = value;
  return to_json_text(Json{{member, params}, {"saved_profile_id", "My Vocal"}});
}

DspParams loaded_over_defaults() {
  DspParams p = dsp_params_default();
  load_saved_voice_profile(p);
  return p;
}

TEST(SavedVoiceProfile, StoredValuesAreClampedAndRepaired) {
  struct Case {
    Json stored;
    const char* field;
    Json applied;
  } cases[] = {
      {{{"denoise_gate_db", -40.0}}, "denoise_gate_db", -54.0},
      {{{"denoise_gate_db", -70.0}}, "denoise_gate_db", -62.0},
      {{{"denoise_gate_db", -50.0}}, "denoise_gate_db", -50.0},
      {{{"deesser_amount", 0.45}}, "deesser_amount", 0.55},
      {{{"deesser_amount", 0.9}}, "deesser_amount", 0.72},
      {{{"deesser_amount", 0.6}}, "deesser_amount", 0.6},
      {{{"tc_voice_profile", 7}}, "tc_voice_profile", 3},
      {{{"lowcut_freq_hz", 40.0}}, "lowcut_freq_hz", 78.0},
      {{{"eq_high_db", 3.0}}, "eq_high_db", 0.65},
      {{{"tc_formant_scale", 2.0}}, "tc_formant_scale", 1.04},
      {{{"reverb_room_size", 0.1}}, "reverb_room_size", 0.54},
      {{{"beat_volume", 1.0}}, "beat_volume", 0.78},
      {{{"vocal_gain", 3.0}}, "vocal_gain", 2.0},
      {{{"mic_input_trim_db", 12.0}}, "mic_input_trim_db", 7.5},
      {{{"mic_corr_eq_db", {5, 5, 5, 5, 5, 5}}}, "mic_corr_eq_db", {1.5, 1.0, 0.0, 0.0, 0.5, 1.8}},
      {{{"mic_corr_eq_db", {-9, -9, -9, -9, -9, -9}}},
       "mic_corr_eq_db",
       {-2.2, -3.0, -3.5, -2.5, -2.5, -1.5}},
      // Older profiles: a gain of 1.45 moves into the trim.
      {{{"vocal_gain", 1.45}, {"mic_input_trim_db", 1.0}}, "mic_input_trim_db", 4.2},
      {{{"vocal_gain", 1.45}, {"mic_input_trim_db", 1.0}}, "vocal_gain", 1.0},
      {{{"vocal_gain", 1.45}, {"mic_input_trim_db", 2.0}}, "mic_input_trim_db", 2.0},
      // Fields outside the selection are not taken over.
      {{{"reverb_enabled", false}, {"reverb_volume", 0.1}}, "reverb_enabled", true},
      {{{"reverb_predelay_ms", 60.0}}, "reverb_predelay_ms", 20.0},
  };
  for (const Case& c : cases) {
    const auto stored = parse_saved_voice_profile(profile_text(c.stored));
    ASSERT_TRUE(stored) << c.stored.dump();
    DspParams t = dsp_params_default();
    apply_saved_voice_profile(t, *stored);
    const Json applied = dsp_params_to_json(t)[c.field];
    const Json expected = c.applied.is_array() ? c.applied : Json::array({c.applied});
    const Json actual = applied.is_array() ? applied : Json::array({applied});
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) {
      if (expected[i].is_number())
        EXPECT_NEAR(actual[i].get<double>(), expected[i].get<double>(), 1e-6)
            << c.stored.dump() << " " << c.field;
      else
        EXPECT_EQ(actual[i], expected[i]) << c.stored.dump() << " " << c.field;
    }
  }
}

TEST(SavedVoiceProfile, ApplyingSwitchesTheDelayOffAndRepairsTheTarget) {
  DspParams t = dsp_params_default();
  t.delay_enabled = true;
  t.delay_ping_pong = true;
  t.delay_mix = 0.5f;
  t.tc_delay_level = 0.4f;
  t.delay_feedback = 0.6f;
  t.reverb_predelay_ms = 111.0f;
  t.delay_hp_hz = 100.0f;
  t.tc_l2_thresh_db = -1.0f;
  t.stereo_width_pct = 130.0f;
  t.imager_enabled = false;
  t.reverb_high_gain_db = -3.0f;
  DspParams stored = dsp_params_default();
  stored.mic_calibration_active = false;
  stored.reverb_damping = 0.3f;
  apply_saved_voice_profile(t, stored);
  EXPECT_FALSE(t.delay_enabled || t.delay_ping_pong);
  EXPECT_EQ(t.delay_mix, 0.0f);
  EXPECT_EQ(t.tc_delay_level, 0.0f);
  EXPECT_EQ(t.delay_feedback, 0.1f);
  EXPECT_FALSE(t.mic_calibration_active);
  EXPECT_EQ(t.reverb_predelay_ms, 20.0f);
  EXPECT_EQ(t.delay_hp_hz, 240.0f);
  EXPECT_EQ(t.delay_lp_hz, 5200.0f);
  EXPECT_EQ(t.tc_l2_thresh_db, -4.2f);
  EXPECT_EQ(t.tc_cla3a_peak_red, 5.1f);
  EXPECT_EQ(t.tc_rvox_comp_db, -8.0f);
  EXPECT_TRUE(t.imager_enabled);
  EXPECT_EQ(t.stereo_width_pct, 102.0f);
  // The reverb tone falls back as a whole, the stored damping included.
  EXPECT_EQ(t.reverb_low_gain_db, -2.0f);
  EXPECT_EQ(t.reverb_high_gain_db, 0.5f);
  EXPECT_EQ(t.reverb_damping, 0.28f);
}

TEST(SavedVoiceProfile, OnlyAnObjectWithAParameterRecordIsAProfile) {
  EXPECT_TRUE(parse_saved_voice_profile(profile_text({})));
  const auto from_params = parse_saved_voice_profile(profile_text({{"lowcut_freq_hz", 90.0}}, "params"));
  ASSERT_TRUE(from_params);
  EXPECT_EQ(from_params->lowcut_freq_hz, 90.0f);
  // "dsp_params" wins over "params".
  const auto both = parse_saved_voice_profile(
      R"({"params": {"lowcut_freq_hz": 90.0}, "dsp_params": {"lowcut_freq_hz": 80.0}})");
  ASSERT_TRUE(both);
  EXPECT_EQ(both->lowcut_freq_hz, 80.0f);
  // Missing keys take the defaults.
  const auto partial = parse_saved_voice_profile(R"(  {"dsp_params": {}}  )");
  ASSERT_TRUE(partial);
  EXPECT_EQ(*partial, dsp_params_default());

  const char* unusable[] = {
      "",
      "{",
      "[]",
      "42",
      R"({"saved_profile_id": "My Vocal"})",
      R"({"dsp_params": 5})",
      R"({"dsp_params": null, "params": {}})",
      R"({"dsp_params": {"lowcut_freq_hz": "high"}})",
      R"({"dsp_params": {}} {})",
      "\xEF\xBB\xBF{\"dsp_params\": {}}",
  };
  for (const char* text : unusable) EXPECT_FALSE(parse_saved_voice_profile(text)) << text;
}

TEST(SavedVoiceProfile, TextIsPrettyJsonWithSortedKeys) {
  DspParams p = dsp_params_default();
  p.lowcut_freq_hz = 90.5f;
  VoiceCalStatus cal = voice_cal_default_state();
  cal.avg_f0_hz = 130.0f;
  cal.band_pct[5] = std::numeric_limits<float>::infinity();
  cal.detected_gender = "Giọng Nam Trung / Cao (130 Hz)";
  const std::string text = saved_voice_profile_text(p, cal);

  EXPECT_TRUE(text.starts_with("{\n  \"dsp_params\": {\n    \"air_compensator_enabled\": true,\n"));
  EXPECT_TRUE(text.ends_with("\n  }\n}"));
  EXPECT_NE(text.find("\n  \"saved_profile_id\": \"My Vocal\",\n"), std::string::npos);
  EXPECT_NE(text.find("\n  \"saved_profile_label\": \"⭐ Hồ Sơ Giọng Của Tôi (My Vocal)\",\n"),
            std::string::npos);
  EXPECT_NE(text.find("\n    \"band_pct\": [\n      16.600000381469727,\n"), std::string::npos);
  EXPECT_NE(text.find("      null\n    ],\n"), std::string::npos);
  EXPECT_NE(text.find("\"detected_gender\": \"Giọng Nam Trung / Cao (130 Hz)\""), std::string::npos);
  EXPECT_NE(text.find("\"mic_corr_eq_db\": [\n      0.0,\n"), std::string::npos);
  EXPECT_NE(text.find("\"bpm\": 70.0,"), std::string::npos);

  const Json read = Json::parse(text);
  EXPECT_EQ(read.size(), 4u);
  EXPECT_EQ(read["voice_cal_summary"].size(), 7u);
  EXPECT_EQ(read["voice_cal_summary"]["avg_f0_hz"], 130.0);
  EXPECT_EQ(read["dsp_params"].size(), 114u);
  EXPECT_EQ(read["dsp_params"], dsp_params_to_json(p));
  EXPECT_EQ(parse_saved_voice_profile(text), p);
}

class SavedVoiceProfileFiles : public ::testing::Test {
 protected:
  test::TempHomeAndWorkdir folders;
  fs::path home_file = folders.home / ".config/Melodara/Tunewerk_Saved_VoiceProfile.json";
  fs::path work_file = folders.work / "recordings/Tunewerk_Saved_VoiceProfile.json";

  void put(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    test::write_text(file, text);
  }
  static std::vector<std::string> names_in(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    return names;
  }
};

TEST_F(SavedVoiceProfileFiles, WorkingFolderCopyDecidesWhenReadable) {
  DspParams untouched = dsp_params_default();
  EXPECT_EQ(load_saved_voice_profile(untouched), std::nullopt);
  EXPECT_EQ(untouched, dsp_params_default());

  put(home_file, profile_text({{"lowcut_freq_hz", 90.0}}));
  DspParams from_home = dsp_params_default();
  EXPECT_EQ(load_saved_voice_profile(from_home), "My Vocal");
  EXPECT_EQ(from_home.lowcut_freq_hz, 90.0f);

  put(work_file, profile_text({{"lowcut_freq_hz", 80.0}}));
  EXPECT_EQ(loaded_over_defaults().lowcut_freq_hz, 80.0f);

  // Not UTF-8: passed over for the home copy.
  put(work_file, "{\"dsp_params\": {\"delay_note_div\": \"\xFF\"}}");
  EXPECT_EQ(loaded_over_defaults().lowcut_freq_hz, 90.0f);

  // Readable but malformed: no profile at all, the home copy is not tried.
  put(work_file, "{\"dsp_params\": ");
  DspParams none = dsp_params_default();
  EXPECT_EQ(load_saved_voice_profile(none), std::nullopt);
  EXPECT_EQ(none, dsp_params_default());
}

TEST_F(SavedVoiceProfileFiles, WithoutAHomeOnlyTheWorkingFolderCounts) {
  put(home_file, profile_text({{"lowcut_freq_hz", 90.0}}));
  test::ScopedEnv no_home("HOME", std::nullopt);
  EXPECT_EQ(saved_voice_profile_paths(),
            std::vector<fs::path>{"recordings/Tunewerk_Saved_VoiceProfile.json"});
  EXPECT_EQ(loaded_over_defaults(), dsp_params_default());

  test::ScopedEnv profile("USERPROFILE", folders.home.string());
  EXPECT_EQ(loaded_over_defaults().lowcut_freq_hz, 90.0f);

  // Nothing is written without a home, unless the working copy exists.
  test::ScopedEnv none("USERPROFILE", std::nullopt);
  fs::remove(home_file);
  write_saved_voice_profile(dsp_params_default(), voice_cal_default_state());
  EXPECT_FALSE(fs::exists(home_file));
  EXPECT_FALSE(fs::exists(work_file));
}

TEST_F(SavedVoiceProfileFiles, WhatIsSavedIsWhatLoads) {
  DspParams p = dsp_params_default();
  p.lowcut_freq_hz = 93.0f;
  write_saved_voice_profile(p, voice_cal_default_state());
  EXPECT_EQ(test::read_text(home_file), saved_voice_profile_text(p, voice_cal_default_state()));
  EXPECT_FALSE(fs::exists(work_file));  // not created when absent
  EXPECT_EQ(loaded_over_defaults().lowcut_freq_hz, 93.0f);

  // An old working copy is read first, so the save replaces it too.
  put(work_file, profile_text({{"lowcut_freq_hz", 80.0}}));
  p.lowcut_freq_hz = 91.0f;
  write_saved_voice_profile(p, voice_cal_default_state());
  EXPECT_EQ(loaded_over_defaults().lowcut_freq_hz, 91.0f);
  EXPECT_EQ(test::read_text(work_file), test::read_text(home_file));
  EXPECT_EQ(names_in(home_file.parent_path()), std::vector<std::string>{"Tunewerk_Saved_VoiceProfile.json"});
  EXPECT_EQ(names_in(work_file.parent_path()), std::vector<std::string>{"Tunewerk_Saved_VoiceProfile.json"});
}

// A write cut short (here by a file-size limit) leaves the good file as it was
// and no temporary behind.
TEST_F(SavedVoiceProfileFiles, FailedWriteKeepsTheGoodFile) {
  DspParams p = dsp_params_default();
  p.lowcut_freq_hz = 93.0f;
  write_saved_voice_profile(p, voice_cal_default_state());
  const std::string good = test::read_text(home_file);
  ASSERT_GT(good.size(), 1024u);

  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = old;
  small.rlim_cur = 1024;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  p.lowcut_freq_hz = 80.0f;
  write_saved_voice_profile(p, voice_cal_default_state());
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, old_handler);

  EXPECT_EQ(test::read_text(home_file), good);
  EXPECT_EQ(names_in(home_file.parent_path()), std::vector<std::string>{"Tunewerk_Saved_VoiceProfile.json"});
  EXPECT_EQ(loaded_over_defaults().lowcut_freq_hz, 93.0f);
}

}  // namespace
}  // namespace melodara
