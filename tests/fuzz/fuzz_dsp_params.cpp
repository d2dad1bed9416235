// Any JSON the host may send for the vocal parameters: the reader either fails
// or yields a record whose written form reads back to the same record.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include <nlohmann/json.hpp>

#include "dsp/dsp_params.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const nlohmann::json value = nlohmann::json::parse(text, nullptr, false);
  if (value.is_discarded()) return 0;
  auto params = melodara::dsp_params_from_json(value);
  if (!params) return 0;
  const nlohmann::json written = melodara::dsp_params_to_json(*params);
  auto again = melodara::dsp_params_from_json(nlohmann::json::parse(written.dump()));
  if (!again || !(*again == *params)) std::abort();
  return 0;
}
