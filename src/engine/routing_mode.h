#pragma once
// What the service publishes as its "program": the mix, the voice alone, the
// dry microphone or the raw capture for an outside mixer.
#include <cstdint>
#include <string_view>

#include "state/native_state.h"

namespace melodara {

enum class RoutingMode { Program, Vocal, RawMic, DawVocal };

// The canonical text a routing text reads as; unknown texts read as "program".
std::string_view canonical_routing_mode(std::string_view text);
RoutingMode routing_mode_of(std::string_view canonical_text);

// Stores the canonical mode in the locked state and bumps its audio revision
// (also when the mode stays the same); returns the new revision.
std::uint64_t parse_routing_mode(NativeState& state, std::string_view text);

}  // namespace melodara
