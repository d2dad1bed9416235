#include "dsp/fx_modes.h"

namespace melodara {

FxModes fx_modes(const DspParams& p) noexcept MELODARA_NONBLOCKING {
  FxModes m;
  if (!p.dj_fx_vocal) return m;
  const DspText& t = p.dj_fx_mode;
  m.chipmunk = t.contains("Chipmunk");
  m.monster = t.contains("Monster");
  m.riser = t.contains("Riser");
  m.megaphone = t.contains("Megaphone");
  m.shimmer = t.contains("Shimmer");
  m.chorus = t.contains("Chorus");
  m.melodic = t.contains("Melodic");
  m.beat_gate = t.contains("BeatGate");
  m.chop = t.contains("Chop");
  m.slapback = t.contains("Slapback");
  m.ping_pong = t.contains("Ping-Pong");
  m.up_down = t.contains("Up-Down");
  m.ramp = t.contains("Ramp");
  m.accel = t.contains("Accel");
  m.reverse = t.contains("Reverse");
  return m;
}

}  // namespace melodara
