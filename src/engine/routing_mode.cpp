#include "engine/routing_mode.h"

namespace melodara {

std::string_view canonical_routing_mode(std::string_view text) noexcept {
  if (text == "vocal" || text == "hat-chung" || text == "shared-karaoke" || text == "shared-karaoke-vocal")
    return "vocal";
  if (text == "raw-mic" || text == "raw" || text == "mic-goc") return "raw-mic";
  if (text == "daw-vocal" || text == "daw" || text == "external-mix") return "daw-vocal";
  return "program";
}

RoutingMode routing_mode_of(std::string_view canonical_text) noexcept {
  if (canonical_text == "vocal") return RoutingMode::Vocal;
  if (canonical_text == "raw-mic") return RoutingMode::RawMic;
  if (canonical_text == "daw-vocal") return RoutingMode::DawVocal;
  return RoutingMode::Program;
}

}  // namespace melodara
