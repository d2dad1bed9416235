// The vocal-parameter edits of the built service, driven over stdin/stdout:
// presets, reverb modes, audio-chain modes, voice profiles and parameter sets.
// Each table case first moves every field a group may touch to a marker value,
// then checks the whole parameter record: the group's fields changed, nothing else.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "core/json_writer.h"
#include "service_process.h"

namespace melodara {
namespace {

using testing::ServiceProcess;

// A float parameter as the service writes it: the nearest float, widened.
Json f(double value) { return Json(static_cast<double>(static_cast<float>(value))); }

Json overlay(Json base, const Json& changes) {
  for (const auto& [key, value] : changes.items()) base[key] = value;
  return base;
}

class DspEdits : public ::testing::Test {
 protected:
  ServiceProcess service;

  // The result of a request that must succeed.
  Json call(const std::string& operation, const Json& payload = nullptr) {
    return service.call(operation, payload);
  }
  Json status() { return call("audio.status"); }
  Json params() { return call("tunewerk.dsp.get")["params"]; }
  std::uint64_t revision() { return status()["audioRevision"].get<std::uint64_t>(); }

  // Runs an edit, checks that it answers the DSP snapshot and moves the audio
  // revision by `step`, and returns the snapshot.
  Json edit(const std::string& operation, const Json& payload, std::uint64_t step = 1) {
    const std::uint64_t before = revision();
    Json snapshot = call(operation, payload);
    EXPECT_EQ(revision(), before + step) << operation << " " << payload.dump();
    EXPECT_EQ(snapshot.size(), 39u) << operation;
    EXPECT_EQ(snapshot["params"], params()) << operation;
    return snapshot;
  }
};

void expect_params(const Json& actual, const Json& expected, const std::string& context) {
  EXPECT_TRUE(actual == expected) << context << ": " << Json::diff(expected, actual).dump();
}

// Every field a preset, reverb mode, audio chain or voice profile may touch, at
// a value none of them writes (within the ranges a set keeps).
const Json kMarker = {
    {"dj_fx_stop", true},
    {"dj_fx_vocal", true},
    {"reverse_reverb_enabled", true},
    {"beat_gate_enabled", true},
    {"reverb_low_gain_db", -1.0},
    {"reverb_mid_gain_db", 0.25},
    {"reverb_high_gain_db", 0.0},
    {"reverb_damping", 0.3},
    {"delay_hp_hz", 300.0},
    {"delay_lp_hz", 6000.0},
    {"delay_ping_pong", true},
    {"delay_auto_duck", false},
    {"delay_auto_sens", 0.5},
    {"tc_rbass_enabled", false},
    {"tc_pultronic_enabled", false},
    {"tc_remix_flanger", true},
    {"tc_lofi_radio", true},
    {"tc_vitamin_enabled", false},
    {"imager_enabled", false},
    {"stereo_width_pct", 110.0},
    {"dan_ca_mode", true},
    {"pk_mode_ducking", true},
    {"tc_mute_all_sends", true},
    {"ducker_enabled", true},
    {"duck_amount_db", 5.0},
    {"retune_speed", 0.11},
    {"humanize_pct", 0.12},
    {"flex_tune_pct", 0.13},
    {"reverb_enabled", true},
    {"reverb_bpm_sync", false},
    {"reverb_volume", 0.2},
    {"reverb_room_size", 0.5},
    {"reverb_predelay_ms", 40.0},
    {"air_gain_db", 3.3},
    {"doubler_mix", 0.5},
    {"delay_enabled", true},
    {"delay_note_div", "1/4T"},
    {"delay_mix", 0.3},
    {"delay_feedback", 0.4},
    {"ngan_giong_vibrato", false},
    {"tc_rbass_intensity", 0.31},
    {"tc_pultronic_drive", 0.33},
    {"tc_vang_dai_level", 0.35},
    {"tc_vang_ngan_level", 0.37},
    {"tc_delay_level", 0.39},
    {"tc_vitamin_punch", 0.41},
    {"audio_chain_mode", 7},
    {"tc_voice_profile", 3},
    {"tc_formant_scale", 0.8},
    {"mic_input_trim_db", 3.0},
    {"tc_rbass_freq_hz", 130.0},
    {"lowcut_freq_hz", 120.0},
    {"eq_low_db", 1.0},
    {"eq_mid_db", -1.0},
    {"eq_high_db", 0.5},
    {"deesser_amount", 0.3},
    {"mic_corr_eq_db", {1.0, -1.0, 1.0, -1.0, 1.0, -1.0}},
    {"vocal_gain", 1.25},
    {"beat_volume", 0.5},
};

// ---- presets ----

const Json kPresetReset = {
    {"dj_fx_stop", false},           {"dj_fx_vocal", false},          {"reverse_reverb_enabled", false},
    {"beat_gate_enabled", false},    {"reverb_low_gain_db", f(-2.0)}, {"reverb_mid_gain_db", f(0.0)},
    {"reverb_high_gain_db", f(0.5)}, {"reverb_damping", f(0.28)},     {"delay_hp_hz", f(240.0)},
    {"delay_lp_hz", f(5200.0)},      {"delay_ping_pong", false},      {"delay_auto_duck", true},
    {"delay_auto_sens", f(0.65)},    {"tc_rbass_enabled", true},      {"tc_pultronic_enabled", true},
    {"tc_remix_flanger", false},     {"tc_lofi_radio", false},        {"tc_vitamin_enabled", true},
    {"imager_enabled", true},        {"stereo_width_pct", f(102.0)},
};

// The fields the four full groups set alike in kind; values per group.
Json full_group(bool dan_ca, bool ducker, double retune, double humanize, double flex, bool bpm_sync,
                double volume, double room, double predelay, const char* division, double feedback,
                bool vibrato, double rbass, double pultronic, double vang_dai, double vang_ngan,
                double vitamin) {
  return {{"dan_ca_mode", dan_ca},
          {"pk_mode_ducking", false},
          {"tc_mute_all_sends", false},
          {"ducker_enabled", ducker},
          {"retune_speed", f(retune)},
          {"humanize_pct", f(humanize)},
          {"flex_tune_pct", f(flex)},
          {"reverb_enabled", true},
          {"reverb_bpm_sync", bpm_sync},
          {"reverb_volume", f(volume)},
          {"reverb_room_size", f(room)},
          {"reverb_predelay_ms", f(predelay)},
          {"delay_enabled", false},
          {"delay_note_div", division},
          {"delay_mix", f(0.0)},
          {"delay_feedback", f(feedback)},
          {"ngan_giong_vibrato", vibrato},
          {"tc_rbass_intensity", f(rbass)},
          {"tc_pultronic_drive", f(pultronic)},
          {"tc_vang_dai_level", f(vang_dai)},
          {"tc_vang_ngan_level", f(vang_ngan)},
          {"tc_delay_level", f(0.0)},
          {"tc_vitamin_punch", f(vitamin)}};
}

const Json kRnB = overlay(full_group(false, false, 0.78, 0.3, 0.2, true, 0.62, 0.6, 20.0, "1/8D", 0.1, true,
                                     0.24, 0.26, 0.54, 0.48, 0.45),
                          {{"air_gain_db", f(2.6)}, {"doubler_mix", f(0.12)}});
const Json kRemix = overlay(full_group(false, true, 0.92, 0.15, 0.08, true, 0.58, 0.58, 18.0, "1/8D", 0.1,
                                       false, 0.26, 0.26, 0.5, 0.44, 0.5),
                            {{"duck_amount_db", f(1.8)}, {"stereo_width_pct", f(108.0)}});
const Json kBolero = full_group(true, false, 0.55, 0.45, 0.35, true, 0.68, 0.66, 22.0, "1/8", 0.12, true,
                                0.28, 0.28, 0.58, 0.46, 0.42);
const Json kPk = {{"dan_ca_mode", false},     {"pk_mode_ducking", true},   {"tc_mute_all_sends", true},
                  {"ducker_enabled", true},   {"duck_amount_db", f(12.0)}, {"reverb_enabled", false},
                  {"reverb_volume", f(0.08)}, {"delay_enabled", false},    {"ngan_giong_vibrato", false}};
const Json kPop = full_group(false, false, 0.85, 0.2, 0.0, false, 0.65, 0.62, 20.0, "1/8", 0.1, true, 0.26,
                             0.24, 0.56, 0.48, 0.45);

TEST_F(DspEdits, PresetsByNameAndAlias) {
  struct Case {
    std::string text;
    const Json& group;
  };
  const Case cases[] = {
      {"R&B", kRnB},       {"rnb", kRnB},          {"R&B / Indie Chill", kRnB},
      {"Remix", kRemix},   {"remix", kRemix},      {"VinaHouse / Remix", kRemix},
      {"Bolero", kBolero}, {"bolero", kBolero},    {"Trữ Tình Bolero", kBolero},
      {"PK / MC", kPk},    {"mc_pk", kPk},         {"Pop Ballad", kPop},
      {"", kPop},          {"r&b", kPop},          {"RnB", kPop},
      {"PK / MC ", kPop},  {"Bolero Remix", kPop},
  };
  for (const Case& c : cases) {
    const Json before = call("tunewerk.dsp.set", kMarker)["params"];
    const Json snapshot = edit("tunewerk.dsp.preset", {{"preset", c.text}});
    EXPECT_EQ(snapshot["presetId"], c.text);
    const Json expected = overlay(overlay(before, kPresetReset), c.group);
    expect_params(snapshot["params"], expected, "preset \"" + c.text + "\"");
    // The mixer follows the levels.
    const Json mixer = status()["mixer"];
    EXPECT_EQ(mixer["micGain"], expected["vocal_gain"]) << c.text;
    EXPECT_EQ(mixer["musicGain"], expected["beat_volume"]) << c.text;
  }
}

TEST_F(DspEdits, PresetKeepsWhatItsGroupLeavesAndClampsTheMixerMirror) {
  edit("tunewerk.dsp.preset", {{"preset", "R&B"}});
  const Json pk = edit("tunewerk.dsp.preset", {{"preset", "PK / MC"}})["params"];
  // Autotune, room, delay division and colour stay as the R&B preset left them.
  EXPECT_EQ(pk["retune_speed"], f(0.78));
  EXPECT_EQ(pk["flex_tune_pct"], f(0.2));
  EXPECT_EQ(pk["air_gain_db"], f(2.6));
  EXPECT_EQ(pk["reverb_room_size"], f(0.6));
  EXPECT_EQ(pk["delay_note_div"], "1/8D");
  EXPECT_EQ(pk["reverb_bpm_sync"], true);
  EXPECT_EQ(pk["reverb_enabled"], false);
  EXPECT_EQ(pk["tc_mute_all_sends"], true);

  // Levels beyond the mixer's range stay in the parameters but not in the mixer.
  edit("tunewerk.dsp.set", {{"vocal_gain", 3.5}, {"beat_volume", -1.0}});
  const Json after = edit("tunewerk.dsp.preset", {{"preset", "Pop Ballad"}});
  EXPECT_EQ(after["params"]["vocal_gain"], f(3.5));
  EXPECT_EQ(after["params"]["beat_volume"], f(-1.0));
  const Json mixer = status()["mixer"];
  EXPECT_EQ(mixer["micGain"], f(2.0));
  EXPECT_EQ(mixer["musicGain"], f(0.0));
  EXPECT_EQ(after["mic_gain"], f(2.0));
}

// ---- reverb modes ----

const Json kReverbReset = {
    {"reverb_low_gain_db", f(-1.5)}, {"reverb_mid_gain_db", f(0.5)}, {"reverb_high_gain_db", f(1.0)},
    {"reverb_damping", f(0.22)},     {"delay_hp_hz", f(240.0)},      {"delay_lp_hz", f(5200.0)},
    {"delay_ping_pong", false},      {"delay_auto_duck", true},      {"delay_auto_sens", f(0.65)},
    {"delay_enabled", false},        {"tc_delay_level", f(0.0)}};

Json reverb_group(double volume, double room, double predelay, double feedback, double vang_dai,
                  double vang_ngan) {
  return {{"reverb_enabled", true},
          {"tc_mute_all_sends", false},
          {"reverb_volume", f(volume)},
          {"reverb_room_size", f(room)},
          {"reverb_predelay_ms", f(predelay)},
          {"delay_note_div", "1/8"},
          {"delay_feedback", f(feedback)},
          {"tc_vang_dai_level", f(vang_dai)},
          {"tc_vang_ngan_level", f(vang_ngan)}};
}

const Json kOff = {{"reverb_enabled", false},
                   {"tc_mute_all_sends", true},
                   {"reverb_volume", f(0.0)},
                   {"tc_vang_dai_level", f(0.0)},
                   {"tc_vang_ngan_level", f(0.0)}};
const Json kRoom = reverb_group(0.45, 0.52, 16.0, 0.08, 0.34, 0.48);
const Json kPlate = reverb_group(0.6, 0.58, 18.0, 0.1, 0.52, 0.48);
const Json kDeep = reverb_group(0.7, 0.68, 24.0, 0.12, 0.62, 0.5);
const Json kHall = reverb_group(0.65, 0.62, 20.0, 0.1, 0.56, 0.48);

TEST_F(DspEdits, ReverbModesByTextInTheirTestOrder) {
  struct Case {
    std::string text;
    const Json& group;
  };
  const Case cases[] = {
      {"off", kOff},
      {"dry", kOff},
      {"1-Tắt Vang", kOff},
      {"1-Tắt Vang (Dry)", kOff},
      {"room", kRoom},
      {"2-RAP", kRoom},
      {"2-RAP Room", kRoom},
      {"Live PodCast", kRoom},
      {"Karaoke PodCast", kRoom},  // the room's test comes before the plate's
      {"plate", kPlate},
      {"3-Vocal Reverb", kPlate},
      {"3-Vocal Reverb Bolero", kPlate},  // the plate's test comes before the deep one's
      {"Karaoke", kPlate},
      {"shimmer", kDeep},
      {"cathedral", kDeep},
      {"5-Deep Reverb Long", kDeep},
      {"Vang Bolero", kDeep},
      {"hall", kHall},
      {"", kHall},
      {"Off", kHall},
      {"Room", kHall},
      {"1-Tắt", kHall},  // shorter than the prefix
      {"x 1-Tắt Vang", kHall},
      {"podcast", kHall},
      {"2-rap", kHall},
  };
  for (const Case& c : cases) {
    const Json before = call("tunewerk.dsp.set", kMarker)["params"];
    const Json mixer_before = status()["mixer"];
    const Json snapshot = edit("tunewerk.dsp.reverb-mode", {{"mode", c.text}});
    EXPECT_EQ(snapshot["reverbMode"], c.text);
    // reverb_bpm_sync and the levels are the preset's, not the reverb mode's.
    expect_params(snapshot["params"], overlay(overlay(before, kReverbReset), c.group),
                  "reverb mode \"" + c.text + "\"");
    EXPECT_EQ(status()["mixer"], mixer_before) << c.text;
  }
}

TEST_F(DspEdits, AudioChainNames) {
  struct Case {
    std::string text;
    int mode;
  };
  const Case cases[] = {{"Caldane", 0}, {"AutoVocalTools", 0}, {"Studio Warm", 0},  {"Studio Pro", 1},
                        {"", 1},        {"caldane", 1},        {"Studio Warm ", 1}, {"Studio", 1}};
  for (const Case& c : cases) {
    const Json before = call("tunewerk.dsp.set", kMarker)["params"];
    const Json snapshot = edit("tunewerk.dsp.audio-chain", {{"chain", c.text}});
    EXPECT_EQ(snapshot["audioChain"], c.text);
    expect_params(snapshot["params"], overlay(before, {{"audio_chain_mode", c.mode}}),
                  "audio chain \"" + c.text + "\"");
  }
}

// ---- voice profiles ----

Json profile_fields(int profile, double formant, double rbass_hz, double rbass, double lowcut) {
  return {{"tc_voice_profile", profile},
          {"tc_formant_scale", f(formant)},
          {"tc_rbass_enabled", true},
          {"tc_rbass_freq_hz", f(rbass_hz)},
          {"tc_rbass_intensity", f(rbass)},
          {"tc_pultronic_drive", f(0.24)},
          {"air_gain_db", f(2.2)},
          {"lowcut_freq_hz", f(lowcut)},
          {"eq_low_db", f(0.0)},
          {"eq_mid_db", f(0.0)},
          {"eq_high_db", f(0.0)},
          {"deesser_amount", f(0.55)},
          {"tc_vang_ngan_level", f(0.48)},
          {"mic_corr_eq_db", {f(0.0), f(0.0), f(0.0), f(0.0), f(0.0), f(0.0)}}};
}

const Json kFemale = profile_fields(0, 1.0, 115.0, 0.24, 95.0);
const Json kDefault = overlay(profile_fields(1, 0.96, 110.0, 0.26, 88.0), {{"mic_input_trim_db", f(0.0)}});
const Json kMale = profile_fields(2, 0.9, 110.0, 0.24, 86.0);
const Json kSaved = Json::object();  // no saved profile in the test's home

TEST_F(DspEdits, VoiceProfilesByLabelWithCaseSensitiveFallback) {
  struct Case {
    std::string text;
    const Json& group;
    const char* label;
  };
  const Case cases[] = {
      {"nu", kFemale, "Giong Nu"},       {"alto", kFemale, "Giong Nu"},     {"female", kFemale, "Giong Nu"},
      {"nu_tram", kFemale, "Giong Nu"},  {"Giong Nu", kFemale, "Giong Nu"}, {"Default", kDefault, "Default"},
      {"default", kDefault, "Default"},  {"My Vocal", kSaved, "My Vocal"},  {"my_vocal", kSaved, "My Vocal"},
      {"Giong Nam", kMale, "Giong Nam"}, {"male", kMale, "Giong Nam"},      {"Nu", kMale, "Giong Nam"},
      {"my vocal", kMale, "Giong Nam"},  {"DEFAULT", kMale, "Giong Nam"},   {"", kMale, "Giong Nam"},
      {"Female", kMale, "Giong Nam"},
  };
  for (const Case& c : cases) {
    const Json before = call("tunewerk.dsp.set", kMarker)["params"];
    const Json snapshot = edit("tunewerk.dsp.voice-profile", {{"profile", c.text}});
    EXPECT_EQ(snapshot["voiceProfile"], c.label) << c.text;
    expect_params(snapshot["params"], overlay(before, c.group), "voice profile \"" + c.text + "\"");
  }
}

// ---- the word operations without a word ----

TEST_F(DspEdits, AbsentOrWrongTypedWordChangesNothing) {
  call("tunewerk.dsp.set", kMarker);
  const Json before = call("tunewerk.dsp.get");
  struct Case {
    const char* operation;
    Json payload;
  };
  const Case cases[] = {
      {"tunewerk.dsp.preset", {{"preset", 5}}},
      {"tunewerk.dsp.preset", {{"id", "R&B"}}},
      {"tunewerk.dsp.reverb-mode", {{"mode", nullptr}}},
      {"tunewerk.dsp.reverb-mode", Json::array({"off"})},
      {"tunewerk.dsp.audio-chain", nullptr},
      {"tunewerk.dsp.audio-chain", {{"chain", true}}},
      {"tunewerk.dsp.voice-profile", {{"profile", Json::array({"Giong Nu"})}}},
      {"tunewerk.dsp.voice-profile", "Giong Nu"},
  };
  for (const Case& c : cases) {
    const Json snapshot = edit(c.operation, c.payload, 0);
    expect_params(snapshot["params"], before["params"], std::string(c.operation) + " " + c.payload.dump());
    for (const char* key : {"presetId", "reverbMode", "audioChain", "voiceProfile"})
      EXPECT_EQ(snapshot[key], before[key]) << c.operation << " " << key;
  }
}

// ---- parameter sets ----

TEST_F(DspEdits, SetKeepsValuesInRange) {
  constexpr double kFloatMax = std::numeric_limits<float>::max();
  struct Case {
    Json payload;
    Json changes;  // what the record shows afterwards, beyond what it held before
  };
  const Case cases[] = {
      // Pre-delay within 2..90 ms; the window around 111.1 ms lies outside it.
      {{{"reverb_predelay_ms", 111.5}}, {{"reverb_predelay_ms", f(20.0)}}},
      {{{"reverb_predelay_ms", 112.5}}, {{"reverb_predelay_ms", f(20.0)}}},
      {{{"reverb_predelay_ms", 109.5}}, {{"reverb_predelay_ms", f(20.0)}}},
      {{{"reverb_predelay_ms", 90.0}}, {{"reverb_predelay_ms", f(90.0)}}},
      {{{"reverb_predelay_ms", 2.0}}, {{"reverb_predelay_ms", f(2.0)}}},
      {{{"reverb_predelay_ms", 90.5}}, {{"reverb_predelay_ms", f(20.0)}}},
      {{{"reverb_predelay_ms", 1.9}}, {{"reverb_predelay_ms", f(20.0)}}},
      // Reverb tone: any one test resets all four fields.
      {{{"reverb_low_gain_db", 0.5}, {"reverb_mid_gain_db", 1.0}, {"reverb_high_gain_db", 2.0}},
       {{"reverb_low_gain_db", f(-2.0)},
        {"reverb_mid_gain_db", f(0.0)},
        {"reverb_high_gain_db", f(0.5)},
        {"reverb_damping", f(0.28)}}},
      {{{"reverb_low_gain_db", 0.0},
        {"reverb_mid_gain_db", 1.0},
        {"reverb_high_gain_db", -1.5},
        {"reverb_damping", 0.45}},
       {{"reverb_low_gain_db", f(0.0)},
        {"reverb_mid_gain_db", f(1.0)},
        {"reverb_high_gain_db", f(-1.5)},
        {"reverb_damping", f(0.45)}}},
      {{{"reverb_high_gain_db", -1.6}},
       {{"reverb_low_gain_db", f(-2.0)},
        {"reverb_mid_gain_db", f(0.0)},
        {"reverb_high_gain_db", f(0.5)},
        {"reverb_damping", f(0.28)}}},
      {{{"reverb_damping", 0.46}, {"reverb_mid_gain_db", 1.0}},
       {{"reverb_mid_gain_db", f(0.0)}, {"reverb_damping", f(0.28)}}},
      // Delay filters.
      {{{"delay_hp_hz", 300.0}, {"delay_lp_hz", 1500.0}},
       {{"delay_hp_hz", f(240.0)}, {"delay_lp_hz", f(5200.0)}}},
      {{{"delay_hp_hz", 139.0}, {"delay_lp_hz", 9000.0}},
       {{"delay_hp_hz", f(240.0)}, {"delay_lp_hz", f(5200.0)}}},
      {{{"delay_hp_hz", 140.0}, {"delay_lp_hz", 2000.0}},
       {{"delay_hp_hz", f(140.0)}, {"delay_lp_hz", f(2000.0)}}},
      // Limiter threshold, with its peak and vox stages.
      {{{"tc_l2_thresh_db", -1.0}, {"tc_cla3a_peak_red", 6.0}, {"tc_rvox_comp_db", -6.0}},
       {{"tc_l2_thresh_db", f(-4.2)}, {"tc_cla3a_peak_red", f(5.1)}, {"tc_rvox_comp_db", f(-8.0)}}},
      {{{"tc_l2_thresh_db", -2.0}, {"tc_cla3a_peak_red", 6.0}, {"tc_rvox_comp_db", -6.0}},
       {{"tc_l2_thresh_db", f(-2.0)}, {"tc_cla3a_peak_red", f(6.0)}, {"tc_rvox_comp_db", f(-6.0)}}},
      // Stereo width, with the imager.
      {{{"stereo_width_pct", 130.0}, {"imager_enabled", false}},
       {{"stereo_width_pct", f(102.0)}, {"imager_enabled", true}}},
      {{{"stereo_width_pct", 94.5}, {"imager_enabled", false}},
       {{"stereo_width_pct", f(102.0)}, {"imager_enabled", true}}},
      {{{"stereo_width_pct", 95.0}, {"imager_enabled", false}},
       {{"stereo_width_pct", f(95.0)}, {"imager_enabled", false}}},
      {{{"stereo_width_pct", 115.0}}, {{"stereo_width_pct", f(115.0)}}},
      // Input trim and correction bands.
      {{{"mic_input_trim_db", 20.0}}, {{"mic_input_trim_db", f(12.0)}}},
      {{{"mic_input_trim_db", -20.0}}, {{"mic_input_trim_db", f(-12.0)}}},
      {{{"mic_input_trim_db", 5.5}}, {{"mic_input_trim_db", f(5.5)}}},
      {{{"mic_corr_eq_db", {9, -9, 4.5, -4.5, 1, 0}}},
       {{"mic_corr_eq_db", {f(4.5), f(-4.5), f(4.5), f(-4.5), f(1.0), f(0.0)}}}},
      // The key the host sees is the key the voice is corrected to.
      {{{"root_key", 14}}, {{"root_key", 11}}},
      {{{"root_key", std::numeric_limits<std::uint64_t>::max()}}, {{"root_key", 11}}},
      {{{"root_key", 7}}, {{"root_key", 7}}},
      // Gains the stages apply without bounds.
      {{{"comp_makeup_db", 1e30}}, {{"comp_makeup_db", f(24.0)}}},
      {{{"comp_makeup_db", -1e30}}, {{"comp_makeup_db", f(-24.0)}}},
      {{{"comp_makeup_db", 6.0}}, {{"comp_makeup_db", f(6.0)}}},
      {{{"reverse_reverb_mix", 5.0}}, {{"reverse_reverb_mix", f(1.0)}}},
      {{{"reverse_reverb_mix", -1.0}}, {{"reverse_reverb_mix", f(0.0)}}},
      {{{"reverse_reverb_mix", 0.4}}, {{"reverse_reverb_mix", f(0.4)}}},
      // The float boundary: the largest float as the host writes it reads; an
      // infinity never enters.
      {{{"autodj_filter_cutoff_hz", 3.4028235e38}}, {{"autodj_filter_cutoff_hz", kFloatMax}}},
      {{{"autodj_filter_cutoff_hz", 1e39}, {"reverb_volume", 0.1}}, Json::object()},
      {{{"autodj_filter_cutoff_hz", 12000.0}}, {{"autodj_filter_cutoff_hz", f(12000.0)}}},
      {{{"bpm", -1e39}, {"reverb_volume", 0.1}}, Json::object()},
      // All or nothing: a wrong-typed member, a null (never a reset to the
      // default) or an array of the wrong length changes no field.
      {{{"reverb_volume", 0.1}, {"delay_enabled", 1}}, Json::object()},
      {{{"reverb_volume", 0.1}, {"reverb_damping", nullptr}}, Json::object()},
      {{{"reverb_volume", 0.1}, {"delay_note_div", nullptr}}, Json::object()},
      {{{"reverb_volume", 0.1}, {"harmony_gains", {1, 2, 3}}}, Json::object()},
      {{{"reverb_volume", 0.1}, {"audio_chain_mode", 1.0}}, Json::object()},
      // A payload that is not an object is not the array form of the record.
      {Json::array({0.1, 0.2, 0.3}), Json::object()},
      {"reverb_volume", Json::object()},
      // Unknown keys travel along and are ignored.
      {{{"reverb_volume", 0.1}, {"no_such_key", nullptr}, {"manual_scale_override", false}},
       {{"reverb_volume", f(0.1)}}},
  };
  for (const Case& c : cases) {
    const Json before = params();
    const Json snapshot = edit("tunewerk.dsp.set", c.payload);
    expect_params(snapshot["params"], overlay(before, c.changes), "set " + c.payload.dump());
  }
}

// Guards against the start-up warm-up leaving flush-to-zero on the main thread
// (and so on every thread started after it): a tiny value read back as 0.
TEST_F(DspEdits, ADenormalValueReadsBackAsSet) {
  const Json after = call("tunewerk.dsp.set", {{"delay_mix", 1e-40}})["params"];
  EXPECT_EQ(after["delay_mix"], f(1e-40));
  EXPECT_NE(after["delay_mix"].get<double>(), 0.0);
  EXPECT_EQ(params()["delay_mix"], f(1e-40));
}

TEST_F(DspEdits, SetKeepsMixerAndLevelsInStep) {
  Json s = edit("tunewerk.dsp.set", {{"vocal_gain", 3.5}, {"beat_volume", -0.5}});
  EXPECT_EQ(s["params"]["vocal_gain"], f(3.5));
  EXPECT_EQ(s["params"]["beat_volume"], f(-0.5));
  EXPECT_EQ(s["mic_gain"], f(2.0));
  EXPECT_EQ(status()["mixer"]["musicGain"], f(0.0));

  // A level given as a text counts as absent: the read fails, and the mixer's
  // levels are still copied into the parameters.
  s = edit("tunewerk.dsp.set", {{"vocal_gain", "loud"}, {"reverb_volume", 0.1}});
  EXPECT_EQ(s["params"]["vocal_gain"], f(2.0));
  EXPECT_EQ(s["params"]["beat_volume"], f(0.0));
  EXPECT_EQ(s["params"]["reverb_volume"], f(0.65));

  s = edit("tunewerk.dsp.set", {{"vocal_gain", 1.5}});
  EXPECT_EQ(s["params"]["vocal_gain"], f(1.5));
  EXPECT_EQ(s["mic_gain"], f(1.5));

  call("audio.set-mixer", {{"micGain", 0.5}, {"musicGain", 0.25}});
  s = edit("tunewerk.dsp.set", Json::object());
  EXPECT_EQ(s["params"]["vocal_gain"], f(0.5));
  EXPECT_EQ(s["params"]["beat_volume"], f(0.25));
}

TEST_F(DspEdits, SetWithRoutingModeStoresItAndMovesTheRevisionForEach) {
  Json s = edit("tunewerk.dsp.set", {{"routingMode", "raw"}, {"reverb_volume", 0.3}}, 2);
  EXPECT_EQ(s["routingMode"], "raw-mic");
  EXPECT_EQ(s["params"]["reverb_volume"], f(0.3));
  EXPECT_FALSE(s["params"].contains("routingMode"));
  s = edit("tunewerk.dsp.set", {{"routingMode", 5}, {"reverb_volume", 0.4}});
  EXPECT_EQ(s["routingMode"], "raw-mic");
  EXPECT_EQ(s["params"]["reverb_volume"], f(0.4));
}

TEST_F(DspEdits, KeyFollowUp) {
  const auto player_key = [&] { return call("player.status")["detectedKeyName"]; };
  struct Case {
    const char* label;
    Json payload;
    std::uint64_t root;
    bool minor;
    Json player_key;  // afterwards
  };
  const Case cases[] = {
      // No track key yet: the payload's key stands.
      {"no track key", {{"root_key", 0}, {"scale_is_minor", false}}, 0, false, nullptr},
      // A manual key becomes the player's key.
      {"manual A minor",
       {{"root_key", 9}, {"scale_is_minor", true}, {"manual_scale_override", true}},
       9,
       true,
       "Am"},
      // Now the track's key overrides the payload's.
      {"track key wins", {{"root_key", 0}, {"scale_is_minor", false}}, 9, true, "Am"},
      {"manual C major",
       {{"root_key", 0}, {"scale_is_minor", false}, {"manual_scale_override", true}},
       0,
       false,
       "C"},
      // Only the JSON value true is manual.
      {"override as text", {{"root_key", 4}, {"manual_scale_override", "true"}}, 0, false, "C"},
      {"manual root past B",
       {{"root_key", 14}, {"scale_is_minor", true}, {"manual_scale_override", true}},
       11,
       true,
       "Bm"},
      // Without sending the key to the autotune the payload's key stands.
      {"not sent to autotune", {{"send_key_to_autotune", false}, {"root_key", 7}}, 7, true, "Bm"},
  };
  for (const Case& c : cases) {
    const Json p = edit("tunewerk.dsp.set", c.payload)["params"];
    EXPECT_EQ(p["root_key"], c.root) << c.label;
    EXPECT_EQ(p["scale_is_minor"], c.minor) << c.label;
    EXPECT_EQ(player_key(), c.player_key) << c.label;
  }
}

}  // namespace
}  // namespace melodara
