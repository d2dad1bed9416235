#include "state/key_tracker_seed.h"

#include <algorithm>

#include "dsp/dsp_math.h"
#include "dsp/key_names.h"
#include "dsp/key_tracker.h"

namespace melodara {

void seed_key_tracker(NativeState& state) {
  const DspParams& p = state.dsp.params;
  const std::uint64_t key = std::min<std::uint64_t>(p.root_key, 11);
  const float bpm = clamp_f(p.bpm, 50.0f, 200.0f);
  seed_live_key_tracker(state.dsp.key_tracker, static_cast<std::size_t>(key), p.scale_is_minor, bpm);

  // The telemetry names the key the backing plays in: transposed by the beat shift.
  const std::int64_t shift = std::clamp<std::int64_t>(p.beat_semitone_shift, -12, 12);
  const auto shown = static_cast<std::uint64_t>((static_cast<std::int64_t>(key) + shift + 12) % 12);
  state.telemetry.detected_key_name.assign(key_long_name(shown, p.scale_is_minor));
  state.telemetry.detected_bpm = bpm;
}

}  // namespace melodara
