#include "dsp/dsp_meters.h"

#include "core/json_values.h"

#include <cmath>

namespace melodara {
namespace {

using nlohmann::json;

json meter_value(float f) { return json_f32(f); }
json meter_value(const DspKeyName& t) { return json(t.str()); }
json meter_value(std::uint64_t u) { return json(u); }
json meter_value(bool b) { return json(b); }

}  // namespace

nlohmann::json dsp_meters_to_json(const DspMeters& m) {
  json out = json::object();
#define MELODARA_METER_WRITE(kind, name) out[#name] = meter_value(m.name);
  MELODARA_DSP_METERS(MELODARA_METER_WRITE)
#undef MELODARA_METER_WRITE
  return out;
}

}  // namespace melodara
