#include "engine/routing_mode.h"

#include "core/counters.h"

namespace melodara {

std::string_view canonical_routing_mode(std::string_view text) {
  if (text == "vocal" || text == "hat-chung" || text == "shared-karaoke" || text == "shared-karaoke-vocal")
    return "vocal";
  if (text == "raw-mic" || text == "raw" || text == "mic-goc") return "raw-mic";
  if (text == "daw-vocal" || text == "daw" || text == "external-mix") return "daw-vocal";
  return "program";
}

RoutingMode routing_mode_of(std::string_view canonical_text) {
  if (canonical_text == "vocal") return RoutingMode::Vocal;
  if (canonical_text == "raw-mic") return RoutingMode::RawMic;
  if (canonical_text == "daw-vocal") return RoutingMode::DawVocal;
  return RoutingMode::Program;
}

std::uint64_t parse_routing_mode(NativeState& state, std::string_view text) {
  state.routingMode = std::string(canonical_routing_mode(text));
  bump(state.audioRevision);
  return state.audioRevision;
}

}  // namespace melodara
