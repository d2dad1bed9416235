#pragma once
// The operation table: each of the 45 operations with its lock class, the
// thread it runs on and its handler, in the order of the handshake's
// `supportedOperations`. The name list and the worker test derive from it.
#include <array>
#include <expected>
#include <functional>
#include <string_view>
#include <variant>

#include "service/protocol.h"
#include "state/native_state.h"

namespace melodara {

using HandlerResult = std::expected<Json, ResponseError>;

enum class LockClass {
  // The dispatcher holds the state lock from the start of the handler until
  // its result is built.
  Locked,
  // The handler does slow work (tools, network, decoding, exports, device
  // scans) without the state lock and takes it only for short reads and writes.
  UnlockedSlowWork,
};

// Where the request loop runs the operation.
enum class RunsOn { ReaderThread, WorkerThread };

// Handlers may take the request as validated.
using LockedHandler = HandlerResult (*)(NativeState& state, const Json& payload);
using UnlockedHandler = HandlerResult (*)(const SharedState& state, const LoadJobTable& jobs,
                                          const Request& request);
// The rest of a request whose claim has been made: its slow work and answer.
using RequestRest = std::move_only_function<HandlerResult()>;
// A worker operation that changes what later requests find (the player, a
// recorder slot): it claims that on the reader, in the order the host sent it,
// quickly, and leaves the rest to its worker.
using ClaimingHandler = RequestRest (*)(const SharedState& state, const LoadJobTable& jobs,
                                        const Request& request);

struct Operation {
  std::string_view name;
  LockClass lock;
  RunsOn runs_on;
  std::variant<LockedHandler, UnlockedHandler, ClaimingHandler> handler;

  // The handler's type must match the lock class; a mismatch fails to compile.
  consteval Operation(std::string_view n, LockClass l, RunsOn r, LockedHandler h)
      : name(n), lock(l), runs_on(r), handler(h) {
    if (l != LockClass::Locked) throw "a locked handler needs LockClass::Locked";
  }
  consteval Operation(std::string_view n, LockClass l, RunsOn r, UnlockedHandler h)
      : name(n), lock(l), runs_on(r), handler(h) {
    if (l != LockClass::UnlockedSlowWork) throw "an unlocked handler needs LockClass::UnlockedSlowWork";
  }
  consteval Operation(std::string_view n, LockClass l, RunsOn r, ClaimingHandler h)
      : name(n), lock(l), runs_on(r), handler(h) {
    if (l != LockClass::UnlockedSlowWork || r != RunsOn::WorkerThread)
      throw "a claiming handler is an unlocked worker operation";
  }
};

// The 45 operation names in table order.
// Thread: any. Allocates: no. Blocks: no.
extern const std::array<std::string_view, 45> SUPPORTED_OPERATIONS;

// The table entry for an exact, case-sensitive name; null when unsupported.
// Thread: any. Allocates: no. Blocks: no.
const Operation* find_operation(std::string_view name);

// Whether the request loop hands the operation to a worker thread of its own.
// Thread: any. Allocates: no. Blocks: no.
bool is_worker_operation(std::string_view name);

// A new JSON array of the 45 names in table order.
// Thread: any. Allocates: yes. Blocks: no.
Json supported_operations_json();

}  // namespace melodara
