#include "service/startup.h"

namespace melodara {

ServiceRecords build_service_records() {
  NativeState state;
  // Still to come with their subsystems: the program-stream slots, the vocal
  // parameters with the saved voice profile and the warmed-up DSP engine, and
  // the first input and output devices with the feedback-risk decision.
  ServiceRecords records;
  records.state = std::make_shared<Mutex<NativeState>>(std::move(state));
  records.jobs = std::make_shared<Mutex<LoadJobTableData>>();
  return records;
}

}  // namespace melodara
