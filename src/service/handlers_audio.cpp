#include "engine/device_list.h"
#include "service/handlers.h"

namespace melodara {

// The enumeration may wait up to 450 ms, so the state lock is held only to copy
// the current output.
HandlerResult handle_devices_list(const SharedState& state, const LoadJobTable&, const Json&) {
  std::optional<std::string> output;
  {
    auto guard = state->lock();
    if (!guard.poisoned()) output = guard->outputDeviceId;
  }
  return devices_list_json(output);
}

}  // namespace melodara
