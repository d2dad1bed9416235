#include "engine/engine_meters.h"

#include <algorithm>
#include <cmath>

namespace melodara {
namespace {

// max that keeps `a` when `b` is NaN, inline (std::fmax is a library call).
inline float larger(float a, float b) { return b > a ? b : a; }

float peak_of(float a, float b) { return larger(std::fabs(a), std::fabs(b)); }

float rms(double sum_sq, std::size_t count) {
  return count ? float(std::sqrt(sum_sq / double(count))) : 0.0f;
}

}  // namespace

float meter_db(float x) {
  if (!(x > 0.000016f)) return -96.0f;
  return larger(20.0f * std::log10(x), -96.0f);
}

void meter_frame(BlockMeterSums& s, CrackleState& c, const FrameMix& f) {
  s.primary_sq += double(f.primary.left) * f.primary.left + double(f.primary.right) * f.primary.right;
  s.backing_sq += double(f.backing.left) * f.backing.left + double(f.backing.right) * f.backing.right;
  s.primary_peak = larger(s.primary_peak, peak_of(f.primary.left, f.primary.right));
  s.backing_peak = larger(s.backing_peak, peak_of(f.backing.left, f.backing.right));
  s.monitor_peak = larger(s.monitor_peak, peak_of(f.monitor.left, f.monitor.right));
  const float m = (f.monitor.left + f.monitor.right) * 0.5f;
  s.monitor_sq += double(m) * m;
  const float d = m - 2.0f * c.m1 + c.m2;
  s.diff_sq += double(d) * d;
  c.m2 = c.m1;
  c.m1 = m;
  ++s.frames;
}

void crackle_update(CrackleState& c, const BlockMeterSums& s) {
  const float r = rms(s.monitor_sq, s.frames);
  const float d = rms(s.diff_sq, s.frames);
  if (r > 0.002f) {
    const float q = std::clamp(larger(0.0f, d / (r + 0.000001f) - 0.09f) * 18.0f, 0.1f, 100.0f);
    c.level = 0.85f * c.level + 0.15f * q;
  } else {
    c.level = 0.92f * c.level + 0.012f;
  }
}

void write_bus_audit(NativeState& st, const BlockMeterSums& s, const CrackleState& c) {
  st.primaryUplinkRmsDb = meter_db(rms(s.primary_sq, 2 * s.frames));
  st.primaryUplinkPeakDb = meter_db(s.primary_peak);
  st.backingUplinkRmsDb = meter_db(rms(s.backing_sq, 2 * s.frames));
  st.backingUplinkPeakDb = meter_db(s.backing_peak);
  st.monitorRmsDb = meter_db(rms(s.monitor_sq, s.frames));
  st.monitorPeakDb = meter_db(s.monitor_peak);
  st.monitorCracklePct = std::round(c.level * 100.0f) / 100.0f;
}

}  // namespace melodara
