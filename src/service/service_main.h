#pragma once
// The service's entry: builds the shared records, starts the background
// threads, serves standard input until it ends, then exits with status 0.
namespace melodara {
// A thread that cannot start ends the process. Thread: the main thread.
// Allocates: yes. Blocks: until standard input ends.
[[noreturn]] void service_main();
}  // namespace melodara
