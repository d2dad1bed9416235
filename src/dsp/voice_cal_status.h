#pragma once
// The voice-calibration state and result record, its default and its JSON form.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace melodara {

struct VoiceCalStatus {
  bool active = false;
  bool completed = false;
  float target_voice_sec = 1.8f;
  float accumulated_voice_sec = 0.0f;
  float total_elapsed_sec = 0.0f;
  bool speaking_now = false;
  float voice_gate_thresh_db = -50.0f;
  float avg_f0_hz = 0.0f;
  float min_f0_hz = 999.0f;
  float max_f0_hz = 0.0f;
  float avg_speech_rms_db = -36.0f;
  float peak_speech_db = -60.0f;
  float avg_noise_floor_db = -58.0f;
  float sibilance_ratio = 0.12f;
  std::array<float, 6> band_energy_acc{1e-6f, 1e-6f, 1e-6f, 1e-6f, 1e-6f, 1e-6f};
  std::array<float, 6> band_pct{16.6f, 16.6f, 16.6f, 16.6f, 16.6f, 16.6f};
  std::uint32_t voice_frames = 0;
  std::uint32_t noise_frames = 0;
  std::string detected_gender = "Chưa đo";
  std::string detected_timbre = "Đang chờ giọng nói...";
  std::string recommended_profile = "Default";
  std::string recommendation_summary =
      "Chỉ cần alo hoặc hát thử 1-2 câu ngắn (~2 giây) để AI bắt bệnh mic và cân chỉnh tự động.";

  // Not written to JSON.
  std::vector<float> pitch_samples;  // every accepted pitch of the run, kept in ascending order
  // What the start switched off, to put back at the end.
  bool saved_reverb_enabled = true;
  bool saved_delay_enabled = true;
  bool saved_autotune_enabled = true;
  bool saved_ngan_giong_vibrato = false;
  bool saved_chong_be_harmony = false;
  bool saved_tc_mute_all_sends = false;
  float saved_mic_input_trim_db = 0.0f;
  std::array<float, 6> saved_mic_corr_eq_db{};
};

// The state before any calibration. Thread: any. Allocates: yes. Blocks: no.
VoiceCalStatus voice_cal_default_state();

// The 22 written keys; floats widened, non-finite as null. Thread: any. Allocates: yes.
nlohmann::json voice_cal_status_to_json(const VoiceCalStatus& status);

}  // namespace melodara
