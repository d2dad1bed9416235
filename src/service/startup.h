#pragma once
// Building the long-lived records in start-up order. The engine and background
// threads are started by `service_main`; tests and the fuzz target use the same
// records without them.
#include "state/native_state.h"

namespace melodara {

struct ServiceRecords {
  SharedState state;
  LoadJobTable jobs;
};

// Starts the two program-stream publisher threads (a failure ends the process).
// Thread: the main thread, or a test. Allocates: yes. Blocks: on the device layer.
ServiceRecords build_service_records();

}  // namespace melodara
