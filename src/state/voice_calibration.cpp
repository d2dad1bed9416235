#include "state/voice_calibration.h"

#include <thread>

#include "core/counters.h"
#include "dsp/saved_voice_profile.h"

namespace melodara {
namespace {

// The result of a completion; the file is written by the caller or the writer.
void complete(NativeState& state) noexcept {
  voice_cal_complete(state.voiceCal, state.dsp.params);
  state.micGain = 1.0f;
  state.voiceProfile.assign(kMyVocalProfile);  // short: fits the string's own buffer
  state.pendingVoiceProfile = state.dsp.params;
  bump(state.audioRevision);
}

void arm(VoiceProfileWriter& writer) {
  {
    std::lock_guard lock(writer.mutex);
    writer.armed = true;
  }
  writer.wake.notify_one();
}

}  // namespace

void voice_cal_start(NativeState& state, float wanted_sec) {
  // The record about to be replaced holds the texts a pending profile saves.
  write_pending_voice_profile(state);
  DspParams& params = state.dsp.params;
  state.voiceCal = voice_cal_started(wanted_sec, params, state.voiceCal);
  voice_cal_quiet_params(params);
  bump(state.audioRevision);
  if (state.voiceProfileWriter) arm(*state.voiceProfileWriter);
}

void voice_cal_cancel(NativeState& state) {
  if (state.voiceCal.active) {
    voice_cal_restore_params(state.voiceCal, state.dsp.params);
    load_saved_voice_profile(state.dsp.params);
  }
  state.voiceCal.active = false;
  bump(state.audioRevision);
}

void save_my_vocal_profile(NativeState& state) {
  complete(state);
  write_pending_voice_profile(state);
}

void voice_cal_analyze_block(NativeState& state, const VoiceCalBlock& block) noexcept {
  if (!state.voiceCal.active) return;
  if (voice_cal_analyze(state.voiceCal, block)) complete(state);
}

bool write_pending_voice_profile(NativeState& state) {
  if (!state.pendingVoiceProfile) return false;
  write_saved_voice_profile(*state.pendingVoiceProfile, state.voiceCal);
  state.pendingVoiceProfile.reset();
  return true;
}

void run_voice_profile_writer(const SharedState& state, VoiceProfileWriter& writer,
                              std::chrono::milliseconds poll) {
  for (;;) {
    {
      std::unique_lock lock(writer.mutex);
      writer.wake.wait(lock, [&] { return writer.armed; });
      writer.armed = false;
    }
    for (bool watching = true; watching;) {
      std::this_thread::sleep_for(poll);
      auto guard = state->lock();
      if (guard.poisoned()) return;
      write_pending_voice_profile(*guard);
      watching = guard->voiceCal.active;
    }
  }
}

}  // namespace melodara
