#include "service/startup.h"

#include <array>

#include "core/threads.h"
#include "dsp/saved_voice_profile.h"
#include "engine/device_list.h"
#include "engine/program_stream.h"
#include "state/voice_calibration.h"

namespace melodara {

ServiceRecords build_service_records() {
  NativeState state;
  // The two program-stream slots, each with its publisher thread.
  for (auto* slot : {&state.programStream, &state.backingStream}) {
    auto spawned = program_stream_spawn();
    if (!spawned) die(spawned.error());
    *slot = std::move(*spawned);
  }

  DspParams params = dsp_params_default();
  state.voiceProfile = load_saved_voice_profile(params).value_or("Giong Nam");
  state.micGain = clamp_gain(params.vocal_gain);
  state.musicGain = clamp_gain(params.beat_volume);

  // One block of silence through the new engine gives the first telemetry, and
  // leaves the engine in the state the service keeps.
  state.dsp = vocal_dsp_new(std::move(params));
  std::array<float, 64> silence{}, out_left{}, out_right{};
  state.telemetry = vocal_chain_process(state.dsp, silence, silence, silence, out_left, out_right);

  // The first input and output devices, and whether a camera microphone
  // would howl through loudspeakers: then monitoring starts off.
  const StartupDevices devices = startup_devices();
  if (!devices.input_id.empty()) state.inputDeviceId = devices.input_id;
  if (!devices.output_id.empty()) state.outputDeviceId = devices.output_id;
  state.acousticFeedbackRisk = devices.feedback_risk;
  state.monitorEnabled = !devices.feedback_risk;
  state.antiHowlActive = devices.feedback_risk;

  state.voiceProfileWriter = std::make_shared<VoiceProfileWriter>();

  ServiceRecords records;
  records.state = std::make_shared<Mutex<NativeState>>(std::move(state));
  records.jobs = std::make_shared<Mutex<LoadJobTableData>>();
  return records;
}

}  // namespace melodara
