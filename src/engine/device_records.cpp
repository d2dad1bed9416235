#include "engine/device_records.h"

namespace melodara {

std::expected<std::vector<DeviceRecord>, PlatformError> read_device_records(AudioSystem& system) {
  auto ids = system.devices();
  if (!ids) return std::unexpected(std::move(ids.error()));
  std::vector<DeviceRecord> records;
  records.reserve(ids->size());
  for (const DeviceId id : *ids) {
    DeviceRecord r;
    r.id = id;
    if (auto name = system.device_name(id)) r.name = std::move(*name);
    r.has_input = system.has_streams(id, AudioScope::input);
    r.has_output = system.has_streams(id, AudioScope::output);
    records.push_back(std::move(r));
  }
  return records;
}

}  // namespace melodara
