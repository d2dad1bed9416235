// The mode words of dj_fx_mode, read once per block. A word is active when
// dj_fx_vocal is set and the mode text contains it (case-sensitive).
#pragma once

#include "core/realtime.h"
#include "dsp/dsp_params.h"

namespace melodara {

struct FxModes {
  bool chipmunk = false;
  bool monster = false;
  bool riser = false;
  bool megaphone = false;
  bool shimmer = false;
  bool chorus = false;
  bool melodic = false;
  bool beat_gate = false;  // "BeatGate"
  bool chop = false;
  bool slapback = false;
  bool ping_pong = false;  // "Ping-Pong"
  bool up_down = false;    // "Up-Down"
  bool ramp = false;
  bool accel = false;
  bool reverse = false;

  friend bool operator==(const FxModes&, const FxModes&) = default;
};

// Thread: any. Allocates: no. Blocks: no.
FxModes fx_modes(const DspParams& params) noexcept MELODARA_NONBLOCKING;

}  // namespace melodara
