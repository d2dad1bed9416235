// The telemetry record that every vocal-chain block returns, and its JSON form.
#pragma once

#include <cstdint>

#include <nlohmann/json.hpp>

#include "core/fixed_text.h"

namespace melodara {

// Key names are at most "C#m"; the spare room costs nothing.
using DspKeyName = FixedText<15>;

// X(kind, name) in declaration order. Kinds: F32, TEXT, U64, BOOL.
#define MELODARA_DSP_METERS(X) \
  X(F32, vocal_rms_db)         \
  X(F32, beat_rms_db)          \
  X(F32, master_peak_db)       \
  X(F32, detected_vocal_hz)    \
  X(F32, corrected_vocal_hz)   \
  X(TEXT, detected_key_name)   \
  X(F32, detected_bpm)         \
  X(F32, reverb_active_gain)   \
  X(F32, deesser_reduction_db) \
  X(F32, comp_reduction_db)    \
  X(U64, active_beatgate_step) \
  X(BOOL, gate_open)           \
  X(F32, latency_ms)           \
  X(F32, crackle_index_pct)    \
  X(F32, warmth_blend_pct)     \
  X(F32, signal_purity_db)

#define MELODARA_METER_TYPE_F32 float
#define MELODARA_METER_TYPE_TEXT DspKeyName
#define MELODARA_METER_TYPE_U64 std::uint64_t
#define MELODARA_METER_TYPE_BOOL bool

// Trivially copyable: returned by value from the realtime block without allocating.
struct DspMeters {
#define MELODARA_METER_FIELD(kind, name) MELODARA_METER_TYPE_##kind name{};
  MELODARA_DSP_METERS(MELODARA_METER_FIELD)
#undef MELODARA_METER_FIELD

  friend bool operator==(const DspMeters&, const DspMeters&) = default;
};

// JSON object with the 16 keys; floats widened to double, non-finite as null.
// Thread: any. Allocates: yes.
nlohmann::json dsp_meters_to_json(const DspMeters& meters);

}  // namespace melodara
