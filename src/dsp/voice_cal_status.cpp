#include "dsp/voice_cal_status.h"

#include "core/json_values.h"

namespace melodara {
namespace {

nlohmann::json f32_array(const std::array<float, 6>& values) {
  nlohmann::json list = nlohmann::json::array();
  for (const float v : values) list.push_back(json_f32(v));
  return list;
}

}  // namespace

VoiceCalStatus voice_cal_default_state() { return VoiceCalStatus{}; }

nlohmann::json voice_cal_status_to_json(const VoiceCalStatus& s) {
  nlohmann::json j = nlohmann::json::object();
  j["active"] = s.active;
  j["completed"] = s.completed;
  j["target_voice_sec"] = json_f32(s.target_voice_sec);
  j["accumulated_voice_sec"] = json_f32(s.accumulated_voice_sec);
  j["total_elapsed_sec"] = json_f32(s.total_elapsed_sec);
  j["speaking_now"] = s.speaking_now;
  j["voice_gate_thresh_db"] = json_f32(s.voice_gate_thresh_db);
  j["avg_f0_hz"] = json_f32(s.avg_f0_hz);
  j["min_f0_hz"] = json_f32(s.min_f0_hz);
  j["max_f0_hz"] = json_f32(s.max_f0_hz);
  j["avg_speech_rms_db"] = json_f32(s.avg_speech_rms_db);
  j["peak_speech_db"] = json_f32(s.peak_speech_db);
  j["avg_noise_floor_db"] = json_f32(s.avg_noise_floor_db);
  j["sibilance_ratio"] = json_f32(s.sibilance_ratio);
  j["band_energy_acc"] = f32_array(s.band_energy_acc);
  j["band_pct"] = f32_array(s.band_pct);
  j["voice_frames"] = s.voice_frames;
  j["noise_frames"] = s.noise_frames;
  j["detected_gender"] = s.detected_gender;
  j["detected_timbre"] = s.detected_timbre;
  j["recommended_profile"] = s.recommended_profile;
  j["recommendation_summary"] = s.recommendation_summary;
  return j;
}

}  // namespace melodara
