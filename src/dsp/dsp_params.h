// The vocal parameter record: 114 settings of the vocal chain in a fixed order,
// its defaults, its JSON writer and its all-or-nothing JSON reader.
//
// Every field is listed once, in MELODARA_DSP_PARAMS below; the record, the
// defaults, the writer and the reader are all generated from that list.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <string>

#include <nlohmann/json.hpp>

#include "core/fixed_text.h"

namespace melodara {

// Text fields hold at most this many bytes, so the record copies without the heap.
inline constexpr std::size_t kDspTextCapacity = 255;
using DspText = FixedText<kDspTextCapacity>;

using DspF32x4 = std::array<float, 4>;
using DspI32x4 = std::array<std::int32_t, 4>;
using DspU8x16 = std::array<std::uint8_t, 16>;
using DspF32x6 = std::array<float, 6>;

// X(kind, name, default) in declaration order (the array form's order).
// Kinds: F32, BOOL, U8, U64, I32, TEXT, F32X4, I32X4, U8X16, F32X6.
#define MELODARA_DSP_PARAMS(X)                                                          \
  X(F32, beat_volume, 0.78f)                                                            \
  X(F32, reverb_volume, 0.65f)                                                          \
  X(F32, vocal_gain, 1.0f)                                                              \
  X(F32, air_gain_db, 2.0f)                                                             \
  X(BOOL, denoise_enabled, true)                                                        \
  X(F32, denoise_strength, 0.35f)                                                       \
  X(F32, denoise_gate_db, -54.0f)                                                       \
  X(BOOL, gate_enabled, true)                                                           \
  X(BOOL, pre_comp_enabled, true)                                                       \
  X(F32, pre_comp_ratio, 2.2f)                                                          \
  X(BOOL, lowcut_enabled, true)                                                         \
  X(F32, lowcut_freq_hz, 76.0f)                                                         \
  X(BOOL, eq_enabled, true)                                                             \
  X(F32, eq_low_db, 0.0f)                                                               \
  X(F32, eq_mid_db, 0.0f)                                                               \
  X(F32, eq_high_db, 0.0f)                                                              \
  X(BOOL, comp_enabled, true)                                                           \
  X(F32, comp_thresh_db, -18.0f)                                                        \
  X(F32, comp_ratio, 4.0f)                                                              \
  X(F32, comp_makeup_db, 1.5f)                                                          \
  X(BOOL, deesser_enabled, true)                                                        \
  X(F32, deesser_amount, 0.55f)                                                         \
  X(BOOL, reverb_enabled, true)                                                         \
  X(F32, reverb_room_size, 0.66f)                                                       \
  X(F32, reverb_low_gain_db, -1.5f)                                                     \
  X(F32, reverb_mid_gain_db, 0.5f)                                                      \
  X(F32, reverb_high_gain_db, 1.0f)                                                     \
  X(F32, reverb_damping, 0.28f)                                                         \
  X(F32, reverb_predelay_ms, 20.0f)                                                     \
  X(BOOL, reverb_bpm_sync, true)                                                        \
  X(BOOL, reverse_reverb_enabled, false)                                                \
  X(F32, reverse_reverb_mix, 0.35f)                                                     \
  X(BOOL, delay_enabled, false)                                                         \
  X(BOOL, delay_ping_pong, false)                                                       \
  X(BOOL, delay_auto_duck, true)                                                        \
  X(F32, delay_auto_sens, 0.72f)                                                        \
  X(TEXT, delay_note_div, "1/8")                                                        \
  X(F32, delay_feedback, 0.1f)                                                          \
  X(F32, delay_hp_hz, 240.0f)                                                           \
  X(F32, delay_lp_hz, 5200.0f)                                                          \
  X(F32, delay_mix, 0.0f)                                                               \
  X(F32, doubler_mix, 0.0f)                                                             \
  X(U8, mod_routing_order, 0)                                                           \
  X(F32, mod_feedback_pct, 15.0f)                                                       \
  X(F32, mod_delay_ms, 14.0f)                                                           \
  X(BOOL, autotune_enabled, true)                                                       \
  X(F32, retune_speed, 0.52f)                                                           \
  X(F32, humanize_pct, 0.2f)                                                            \
  X(F32, flex_tune_pct, 0.38f)                                                          \
  X(F32, formant_shift_st, 0.0f)                                                        \
  X(BOOL, ngan_giong_vibrato, false)                                                    \
  X(F32, vibrato_depth_cents, 18.0f)                                                    \
  X(F32, vibrato_rate_hz, 4.3f)                                                         \
  X(BOOL, chong_be_harmony, false)                                                      \
  X(F32X4, harmony_gains, (DspF32x4{0.4f, 0.32f, 0.26f, 0.18f}))                        \
  X(I32X4, harmony_semitones, (DspI32x4{4, 7, -5, 12}))                                 \
  X(BOOL, vocal_chain_active, true)                                                     \
  X(BOOL, pitch_432hz_mode, false)                                                      \
  X(BOOL, dan_ca_mode, false)                                                           \
  X(BOOL, pk_mode_ducking, false)                                                       \
  X(BOOL, ducker_enabled, false)                                                        \
  X(F32, duck_amount_db, 1.2f)                                                          \
  X(BOOL, imager_enabled, true)                                                         \
  X(F32, stereo_width_pct, 102.0f)                                                      \
  X(BOOL, send_key_to_autotune, true)                                                   \
  X(BOOL, auto_mute_reverb_on_pause, false)                                             \
  X(BOOL, vocal_remover_karaoke, false)                                                 \
  X(F32, vocal_cancel_pct, 0.0f)                                                        \
  X(I32, beat_semitone_shift, 0)                                                        \
  X(F32, beat_fine_cents, 0.0f)                                                         \
  X(F32, autopitch_mix, 1.0f)                                                           \
  X(U64, root_key, 2)                                                                   \
  X(BOOL, scale_is_minor, true)                                                         \
  X(BOOL, scale_chromatic, false)                                                       \
  X(F32, bpm, 70.0f)                                                                    \
  X(BOOL, dj_fx_stop, false)                                                            \
  X(BOOL, dj_fx_vocal, false)                                                           \
  X(TEXT, dj_fx_mode, "08 - Up-Down Delay")                                             \
  X(F32, autodj_filter_cutoff_hz, 16000.0f)                                             \
  X(F32, autodj_tapestop_speed, 0.5f)                                                   \
  X(BOOL, beat_gate_enabled, false)                                                     \
  X(F32, beat_gate_mix, 1.0f)                                                           \
  X(U8X16, beat_gate_steps, (DspU8x16{1, 0, 1, 0, 1, 1, 0, 1, 1, 0, 1, 0, 1, 1, 0, 1})) \
  X(F32, master_limiter_ceiling_db, -0.5f)                                              \
  X(BOOL, send_to_phone_mono, false)                                                    \
  X(U8, audio_chain_mode, 1)                                                            \
  X(F32, tc_ns1_amount, 0.22f)                                                          \
  X(F32, tc_deesser_pre_db, -28.0f)                                                     \
  X(F32, tc_q8_515hz_db, -1.5f)                                                         \
  X(BOOL, tc_mannym_enabled, true)                                                      \
  X(F32, tc_cla3a_peak_red, 5.1f)                                                       \
  X(F32, tc_rvox_comp_db, -8.0f)                                                        \
  X(BOOL, tc_rbass_enabled, true)                                                       \
  X(F32, tc_rbass_freq_hz, 88.0f)                                                       \
  X(F32, tc_rbass_intensity, 0.26f)                                                     \
  X(BOOL, tc_pultronic_enabled, true)                                                   \
  X(F32, tc_pultronic_drive, 0.24f)                                                     \
  X(BOOL, tc_remix_flanger, false)                                                      \
  X(BOOL, tc_lofi_radio, false)                                                         \
  X(BOOL, tc_mute_all_sends, false)                                                     \
  X(F32, tc_vang_dai_level, 0.58f)                                                      \
  X(F32, tc_vang_ngan_level, 0.5f)                                                      \
  X(F32, tc_delay_level, 0.0f)                                                          \
  X(BOOL, tc_vitamin_enabled, true)                                                     \
  X(F32, tc_vitamin_punch, 0.45f)                                                       \
  X(F32, tc_l2_thresh_db, -4.2f)                                                        \
  X(U8, tc_voice_profile, 0)                                                            \
  X(F32, tc_formant_scale, 0.94f)                                                       \
  X(BOOL, mic_calibration_active, true)                                                 \
  X(F32, mic_input_trim_db, 0.0f)                                                       \
  X(F32X6, mic_corr_eq_db, (DspF32x6{0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f}))              \
  X(BOOL, air_compensator_enabled, true)                                                \
  X(F32, air_sensitivity, 0.65f)                                                        \
  X(F32, air_max_comp_db, 4.5f)

#define MELODARA_DSP_TYPE_F32 float
#define MELODARA_DSP_TYPE_BOOL bool
#define MELODARA_DSP_TYPE_U8 std::uint8_t
#define MELODARA_DSP_TYPE_U64 std::uint64_t
#define MELODARA_DSP_TYPE_I32 std::int32_t
#define MELODARA_DSP_TYPE_TEXT DspText
#define MELODARA_DSP_TYPE_F32X4 DspF32x4
#define MELODARA_DSP_TYPE_I32X4 DspI32x4
#define MELODARA_DSP_TYPE_U8X16 DspU8x16
#define MELODARA_DSP_TYPE_F32X6 DspF32x6

// Default construction gives the defaults. Trivially copyable: a copy never allocates.
struct DspParams {
#define MELODARA_DSP_FIELD(kind, name, def) MELODARA_DSP_TYPE_##kind name = def;
  MELODARA_DSP_PARAMS(MELODARA_DSP_FIELD)
#undef MELODARA_DSP_FIELD

