#pragma once
// The operation handlers, by family. Each may take its request as validated;
// locked handlers run with the state lock held.
#include "service/dispatch.h"

namespace melodara {

// System and soundboard.
HandlerResult handle_handshake(NativeState& state, const Json& payload);
HandlerResult handle_soundboard_trigger(NativeState& state, const Json& payload);
HandlerResult handle_soundboard_stop(NativeState& state, const Json& payload);

// Devices.
HandlerResult handle_devices_list(const SharedState& state, const LoadJobTable& jobs, const Json& payload);

}  // namespace melodara
