#include "engine/system_defaults.h"

#include <optional>
#include <string>
#include <vector>

#include "core/unicode_text.h"
#include "core/utf8.h"
#include "engine/device_names.h"
#include "engine/device_records.h"

namespace melodara {
namespace {

struct SystemDevice {
  DeviceId id = 0;
  std::string name;  // empty when it cannot be read
  bool has_input = false;
  bool has_output = false;
};

// Names longer than this did not fit the system's name buffer and read as empty.
constexpr std::size_t kNameBufferBytes = 256;

std::optional<std::vector<SystemDevice>> read_devices(AudioSystem& system) {
  auto records = read_device_records(system);
  if (!records || records->empty()) return std::nullopt;
  std::vector<SystemDevice> out;
  out.reserve(records->size());
  for (DeviceRecord& r : *records) {
    SystemDevice d{r.id, {}, r.has_input, r.has_output};
    if (r.name && r.name->size() < kNameBufferBytes) d.name = utf8_lossy(*r.name);
    out.push_back(std::move(d));
  }
  return out;
}

const SystemDevice* by_id(const std::vector<SystemDevice>& list, DeviceId id) {
  for (const auto& d : list)
    if (d.id == id) return &d;
  return nullptr;
}

void set_output(AudioSystem& system, DeviceId id) {
  (void)system.set_default_output_device(id);
  (void)system.set_default_system_output_device(id);
}

bool is_output_request(std::string_view name) {
  return !name.empty() && name != "default" && name != "virtual-spk-48k" && !is_virtual_route_device(name);
}

}  // namespace

void ensure_system_default_devices(AudioSystem& system, std::string_view requested_input,
                                   std::string_view requested_output) {
  const auto listed = read_devices(system);
  if (!listed) return;
  const auto& list = *listed;

  bool output_done = false;
  if (is_output_request(requested_output)) {
    const SystemDevice* hit = nullptr;
    for (const auto& d : list)
      if (d.has_output && ascii_iequals(d.name, requested_output)) {
        hit = &d;
        break;
      }
    if (!hit) {
      const std::string wanted = ascii_lower(requested_output);
      for (const auto& d : list)
        if (d.has_output && ascii_lower(d.name).contains(wanted)) {
          hit = &d;
          break;
        }
    }
    if (hit) {
      set_output(system, hit->id);
      output_done = true;
    }
  }
  if (!output_done) {
    auto current = system.default_output_device();
    const SystemDevice* cur = current ? by_id(list, *current) : nullptr;
    if (cur && is_virtual_route_device(cur->name)) {
      for (const auto& d : list)
        if (d.has_output && !is_virtual_route_device(d.name)) {
          set_output(system, d.id);
          break;
        }
    }
  }

  auto current_in = system.default_input_device();
  const SystemDevice* cur_in = current_in ? by_id(list, *current_in) : nullptr;
  if (!cur_in || !unicode_lower(cur_in->name).contains("melodara_virtual")) return;
  auto real_input = [](const SystemDevice& d) { return d.has_input && !is_virtual_route_device(d.name); };
  if (!requested_input.empty()) {
    for (const auto& d : list)
      if (real_input(d) && ascii_iequals(d.name, requested_input)) {
        (void)system.set_default_input_device(d.id);
        return;
      }
  }
  for (const auto& d : list)
    if (real_input(d)) {
      (void)system.set_default_input_device(d.id);
      return;
    }
}

}  // namespace melodara
