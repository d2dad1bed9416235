#pragma once
// The recording exports that have been handed to a worker and not yet
// answered, so that the end of input can let a take stopped just before the
// host quits reach its files before the process ends.
#include <chrono>

namespace melodara {

// Counts one export from the moment its request is handed to a worker until
// its answer is written (or the worker gives up).
class ExportInFlight {
 public:
  // Thread: the reader. Allocates: no. Blocks: on the count's lock only.
  ExportInFlight();
  // Thread: the worker. Allocates: no. Blocks: on the count's lock only.
  ~ExportInFlight();
  ExportInFlight(const ExportInFlight&) = delete;
  ExportInFlight& operator=(const ExportInFlight&) = delete;
};

// Waits until no export is in flight, at most `limit`; false on time-out.
// Thread: the main thread at the end of input. Allocates: no. Blocks: up to `limit`.
bool wait_for_exports(std::chrono::milliseconds limit);

}  // namespace melodara
