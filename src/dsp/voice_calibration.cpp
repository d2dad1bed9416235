#include "dsp/voice_calibration.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "dsp/dsp_math.h"
#include "dsp/saved_voice_profile.h"

namespace melodara {
namespace {

constexpr float kBlockSec = 128.0f / 48000.0f;
// A voiced block counts 1.45 block times: two seconds of talk with pauses fill it.
constexpr float kVoicedBlockSec = 0.0038666667f;

// A run ends after at most about 470 voiced blocks (1.8 s of weighted voice),
// each adding at most one pitch sample.
constexpr std::size_t kMaxPitchSamples = 1024;
constexpr std::size_t kGenderRoom = 256;
constexpr std::size_t kTimbreRoom = 512;
constexpr std::size_t kSummaryRoom = 1024;

struct BandDesign {
  double centre_hz;
  double q;
};
constexpr std::array<BandDesign, kVoiceCalBands> kBandDesigns{
    {{110.0, 1.2}, {300.0, 1.4}, {650.0, 1.4}, {1600.0, 1.4}, {3200.0, 1.4}, {10000.0, 1.1}}};

using Bands = std::array<float, kVoiceCalBands>;

// Reference spectra in percent, by the low pitch.
constexpr Bands kLowVoice{18.5f, 18.5f, 25.0f, 18.0f, 9.5f, 1.6f};     // below 120 Hz
constexpr Bands kMiddleVoice{12.0f, 18.5f, 26.0f, 18.5f, 9.5f, 1.6f};  // 120 to 175 Hz
constexpr Bands kHighVoice{8.5f, 18.0f, 26.5f, 19.0f, 10.0f, 1.65f};   // 175 Hz and above

// Correction EQ per band: measured share floor, weight and limits. The two
// middle bands only ever cut.
constexpr Bands kEqFloor{1.5f, 4.0f, 8.0f, 4.0f, 1.8f, 0.28f};
constexpr Bands kEqWeight{0.68f, 0.88f, 0.88f, 0.55f, 0.5f, 0.72f};
constexpr Bands kEqLow{-2.2f, -3.0f, -3.5f, -2.5f, -2.5f, -1.5f};
constexpr Bands kEqHigh{1.2f, 0.8f, 0.0f, 0.0f, 0.5f, 1.8f};

struct VoiceType {
  std::uint8_t profile;
  std::string_view long_label;
  std::string_view short_label;
};

VoiceType voice_type_of(float low_hz) {
  if (low_hz < 132.0f) return {3, "Giọng Nam Ấm / Trầm", "Giong Nam"};
  if (low_hz < 175.0f) return {2, "Giọng Nam Trung / Cao", "Giong Nam"};
  if (low_hz < 215.0f) return {1, "Giọng Trung Ấm (Alto/Tenor)", "Giong Nu"};
  return {0, "Giọng Nữ Sáng", "Giong Nu"};
}

float gate_of(float noise_floor_db) { return clamp_f(noise_floor_db + 4.0f, -56.0f, -44.0f); }

// Appends `value` in plain decimals, rounded half to even on its exact value;
// with `sign`, zero and positive values get a "+".
void append_number(std::string& out, float value, int decimals, bool sign = false) {
  if (std::isnan(value)) {
    out += "NaN";
    return;
  }
  if (value == 0.0f) value = 0.0f;  // no "-0"
  if (sign && !(value < 0.0f)) out += '+';
  char text[64];
  const auto res = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
  out.append(text, res.ptr);
}

void reserve_texts(VoiceCalStatus& s) {
  s.pitch_samples.reserve(kMaxPitchSamples);
  s.detected_gender.reserve(kGenderRoom);
  s.detected_timbre.reserve(kTimbreRoom);
  s.recommendation_summary.reserve(kSummaryRoom);
}

}  // namespace

VoiceCalBands voice_cal_bands_new() {
  VoiceCalBands bands;
  for (std::size_t k = 0; k < kVoiceCalBands; ++k)
    bands.filters[k] = biquad_bandpass(kBandDesigns[k].centre_hz, kBandDesigns[k].q);
  return bands;
}

void voice_cal_measure_bands(VoiceCalBands& bands, bool active, std::span<const float> mic) noexcept {
  bands.energy.fill(0.0f);
  if (!active || mic.empty()) return;
  for (std::size_t k = 0; k < kVoiceCalBands; ++k) {
    Biquad& f = bands.filters[k];
    float sum = 0.0f;
    for (const float x : mic) {
      const float y = biquad_process(f, x);
      sum += y * y;
    }
    bands.energy[k] = sum / static_cast<float>(mic.size());
  }
}

float voice_cal_target_seconds(float wanted_sec) {
  if (std::isnan(wanted_sec)) return 1.8f;
  return std::clamp(wanted_sec, 1.5f, 1.8f);
}

VoiceCalStatus voice_cal_started(float wanted_sec, const DspParams& p, const VoiceCalStatus& previous) {
  VoiceCalStatus s = voice_cal_default_state();
  s.active = true;
  s.target_voice_sec = voice_cal_target_seconds(wanted_sec);
  if (previous.active) {
    s.saved_reverb_enabled = previous.saved_reverb_enabled;
    s.saved_delay_enabled = previous.saved_delay_enabled;
    s.saved_autotune_enabled = previous.saved_autotune_enabled;
    s.saved_ngan_giong_vibrato = previous.saved_ngan_giong_vibrato;
    s.saved_chong_be_harmony = previous.saved_chong_be_harmony;
    s.saved_tc_mute_all_sends = previous.saved_tc_mute_all_sends;
    s.saved_mic_input_trim_db = previous.saved_mic_input_trim_db;
    s.saved_mic_corr_eq_db = previous.saved_mic_corr_eq_db;
  } else {
    s.saved_reverb_enabled = p.reverb_enabled;
    s.saved_delay_enabled = p.delay_enabled;
    s.saved_autotune_enabled = p.autotune_enabled;
    s.saved_ngan_giong_vibrato = p.ngan_giong_vibrato;
    s.saved_chong_be_harmony = p.chong_be_harmony;
    s.saved_tc_mute_all_sends = p.tc_mute_all_sends;
    s.saved_mic_input_trim_db = p.mic_input_trim_db;
    s.saved_mic_corr_eq_db = p.mic_corr_eq_db;
  }
  reserve_texts(s);
  return s;
}

void voice_cal_quiet_params(DspParams& p) {
  p.chong_be_harmony = false;
  p.tc_mute_all_sends = true;
  p.mic_input_trim_db = 0.0f;
  p.mic_corr_eq_db.fill(0.0f);
  p.reverb_enabled = false;
  p.delay_enabled = false;
  p.autotune_enabled = false;
  p.ngan_giong_vibrato = false;
}

void voice_cal_restore_params(const VoiceCalStatus& s, DspParams& p) {
  p.reverb_enabled = s.saved_reverb_enabled;
  p.delay_enabled = s.saved_delay_enabled;
  p.autotune_enabled = s.saved_autotune_enabled;
  p.ngan_giong_vibrato = s.saved_ngan_giong_vibrato;
  p.chong_be_harmony = s.saved_chong_be_harmony;
  p.tc_mute_all_sends = s.saved_tc_mute_all_sends;
  p.mic_input_trim_db = s.saved_mic_input_trim_db;
  p.mic_corr_eq_db = s.saved_mic_corr_eq_db;
}

bool voice_cal_analyze(VoiceCalStatus& s, const VoiceCalBlock& b) noexcept {
  const float level_db = 20.0f * std::log10(b.mic_rms + 1e-7f);
  const float pitch = b.pitch_hz;
  s.total_elapsed_sec += kBlockSec;
  bool voiced;
  if (pitch > 65.0f && level_db > gate_of(s.avg_noise_floor_db)) {
    voiced = true;
  } else {
    // Loud enough counts as voice even without a clear pitch (whisper, noise-like consonants).
    voiced = level_db > -47.0f;
  }
  s.speaking_now = voiced;

  if (!voiced) {
    if (level_db < -48.0f) {
      if (s.noise_frames < std::numeric_limits<std::uint32_t>::max()) ++s.noise_frames;
      const float w = std::max(1.0f / static_cast<float>(s.noise_frames), 0.02f);
      s.avg_noise_floor_db = (1.0f - w) * s.avg_noise_floor_db + w * level_db;
      s.voice_gate_thresh_db = gate_of(s.avg_noise_floor_db);
    }
    return s.total_elapsed_sec >= 2.8f && s.accumulated_voice_sec >= 0.6f;
  }

  s.accumulated_voice_sec += kVoicedBlockSec;
  if (s.voice_frames < std::numeric_limits<std::uint32_t>::max()) ++s.voice_frames;
  const float w = std::max(1.0f / static_cast<float>(s.voice_frames), 0.015f);
  s.avg_speech_rms_db = (1.0f - w) * s.avg_speech_rms_db + w * level_db;
  if (level_db > s.peak_speech_db) s.peak_speech_db = level_db;

  // The list stays sorted, so the running median is one lookup.
  std::vector<float>& samples = s.pitch_samples;
  if (pitch > 70.0f && pitch < 450.0f && samples.size() < samples.capacity()) {
    samples.insert(std::upper_bound(samples.begin(), samples.end(), pitch), pitch);
    const std::size_t n = samples.size();
    s.avg_f0_hz = s.avg_f0_hz < 50.0f ? pitch : samples[std::min(n - 1, n / 2)];
    if (pitch < s.min_f0_hz) s.min_f0_hz = pitch;
    if (pitch > s.max_f0_hz) s.max_f0_hz = pitch;
  }

  float total = 1e-9f;
  for (std::size_t k = 0; k < kVoiceCalBands; ++k) {
    s.band_energy_acc[k] += b.band_energy[k];
    total += s.band_energy_acc[k];
  }
  for (std::size_t k = 0; k < kVoiceCalBands; ++k) s.band_pct[k] = 100.0f * s.band_energy_acc[k] / total;
  s.sibilance_ratio = clamp_f((0.35f * s.band_energy_acc[4] + s.band_energy_acc[5]) / total, 0.01f, 0.8f);

  if (samples.size() > 7 && s.accumulated_voice_sec >= 1.35f) return true;
  return s.accumulated_voice_sec >= s.target_voice_sec;
}

void voice_cal_complete(VoiceCalStatus& s, DspParams& p) {
  voice_cal_restore_params(s, p);
  s.active = false;
  s.completed = true;
  s.speaking_now = false;
  s.accumulated_voice_sec = s.target_voice_sec;

  // Pitch: the low pitch L (20th percentile) places the voice, the upper H
  // (55th) the formants.
  float low, high;
  const std::vector<float>& sorted = s.pitch_samples;
  if (const std::size_t n = sorted.size(); n > 0) {
    low = sorted[std::min(n - 1, n / 5)];
    high = max_f(low, sorted[std::min(n - 1, n * 11 / 20)]);
    s.avg_f0_hz = low;
  } else if (s.avg_f0_hz > 65.0f) {
    low = s.avg_f0_hz;
    high = std::max(165.0f, s.avg_f0_hz);
  } else {
    low = 135.0f;
    high = 175.0f;
  }

  // Levels.
  const float speech = clamp_f(s.avg_speech_rms_db, -52.0f, -6.0f);
  const float noise = clamp_f(s.avg_noise_floor_db, -75.0f, -32.0f);
  p.denoise_gate_db = clamp_f(noise + 14.0f, -60.0f, -44.0f);
  p.tc_ns1_amount = clamp_f((noise + 64.0f) / 34.0f, 0.28f, 0.55f);
  p.mic_input_trim_db = clamp_f((-17.0f - speech) * 0.48f, -2.0f, 6.8f);
  p.vocal_gain = 1.0f;

  // Correction EQ towards the reference spectrum of the voice's range.
  const Bands& ref = low < 120.0f ? kLowVoice : low < 175.0f ? kMiddleVoice : kHighVoice;
  const Bands& pct = s.band_pct;
  for (std::size_t k = 0; k < kVoiceCalBands; ++k) {
    const float db = 10.0f * std::log10(ref[k] / max_f(pct[k], kEqFloor[k])) * kEqWeight[k];
    p.mic_corr_eq_db[k] = clamp_f(db, kEqLow[k], kEqHigh[k]);
  }
  p.mic_calibration_active = true;
  p.tc_rbass_enabled = true;
  p.tc_pultronic_enabled = true;

  // How far the voice is from the reference: missing chest, boxy 650 Hz,
  // excesses in the low bands and the upper mids, missing air.
  const float missing_chest = max_f(ref[0] - pct[0], 0.0f);
  const float boxy = max_f(pct[2] - ref[2], 0.0f);
  const float excess_low = max_f(pct[0] - ref[0], 0.0f);
  const float excess_300 = max_f(pct[1] - ref[1], 0.0f);
  const float excess_upper_mid = max_f(pct[3] - ref[3], 0.0f);
  const float missing_air = 1.5f - pct[5];

  p.tc_rbass_freq_hz = clamp_f(0.65f * low, 112.0f, 138.0f);
  p.tc_rbass_intensity = clamp_f(0.28f - 0.005f * excess_low, 0.22f, 0.32f);
  p.lowcut_freq_hz = clamp_f(0.56f * low + 0.35f * excess_low, 82.0f, 96.0f);
  p.eq_low_db = clamp_f(0.06f * missing_chest - 0.03f * excess_low - 0.03f * excess_300, -0.6f, 0.45f);
  p.eq_mid_db = clamp_f(-0.02f * boxy - 0.03f * excess_upper_mid, -0.6f, 0.2f);
  p.eq_high_db = clamp_f(0.22f * missing_air - 0.02f * excess_upper_mid, -0.2f, 0.5f);
  p.deesser_amount =
      clamp_f(0.55f + 0.015f * max_f(0.45f * pct[4] + 3.5f * pct[5] - 5.5f, 0.0f), 0.55f, 0.65f);
  p.air_gain_db = clamp_f(1.95f + 0.28f * clamp_f(missing_air, -0.8f, 0.9f), 1.5f, 2.3f);
  p.tc_formant_scale = clamp_f(0.86f + 0.0009655172f * (high - 105.0f), 0.86f, 0.98f);
  p.tc_vang_ngan_level =
      clamp_f(0.46f - 0.05f * min_f(1.0f, (0.8f * boxy + excess_300) / 14.0f), 0.40f, 0.48f);

  p.tc_pultronic_drive = 0.26f;
  p.tc_vang_dai_level = 0.56f;
  p.reverb_damping = 0.28f;
  p.reverb_predelay_ms = 22.0f;
  p.reverb_room_size = 0.66f;
  p.reverb_low_gain_db = -2.0f;
  p.reverb_mid_gain_db = 0.0f;
  p.reverb_high_gain_db = 0.5f;
  p.beat_volume = 0.78f;
  p.duck_amount_db = 1.4f;
  p.stereo_width_pct = 102.0f;
  // The delay stays off even when it was on before the start.
  switch_profile_delay_off(p);

  const VoiceType type = voice_type_of(low);
  p.tc_voice_profile = type.profile;

  std::string& timbre = s.detected_timbre;
  timbre.clear();
  if (excess_300 > 2.0f)
    timbre += "phòng dư cộng hưởng trầm 280-300Hz (đã khử ồm & giảm dội vang ngắn)";
  else if (missing_chest > 2.5f)
    timbre += "hơi thiếu lực ngực (đã bù ấm tự nhiên)";
  else
    timbre += "nền trầm ấm cân bằng";
  if (boxy > 2.5f) timbre += ", cộng hưởng mũi/hộp 650Hz (đã gọt mượt)";
  timbre += excess_upper_mid > 1.5f ? ", trung-cao 1.6-3.2kHz hơi gắt (đã đệm êm Soothe chống chói)"
                                    : ", độ sáng mượt ấm áp";

  std::string& gender = s.detected_gender;
  gender.clear();
  gender += type.long_label;
  gender += " (";
  append_number(gender, low, 0);
  gender += " Hz)";

  s.recommended_profile.assign(kMyVocalProfile);

  std::string& summary = s.recommendation_summary;
  summary.clear();
  summary += "Đã tối ưu [";
  summary += kMyVocalLabel;
  summary += "] (";
  summary += type.short_label;
  summary += "): F0 ";
  append_number(summary, low, 0);
  summary += "Hz | Trim ";
  append_number(summary, p.mic_input_trim_db, 1, true);
  summary += "dB | LowCut ";
  append_number(summary, p.lowcut_freq_hz, 0);
  summary += "Hz | DeEsser ";
  append_number(summary, 100.0f * p.deesser_amount, 0);
  summary += "% | EQ 6 dải [";
  for (std::size_t k = 0; k < kVoiceCalBands; ++k) {
    if (k > 0) summary += ", ";
    append_number(summary, p.mic_corr_eq_db[k], 1, true);
  }
  summary += "] dB (";
  summary += timbre;
  summary += ")";
}

}  // namespace melodara
