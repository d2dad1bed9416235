// Voice calibration on the shared state: start, cancel, the engine's per-block
// analysis with its automatic completion, the completion asked for by the
// host, and the saving of the resulting "My Vocal" profile.
//
// A completion on the engine thread computes everything there but writes no
// file: it leaves the parameters to save in `pendingVoiceProfile`, and the
// profile writer thread saves them within a tenth of a second or so. Readers of
// the saved profile first save a pending one, so what they read is current.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "dsp/voice_calibration.h"
#include "state/native_state.h"

namespace melodara {

// Switches the disturbing effects off, starts a fresh measurement wanting
// `wanted_sec` of voice (kept within 1.5..1.8 s) and wakes the profile writer.
// A start during a run restarts the measurement and keeps the switches saved
// by the first start. Thread: request thread, holding the state lock.
// Allocates: yes. Blocks: writes a pending profile.
void voice_cal_start(NativeState& state, float wanted_sec);

// Ends a run without a result: restores the switches, the input trim and the
// correction bands saved at its start, then lays the saved profile over them.
// Without a run it only bumps the revision. Thread: request thread, holding
// the state lock. Allocates: yes. Blocks: reads and writes the profile file.
void voice_cal_cancel(NativeState& state);

// Completes the active run now and saves the profile file.
// Thread: request thread, holding the state lock. Allocates: yes. Blocks: file I/O.
void save_my_vocal_profile(NativeState& state);

// One engine block of an active run; completes the run when enough voice was
// heard, leaving its profile for the writer. Does nothing without a run.
// Thread: engine, holding the state lock. Allocates: no. Blocks: no.
void voice_cal_analyze_block(NativeState& state, const VoiceCalBlock& block) noexcept;

// Saves the profile a completion left pending; true when there was one.
// Thread: off the engine thread, holding the state lock. Allocates: yes. Blocks: file I/O.
bool write_pending_voice_profile(NativeState& state);

// Wakes the profile writer thread when a run starts.
struct VoiceProfileWriter {
  std::mutex mutex;
  std::condition_variable wake;
  bool armed = false;
};

// How often the writer looks for a finished run while one is going on.
inline constexpr std::chrono::milliseconds kVoiceProfileWriterPoll{100};

// The writer thread's body: sleeps until a start wakes it, then saves pending
// profiles every `poll` until no run is active. Returns only when the state
// lock is poisoned. Thread: its own. Blocks: yes.
void run_voice_profile_writer(const SharedState& state, VoiceProfileWriter& writer,
                              std::chrono::milliseconds poll = kVoiceProfileWriterPoll);

}  // namespace melodara