  friend bool operator==(const DspParams&, const DspParams&) = default;
};

inline constexpr std::size_t kDspParamCount = 0
#define MELODARA_DSP_COUNT(kind, name, def) +1
    MELODARA_DSP_PARAMS(MELODARA_DSP_COUNT)
#undef MELODARA_DSP_COUNT
    ;
static_assert(kDspParamCount == 114);

// Why a read failed, in the JSON library's usual wording; callers keep their old record.
struct DspParamsError {
  std::string message;
};

// The record of defaults. Thread: any. Allocates: no.
DspParams dsp_params_default();

// Independent field-by-field copy. Thread: any (engine block loop included). Allocates: no.
DspParams clone_dsp_params(const DspParams& params);
// Same, into an existing record. Thread: any. Allocates: no.
void clone_dsp_params_into(DspParams& dst, const DspParams& src);

// JSON object with all 114 keys; floats widened to double, non-finite as null.
// Thread: any. Allocates: yes.
nlohmann::json dsp_params_to_json(const DspParams& params);

// Reads an object (any key order, unknown keys ignored, missing keys defaulted) or an
// array in declaration order. All or nothing: the first bad value fails the read.
// A number that rounds to a float infinity fails like a value of the wrong type, and a text
// longer than kDspTextCapacity bytes fails as an invalid length.
// Thread: any. Allocates: yes.
std::expected<DspParams, DspParamsError> dsp_params_from_json(const nlohmann::json& value);

// Reads the known keys of an object over `base`: keys the object lacks keep their
// values from `base`, so for a finite record the result is that of writing `base`,
// laying the object's members over it and reading it back. Same rules, all or
// nothing; a null member fails like any wrong type, it never resets a field.
// Thread: any. Allocates: only the error message.
std::expected<DspParams, DspParamsError> dsp_params_overlay_json(const DspParams& base,
                                                                 const nlohmann::json& object);

}  // namespace melodara
