#include "dsp/presets.h"

#include <optional>

namespace melodara {
namespace {

template <class T>
void set_if(T& field, const std::optional<T>& value) {
  if (value) field = *value;
}
void set_if(DspText& field, const std::optional<std::string_view>& value) {
  if (value) field.assign(*value);
}

// One column of the preset table; an empty field is left as it was.
struct PresetFields {
  bool dan_ca_mode = false;
  bool pk_mode_ducking = false;
  bool tc_mute_all_sends = false;
  bool ducker_enabled = false;
  std::optional<float> duck_amount_db{};
  std::optional<float> stereo_width_pct{};
  std::optional<float> retune_speed{};
  std::optional<float> humanize_pct{};
  std::optional<float> flex_tune_pct{};
  bool reverb_enabled = true;
  std::optional<bool> reverb_bpm_sync{};
  float reverb_volume = 0.0f;
  std::optional<float> reverb_room_size{};
  std::optional<float> reverb_predelay_ms{};
  std::optional<float> air_gain_db{};
  std::optional<float> doubler_mix{};
  std::optional<std::string_view> delay_note_div{};
  std::optional<float> delay_mix{};
  std::optional<float> delay_feedback{};
  bool ngan_giong_vibrato = false;
  std::optional<float> tc_rbass_intensity{};
  std::optional<float> tc_pultronic_drive{};
  std::optional<float> tc_vang_dai_level{};
  std::optional<float> tc_vang_ngan_level{};
  std::optional<float> tc_delay_level{};
  std::optional<float> tc_vitamin_punch{};
};

constexpr PresetFields kRnB{.retune_speed = 0.78f,
                            .humanize_pct = 0.3f,
                            .flex_tune_pct = 0.2f,
                            .reverb_bpm_sync = true,
                            .reverb_volume = 0.62f,
                            .reverb_room_size = 0.6f,
                            .reverb_predelay_ms = 20.0f,
                            .air_gain_db = 2.6f,
                            .doubler_mix = 0.12f,
                            .delay_note_div = "1/8D",
                            .delay_mix = 0.0f,
                            .delay_feedback = 0.1f,
                            .ngan_giong_vibrato = true,
                            .tc_rbass_intensity = 0.24f,
                            .tc_pultronic_drive = 0.26f,
                            .tc_vang_dai_level = 0.54f,
                            .tc_vang_ngan_level = 0.48f,
                            .tc_delay_level = 0.0f,
                            .tc_vitamin_punch = 0.45f};

constexpr PresetFields kRemix{.ducker_enabled = true,
                              .duck_amount_db = 1.8f,
                              .stereo_width_pct = 108.0f,
                              .retune_speed = 0.92f,
                              .humanize_pct = 0.15f,
                              .flex_tune_pct = 0.08f,
                              .reverb_bpm_sync = true,
                              .reverb_volume = 0.58f,
                              .reverb_room_size = 0.58f,
                              .reverb_predelay_ms = 18.0f,
                              .delay_note_div = "1/8D",
                              .delay_mix = 0.0f,
                              .delay_feedback = 0.1f,
                              .tc_rbass_intensity = 0.26f,
                              .tc_pultronic_drive = 0.26f,
                              .tc_vang_dai_level = 0.5f,
                              .tc_vang_ngan_level = 0.44f,
                              .tc_delay_level = 0.0f,
                              .tc_vitamin_punch = 0.5f};

constexpr PresetFields kBolero{.dan_ca_mode = true,
                               .retune_speed = 0.55f,
                               .humanize_pct = 0.45f,
                               .flex_tune_pct = 0.35f,
                               .reverb_bpm_sync = true,
                               .reverb_volume = 0.68f,
                               .reverb_room_size = 0.66f,
                               .reverb_predelay_ms = 22.0f,
                               .delay_note_div = "1/8",
                               .delay_mix = 0.0f,
                               .delay_feedback = 0.12f,
                               .ngan_giong_vibrato = true,
                               .tc_rbass_intensity = 0.28f,
                               .tc_pultronic_drive = 0.28f,
                               .tc_vang_dai_level = 0.58f,
                               .tc_vang_ngan_level = 0.46f,
                               .tc_delay_level = 0.0f,
                               .tc_vitamin_punch = 0.42f};

// The MC's voice stays dry and ducks the track; autotune and colour stay as they were.
constexpr PresetFields kPk{.pk_mode_ducking = true,
                           .tc_mute_all_sends = true,
                           .ducker_enabled = true,
                           .duck_amount_db = 12.0f,
                           .reverb_enabled = false,
                           .reverb_volume = 0.08f};

constexpr PresetFields kPop{.retune_speed = 0.85f,
                            .humanize_pct = 0.2f,
                            .flex_tune_pct = 0.0f,
                            .reverb_bpm_sync = false,
                            .reverb_volume = 0.65f,
                            .reverb_room_size = 0.62f,
                            .reverb_predelay_ms = 20.0f,
                            .delay_note_div = "1/8",
                            .delay_mix = 0.0f,
                            .delay_feedback = 0.1f,
                            .ngan_giong_vibrato = true,
                            .tc_rbass_intensity = 0.26f,
                            .tc_pultronic_drive = 0.24f,
                            .tc_vang_dai_level = 0.56f,
                            .tc_vang_ngan_level = 0.48f,
                            .tc_delay_level = 0.0f,
                            .tc_vitamin_punch = 0.45f};

const PresetFields& preset_fields(VocalPresetGroup group) {
  switch (group) {
    case VocalPresetGroup::RnB: return kRnB;
    case VocalPresetGroup::Remix: return kRemix;
    case VocalPresetGroup::Bolero: return kBolero;
    case VocalPresetGroup::Pk: return kPk;
    case VocalPresetGroup::Pop: break;
  }
  return kPop;
}

// One column of the reverb-mode table; an empty field is left as it was.
struct ReverbFields {
  bool reverb_enabled = true;
  bool tc_mute_all_sends = false;
  float reverb_volume = 0.0f;
  std::optional<float> reverb_room_size{};
  std::optional<float> reverb_predelay_ms{};
  std::optional<std::string_view> delay_note_div{};
  std::optional<float> delay_feedback{};
  float tc_vang_dai_level = 0.0f;
  float tc_vang_ngan_level = 0.0f;
};

constexpr ReverbFields kOff{.reverb_enabled = false, .tc_mute_all_sends = true};
constexpr ReverbFields kRoom{.reverb_volume = 0.45f,
                             .reverb_room_size = 0.52f,
                             .reverb_predelay_ms = 16.0f,
                             .delay_note_div = "1/8",
                             .delay_feedback = 0.08f,
                             .tc_vang_dai_level = 0.34f,
                             .tc_vang_ngan_level = 0.48f};
constexpr ReverbFields kPlate{.reverb_volume = 0.6f,
                              .reverb_room_size = 0.58f,
                              .reverb_predelay_ms = 18.0f,
                              .delay_note_div = "1/8",
                              .delay_feedback = 0.1f,
                              .tc_vang_dai_level = 0.52f,
                              .tc_vang_ngan_level = 0.48f};
constexpr ReverbFields kDeep{.reverb_volume = 0.7f,
                             .reverb_room_size = 0.68f,
                             .reverb_predelay_ms = 24.0f,
                             .delay_note_div = "1/8",
                             .delay_feedback = 0.12f,
                             .tc_vang_dai_level = 0.62f,
                             .tc_vang_ngan_level = 0.5f};
constexpr ReverbFields kHall{.reverb_volume = 0.65f,
                             .reverb_room_size = 0.62f,
                             .reverb_predelay_ms = 20.0f,
                             .delay_note_div = "1/8",
                             .delay_feedback = 0.1f,
                             .tc_vang_dai_level = 0.56f,
                             .tc_vang_ngan_level = 0.48f};

const ReverbFields& reverb_fields(ReverbGroup group) {
  switch (group) {
    case ReverbGroup::Off: return kOff;
    case ReverbGroup::Room: return kRoom;
    case ReverbGroup::Plate: return kPlate;
    case ReverbGroup::Deep: return kDeep;
    case ReverbGroup::Hall: break;
  }
  return kHall;
}

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// The delay's filters and ducking, reset alike by presets and reverb modes.
void reset_delay_shape(DspParams& p) {
  p.delay_hp_hz = 240.0f;
  p.delay_lp_hz = 5200.0f;
  p.delay_ping_pong = false;
  p.delay_auto_duck = true;
  p.delay_auto_sens = 0.65f;
}

}  // namespace

VocalPresetGroup vocal_preset_group(std::string_view id) {
  if (id == "R&B" || id == "rnb" || id == "R&B / Indie Chill") return VocalPresetGroup::RnB;
  if (id == "Remix" || id == "remix" || id == "VinaHouse / Remix") return VocalPresetGroup::Remix;
  if (id == "Bolero" || id == "bolero" || id == "Trữ Tình Bolero") return VocalPresetGroup::Bolero;
  if (id == "PK / MC" || id == "mc_pk") return VocalPresetGroup::Pk;
  return VocalPresetGroup::Pop;
}

void apply_vocal_preset_params(DspParams& p, std::string_view preset_id) {
  p.dj_fx_stop = false;
  p.dj_fx_vocal = false;
  p.reverse_reverb_enabled = false;
  p.beat_gate_enabled = false;
  p.reverb_low_gain_db = -2.0f;
  p.reverb_mid_gain_db = 0.0f;
  p.reverb_high_gain_db = 0.5f;
  p.reverb_damping = 0.28f;
  reset_delay_shape(p);
  p.tc_rbass_enabled = true;
  p.tc_pultronic_enabled = true;
  p.tc_remix_flanger = false;
  p.tc_lofi_radio = false;
  p.tc_vitamin_enabled = true;
  p.imager_enabled = true;
  p.stereo_width_pct = 102.0f;

  const PresetFields& g = preset_fields(vocal_preset_group(preset_id));
  p.dan_ca_mode = g.dan_ca_mode;
  p.pk_mode_ducking = g.pk_mode_ducking;
  p.tc_mute_all_sends = g.tc_mute_all_sends;
  p.ducker_enabled = g.ducker_enabled;
  set_if(p.duck_amount_db, g.duck_amount_db);
  set_if(p.stereo_width_pct, g.stereo_width_pct);
  set_if(p.retune_speed, g.retune_speed);
  set_if(p.humanize_pct, g.humanize_pct);
  set_if(p.flex_tune_pct, g.flex_tune_pct);
  p.reverb_enabled = g.reverb_enabled;
  set_if(p.reverb_bpm_sync, g.reverb_bpm_sync);
  p.reverb_volume = g.reverb_volume;
  set_if(p.reverb_room_size, g.reverb_room_size);
  set_if(p.reverb_predelay_ms, g.reverb_predelay_ms);
  set_if(p.air_gain_db, g.air_gain_db);
  set_if(p.doubler_mix, g.doubler_mix);
  p.delay_enabled = false;
  set_if(p.delay_note_div, g.delay_note_div);
  set_if(p.delay_mix, g.delay_mix);
  set_if(p.delay_feedback, g.delay_feedback);
  p.ngan_giong_vibrato = g.ngan_giong_vibrato;
  set_if(p.tc_rbass_intensity, g.tc_rbass_intensity);
  set_if(p.tc_pultronic_drive, g.tc_pultronic_drive);
  set_if(p.tc_vang_dai_level, g.tc_vang_dai_level);
  set_if(p.tc_vang_ngan_level, g.tc_vang_ngan_level);
  set_if(p.tc_delay_level, g.tc_delay_level);
  set_if(p.tc_vitamin_punch, g.tc_vitamin_punch);
}

std::uint8_t audio_chain_mode_of(std::string_view name) {
  return name == "Caldane" || name == "AutoVocalTools" || name == "Studio Warm" ? 0 : 1;
}

ReverbGroup reverb_mode_group(std::string_view mode) {
  if (mode == "off" || mode == "dry" || mode.starts_with("1-Tắt Vang")) return ReverbGroup::Off;
  if (mode == "room" || mode.starts_with("2-RAP") || contains(mode, "PodCast")) return ReverbGroup::Room;
  if (mode == "plate" || mode.starts_with("3-Vocal Reverb") || contains(mode, "Karaoke"))
    return ReverbGroup::Plate;
  if (mode == "shimmer" || mode == "cathedral" || mode.starts_with("5-Deep Reverb") ||
      contains(mode, "Bolero"))
    return ReverbGroup::Deep;
  return ReverbGroup::Hall;
}

void apply_reverb_mode_params(DspParams& p, std::string_view mode) {
  p.reverb_low_gain_db = -1.5f;
  p.reverb_mid_gain_db = 0.5f;
  p.reverb_high_gain_db = 1.0f;
  p.reverb_damping = 0.22f;
  reset_delay_shape(p);

  const ReverbFields& g = reverb_fields(reverb_mode_group(mode));
  p.reverb_enabled = g.reverb_enabled;
  p.delay_enabled = false;
  p.tc_mute_all_sends = g.tc_mute_all_sends;
  p.reverb_volume = g.reverb_volume;
  set_if(p.reverb_room_size, g.reverb_room_size);
  set_if(p.reverb_predelay_ms, g.reverb_predelay_ms);
  set_if(p.delay_note_div, g.delay_note_div);
  set_if(p.delay_feedback, g.delay_feedback);
  p.tc_vang_dai_level = g.tc_vang_dai_level;
  p.tc_vang_ngan_level = g.tc_vang_ngan_level;
  p.tc_delay_level = 0.0f;
}

}  // namespace melodara
