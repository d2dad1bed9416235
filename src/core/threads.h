#pragma once
// Starting the service's threads. A body that throws ends its own thread only
// (its message goes to standard error); running out of memory ends the process.
#include <functional>
#include <optional>
#include <string_view>
#include <thread>

namespace melodara {

// Starts a detached thread; `name` is cut to the 15 bytes Linux allows and a
// naming failure is ignored. Returns false when the thread could not start.
// Thread: any but realtime. Allocates: yes. Blocks: no.
bool spawn_detached(std::string_view name, std::function<void()> body);

// The same, but the caller keeps the thread to join it; none when it could not start.
// Thread: any but realtime. Allocates: yes. Blocks: no.
std::optional<std::thread> spawn_joinable(std::string_view name, std::function<void()> body);

// Ends the process at once with `message` on standard error (status 101).
// Thread: any. Allocates: no. Blocks: writes standard error.
[[noreturn]] void die(std::string_view message);

// Runs `body`, catching what it throws the way a thread top does.
// Thread: the one it is the top of. Allocates: yes, and what `body` does. Blocks: as `body`.
void run_thread_body(std::string_view name, const std::function<void()>& body);

}  // namespace melodara
