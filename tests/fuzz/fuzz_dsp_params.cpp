// Any JSON the host may send for the vocal parameters: the reader either fails
// or yields a record whose written form reads back to the same record; laid
// over a record and kept in range, it never leaves a non-finite value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include <nlohmann/json.hpp>

#include "dsp/dsp_params.h"
#include "dsp/param_ranges.h"

namespace {

bool has_null(const nlohmann::json& value) {
  if (value.is_null()) return true;
  if (value.is_structured())
    for (const auto& element : value)
      if (has_null(element)) return true;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const nlohmann::json value = nlohmann::json::parse(text, nullptr, false);
  if (value.is_discarded()) return 0;
  if (auto updated = melodara::dsp_params_overlay_json(melodara::dsp_params_default(), value)) {
    melodara::keep_dsp_params_in_range(*updated);
    if (has_null(melodara::dsp_params_to_json(*updated)) || updated->root_key > 11) std::abort();
  }
  auto params = melodara::dsp_params_from_json(value);
  if (!params) return 0;
  const nlohmann::json written = melodara::dsp_params_to_json(*params);
  auto again = melodara::dsp_params_from_json(nlohmann::json::parse(written.dump()));
  if (!again || !(*again == *params)) std::abort();
  return 0;
}
