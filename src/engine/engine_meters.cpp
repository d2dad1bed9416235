#include "engine/engine_meters.h"

#include <algorithm>
#include <cmath>

namespace melodara {
namespace {

// max that keeps `a` when `b` is NaN, inline (std::fmax is a library call).
inline float larger(float a, float b) { return b > a ? b : a; }

float rms(float sum_sq, std::size_t count) { return count ? std::sqrt(sum_sq / float(count)) : 0.0f; }

}  // namespace

float meter_db(float x) {
  if (!(x > 0.000016f)) return -96.0f;
  return larger(20.0f * std::log10(x), -96.0f);
}

void crackle_update(CrackleState& c, const MixMeterSums& s) {
  const float r = rms(s.monitor_sum_sq, s.frames);
  const float d = rms(s.monitor_diff_sum_sq, s.frames);
  if (r > 0.002f) {
    const float q = std::clamp(larger(0.0f, d / (r + 0.000001f) - 0.09f) * 18.0f, 0.1f, 100.0f);
    c.level = 0.85f * c.level + 0.15f * q;
  } else {
    c.level = 0.92f * c.level + 0.012f;
  }
}

void write_bus_audit(NativeState& st, const MixMeterSums& s, const CrackleState& c) {
  // The feed sums are already the mean of L^2 and R^2 per frame.
  st.primaryUplinkRmsDb = meter_db(rms(s.primary_sum_sq, s.frames));
  st.primaryUplinkPeakDb = meter_db(s.primary_peak);
  st.backingUplinkRmsDb = meter_db(rms(s.backing_sum_sq, s.frames));
  st.backingUplinkPeakDb = meter_db(s.backing_peak);
  st.monitorRmsDb = meter_db(rms(s.monitor_sum_sq, s.frames));
  st.monitorPeakDb = meter_db(s.monitor_peak);
  st.monitorCracklePct = std::round(c.level * 100.0f) / 100.0f;
}

}  // namespace melodara
