#pragma once
// Building the long-lived records in start-up order. Threads are started by
// `service_main`; tests and the fuzz target use the same records without them.
#include "state/native_state.h"

namespace melodara {

struct ServiceRecords {
  SharedState state;
  LoadJobTable jobs;
};

ServiceRecords build_service_records();

}  // namespace melodara
