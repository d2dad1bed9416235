#include "engine/engine_seams.h"

#include "state/voice_calibration.h"

namespace melodara {

void engine_push_program_frames(ProgramStream* primary, ProgramStream* backing, std::uint64_t stamp,
                                StereoFrame primary_frame, StereoFrame backing_frame) {
  if (backing) program_stream_push_frame(*backing, stamp, backing_frame.left, backing_frame.right);
  if (primary) program_stream_push_frame(*primary, stamp, primary_frame.left, primary_frame.right);
}

void engine_seed_live_key(LiveKeyTracker& tracker, std::uint64_t key_index, bool minor, float bpm) {
  seed_live_key_tracker(tracker, static_cast<std::size_t>(key_index % 12), minor, bpm);
}

void engine_voice_cal_measure(EngineVoiceCal& cal, std::span<const float> mic, float mic_rms,
                              float pitch_hz) noexcept {
  voice_cal_measure_bands(cal.bands, cal.active, mic);
  cal.block = VoiceCalBlock{mic_rms, pitch_hz, cal.bands.energy};
}

void engine_voice_cal_block(NativeState& state, const EngineVoiceCal& cal) noexcept {
  voice_cal_analyze_block(state, cal.block);
}

}  // namespace melodara
