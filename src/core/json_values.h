#pragma once
// JSON values of the DSP records: a 32-bit float is widened to 64 bits and
// written as a number when finite, as null otherwise.
#include <cmath>

#include <nlohmann/json.hpp>

namespace melodara {

// Thread: any. Allocates: no (numbers and null are held inline). Blocks: no.
inline nlohmann::json json_f32(float value) {
  return std::isfinite(value) ? nlohmann::json(static_cast<double>(value)) : nlohmann::json(nullptr);
}

}  // namespace melodara
