#include "engine/engine_seams.h"

namespace melodara {

void engine_push_program_frames(ProgramStream* primary, ProgramStream* backing, std::uint64_t stamp,
                                StereoFrame primary_frame, StereoFrame backing_frame) {
  if (backing) program_stream_push_frame(*backing, stamp, backing_frame.left, backing_frame.right);
  if (primary) program_stream_push_frame(*primary, stamp, primary_frame.left, primary_frame.right);
}

void engine_seed_live_key(LiveKeyTracker&, std::uint64_t, bool, float) {}

void engine_voice_cal_block(NativeState&, std::span<const float>, const DspMeters&) {}

}  // namespace melodara
