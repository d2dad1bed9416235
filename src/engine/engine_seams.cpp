#include "engine/engine_seams.h"

namespace melodara {

void engine_push_program_frames(ProgramStream*, ProgramStream*, std::uint64_t, StereoFrame,
                                StereoFrame) {}

void engine_seed_live_key(LiveKeyTracker&, std::uint64_t, bool, float) {}

void engine_voice_cal_block(NativeState&, std::span<const float>, const DspMeters&) {}

}  // namespace melodara
