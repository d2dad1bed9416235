#pragma once
// What the service publishes as its "program": the mix, the voice alone, the
// dry microphone or the raw capture for an outside mixer. Pure; any thread.
// Allocates: no.
#include <string_view>

namespace melodara {

enum class RoutingMode { Program, Vocal, RawMic, DawVocal };

// The canonical text a routing text reads as (exact bytes); unknown texts
// read as "program".
std::string_view canonical_routing_mode(std::string_view text) noexcept;
// The mode of a stored text: "vocal", "raw-mic" and "daw-vocal" by exact
// bytes, any other text "program".
RoutingMode routing_mode_of(std::string_view canonical_text) noexcept;

}  // namespace melodara
