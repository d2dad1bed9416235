#pragma once
// The service's entry: builds the shared records, starts the background
// threads, serves standard input until it ends, then exits with status 0.
namespace melodara {
[[noreturn]] void service_main();
}
