#include "dsp/saved_voice_profile.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>
#include <system_error>

#include "core/env_paths.h"
#include "core/file_io.h"
#include "core/json_values.h"
#include "core/json_writer.h"
#include "core/stale_temps.h"
#include "core/utf8.h"
#include "dsp/param_ranges.h"

namespace melodara {
namespace {

namespace fs = std::filesystem;

fs::path working_copy_path() { return fs::path("recordings") / kSavedVoiceProfileFile; }

std::optional<fs::path> home_folder_dir() {
  const std::optional<std::string> home = home_folder();
  if (!home) return std::nullopt;
  return fs::path(*home) / ".config" / "Melodara";
}

std::span<const std::uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

std::vector<fs::path> saved_voice_profile_paths() {
  std::vector<fs::path> paths{working_copy_path()};
  if (auto dir = home_folder_dir()) paths.push_back(*dir / kSavedVoiceProfileFile);
  return paths;
}

std::size_t remove_stale_voice_profile_temporaries() {
  std::size_t removed = 0;
  for (const fs::path& path : saved_voice_profile_paths()) {
    removed += remove_stale_temporaries(path.parent_path(), [](std::string_view name) {
      return temp_name_pid_of(name, kSavedVoiceProfileFile);
    });
  }
  return removed;
}

std::string saved_voice_profile_text(const DspParams& params, const VoiceCalStatus& cal) {
  Json bands = Json::array();
  for (const float v : cal.band_pct) bands.push_back(json_f32(v));
  Json summary = Json::object();
  summary["avg_f0_hz"] = json_f32(cal.avg_f0_hz);
  summary["avg_noise_floor_db"] = json_f32(cal.avg_noise_floor_db);
  summary["avg_speech_rms_db"] = json_f32(cal.avg_speech_rms_db);
  summary["band_pct"] = std::move(bands);
  summary["detected_gender"] = cal.detected_gender;
  summary["detected_timbre"] = cal.detected_timbre;
  summary["recommendation_summary"] = cal.recommendation_summary;

  Json file = Json::object();
  file["dsp_params"] = dsp_params_to_json(params);
  file["saved_profile_id"] = kMyVocalProfile;
  file["saved_profile_label"] = kMyVocalLabel;
  file["voice_cal_summary"] = std::move(summary);
  return to_json_pretty_text(file);
}

void write_saved_voice_profile(const DspParams& params, const VoiceCalStatus& cal) {
  const std::string text = saved_voice_profile_text(params, cal);
  if (auto dir = home_folder_dir()) {
    std::error_code ec;
    fs::create_directories(*dir, ec);
    (void)write_file_replacing(*dir / kSavedVoiceProfileFile, bytes_of(text));
  }
  // The working folder's copy is read first: a save that left it behind
  // would load the old profile at the next start.
  const fs::path working = working_copy_path();
  std::error_code ec;
  if (fs::is_regular_file(working, ec)) (void)write_file_replacing(working, bytes_of(text));
}

std::optional<DspParams> parse_saved_voice_profile(std::string_view text) {
  if (text.starts_with("\xEF\xBB\xBF")) return std::nullopt;  // a byte-order mark is not JSON
  const Json value = Json::parse(text.begin(), text.end(), nullptr, false);
  if (value.is_discarded() || !value.is_object()) return std::nullopt;
  auto member = value.find("dsp_params");
  if (member == value.end()) member = value.find("params");
  if (member == value.end()) return std::nullopt;
  auto stored = dsp_params_from_json(*member);
  if (!stored) return std::nullopt;
  return *stored;
}

void switch_profile_delay_off(DspParams& p) {
  p.delay_enabled = false;
  p.delay_ping_pong = false;
  p.tc_delay_level = 0.0f;
  p.delay_mix = 0.0f;
  p.delay_feedback = 0.1f;
}

void apply_saved_voice_profile(DspParams& t, const DspParams& p) {
  t.tc_voice_profile = std::min<std::uint8_t>(p.tc_voice_profile, 3);

  t.lowcut_freq_hz = std::clamp(p.lowcut_freq_hz, 78.0f, 96.0f);
  t.eq_low_db = std::clamp(p.eq_low_db, -0.6f, 0.65f);
  t.eq_mid_db = std::clamp(p.eq_mid_db, -0.6f, 0.35f);
  t.eq_high_db = std::clamp(p.eq_high_db, -0.2f, 0.65f);

  t.tc_rbass_freq_hz = std::clamp(p.tc_rbass_freq_hz, 85.0f, 145.0f);
  t.tc_rbass_intensity = std::clamp(p.tc_rbass_intensity, 0.2f, 0.36f);
  t.tc_pultronic_drive = std::clamp(p.tc_pultronic_drive, 0.2f, 0.36f);
  t.tc_vang_dai_level = std::clamp(p.tc_vang_dai_level, 0.46f, 0.62f);
  t.tc_formant_scale = std::clamp(p.tc_formant_scale, 0.84f, 1.04f);
  t.deesser_amount = p.deesser_amount > 0.48f ? std::min(p.deesser_amount, 0.72f) : 0.55f;
  t.air_gain_db = std::clamp(p.air_gain_db, 1.5f, 2.4f);
  t.tc_vang_ngan_level = std::clamp(p.tc_vang_ngan_level, 0.4f, 0.5f);
  t.reverb_room_size = std::clamp(p.reverb_room_size, 0.54f, 0.68f);
  t.reverb_damping = std::clamp(p.reverb_damping, 0.24f, 0.36f);

  switch_profile_delay_off(t);
  t.mic_calibration_active = p.mic_calibration_active;

  // Profiles of older builds boosted the voice by a gain of 1.45 (about
  // +3.2 dB); that boost now lives in the input trim.
  float trim = p.mic_input_trim_db;
  if (std::fabs(p.vocal_gain - 1.45f) <= 0.02f) {
    t.vocal_gain = 1.0f;
    if (trim + 3.2f < 4.5f) trim += 3.2f;
  } else {
    t.vocal_gain = std::clamp(p.vocal_gain, 0.5f, 2.0f);
  }
  t.beat_volume = std::clamp(p.beat_volume, 0.55f, 0.78f);
  t.mic_input_trim_db = std::clamp(trim, -2.0f, 7.5f);
  t.denoise_gate_db = p.denoise_gate_db > -45.5f ? -54.0f : std::clamp(p.denoise_gate_db, -62.0f, -46.0f);

  static constexpr std::array<float, 6> kBandLow{-2.2f, -3.0f, -3.5f, -2.5f, -2.5f, -1.5f};
  static constexpr std::array<float, 6> kBandHigh{1.5f, 1.0f, 0.0f, 0.0f, 0.5f, 1.8f};
  for (std::size_t k = 0; k < kBandLow.size(); ++k)
    t.mic_corr_eq_db[k] = std::clamp(p.mic_corr_eq_db[k], kBandLow[k], kBandHigh[k]);

  repair_dsp_params(t);
}

std::optional<std::string> load_saved_voice_profile(DspParams& params) {
  for (const fs::path& path : saved_voice_profile_paths()) {
    const auto bytes = read_file_bytes(path);
    if (!bytes) continue;
    const std::string_view text(reinterpret_cast<const char*>(bytes->data()), bytes->size());
    if (!utf8_valid(text)) continue;
    // A readable file decides, even when it holds no usable profile.
    const auto stored = parse_saved_voice_profile(text);
    if (!stored) return std::nullopt;
    apply_saved_voice_profile(params, *stored);
    return std::string(kMyVocalProfile);
  }
  return std::nullopt;
}

}  // namespace melodara
