#include "service/startup.h"

#include "engine/device_list.h"

namespace melodara {

ServiceRecords build_service_records() {
  NativeState state;
  // Still to come with their subsystems: the program-stream slots, the vocal
  // parameters with the saved voice profile and the warmed-up DSP engine.

  // The first input and output devices, and whether a camera microphone
  // would howl through loudspeakers: then monitoring starts off.
  const StartupDevices devices = startup_devices();
  if (!devices.input_id.empty()) state.inputDeviceId = devices.input_id;
  if (!devices.output_id.empty()) state.outputDeviceId = devices.output_id;
  state.acousticFeedbackRisk = devices.feedback_risk;
  state.monitorEnabled = !devices.feedback_risk;
  state.antiHowlActive = devices.feedback_risk;

  ServiceRecords records;
  records.state = std::make_shared<Mutex<NativeState>>(std::move(state));
  records.jobs = std::make_shared<Mutex<LoadJobTableData>>();
  return records;
}

}  // namespace melodara
